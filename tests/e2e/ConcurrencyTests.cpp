// Eight game threads calling both detoured functions at once, over many cells; and game
// threads already running both functions while the plugin puts its detours into them.

#include <map>
#include <regex>

#include "SandboxCase.h"

namespace E2E
{
	namespace
	{
		constexpr unsigned kThreads = 8;
		constexpr unsigned kCells = 64;

		// "  label:   value" from the tally the game prints.
		std::uint64_t Tally(const std::string& a_output, const std::string& a_label)
		{
			const std::regex pattern{ "  " + a_label + ": +(\\d+)" };
			std::smatch      match;
			if (!std::regex_search(a_output, match, pattern)) {
				ADD_FAILURE() << "no \"" << a_label << "\" in:\n"
				              << a_output;
				return 0;
			}
			return std::stoull(match[1]);
		}

		const std::regex kBlockedLine{
			R"(\[info\] Blocked precombine invalidation: ref=FF00000[0-7] \(Ref[0-7]\) \[placed reference\], cell=000100([0-9A-F]{2}) \(Cell\d+\))"
		};
		const std::regex kSkippedLine{ R"(\[info\] Skipped early precombine clear: cell=000100[0-9A-F]{2})" };
	} // namespace

	using PluginUnderLoad = SandboxCase;

	TEST_F(PluginUnderLoad, IssuesOnlyLogsEachBlockedCellExactlyOnce)
	{
		constexpr unsigned kIterations = 4000;
		MakeGame().WriteIni(Ini(1, 0, 1));

		const auto result = RunGame({ "--hammer", std::to_string(kThreads), std::to_string(kIterations), std::to_string(kCells) });

		ASSERT_EQ(result.exitCode, 0u);
		EXPECT_EQ(Tally(result.output, "blocked by the plugin"), kThreads * kIterations);
		EXPECT_EQ(Tally(result.output, "clears run"), 0u);

		auto lines = PluginLines();
		ASSERT_FALSE(lines.empty());
		EXPECT_EQ(lines.front(), kStartup);
		std::map<std::string, int> perCell;
		for (auto line = lines.begin() + 1; line != lines.end(); ++line) {
			std::smatch match;
			ASSERT_TRUE(std::regex_match(*line, match, kBlockedLine)) << *line;
			++perCell[match[1]];
		}
		EXPECT_EQ(perCell.size(), kCells);
		for (const auto& [cell, count] : perCell) {
			EXPECT_EQ(count, 1) << "cell 000100" << cell;
		}
	}

	TEST_F(PluginUnderLoad, FullLoggingWritesEveryLineWhole)
	{
		constexpr unsigned kIterations = 500;
		MakeGame().WriteIni(Ini(1, 1, 0));

		const auto result = RunGame({ "--hammer", std::to_string(kThreads), std::to_string(kIterations), std::to_string(kCells) });

		ASSERT_EQ(result.exitCode, 0u);
		const auto lines = PluginLines();
		ASSERT_GE(lines.size(), 2u);
		EXPECT_EQ(lines[0], kStartup);
		EXPECT_EQ(lines[1], kEnabled);
		std::uint64_t blocked = 0;
		std::uint64_t skipped = 0;
		for (auto line = lines.begin() + 2; line != lines.end(); ++line) {
			if (std::regex_match(*line, kBlockedLine)) {
				++blocked;
			} else if (std::regex_match(*line, kSkippedLine)) {
				++skipped;
			} else {
				ADD_FAILURE() << "torn or unexpected line: " << *line;
			}
		}
		EXPECT_EQ(blocked, kThreads * kIterations);
		EXPECT_EQ(skipped, kThreads * kIterations);
	}

	// The detours go in while game threads run through both functions, four busy threads
	// in each game run. A thread may reach the replacement the moment the jump is written,
	// so the way back to the game's code must be published before (written after, every
	// run crashes); or it may be held among the bytes being rewritten and must be moved
	// to their copies (ThreadFreezeTests place threads there exactly; here it happens only
	// now and then, most likely with the short first instructions of the stack cookie's
	// and the null test's prologues). Every call must run the game's own code exactly
	// once, and every request made after the load be blocked.
	TEST_F(PluginUnderLoad, DetoursGoInWhileGameThreadsRunBothFunctions)
	{
		constexpr int kRunsPerPrologue = 4;
		for (const char* prologue : { "compiler", "stack-cookie", "test-branch" }) {
			for (int run = 0; run < kRunsPerPrologue; ++run) {
				SCOPED_TRACE(std::string{ prologue } + ", run " + std::to_string(run));
				MakeGame({ "--prologue", prologue, "--clear-prologue", prologue }).WriteIni(Ini(1, 0, 0));

				const auto result = RunGame({ "--load-while-running", "4" });

				ASSERT_EQ(result.exitCode, 0u) << result.output;
				const auto split = result.output.find("Calls begun after it:");
				ASSERT_NE(split, std::string::npos) << result.output;
				const std::string during = result.output.substr(0, split);
				const std::string after = result.output.substr(split);

				const auto duringRequests = Tally(during, "invalidation requests");
				EXPECT_GT(duringRequests, 0u);
				EXPECT_EQ(Tally(during, "answered \"invalidates\" by the game"), duringRequests) << "the game's code ran once a call";
				EXPECT_GT(Tally(during, "clear requests"), 0u) << "the game's threads cleared while the plugin loaded";
				EXPECT_EQ(Tally(during, "clears run"), Tally(during, "clear requests"));

				const auto afterRequests = Tally(after, "invalidation requests");
				EXPECT_GT(afterRequests, 0u);
				EXPECT_EQ(Tally(after, "answered \"invalidates\" by the game"), afterRequests) << "the game's code ran once a call";
				EXPECT_EQ(Tally(after, "blocked by the plugin"), afterRequests);
				EXPECT_GT(Tally(after, "clear requests"), 0u);
				EXPECT_EQ(Tally(after, "clears run"), Tally(after, "clear requests")) << "clears of set-up cells all run";

				// Logging off: the start-up line alone, no error line of a detour refused.
				EXPECT_EQ(PluginLines(), std::vector<std::string>{ kStartup });
			}
		}
	}
} // namespace E2E
