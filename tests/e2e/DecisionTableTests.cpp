// What the two hooks answer and log for every row of their decision tables, seen from the
// game's side: the sandbox's game asks, the real plugin answers, the log is read back.
// Every row runs once per way the game's two functions may begin (the detour relocates
// what it steals differently for each), and checks that both functions were detoured.

#include "SandboxCase.h"

namespace E2E
{
	namespace
	{
		std::string Blocked(const std::string& a_ref, const std::string& a_kind, const std::string& a_cell)
		{
			return "[info] Blocked precombine invalidation: ref=" + a_ref + " [" + a_kind + "], cell=" + a_cell;
		}

		const std::string kChairInSanctuary = Blocked("0001A2B3 (Wooden Chair)", "placed reference", "0000C0DE (SanctuaryHillsExt)");

		struct HookCase
		{
			const char*              name;
			std::string              ini;
			std::string              script;    // played after kForms
			std::vector<std::string> output;    // what the game saw, line by line
			std::vector<std::string> pluginLog; // the log after the host library's first line
		};

		void PrintTo(const HookCase& a_case, std::ostream* a_out)
		{
			*a_out << a_case.name;
		}

		const HookCase kInvalidationCases[] = {
			{ "FullLoggingBlocksAndLogsEveryTime", Ini(1, 1, 0), "invalidate chair sanctuary true\ninvalidate chair sanctuary true\ninvalidate chair sanctuary false\n", { "invalidate chair sanctuary -> false", "invalidate chair sanctuary -> false", "invalidate chair sanctuary -> false" }, { kStartup, kEnabled, kChairInSanctuary, kChairInSanctuary } },
			{ "FullLoggingNamesAMissingReferenceUnknown", Ini(1, 1, 0), "invalidate @null sanctuary true\n", { "invalidate @null sanctuary -> false" }, { kStartup, kEnabled, Blocked("00000000 (<null>)", "unknown reference", "0000C0DE (SanctuaryHillsExt)") } },
			{ "FullLoggingPrintsAMissingCellAsZero", Ini(1, 1, 0), "invalidate chair @null true\ninvalidate @null @null true\n", { "invalidate chair @null -> false", "invalidate @null @null -> false" }, { kStartup, kEnabled, Blocked("0001A2B3 (Wooden Chair)", "placed reference", "00000000 (<null>)"), Blocked("00000000 (<null>)", "unknown reference", "00000000 (<null>)") } },
			{ "EmptyAndNullNamesPrintAsNone", Ini(1, 1, 0), "invalidate unnamed noname true\ninvalidate nullname noname true\n", { "invalidate unnamed noname -> false", "invalidate nullname noname -> false" }, { kStartup, kEnabled, Blocked("0001A2B4 (<none>)", "placed reference", "00ABCDEF (<none>)"), Blocked("0001A2B5 (<none>)", "placed reference", "00ABCDEF (<none>)") } },
			{ "IssuesOnlyLogsTheFirstBlockOfEachCell", Ini(1, 0, 1), "invalidate chair sanctuary false\n"
			                                                         "invalidate chair sanctuary true\n"
			                                                         "invalidate unnamed sanctuary true\n"
			                                                         "invalidate chair redrocket true\n"
			                                                         "invalidate chair @null true\n"
			                                                         "invalidate @null @null true\n"
			                                                         "cell zero 00000000 7 1 1 ZeroCell\n"
			                                                         "invalidate chair zero true\n"
			                                                         "invalidate chair sanctuary true\n",
			  { "invalidate chair sanctuary -> false", "invalidate chair sanctuary -> false", "invalidate unnamed sanctuary -> false", "invalidate chair redrocket -> false", "invalidate chair @null -> false", "invalidate @null @null -> false", "invalidate chair zero -> false", "invalidate chair sanctuary -> false" },
			  { kStartup, kChairInSanctuary, Blocked("0001A2B3 (Wooden Chair)", "placed reference", "0000BEEF (RedRocketExt)"), Blocked("0001A2B3 (Wooden Chair)", "placed reference", "00000000 (<null>)") } },
			{ "FullLoggingWinsOverIssuesOnly", Ini(1, 1, 1), "invalidate chair sanctuary true\ninvalidate chair sanctuary true\n", { "invalidate chair sanctuary -> false", "invalidate chair sanctuary -> false" }, { kStartup, kEnabled, kChairInSanctuary, kChairInSanctuary } },
			{ "WithoutLoggingBlocksSilently", Ini(1, 0, 0), "invalidate chair sanctuary true\ninvalidate @null @null true\ninvalidate chair sanctuary false\n", { "invalidate chair sanctuary -> false", "invalidate @null @null -> false", "invalidate chair sanctuary -> false" }, { kStartup } },
			{ "ProtectionOffLeavesTheGamesAnswerAndSaysSo", Ini(0, 1, 1), "invalidate chair sanctuary true\ninvalidate chair sanctuary false\n"
			                                                              "cell early 00001111 3 1 1 LoadingCell\nclear early\n",
			  { "invalidate chair sanctuary -> true", "invalidate chair sanctuary -> false", "clear early -> ran" },
			  { kStartup, "[info] Precombine protection disabled by INI" } },
			{ "ProtectionOffWithoutFullLoggingLogsOnlyTheStartup", Ini(0, 0, 1), "invalidate chair sanctuary true\n", { "invalidate chair sanctuary -> true" }, { kStartup } },
		};

		std::string Skipped(const std::string& a_cell)
		{
			return "[info] Skipped early precombine clear: cell=" + a_cell;
		}

		// One cell put through each state before a clear: "cell c <id> <state> <first> <second>".
		const std::string kClearSteps =
		    "cell c 0000C0DE 3 1 1 SanctuaryHillsExt\nclear c\n"
		    "cell c 0000C0DE 4 1 0 SanctuaryHillsExt\nclear c\n"
		    "cell c 0000C0DE 4 0 1 SanctuaryHillsExt\nclear c\n"
		    "cell c 0000C0DE 200 0 0 SanctuaryHillsExt\nclear c\n"
		    "cell c 0000C0DE 4 1 1 SanctuaryHillsExt\nclear c\n"
		    "cell c 0000C0DE 200 1 1 SanctuaryHillsExt\nclear c\n"
		    "clear @null\n";
		const std::vector<std::string> kClearOutput{ "clear c -> skipped", "clear c -> skipped", "clear c -> skipped", "clear c -> skipped",
			                                         "clear c -> ran", "clear c -> ran", "clear @null -> ran" };

		const HookCase kClearCases[] = {
			{ "FullLoggingLogsEverySkippedClear", Ini(1, 1, 0), kClearSteps, kClearOutput, { kStartup, kEnabled, Skipped("0000C0DE"), Skipped("0000C0DE"), Skipped("0000C0DE"), Skipped("0000C0DE") } },
			{ "IssuesOnlyNeverLogsASkippedClear", Ini(1, 0, 1), kClearSteps, kClearOutput, { kStartup } },
			{ "WithoutLoggingSkipsSilently", Ini(1, 0, 0), kClearSteps, kClearOutput, { kStartup } },
			{ "ProtectionOffLetsEveryClearRun", Ini(0, 0, 0), kClearSteps, { "clear c -> ran", "clear c -> ran", "clear c -> ran", "clear c -> ran", "clear c -> ran", "clear c -> ran", "clear @null -> ran" }, { kStartup } },
		};

		// How both game functions begin: a compiler's plain frame, and the two forms MSVC
		// emits that hold position-dependent instructions among the first bytes.
		struct Prologue
		{
			const char* option; // the game's --prologue value
			const char* name;
		};
		const Prologue kPrologues[] = {
			{ "compiler", "Compiler" },
			{ "stack-cookie", "StackCookie" }, // sub rsp, n; mov rax, [rip+cookie]; ...
			{ "test-branch", "TestBranch" },   // test reg, reg; je past the stolen bytes
		};

		void PrintTo(const Prologue& a_prologue, std::ostream* a_out)
		{
			*a_out << a_prologue.name;
		}

		using Row = std::tuple<HookCase, Prologue>;

		class HookDecisions : public SandboxCase, public ::testing::WithParamInterface<Row>
		{
		};

		std::string CaseName(const ::testing::TestParamInfo<Row>& a_info)
		{
			return std::string{ std::get<0>(a_info.param).name } + "_" + std::get<1>(a_info.param).name;
		}
	} // namespace

	TEST_P(HookDecisions, AnswersAndLogsAsTheSwitchesSay)
	{
		const auto& [hookCase, prologue] = GetParam();
		MakeGame({ "--prologue", prologue.option, "--clear-prologue", prologue.option }).WriteIni(hookCase.ini);

		const auto result = Play(std::string{ kForms } + hookCase.script + "entry invalidate\nentry clear\n");

		// A stack-cookie check that fails ends the game with STATUS_STACK_BUFFER_OVERRUN.
		EXPECT_EQ(result.exitCode, 0u) << std::hex << result.exitCode << "\n"
		                               << result.output;
		auto output = Lines(result.output);
		ASSERT_GE(output.size(), 2u) << result.output;
		const std::vector entries(output.end() - 2, output.end());
		output.resize(output.size() - 2);
		EXPECT_EQ(output, hookCase.output);
		EXPECT_EQ(PluginLines(), hookCase.pluginLog);
		// With protection on both functions begin with the detour's jump; off, neither does.
		const bool protectionOn = hookCase.ini.find("bEnablePrecombineProtection=1") != std::string::npos;
		for (const auto* const function : { "invalidate", "clear" }) {
			const auto bytes = EntryBytes(entries, function);
			EXPECT_EQ(StartsWithJump(bytes), protectionOn) << function << ": " << bytes;
		}
	}

	INSTANTIATE_TEST_SUITE_P(Invalidation, HookDecisions, ::testing::Combine(::testing::ValuesIn(kInvalidationCases), ::testing::ValuesIn(kPrologues)), CaseName);
	INSTANTIATE_TEST_SUITE_P(Clear, HookDecisions, ::testing::Combine(::testing::ValuesIn(kClearCases), ::testing::ValuesIn(kPrologues)), CaseName);
} // namespace E2E
