// The game stand-in: an executable that carries the game's version resource and the two
// game functions the plugin detours, loads the plugins beside it the way the script
// extender does, and then plays the game's part.
//
//   Fallout4.exe --print-offsets                 the Address Library pairs of this build
//   Fallout4.exe --script FILE                   play a script (see Script.h)
//   Fallout4.exe --demo [THREADS PLACEMENTS]     the demo scenario and its summary
//   Fallout4.exe --hammer THREADS ITERATIONS CELLS
//   Fallout4.exe --bench CALLS THREADS true|false
//   Fallout4.exe --load-while-running THREADS    plugins loaded under running game threads
//   Fallout4.exe --print-sections                the image's sections: name, offset, size
//   Fallout4.exe --pages                         what loading the plugins did to page protection
// Options: --prologue NAME and --clear-prologue NAME (compiler, rip-relative, jump,
// undecodable, stack-cookie, test-branch) choose how the two functions begin;
// --my-games NAME the game's folder under "My Games" that the host reports (Fallout4);
// --plugins DIR the plugin folder below the game's folder (Data/F4SE/Plugins); --out
// FILE where to print; --checksums prints, once the plugins are loaded, whether the
// game's read-only sections (its code and constant data) still hold the bytes they held
// before; --script-loads-plugins leaves the plugins' load to the script. --help lists
// them all; wrong usage ends with exit code 2.

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

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "GameFunctions.h"
#include "GameLayout.h"
#include "Host.h"
#include "PageWalk.h"
#include "REL/Version.h"
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
		bool                     scriptLoadsPlugins{ false };
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

	// What is wrong with the values given to a mode, if anything. Checked before the host
	// runs: wrong usage ends the run before any plugin is loaded.
	std::optional<std::string> ProblemWithValues(const std::string& a_mode, const std::vector<std::string>& a_values)
	{
		const auto from = [&](std::size_t a_index, unsigned a_minimum) {
			const auto number = a_index < a_values.size() ? ToNumber(a_values[a_index]) : std::nullopt;
			return number && *number >= a_minimum;
		};
		if (a_mode == "demo" && a_values.size() == 1) {
			return "--demo takes THREADS and PLACEMENTS, or neither";
		}
		if (a_mode == "demo" && a_values.size() == 2 && !(from(0, 1) && from(1, 0))) {
			return "--demo needs a thread count from 1 and a number of placements";
		}
		if (a_mode == "hammer" && !(from(0, 1) && from(1, 0) && from(2, 1))) {
			return "--hammer needs numbers, threads and cells from 1";
		}
		if (a_mode == "bench" && !(from(0, 0) && from(1, 1) && a_values.size() == 3 && (a_values[2] == "true" || a_values[2] == "false"))) {
			return "--bench needs numbers, threads from 1, and true or false";
		}
		if (a_mode == "load-while-running" && !from(0, 1)) {
			return "--load-while-running needs a thread count from 1";
		}
		return std::nullopt;
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

	// Wrong usage: what is wrong, where the full story is, and exit code 2.
	int Usage(std::string_view a_problem)
	{
		std::cerr << "Fallout4.exe: " << a_problem << "\nRun \"Fallout4.exe --help\" for usage.\n";
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
		// --checksums and --pages compare the image and the address space before and after
		// the load; only they take the first look, the other modes have no use for it.
		const auto                         before = a_options.checksums ? ReadOnlyChecksums() : std::vector<std::uint64_t>{};
		const auto                         gameVersion = Sandbox::ReadRunningGameVersion();
		const auto                         pagesBefore = a_options.mode == "pages" ? Sandbox::WalkMemory() : std::vector<Sandbox::MemoryRegion>{};
		std::vector<Sandbox::LoadedPlugin> plugins;
		const auto                         loadPlugins = [&] {
            plugins = Sandbox::LoadPlugins(host, gameVersion);
            for (const auto& plugin : plugins) {
                std::cerr << "host: " << plugin.name << (plugin.loaded ? " loaded" : " not loaded: " + plugin.note) << '\n';
            }
		};
		if (a_options.mode == "load-while-running" && values.size() == 1) {
			// The plugins load while the game's threads already run the functions they
			// detour: the script extender loads them early, but a game thread may be there.
			Sandbox::PrintTally(a_out, Sandbox::RunThroughLoad(calls, *ToNumber(values[0]), loadPlugins));
			return 0;
		}
		if (!a_options.scriptLoadsPlugins) {
			loadPlugins();
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
			const Sandbox::ScriptProcess process{ a_options.scriptLoadsPlugins ? loadPlugins : std::function<void()>{}, host.gameFolder / host.pluginFolder };
			return Sandbox::RunScript(script, a_out, calls, process) ? 0 : 3;
		}
		if (a_options.mode == "demo" && (values.empty() || values.size() == 2)) {
			const auto threads = values.empty() ? 4u : *ToNumber(values[0]);
			const auto placements = values.empty() ? 2000u : *ToNumber(values[1]);
			a_out << "Quellstone sandbox: a stand-in for Fallout 4 " << REL::VersionNumber::FromPacked(gameVersion).ToString(".") << " and its script extender\n";
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
			Sandbox::PrintTally(a_out, Sandbox::RunHammer(calls, *ToNumber(values[0]), *ToNumber(values[1]), *ToNumber(values[2])));
			return 0;
		}
		if (a_options.mode == "bench" && values.size() == 3) {
			a_out << Sandbox::TimeInvalidates(calls, *ToNumber(values[1]), *ToNumber(values[0]), values[2] == "true") << '\n';
			return 0;
		}
		return Usage(fmt::format("--{} takes other values", a_options.mode));
	}
} // namespace

int main(int a_argc, char** a_argv)
{
	CLI::App app{ "A stand-in for Fallout 4: loads the plugins beside it as the script extender does, then plays the game's part.",
		          "Fallout4.exe" };
	Options  options;
	// Options are spelt "--name" on every system: a path that begins with "/" is a value,
	// not a Windows-style "/option".
	app.allow_windows_style_options(false);

	const auto prologue = [](Sandbox::EPrologue& a_target) {
		return [&a_target](const std::string& a_name) {
			const auto parsed = Sandbox::ParsePrologue(a_name);
			if (!parsed) {
				throw CLI::ValidationError(fmt::format("unknown prologue {} (compiler, rip-relative, jump, undecodable, stack-cookie, test-branch)", a_name));
			}
			a_target = *parsed;
		};
	};
	app.add_option_function<std::string>("--prologue", prologue(options.invalidatesPrologue), "how InvalidatesPreCalcDataForCell begins (compiler)")
	    ->type_name("NAME");
	app.add_option_function<std::string>("--clear-prologue", prologue(options.clearPrologue), "how ClearPreCalcedData begins (compiler)")->type_name("NAME");
	app.add_option("--my-games", options.host.myGamesFolderName, "the game's folder under \"My Games\" that the host reports (Fallout4)")->type_name("NAME");
	app.add_option("--plugins", options.host.pluginFolder, "the plugin folder below the game's folder (Data/F4SE/Plugins)")->type_name("DIR");
	app.add_option("--out", options.out, "where to print (standard output)")->type_name("FILE");
	app.add_flag("--checksums", options.checksums, "print whether loading the plugins changed the game's code or constant data");
	app.add_flag("--script-loads-plugins", options.scriptLoadsPlugins, "with --script: the host loads the plugins when the script says \"plugins\", not before it");

	// What to do: exactly one.
	auto*                    modes = app.add_option_group("Modes");
	std::vector<std::string> values;
	const auto               mode = [&](std::string_view a_name, std::string_view a_values, std::string_view a_what, int a_min, int a_max) {
        const auto name = fmt::format("--{}", a_name);
        if (a_max == 0) {
            modes->add_flag(name)->description(std::string{ a_what });
        } else {
            modes->add_option(name, values, std::string{ a_what })->expected(a_min, a_max)->type_name(std::string{ a_values });
        }
	};
	mode("print-offsets", "", "print the Address Library pairs of this build", 0, 0);
	mode("print-sections", "", "print the image's sections: name, offset, size", 0, 0);
	mode("pages", "", "print what loading the plugins did to page protection", 0, 0);
	mode("script", "FILE", "play a script (see Script.h)", 1, 1);
	mode("demo", "[THREADS PLACEMENTS]", "the demo scenario and its summary (4 threads, 2000 placements)", 0, 2);
	mode("hammer", "N", "THREADS ITERATIONS CELLS: many threads on few cells, the tally printed", 3, 3);
	mode("bench", "VALUE", "CALLS THREADS true|false: time the hooked call, the game answering as given", 3, 3);
	mode("load-while-running", "THREADS", "load the plugins while game threads call both functions, the tallies printed", 1, 1);
	modes->require_option(1);

	try {
		app.parse(a_argc, a_argv);
	} catch (const CLI::ParseError& e) {
		if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
			return app.exit(e);
		}
		return Usage(e.what());
	}
	for (const auto* option : modes->get_options()) {
		if (option->count() > 0) {
			options.mode = option->get_name().substr(2);
		}
	}
	// An option given without its optional values (--demo alone) comes back from CLI11
	// as one empty value.
	if (values.size() == 1 && values.front().empty()) {
		values.clear();
	}
	options.values = std::move(values);
	if (const auto problem = ProblemWithValues(options.mode, options.values)) {
		return Usage(*problem);
	}

	if (options.out.empty()) {
		return Run(options, std::cout);
	}
	std::ofstream out{ options.out, std::ios::binary };
	return Run(options, out);
}
