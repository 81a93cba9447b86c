// The game stand-in: an executable that carries the game's version resource and the two
// game functions the plugin detours, loads the plugins beside it the way the script
// extender does, and then plays the game's part.
//
//   game.exe --print-offsets                 the Address Library pairs of this build
//   game.exe --script FILE                   play a script (see Script.h)
//   game.exe --demo [THREADS PLACEMENTS]     the demo scenario and its summary
//   game.exe --hammer THREADS ITERATIONS CELLS
//   game.exe --bench CALLS THREADS true|false
//   game.exe --print-sections                the image's sections: name, offset, size
//   game.exe --pages                         what loading the plugins did to page protection
// Options: --prologue NAME and --clear-prologue NAME (compiler, rip-relative, jump,
// undecodable, stack-cookie, test-branch) choose how the two functions begin;
// --my-games NAME the game's folder under "My Games" that the host reports (Fallout4);
// --plugins DIR the plugin folder below the game's folder (Data/F4SE/Plugins); --out
// FILE where to print; --checksums prints, once the plugins are loaded, whether the
// game's read-only sections (its code and constant data) still hold the bytes they held
// before.

#include <windows.h>

#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "GameFunctions.h"
#include "GameLayout.h"
#include "Host.h"
#include "PageWalk.h"
#include "REX/FModule.h"
#include "Scenario.h"
#include "Script.h"

namespace
{
	struct Options
	{
		Sandbox::EPrologue       invalidatesPrologue{ Sandbox::EPrologue::Compiler };
		Sandbox::EPrologue       clearPrologue{ Sandbox::EPrologue::Compiler };
		Sandbox::HostOptions     host;
		std::string              mode;
		std::vector<std::string> values;
		std::filesystem::path    out;
		bool                     checksums{ false };
	};

	struct SectionView
	{
		std::string                name;
		std::span<const std::byte> bytes;
		bool                       writable{ false };
	};

	std::vector<SectionView> ImageSections()
	{
		const auto*              base = reinterpret_cast<const std::byte*>(::GetModuleHandleW(nullptr));
		const auto*              dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
		const auto*              nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
		const auto*              section = IMAGE_FIRST_SECTION(nt);
		std::vector<SectionView> sections;
		for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
			const auto* name = reinterpret_cast<const char*>(section->Name);
			sections.push_back({ std::string(name, ::strnlen(name, IMAGE_SIZEOF_SHORT_NAME)),
			                     { base + section->VirtualAddress, section->Misc.VirtualSize },
			                     (section->Characteristics & IMAGE_SCN_MEM_WRITE) != 0 });
		}
		return sections;
	}

	// FNV-1a of each read-only section, in table order.
	std::vector<std::uint64_t> ReadOnlyChecksums()
	{
		std::vector<std::uint64_t> sums;
		for (const auto& section : ImageSections()) {
			if (section.writable) {
				continue;
			}
			std::uint64_t hash = 0xCBF29CE484222325;
			for (const auto byte : section.bytes) {
				hash = (hash ^ static_cast<std::uint8_t>(byte)) * 0x100000001B3;
			}
			sums.push_back(hash);
		}
		return sums;
	}

	std::optional<unsigned> ToNumber(const std::string& a_text)
	{
		unsigned   value{};
		const auto end = a_text.data() + a_text.size();
		const auto [ptr, error] = std::from_chars(a_text.data(), end, value);
		if (error != std::errc{} || ptr != end) {
			return std::nullopt;
		}
		return value;
	}

	std::optional<Options> ParseOptions(const std::vector<std::string>& a_args)
	{
		Options options;
		for (std::size_t i = 0; i < a_args.size(); ++i) {
			const auto& arg = a_args[i];
			const bool  hasValue = i + 1 < a_args.size();
			if ((arg == "--prologue" || arg == "--clear-prologue") && hasValue) {
				const auto prologue = Sandbox::ParsePrologue(a_args[++i]);
				if (!prologue) {
					return std::nullopt;
				}
				(arg == "--prologue" ? options.invalidatesPrologue : options.clearPrologue) = *prologue;
			} else if (arg == "--my-games" && hasValue) {
				options.host.myGamesFolderName = a_args[++i];
			} else if (arg == "--plugins" && hasValue) {
				options.host.pluginFolder = a_args[++i];
			} else if (arg == "--checksums") {
				options.checksums = true;
			} else if (arg == "--out" && hasValue) {
				options.out = a_args[++i];
			} else if (arg.starts_with("--") && options.mode.empty()) {
				options.mode = arg.substr(2);
			} else if (!options.mode.empty()) {
				options.values.push_back(arg);
			} else {
				return std::nullopt;
			}
		}
		return options;
	}

	std::filesystem::path ExecutableFolder()
	{
		return std::filesystem::path{ REX::FModule::ProcessModule().GetFileNameW() }.parent_path();
	}

	void PrintLogHead(std::ostream& a_out, const std::filesystem::path& a_log, int a_lines)
	{
		// UTF-8: a documents folder under a user name outside the ANSI code page has no
		// narrow form.
		const auto name = a_log.u8string();
		a_out << "Log file: " << std::string_view{ reinterpret_cast<const char*>(name.data()), name.size() } << '\n';
		std::ifstream log{ a_log };
		std::string   line;
		for (int i = 0; i < a_lines && std::getline(log, line); ++i) {
			a_out << "  " << line << '\n';
		}
	}

	int Usage()
	{
		std::cerr << "usage: game.exe [--prologue NAME] [--clear-prologue NAME] [--my-games NAME] [--plugins DIR] [--out FILE]\n"
		             "                (--print-offsets | --script FILE | --demo [THREADS PLACEMENTS] |\n"
		             "                 --hammer THREADS ITERATIONS CELLS | --bench CALLS THREADS true|false | --pages)\n";
		return 2;
	}

	int Run(const Options& a_options, std::ostream& a_out)
	{
		const Sandbox::GameCalls calls{ Sandbox::InvalidatesPreCalcDataForCell(a_options.invalidatesPrologue),
			                            Sandbox::ClearPreCalcedData(a_options.clearPrologue) };
		const auto&              values = a_options.values;

		if (a_options.mode == "print-offsets") {
			a_out << GameLayout::kInvalidatesPreCalcDataForCellID << " 0x" << std::hex << Sandbox::ImageOffset(reinterpret_cast<const void*>(calls.invalidates)) << '\n'
			      << std::dec << GameLayout::kClearPreCalcedDataID << " 0x" << std::hex << Sandbox::ImageOffset(reinterpret_cast<const void*>(calls.clear)) << std::dec << '\n';
			return 0;
		}

		if (a_options.mode == "print-sections") {
			const auto base = reinterpret_cast<const std::byte*>(::GetModuleHandleW(nullptr));
			for (const auto& section : ImageSections()) {
				a_out << section.name << " 0x" << std::hex << (section.bytes.data() - base) << " 0x" << section.bytes.size() << std::dec
				      << (section.writable ? " writable" : " read-only") << '\n';
			}
			return 0;
		}

		// What the script extender does at game start, before the game's own code runs.
		auto host = a_options.host;
		host.gameFolder = ExecutableFolder();
		const auto before = a_options.checksums ? ReadOnlyChecksums() : std::vector<std::uint64_t>{};
		const auto gameVersion = Sandbox::ReadRunningGameVersion();
		const auto pagesBefore = Sandbox::WalkMemory();
		const auto plugins = Sandbox::LoadPlugins(host, gameVersion);
		for (const auto& plugin : plugins) {
			std::cerr << "host: " << plugin.name << (plugin.loaded ? " loaded" : " not loaded: " + plugin.note) << '\n';
		}
		if (a_options.checksums) {
			a_out << (ReadOnlyChecksums() == before ? "read-only sections unchanged" : "read-only sections changed") << '\n';
		}

		if (a_options.mode == "pages" && values.empty()) {
			Sandbox::PrintPageChanges(a_out, pagesBefore, Sandbox::WalkMemory(),
			                          { reinterpret_cast<const void*>(calls.invalidates), reinterpret_cast<const void*>(calls.clear) });
			return 0;
		}
		if (a_options.mode == "script" && values.size() == 1) {
			std::ifstream script{ values[0] };
			if (!script) {
				a_out << "cannot read " << values[0] << '\n';
				return 3;
			}
			return Sandbox::RunScript(script, a_out, calls) ? 0 : 3;
		}
		if (a_options.mode == "demo" && (values.empty() || values.size() == 2)) {
			const auto threads = values.empty() ? 4u : ToNumber(values[0]).value_or(0);
			const auto placements = values.empty() ? 2000u : ToNumber(values[1]).value_or(0);
			if (threads == 0) {
				return Usage();
			}
			a_out << "Quellstone sandbox: a stand-in for Fallout 4 " << (gameVersion >> 24) << '.' << ((gameVersion >> 16) & 0xFF) << '.'
			      << ((gameVersion >> 4) & 0xFFF) << '.' << (gameVersion & 0xF) << " and its script extender\n";
			a_out << "Plugins loaded by the host stand-in:\n";
			for (const auto& plugin : plugins) {
				a_out << "  " << plugin.name << (plugin.loaded ? "" : " (not loaded: " + plugin.note + ")") << '\n';
			}
			a_out << "Game run: " << threads << " game threads, " << placements << " placed references each\n";
			Sandbox::PrintTally(a_out, Sandbox::RunDemo(calls, threads, placements));
			PrintLogHead(a_out, Sandbox::PluginLogPath(host.myGamesFolderName, plugins.empty() ? "Quellstone" : plugins.front().name), 12);
			return 0;
		}
		if (a_options.mode == "hammer" && values.size() == 3) {
			const auto threads = ToNumber(values[0]);
			const auto iterations = ToNumber(values[1]);
			const auto cells = ToNumber(values[2]);
			if (!threads || !iterations || !cells || *threads == 0 || *cells == 0) {
				return Usage();
			}
			Sandbox::PrintTally(a_out, Sandbox::RunHammer(calls, *threads, *iterations, *cells));
			return 0;
		}
		if (a_options.mode == "bench" && values.size() == 3) {
			const auto callsPerThread = ToNumber(values[0]);
			const auto threads = ToNumber(values[1]);
			if (!callsPerThread || !threads || *threads == 0) {
				return Usage();
			}
			a_out << Sandbox::TimeInvalidates(calls, *threads, *callsPerThread, values[2] == "true") << '\n';
			return 0;
		}
		return Usage();
	}
} // namespace

int main(int a_argc, char** a_argv)
{
	const auto options = ParseOptions(std::vector<std::string>(a_argv + 1, a_argv + a_argc));
	if (!options || options->mode.empty()) {
		return Usage();
	}
	if (options->out.empty()) {
		return Run(*options, std::cout);
	}
	std::ofstream out{ options->out, std::ios::binary };
	return Run(*options, out);
}
