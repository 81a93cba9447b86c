#pragma once

// A game folder laid out as a player's would be after installing the mod: the game
// executable, Data/F4SE/Plugins/ with the plugin, its INI and an Address Library written
// by addrlib. Each end-to-end case and benchmark run gets its own, so no run sees
// another's INI, database or log.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "GameLayout.h"
#include "REL/Version.h"

namespace Sandbox
{
	struct BuiltFiles
	{
		std::filesystem::path game;    // the game stand-in executable
		std::filesystem::path plugin;  // Quellstone.dll
		std::filesystem::path addrlib; // addrlib.exe
		// The game version the game executable reports: its Address Library is written for it.
		REL::VersionNumber gameVersion{ GameLayout::kRuntimeVersion };
	};

	struct ProcessResult
	{
		std::uint32_t exitCode{ 0 };
		std::string   output; // what the game printed to its --out file
	};

	// Runs a program to its end; nullopt when it could not be started or did not end in
	// time.
	// The arguments are ASCII: paths inside a game folder are passed relative to
	// a_workingFolder, so that a folder named outside the ANSI code page never has to
	// pass through a narrow command line.
	[[nodiscard]] std::optional<std::uint32_t> RunProcess(const std::filesystem::path& a_program, const std::vector<std::string>& a_args,
	                                                      const std::filesystem::path& a_workingFolder = {});

	class GameFolder
	{
	public:
		// Empties a_root and lays out the game there; the plugin goes into a_pluginFolder
		// below it, where the host looks for plugins unless told otherwise.
		GameFolder(std::filesystem::path a_root, const BuiltFiles& a_files, std::filesystem::path a_pluginFolder = "Data/F4SE/Plugins");

		[[nodiscard]] const std::filesystem::path& Root() const noexcept { return root; }
		[[nodiscard]] std::filesystem::path        PluginFolder() const { return root / pluginFolder; }

		void WriteIni(std::string_view a_text) const;

		// Asks the game for its functions' offsets under the given game options (the
		// prologue choices), drops the listed IDs, and has addrlib write the raw database
		// for the game's version beside the plugin. Returns false if either
		// program failed.
		bool WriteAddressLibrary(const std::vector<std::string>& a_gameOptions, const std::vector<std::uint64_t>& a_dropIDs = {}) const;

		// Has addrlib write the raw database for the game's version beside the plugin from
		// the given "id offset" lines. Returns false if addrlib failed.
		bool WriteDatabase(const std::string& a_pairs) const;

		// Runs the game in its folder with the given arguments, its printed output going
		// to a file that is read back.
		[[nodiscard]] ProcessResult RunGame(const std::vector<std::string>& a_args) const;

	private:
		std::filesystem::path root;
		std::filesystem::path pluginFolder;
		BuiltFiles            files;
	};

	// Reads a text file's lines; empty when it does not exist.
	[[nodiscard]] std::vector<std::string> ReadLines(const std::filesystem::path& a_path);

	// A path the build system wrote as a Unix path (/work/...), as Wine's Windows
	// programs see it (Z:\work\...); other paths are returned as they are.
	[[nodiscard]] std::filesystem::path FromBuildPath(std::string_view a_path);
} // namespace Sandbox
