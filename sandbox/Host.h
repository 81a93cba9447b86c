#pragma once

// The script extender's part: find the plugins beside the game, check that each was built
// for the running game, and call its load entry with the host's load interface.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace Sandbox
{
	struct HostOptions
	{
		std::filesystem::path gameFolder;                          // the folder holding the game executable
		std::filesystem::path pluginFolder{ "Data/F4SE/Plugins" }; // where plugins are looked for, below gameFolder
		std::string           myGamesFolderName{ "Fallout4" };     // the game's folder under "My Games"
	};

	struct LoadedPlugin
	{
		std::filesystem::path path;
		std::string           name;
		bool                  loaded{ false }; // its load entry ran and answered true
		std::string           note;            // why it was refused, if it was
	};

	// Loads every plugin in the plugin folder, in name order, as the host does at game
	// start. Plugins stay loaded for the life of the process.
	[[nodiscard]] std::vector<LoadedPlugin> LoadPlugins(const HostOptions& a_options, std::uint32_t a_runningGameVersion);

	// The running game's version, packed, from the executable's version resource.
	[[nodiscard]] std::uint32_t ReadRunningGameVersion();

	// The log file a plugin of that name writes under the user's documents folder.
	[[nodiscard]] std::filesystem::path PluginLogPath(const std::string& a_myGamesFolderName, const std::string& a_pluginName);
} // namespace Sandbox
