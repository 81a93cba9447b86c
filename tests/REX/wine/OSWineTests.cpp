// The platform call layer's own queries on the real Windows calls, under Wine.

#include <gtest/gtest.h>

#include "REX/OS.h"

TEST(DebuggerWineTest, NoDebuggerIsReportedInATestRun)
{
	// Wine attaches no debugger to the tests, so the log's debugger sink stays silent.
	EXPECT_FALSE(REX::OS::IsDebuggerPresent());
}
