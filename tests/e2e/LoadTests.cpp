// The plugin's load step in the game: where its settings come from, how the detours go
// in (or why not), and what happens when the Address Library cannot serve it.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include "GameLayout.h"
#include "Host.h"
#include "SandboxCase.h"

namespace E2E
{
	namespace
	{
		constexpr const char* kCompilerPrologue = "48 89 5C 24 08 48 89 74 24 10 57 48 83 EC 20 E8";
	} // namespace

	using PluginLoad = SandboxCase;

	TEST_F(PluginLoad, LogStartsWithTheHostLibrarysLineThenThePluginsPattern)
	{
		MakeGame();
		ASSERT_EQ(Play("").exitCode, 0u);

		const auto lines = AllLogLines();
		ASSERT_EQ(lines.size(), 2u);
		EXPECT_TRUE(std::regex_match(lines[0], std::regex{ R"(\[\d\d:\d\d:\d\d\.\d{3}\] \[ *\d+ *\] \[I\] Quellstone v1\.0\.0\.0)" })) << lines[0];
		EXPECT_EQ(lines[1], kStartup);
	}

	TEST_F(PluginLoad, WithoutIniProtectsAndInstallsBothDetoursSilently)
	{
		MakeGame();
		const auto result = Play(kBlockScript + "entry invalidate\nentry clear\n");

		const auto output = Lines(result.output);
		ASSERT_EQ(output.size(), 4u) << result.output;
		EXPECT_EQ(std::vector(output.begin(), output.begin() + 2), kBlockedOutput);
		EXPECT_TRUE(StartsWithJump(EntryBytes(output, "invalidate"))) << result.output;
		EXPECT_TRUE(StartsWithJump(EntryBytes(output, "clear"))) << result.output;
		EXPECT_EQ(PluginLines(), std::vector<std::string>{ kStartup });
	}

	TEST_F(PluginLoad, ShippedIniKeepsTheDefaults)
	{
		std::ifstream shipped{ Sandbox::FromBuildPath(QS_SHIPPED_INI), std::ios::binary };
		std::string   text{ std::istreambuf_iterator<char>{ shipped }, {} };
		ASSERT_FALSE(text.empty());
		MakeGame().WriteIni(text);

		EXPECT_EQ(Lines(Play(kBlockScript).output), kBlockedOutput);
		EXPECT_EQ(PluginLines(), std::vector<std::string>{ kStartup });
	}

	TEST_F(PluginLoad, FullLoggingSetToTwoCountsAsOn)
	{
		MakeGame().WriteIni("[General]\nbEnableLoggingFull=2\n");

		EXPECT_EQ(Lines(Play(kBlockScript).output), kBlockedOutput);
		EXPECT_EQ(PluginLines(), (std::vector<std::string>{ kStartup, kEnabled,
		                                                    "[info] Blocked precombine invalidation: ref=0001A2B3 (Wooden Chair) [placed reference], cell=0000C0DE (SanctuaryHillsExt)",
		                                                    "[info] Skipped early precombine clear: cell=00001111" }));
	}

	// Switches written as words: each reads as the word says; text that is neither a word
	// nor a number reads as before (0) and the log names it, ahead of the startup line.
	TEST_F(PluginLoad, IniWordsReadAsOnAndOffAndUnknownTextIsNamed)
	{
		MakeGame().WriteIni("[General]\nbEnablePrecombineProtection = Off\nbEnableLoggingFull=YES\nbEnableLoggingIssues=sometimes\n");

		EXPECT_EQ(Lines(Play(kBlockScript).output), kUnhookedOutput);
		EXPECT_EQ(PluginLines(), (std::vector<std::string>{
		                             "[warning] Quellstone.ini: bEnableLoggingIssues=sometimes is neither a number nor true/false, yes/no, on/off; it counts as 0",
		                             kStartup, "[info] Precombine protection disabled by INI" }));
	}

	TEST_F(PluginLoad, JumpAtTheFunctionsStartIsFollowedToItsBody)
	{
		MakeGame({ "--prologue", "jump", "--clear-prologue", "jump" }).WriteIni(Ini(1, 1, 0));
		const auto result = Play(kBlockScript + "entry invalidate\n");

		const auto output = Lines(result.output);
		ASSERT_EQ(output.size(), 3u) << result.output;
		EXPECT_EQ(std::vector(output.begin(), output.begin() + 2), kBlockedOutput);
		EXPECT_EQ(PluginLines().at(1), kEnabled);
	}

	// A prologue the detour cannot move aside: one its decoder does not accept.
	class RefusedPrologue : public SandboxCase, public ::testing::WithParamInterface<const char*>
	{
	};

	TEST_P(RefusedPrologue, FirstDetourLogsOneErrorWithItsReasonAndLeavesBothFunctionsToTheGame)
	{
		MakeGame({ "--prologue", GetParam() }).WriteIni(Ini(1, 1, 0));
		const auto result = Play(kBlockScript + "entry clear\n");

		EXPECT_EQ(result.exitCode, 0u);
		const auto output = Lines(result.output);
		ASSERT_EQ(output.size(), 3u) << result.output;
		EXPECT_EQ(std::vector(output.begin(), output.begin() + 2), kUnhookedOutput);
		// The second detour was not attempted: the clear function is untouched.
		EXPECT_EQ(EntryBytes(output, "clear"), kCompilerPrologue);
		const auto lines = PluginLines();
		ASSERT_EQ(lines.size(), 2u);
		EXPECT_EQ(lines[0], kStartup);
		EXPECT_TRUE(std::regex_match(lines[1], std::regex{ R"(\[error\] Could not install InvalidatesPreCalcDataForCell hook: instruction not decodable at 0x[0-9A-F]+ \(\+0\))" })) << lines[1];
	}

	INSTANTIATE_TEST_SUITE_P(Load, RefusedPrologue, ::testing::Values("undecodable"),
	                         [](const ::testing::TestParamInfo<const char*>&) { return std::string{ "Undecodable" }; });

	TEST_F(PluginLoad, RipRelativePrologueIsRelocatedAndDetoured)
	{
		MakeGame({ "--prologue", "rip-relative", "--clear-prologue", "rip-relative" }).WriteIni(Ini(1, 0, 0));
		const auto result = Play(kBlockScript + "entry invalidate\n");

		const auto output = Lines(result.output);
		ASSERT_EQ(output.size(), 3u) << result.output;
		EXPECT_EQ(std::vector(output.begin(), output.begin() + 2), kBlockedOutput);
		EXPECT_TRUE(StartsWithJump(EntryBytes(output, "invalidate"))) << result.output;
		EXPECT_EQ(PluginLines(), std::vector<std::string>{ kStartup });
	}

	TEST_F(PluginLoad, RefusedSecondDetourKeepsTheFirst)
	{
		MakeGame({ "--clear-prologue", "undecodable" }).WriteIni(Ini(1, 0, 0));
		const auto result = Play(kBlockScript);

		EXPECT_EQ(Lines(result.output), (std::vector<std::string>{ "invalidate chair sanctuary -> false", "clear early -> ran" }));
		const auto lines = PluginLines();
		ASSERT_EQ(lines.size(), 2u);
		EXPECT_EQ(lines[0], kStartup);
		EXPECT_TRUE(std::regex_match(lines[1], std::regex{ R"(\[error\] Could not install ClearPreCalcedData hook: instruction not decodable at 0x[0-9A-F]+ \(\+0\))" })) << lines[1];
	}

	TEST_F(PluginLoad, PluginPathOf260CharactersOrMoreIgnoresTheIni)
	{
		// The host is pointed at a plugin folder deep enough that the plugin's path is
		// longer than 260 characters; the game itself stays at a short path.
		// The plugin's path is made exactly 265 characters long, whatever the length of
		// the build folder: past 260, yet short enough for Wine's loader to take it.
		constexpr std::size_t kPluginPathLength = 265;
		const auto            root = CasesFolder() / caseName;
		const auto            pluginPathLength = [&](const std::filesystem::path& a_plugins) {
            return (root / a_plugins / "Data/F4SE/Plugins/Quellstone.dll").wstring().size();
		};
		std::filesystem::path plugins;
		while (pluginPathLength(plugins) + 40 < kPluginPathLength) {
			plugins /= "deep-folder-to-make-the-path-long";
		}
		if (const auto length = pluginPathLength(plugins); length + 1 < kPluginPathLength) {
			plugins /= std::string(kPluginPathLength - length - 1, 'x');
		}
		plugins /= "Data/F4SE/Plugins";
		auto& folder = MakeGame({ "--plugins", plugins.string() }, plugins);
		ASSERT_GE((folder.PluginFolder() / "Quellstone.dll").wstring().size(), 260u);
		// The plugin's path is read whole, but the platform's INI reader does not open a
		// file that deep: the defaults apply. Had the INI been read, protection would be
		// off and the log would say so.
		folder.WriteIni(Ini(0, 1, 0));

		const auto result = Play(kBlockScript);

		EXPECT_EQ(Lines(result.output), kBlockedOutput) << "exit code " << result.exitCode;
		EXPECT_EQ(PluginLines(), std::vector<std::string>{ kStartup });
	}

	struct FatalCase
	{
		const char*           name;
		std::filesystem::path pluginFolder;
		bool                  withDatabase;
		std::vector<uint64_t> dropIDs;
		std::string           critical;  // the start of the critical line
		std::string           following; // the line after it, when the message has two
	};

	void PrintTo(const FatalCase& a_case, std::ostream* a_out)
	{
		*a_out << a_case.name;
	}

	class AddressLibraryFailure : public SandboxCase, public ::testing::WithParamInterface<FatalCase>
	{
	};

	TEST_P(AddressLibraryFailure, EndsTheGameWithExitCode1AndACriticalLine)
	{
		const auto& fatal = GetParam();
		auto&       folder = MakeGame({}, fatal.pluginFolder, false);
		if (fatal.withDatabase) {
			ASSERT_TRUE(folder.WriteAddressLibrary({}, fatal.dropIDs));
		}

		const auto result = RunGame({ "--plugins", fatal.pluginFolder.string(), "--script", "nonexistent.txt" });

		EXPECT_EQ(result.exitCode, 1u);
		const auto lines = PluginLines();
		ASSERT_FALSE(lines.empty());
		EXPECT_EQ(lines.front(), kStartup);
		const auto critical = std::ranges::find_if(lines, [&](const std::string& a_line) { return a_line.starts_with("[critical] "); });
		ASSERT_NE(critical, lines.end());
		EXPECT_EQ(*critical, "[critical] " + fatal.critical);
		if (!fatal.following.empty()) {
			ASSERT_NE(critical + 1, lines.end());
			EXPECT_EQ(*(critical + 1), fatal.following);
		}
	}

	const FatalCase kFatalCases[] = {
		{ "PluginOutsideTheF4SEFolder", "Data/Plugins", true, {}, "Failed to determine Address Library loader!", "" },
		{ "IdMissingFromTheDatabase", "Data/F4SE/Plugins", true, { 2200368 }, "Failed to find offset for Address Library ID!", "Invalid ID: 2200368" },
	};

	INSTANTIATE_TEST_SUITE_P(Load, AddressLibraryFailure, ::testing::ValuesIn(kFatalCases),
	                         [](const ::testing::TestParamInfo<FatalCase>& a_info) { return std::string{ a_info.param.name }; });
} // namespace E2E

namespace E2E
{
	namespace
	{
		// "name 0xOFFSET 0xSIZE read-only|writable" lines of the game's --print-sections.
		std::optional<std::uint64_t> ReadOnlyDataOffset(const std::string& a_sections)
		{
			for (const auto& line : Lines(a_sections)) {
				std::istringstream in{ line };
				std::string        name, offset, size, kind;
				if (in >> name >> offset >> size >> kind && name != ".text" && kind == "read-only") {
					return std::stoull(offset, nullptr, 16);
				}
			}
			return std::nullopt;
		}
	} // namespace

	// A renamed database of another game version: the raw format carries no version, so
	// only where its offsets land can tell. Past the image the load ends before anything
	// is touched; inside the game's constant data nothing is patched there.
	class ForeignDatabase : public SandboxCase
	{
	protected:
		// The game ran to its end with its read-only sections as they were, and the log
		// holds the startup line and one error that begins with a_reasonPrefix.
		void ExpectNotPatched(const Sandbox::ProcessResult& a_result, const std::string& a_reasonPrefix) const
		{
			EXPECT_EQ(a_result.exitCode, 0u) << a_result.output;
			EXPECT_EQ(Lines(a_result.output).at(0), "read-only sections unchanged");
			const auto lines = PluginLines();
			ASSERT_EQ(lines.size(), 2u);
			EXPECT_EQ(lines[0], kStartup);
			EXPECT_TRUE(lines[1].starts_with(a_reasonPrefix)) << lines[1];
		}
	};

	TEST_F(ForeignDatabase, OffsetPastTheImageEndsTheGameBeforeAnythingIsWritten)
	{
		auto& folder = MakeGame({}, "Data/F4SE/Plugins", false);
		ASSERT_TRUE(folder.WriteDatabase("2201029 0x7FFFFFF0\n2200368 0x1000\n"));

		const auto result = RunGame({ "--checksums", "--script", "nonexistent.txt" });

		EXPECT_EQ(result.exitCode, 1u);
		// The process ended inside the load: the game never got to compare its bytes.
		EXPECT_EQ(result.output, "");
		const auto lines = PluginLines();
		ASSERT_GE(lines.size(), 6u);
		EXPECT_EQ(lines[0], kStartup);
		EXPECT_EQ(lines[1], "[critical] Address Library offset lies outside the game!");
		EXPECT_EQ(lines[2], "ID: 2201029");
		EXPECT_EQ(lines[3], "Offset: 0x7FFFFFF0");
		EXPECT_TRUE(lines[4].starts_with("Image Size: 0x")) << lines[4];
		EXPECT_TRUE(lines[5].starts_with("Path: ") && lines[5].ends_with("\\Data\\F4SE\\Plugins\\version-1-11-221-0.bin")) << lines[5];
	}

	TEST_F(ForeignDatabase, OffsetInTheGamesDataIsNotPatched)
	{
		auto&      folder = MakeGame({}, "Data/F4SE/Plugins", false);
		const auto sections = folder.RunGame({ "--print-sections" });
		const auto data = ReadOnlyDataOffset(sections.output);
		ASSERT_TRUE(data) << sections.output;
		std::ostringstream pairs;
		pairs << "2201029 0x" << std::hex << *data << "\n2200368 0x1000\n";
		ASSERT_TRUE(folder.WriteDatabase(pairs.str()));
		folder.WriteIni(Ini(1, 1, 0));

		// The detour asks whether the target is code before it reads or writes a byte.
		ExpectNotPatched(Play("", { "--checksums" }), "[error] Could not install InvalidatesPreCalcDataForCell hook: target is not executable memory at 0x");
	}

	// The likeliest foreign offset: inside the game's code, in the middle of a function
	// (here 5 bytes into the one the ID names, an instruction boundary). The function
	// table says it is no function's start; nothing is patched.
	TEST_F(ForeignDatabase, OffsetInsideAGameFunctionIsNotPatched)
	{
		auto&              folder = MakeGame({}, "Data/F4SE/Plugins", false);
		const auto         offsets = folder.RunGame({ "--print-offsets" });
		std::istringstream in{ offsets.output };
		std::uint64_t      id{};
		std::string        offset;
		ASSERT_TRUE(in >> id >> offset) << offsets.output;
		ASSERT_EQ(id, GameLayout::kInvalidatesPreCalcDataForCellID);
		std::ostringstream pairs;
		pairs << id << " 0x" << std::hex << std::stoull(offset, nullptr, 16) + 5 << "\n2200368 0x1000\n";
		ASSERT_TRUE(folder.WriteDatabase(pairs.str()));
		folder.WriteIni(Ini(1, 1, 0));

		ExpectNotPatched(Play("", { "--checksums" }), "[error] Could not install InvalidatesPreCalcDataForCell hook: target lies inside a function, not at its start at 0x");
	}

	// The game stand-in's own command line, as the tests, the demo and the benchmark use
	// it: wrong usage ends the run with exit code 2 before the host runs, so neither the
	// host's log nor the plugin's is written.
	using GameCommandLine = SandboxCase;

	TEST_F(GameCommandLine, WrongUsageEndsWithExitCode2BeforeAnyPluginLoads)
	{
		MakeGame();
		const std::vector<std::vector<std::string>> cases{
			{},                                      // no mode
			{ "--pages", "--print-offsets" },        // two modes
			{ "--frobnicate", "--pages" },           // an unknown option
			{ "--prologue", "sideways", "--pages" }, // an unknown prologue
			{ "--hammer", "1", "2" },                // too few values
			{ "--demo", "4" },                       // threads without placements
			{ "--script" },                          // no file
			{ "--load-while-running", "0" },         // no game threads
			{ "--load-while-running", "two" },       // not a number
			{ "--demo", "0", "10" },                 // no game threads
			{ "--demo", "2", "-1" },                 // a negative count
			{ "--hammer", "x", "2", "3" },           // not a number
			{ "--hammer", "1", "2", "0" },           // no cells
			{ "--bench", "10", "0", "true" },        // no game threads
			{ "--bench", "10", "1", "maybe" },       // neither true nor false
		};
		for (const auto& args : cases) {
			const auto  result = RunGame(args);
			std::string shown;
			for (const auto& arg : args) {
				shown += arg + ' ';
			}
			EXPECT_EQ(result.exitCode, 2u) << shown;
			EXPECT_EQ(result.output, "") << shown;
			EXPECT_FALSE(std::filesystem::exists(Sandbox::PluginLogPath(caseName, "f4se"))) << shown;
		}
		EXPECT_TRUE(AllLogLines().empty());
	}

	// --demo takes its two counts or neither (the demo target passes none).
	TEST_F(GameCommandLine, DemoRunsWithItsDefaultsOrTheCountsGiven)
	{
		MakeGame().WriteIni(Ini(1, 0, 1));
		const struct
		{
			std::vector<std::string> args;
			std::string              run;
		} cases[] = {
			{ { "--demo" }, "Game run: 4 game threads, 2000 placed references each" },
			{ { "--demo", "2", "10" }, "Game run: 2 game threads, 10 placed references each" },
		};
		for (const auto& c : cases) {
			const auto result = RunGame(c.args);
			EXPECT_EQ(result.exitCode, 0u) << c.run;
			EXPECT_NE(result.output.find(c.run), std::string::npos) << result.output;
		}
	}
} // namespace E2E
