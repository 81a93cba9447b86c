#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "DebuggerOutputSink.h"
#include "FakeDebugger.h"

namespace
{
	class DebuggerOutputSinkTest : public ::testing::Test
	{
	protected:
		void SetUp() override { FakeOS::Reset(); }
		void TearDown() override { FakeOS::Reset(); }
	};

	TEST_F(DebuggerOutputSinkTest, WritesOnlyWhileADebuggerIsAttached)
	{
		auto sink = std::make_shared<F4SE::Impl::DebuggerOutputSink>();
		sink->set_pattern("[%L] %v");
		spdlog::logger logger{ "debugger", sink };

		// Each line is checked against the debugger's state at that moment.
		struct Line
		{
			bool        attached;
			const char* text;
		};
		const std::vector<Line> lines{
			{ false, "before" },
			{ true, "while attached" },
			{ true, "Pfad: C:/Users/Jürgen/Ελληνικά/中文" },
			{ false, "after" },
		};
		for (const auto& line : lines) {
			FakeOS::SetDebuggerAttached(line.attached);
			logger.error(line.text);
		}

		// UTF-8 lines reach the wide output call intact, non-ASCII text included.
		const auto                      written = FakeOS::DebugOutput();
		const std::vector<std::wstring> expected{ L"[E] while attached", L"[E] Pfad: C:/Users/Jürgen/Ελληνικά/中文" };
		ASSERT_EQ(written.size(), expected.size());
		for (std::size_t i = 0; i < expected.size(); ++i) {
			EXPECT_EQ(written[i].substr(0, expected[i].size()), expected[i]);
		}
		EXPECT_EQ(FakeOS::CallCount("IsDebuggerPresent"), 4);
	}

	TEST_F(DebuggerOutputSinkTest, DirectOutputIsWrittenWithoutADebugger)
	{
		// Failed initialisation steps are reported to a debug-output viewer even when no
		// debugger is attached.
		F4SE::Impl::DebuggerOutputSink::WriteDebugOutput("host initialisation: a step failed\n");
		EXPECT_EQ(FakeOS::DebugOutput(), std::vector<std::wstring>{ L"host initialisation: a step failed\n" });
	}
} // namespace
