// The branch trampoline on the real platform calls, under Wine: the memory it reserves
// lies within reach of the code that branches to it.

#include <gtest/gtest.h>

#include <cstdint>

#include <windows.h>

#include "REL/Trampoline.h"
#include "REX/FModule.h"

TEST(TrampolineWineTest, ReservedMemoryLiesWithinBranchReachOfTheCode)
{
	const auto text = REX::FModule::ProcessModule().FindSection(".text");
	ASSERT_NE(text.start, 0u);
	const auto  end = text.start + text.size;
	auto* const memory = REL::Impl::AllocTrampoline(4096, end);
	ASSERT_NE(memory, nullptr);
	const auto address = reinterpret_cast<std::uint64_t>(memory);
	const auto distance = address > end ? address - end : end - address;
	EXPECT_LT(distance, 0x80000000u);
	EXPECT_TRUE(::VirtualFree(memory, 0, MEM_RELEASE));
}
