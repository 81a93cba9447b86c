#pragma once

// The script extender's part: find the plugins beside the game, read each one's version
// record from its file and decide by it whether the plugin may run on this game (see
// HostRules.h), call the load entry of those it accepts with the host's load interface,
// and tell the listeners they registered once all are in. It keeps its own log, f4se.log,
// beside the plugins' logs.

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

	// Loads every plugin in the plugin folder, in the order the folder lists them, as the
	// host does at game start, then sends its PostLoad and PostPostLoad messages. Plugins
	// stay loaded for the life of the process.
	[[nodiscard]] std::vector<LoadedPlugin> LoadPlugins(const HostOptions& a_options, std::uint32_t a_runningGameVersion);

	// The running game's version, packed, from the executable's version resource.
	[[nodiscard]] std::uint32_t ReadRunningGameVersion();

	// The log file a plugin of that name writes under the user's documents folder.
	[[nodiscard]] std::filesystem::path PluginLogPath(const std::string& a_myGamesFolderName, const std::string& a_pluginName);
} // namespace Sandbox
