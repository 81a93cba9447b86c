// After the plugin has loaded and detoured the game, no page that loading it created or
// changed is writable and executable at once: the trampolines' pages are execute/read,
// the game's patched code keeps its protection. The game stand-in walks its memory with
// VirtualQuery before and after the plugins load and prints what changed.

#include <algorithm>

#include "SandboxCase.h"

namespace E2E
{
	namespace
	{
		struct PageCase
		{
			const char* name;
			int         protection;       // the INI's switch
			const char* prologue;         // how both game functions begin
			bool        expectsNearPages; // trampoline pages within a near jump of the game
		};

		void PrintTo(const PageCase& a_case, std::ostream* a_out)
		{
			*a_out << a_case.name;
		}

		const PageCase kPageCases[] = {
			{ "DetouredCompilerPrologues", 1, "compiler", true },
			{ "DetouredStackCookiePrologues", 1, "stack-cookie", true },
			// Nothing is patched: whatever the walk finds is the process's own doing, and
			// it must find nothing.
			{ "ProtectionOff", 0, "compiler", false },
		};

		class PageProtection : public SandboxCase, public ::testing::WithParamInterface<PageCase>
		{
		};

		std::size_t CountAfter(const std::vector<std::string>& a_lines, const std::string& a_label)
		{
			const auto line = std::ranges::find_if(a_lines, [&](const std::string& a_line) { return a_line.starts_with(a_label); });
			return line == a_lines.end() ? ~std::size_t{ 0 } : std::stoul(line->substr(a_label.size()));
		}
	} // namespace

	TEST_P(PageProtection, NoPageTheLoadTouchedIsWritableAndExecutable)
	{
		const auto& pageCase = GetParam();
		MakeGame({ "--prologue", pageCase.prologue, "--clear-prologue", pageCase.prologue }).WriteIni(Ini(pageCase.protection, 1, 0));

		const auto result = RunGame({ "--pages" });

		ASSERT_EQ(result.exitCode, 0u) << result.output;
		const auto lines = Lines(result.output);
		EXPECT_EQ(CountAfter(lines, "writable-executable new or changed: "), 0u) << result.output;
		EXPECT_NE(std::ranges::find(lines, "game code protection: unchanged"), lines.end()) << result.output;
		const auto executablePages = CountAfter(lines, "private executable new: ");
		if (pageCase.expectsNearPages) {
			ASSERT_EQ(PluginLines().at(1), kEnabled);
			// Without the line, executablePages would hold CountAfter's "missing" and pass
			// the count check below.
			const auto first = std::ranges::find_if(lines, [](const std::string& a_line) { return a_line.starts_with("private executable new: "); });
			ASSERT_NE(first, lines.end()) << result.output;
			EXPECT_GE(executablePages, 1u) << result.output;
			// Every new executable page is execute/read (PAGE_EXECUTE_READ, 0x20) and
			// within a near jump of both game functions.
			for (auto line = first + 1; line != lines.end() && line->starts_with("  "); ++line) {
				EXPECT_NE(line->find(" protect 20 "), std::string::npos) << *line;
				EXPECT_TRUE(line->ends_with(" near")) << *line;
			}
		} else {
			EXPECT_EQ(executablePages, 0u) << result.output;
		}
	}

	INSTANTIATE_TEST_SUITE_P(Load, PageProtection, ::testing::ValuesIn(kPageCases),
	                         [](const ::testing::TestParamInfo<PageCase>& a_info) { return std::string{ a_info.param.name }; });
} // namespace E2E
