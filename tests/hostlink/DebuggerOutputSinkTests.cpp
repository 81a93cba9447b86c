#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "DebuggerOutputSink.h"

namespace
{
	TEST(DebuggerOutputSinkTest, WritesOnlyWhileADebuggerIsAttached)
	{
		bool                     attached = false;
		std::vector<std::string> written;
		auto                     sink = std::make_shared<F4SE::Impl::DebuggerOutputSink>(
            [&] { return attached; }, [&](const char* a_text) { written.emplace_back(a_text); });
		sink->set_pattern("[%L] %v");
		spdlog::logger logger{ "debugger", sink };

		logger.info("before");
		attached = true;
		logger.error("while attached");
		attached = false;
		logger.info("after");

		EXPECT_EQ(written.size(), 1u);
		ASSERT_FALSE(written.empty());
		EXPECT_EQ(written[0].substr(0, 18), "[E] while attached");
	}

	TEST(DebuggerOutputSinkTest, NoDebuggerIsReportedInATestRun)
	{
		// Neither the native run nor Wine attaches a debugger, so the platform's own check
		// must keep the sink silent here.
		EXPECT_FALSE(F4SE::Impl::DebuggerOutputSink::DebuggerPresent());
	}
} // namespace
