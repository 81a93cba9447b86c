// A stand-in for the host for the log file tests under Wine: it lays out a load
// interface as the host does, calls F4SE::Initialize with options from its command line
// (key=value arguments), writes one error line, and exits with 0 once Initialize has
// returned. Each run is a fresh process, as each start of the game is.

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "F4SE/API.h"
#include "REX/LOG.h"

namespace
{
	constexpr F4SE::PluginVersionData MakeRecord()
	{
		F4SE::PluginVersionData record{};
		record.pluginVersion = 0x01000000;
		constexpr char name[] = "Quellstone";
		constexpr char author[] = "Tarnel";
		for (std::size_t i = 0; i + 1 < sizeof(name); ++i) {
			record.pluginName[i] = name[i];
		}
		for (std::size_t i = 0; i + 1 < sizeof(author); ++i) {
			record.author[i] = author[i];
		}
		return record;
	}
	void* QueryInterface(std::uint32_t)
	{
		return nullptr;
	}
	std::uint32_t PluginHandle()
	{
		return 1;
	}
	std::uint32_t HostWord()
	{
		return 0;
	}
	std::string gameFolder = "Fallout4";

	const char* GameFolderName()
	{
		return gameFolder.c_str();
	}
} // namespace

extern "C" {
__declspec(dllexport) constinit F4SE::PluginVersionData F4SEPlugin_Version = MakeRecord();
}

int main(int a_argc, char* a_argv[])
{
	std::map<std::string, std::string> arguments;
	for (int i = 1; i < a_argc; ++i) {
		const std::string argument = a_argv[i];
		const auto        equals = argument.find('=');
		arguments[argument.substr(0, equals)] = equals == std::string::npos ? "" : argument.substr(equals + 1);
	}
	const auto text = [&](const char* a_key) -> const char* {
		const auto it = arguments.find(a_key);
		return it == arguments.end() ? nullptr : it->second.c_str();
	};

	if (const auto* folder = text("folder")) {
		gameFolder = folder;
	}

	F4SE::LoadInterface load{};
	load.hostVersion = 0x000A0260;
	load.queryInterface = &QueryInterface;
	load.getPluginHandle = &PluginHandle;
	load.getHostWord = &HostWord;
	load.getGameFolderName = &GameFolderName;

	F4SE::InitOptions options{};
	options.logFileStem = text("stem");
	options.pattern = text("pattern");
	if (const auto* level = text("level")) {
		options.level = std::atoi(level);
	}
	if (const auto* rotate = text("rotate")) {
		options.rotatedFileCount = std::strtoull(rotate, nullptr, 10);
	}

	F4SE::Initialize(&load, options);
	REX::LogError("run {}", text("run") ? text("run") : "");
	return 0;
}
