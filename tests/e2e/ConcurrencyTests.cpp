// Eight game threads calling both detoured functions at once, over many cells.

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
} // namespace E2E
