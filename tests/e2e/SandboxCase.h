#pragma once

// One end-to-end case: a fresh game folder named after the running test, the host told to
// use a "My Games" folder of the same name, and the plugin's log read from there.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "GameFolder.h"

namespace E2E
{
	// An INI with the three switches; values are written as given.
	[[nodiscard]] std::string Ini(int a_protection, int a_full, int a_issues);

	// Forms most cases use: a named reference, one with an empty name and one whose name
	// is null; two named cells and an unnamed one, all set up (state 7, both data blocks).
	inline constexpr const char* kForms =
	    "ref chair 0001A2B3 Wooden Chair\n"
	    "ref unnamed 0001A2B4 @empty\n"
	    "ref nullname 0001A2B5 @null\n"
	    "cell sanctuary 0000C0DE 7 1 1 SanctuaryHillsExt\n"
	    "cell redrocket 0000BEEF 7 1 1 RedRocketExt\n"
	    "cell noname 00ABCDEF 7 1 1 @empty\n";

	// One invalidation the game answers "yes" and one clear of a cell still loading, and
	// what the game sees with both detours in, and with neither.
	inline const std::string kBlockScript = std::string{ kForms } +
	                                        "cell early 00001111 3 1 1 LoadingCell\n"
	                                        "invalidate chair sanctuary true\n"
	                                        "clear early\n";
	inline const std::vector<std::string> kBlockedOutput{ "invalidate chair sanctuary -> false", "clear early -> skipped" };
	inline const std::vector<std::string> kUnhookedOutput{ "invalidate chair sanctuary -> true", "clear early -> ran" };

	inline constexpr const char* kStartup = "[info] Quellstone loaded (AE)";
	inline constexpr const char* kEnabled = "[info] AE precombine protection enabled";

	class SandboxCase : public ::testing::Test
	{
	protected:
		void SetUp() override;

		// Lays out the game: the plugin in a_pluginFolder, and, unless told not to, a
		// database for the chosen prologues.
		Sandbox::GameFolder& MakeGame(const std::vector<std::string>& a_gameOptions = {},
		                              const std::filesystem::path& a_pluginFolder = "Data/F4SE/Plugins", bool a_withDatabase = true);

		// Plays a script; the game's options (prologues) are the ones of MakeGame, and
		// a_gameArgs go on the game's command line before the script.
		Sandbox::ProcessResult Play(const std::string& a_script, const std::vector<std::string>& a_gameArgs = {});
		Sandbox::ProcessResult RunGame(std::vector<std::string> a_args);

		// The log's lines after its first, which the host library writes in its own
		// pattern before the plugin sets the one the plugin's lines use.
		[[nodiscard]] std::vector<std::string> PluginLines() const;
		[[nodiscard]] std::vector<std::string> AllLogLines() const;

		std::string                        caseName;
		std::vector<std::string>           gameOptions;
		std::optional<Sandbox::GameFolder> game;
	};

	[[nodiscard]] std::vector<std::string> Lines(const std::string& a_text);
	[[nodiscard]] Sandbox::BuiltFiles      Built();
	// Where the cases lay out their games: the build's cases folder, or, for the runs that
	// stand for players' machines, a folder below it named in two scripts outside any
	// ANSI code page.
	[[nodiscard]] std::filesystem::path CasesFolder();

	// The bytes an "entry <function>" line of the game's output shows for a_function, or
	// "<no entry line>" when the output has none.
	[[nodiscard]] std::string EntryBytes(const std::vector<std::string>& a_output, const std::string& a_function);
	// Whether entry bytes begin with a jump, as a detoured function's do.
	[[nodiscard]] bool StartsWithJump(const std::string& a_bytes);
} // namespace E2E
