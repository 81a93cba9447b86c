// A fatal error against the real Windows calls (under Wine): a child process logs, hits
// the fatal error, and must end with exit code 1 after the critical line reached its log.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ChildProcess.h"

TEST(WindowsModule, FatalErrorEndsTheProcessWithExitCode1AfterLoggingTheLine)
{
	const auto folder = TestSupport::ThisProgramFolder();
	const auto log = folder / "rex_fatal_child.log";
	std::filesystem::remove(log);
	const auto run = TestSupport::RunChild(L"\"" + (folder / "rex_fatal_child.exe").wstring() + L"\" \"" + log.wstring() + L"\"");
	ASSERT_TRUE(run.started);
	EXPECT_EQ(run.exitCode, 1u);

	std::ifstream      in(log);
	std::ostringstream text;
	text << in.rdbuf();
	const auto content = text.str();
	EXPECT_NE(content.find("[info] before the fatal error"), std::string::npos) << content;
	EXPECT_NE(content.find("[critical] child fatal 42"), std::string::npos) << content;
}
