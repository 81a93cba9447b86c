// The detour's plan on byte buffers that are not live code, and the shared blocks it is
// written to.

#include "CodeMemory.h"
#include "Detour/DetourPlan.h"
#include "Detour/InlineHook.h"
#include "TrampolinePool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

namespace
{
	using Bytes = std::vector<std::uint8_t>;
	using Failure = Detour::DetourFailure;

	constexpr std::uintptr_t kTarget = 0x0000'7FF6'1234'5670;
	constexpr std::uintptr_t kNearBlock = 0x0000'7FF6'1000'0000;
	constexpr std::uintptr_t kFarReplacement = 0x0000'7FFE'0000'1000;
	constexpr std::uintptr_t kFarBlock = 0x0000'1000'0000'0000;
} // namespace

TEST(DetourPlan, RefusesWhatItCannotTakeAndSaysWhereWritingNothing)
{
	struct Case
	{
		const char*    what;
		Bytes          code;
		std::uintptr_t trampoline;
		std::size_t    functionSize;
		Failure        failure;
		std::size_t    at;
	};
	const Case cases[] = {
		{ "int3 padding after a 4-byte function", { 0x48, 0x83, 0xC0, 0x07, 0xCC, 0xCC, 0xCC, 0xCC }, kNearBlock, 0, Failure::FunctionEnds, 4 },
		{ "ret before the jump fits", { 0x31, 0xC0, 0xC3, 0x90, 0x90, 0x90 }, kNearBlock, 0, Failure::FunctionEnds, 2 },
		{ "jmp rax before the jump fits", { 0x89, 0xC8, 0xFF, 0xE0, 0x90, 0x90 }, kNearBlock, 0, Failure::FunctionEnds, 2 },
		{ "an instruction reaching past the known function end", { 0x48, 0x89, 0x5C, 0x24, 0x08, 0x90 }, kNearBlock, 4, Failure::PastFunctionEnd, 0 },
		{ "second instruction past the known end", { 0x89, 0xC8, 0x48, 0x83, 0xC0, 0x07 }, kNearBlock, 5, Failure::PastFunctionEnd, 2 },
		{ "branch into the middle of a stolen instruction", { 0x75, 0x01, 0x48, 0x89, 0xC8, 0x90 }, kNearBlock, 0, Failure::Unrelocatable, 0 },
		{ "rip-relative operand 2 GiB beyond the trampoline", { 0x48, 0x8B, 0x05, 0x00, 0x00, 0x00, 0x70, 0xC3 }, kTarget - 0x40000000, 0, Failure::Unrelocatable, 0 },
		{ "a loop of the function back into the stolen bytes", { 0x31, 0xC0, 0x01, 0xC8, 0xFF, 0xC9, 0x75, 0xFA, 0xC3 }, kNearBlock, 9, Failure::BranchIntoStolenBytes, 6 },
		{ "eip-relative operand (67 prefix)", { 0x67, 0x8B, 0x05, 0x00, 0x00, 0x00, 0x00, 0xC3 }, kNearBlock, 0, Failure::Unrelocatable, 0 },
		{ "undecodable (AMX tilerelease, a VEX encoding not accepted)", { 0x48, 0x89, 0xC8, 0xC4, 0xE2, 0x78, 0x49, 0xC0 }, kNearBlock, 0, Failure::Undecodable, 3 },
		{ "bytes end inside an instruction", { 0x48, 0x89, 0xC8, 0x48, 0x8B }, kNearBlock, 0, Failure::CodeTooShort, 3 },
		{ "bytes end before the jump fits", { 0x48, 0x89, 0xC8 }, kNearBlock, 0, Failure::CodeTooShort, 3 },
		{ "no near block: rip-relative refused", { 0x48, 0x8B, 0x05, 0x00, 0x00, 0x00, 0x00, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90 }, kFarBlock, 0, Failure::RipRelative, 0 },
		{ "no near block: call refused", { 0x55, 0xE8, 0, 0, 0, 0, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90 }, kFarBlock, 0, Failure::RelativeBranch, 1 },
	};
	for (const Case& c : cases) {
		const Detour::DetourPlan plan = Detour::PlanDetour(c.code, kTarget, kFarReplacement, c.trampoline + Detour::kRelaySize, c.trampoline, c.functionSize);
		EXPECT_EQ(plan.failure, c.failure) << c.what << ": " << Detour::DescribeFailure(plan.failure);
		EXPECT_EQ(plan.failedAt, c.at) << c.what;
		EXPECT_TRUE(plan.patch.empty() && plan.trampoline.empty() && plan.relay.empty()) << c.what;
	}
}

TEST(DetourPlan, JumpFormFollowsWhereTheReplacementAndTheBlockLie)
{
	const Bytes prologue = { 0x48, 0x89, 0x5C, 0x24, 0x08, 0x48, 0x89, 0x74, 0x24, 0x10, 0x57, 0x48, 0x83, 0xEC, 0x20, 0xC3 };
	struct Case
	{
		const char*    what;
		std::uintptr_t replacement;
		std::uintptr_t block;
		std::uint64_t  jumpSize;
		std::uint64_t  stolen;
		bool           relay;
	};
	const Case cases[] = {
		{ "near replacement: straight to it", kTarget + 0x1000, kNearBlock, 5, 5, false },
		{ "far replacement, near block: through the relay", kFarReplacement, kNearBlock, 5, 5, true },
		{ "far replacement, no near block: absolute jump", kFarReplacement, kFarBlock, 14, 15, false },
	};
	for (const Case& c : cases) {
		const Detour::DetourPlan plan = Detour::PlanDetour(prologue, kTarget, c.replacement, c.block + Detour::kRelaySize, c.block);
		ASSERT_TRUE(plan.ok()) << c.what;
		EXPECT_EQ(plan.jumpSize, c.jumpSize) << c.what;
		EXPECT_EQ(plan.stolenLength, c.stolen) << c.what;
		EXPECT_EQ(plan.patch.size(), c.stolen) << c.what;
		EXPECT_EQ(!plan.relay.empty(), c.relay) << c.what;
		EXPECT_EQ(plan.jumpDestination, c.relay ? c.block : c.replacement) << c.what;
		EXPECT_LE(plan.trampoline.size(), Detour::kMaxTrampolineSize) << c.what;
		EXPECT_TRUE(std::equal(prologue.begin(), prologue.begin() + static_cast<std::ptrdiff_t>(c.stolen), plan.trampoline.begin())) << c.what << ": copied verbatim";
	}
}

TEST(DetourPlan, DryRunTakesEveryPositionDependentFormOfACompiledPrologue)
{
	// MSVC-style entries: stack cookie, early test-and-branch, a call first, a jump table.
	struct Case
	{
		const char*                     what;
		Bytes                           code;
		std::vector<Detour::Relocation> relocations;
	};
	const Case cases[] = {
		{ "cookie load", { 0x48, 0x8B, 0x05, 0x10, 0x20, 0x30, 0x00, 0x48, 0x33, 0xC4 }, { Detour::Relocation::RipDisplacement } },
		{ "test, je past the stolen bytes", { 0x48, 0x85, 0xD2, 0x74, 0x40, 0x48, 0x89, 0x5C, 0x24, 0x08 }, { Detour::Relocation::Copied, Detour::Relocation::ConditionalJump } },
		{ "call first", { 0xE8, 0x00, 0x10, 0x00, 0x00, 0x90 }, { Detour::Relocation::Call } },
		{ "jmp [rip+x] last", { 0x8B, 0xC1, 0xFF, 0x24, 0xC5, 0, 0, 0, 0, 0xCC }, { Detour::Relocation::Copied, Detour::Relocation::Copied } },
		{ "jmp rel32 after a mov", { 0x8B, 0xC1, 0xE9, 0x00, 0x01, 0x00, 0x00, 0xCC }, { Detour::Relocation::Copied, Detour::Relocation::Jump } },
	};
	for (const Case& c : cases) {
		const Detour::DetourPlan plan = Detour::DryRunDetour(c.code, kTarget);
		ASSERT_TRUE(plan.ok()) << c.what << ": " << Detour::DescribeFailure(plan.failure) << " at " << plan.failedAt;
		ASSERT_EQ(plan.instructions.size(), c.relocations.size()) << c.what;
		for (std::size_t i = 0; i < c.relocations.size(); ++i) {
			EXPECT_EQ(plan.instructions[i].relocation, c.relocations[i]) << c.what << ", instruction " << i;
		}
	}
}

TEST(TrampolinePool, EachSlotHasAPageOfItsOwnSealedForGoodAndGoneWithItsSlot)
{
	namespace CodeMemory = Detour::CodeMemory;
	Detour::TrampolinePool pool;
	const auto             near = reinterpret_cast<std::uintptr_t>(&pool);
	const auto             first = pool.Take(near, 100);
	const auto             second = pool.Take(near, 200);
	ASSERT_TRUE(first && second);
	const std::size_t pageSize = CodeMemory::PageSize();
	const bool        sharedBlock = CodeMemory::BlockSize() > pageSize;
	EXPECT_EQ(pool.BlockCount(), sharedBlock ? 1u : 2u) << "detours near each other share a block where a block holds several pages";
	EXPECT_EQ(pool.PageCount(), 2u);
	EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first.address) % pageSize, 0u);
	EXPECT_EQ(reinterpret_cast<std::uintptr_t>(second.address) % pageSize, 0u) << "a page of its own";

	const Bytes                code = { 0xB8, 0x2A, 0x00, 0x00, 0x00, 0xC3 };
	Detour::CodeMemory::Access access;
	ASSERT_TRUE(pool.Write(second, 0, code));
	EXPECT_FALSE(pool.Write(second, second.size - 5, code)) << "never past the slot, not by one byte";
	ASSERT_TRUE(CodeMemory::QueryAccess(second.address, access));
	EXPECT_TRUE(access.write && !access.execute) << "read/write while nothing runs there";
	ASSERT_TRUE(pool.Seal(second));
	ASSERT_TRUE(CodeMemory::QueryAccess(second.address, access));
	EXPECT_TRUE(access.read && access.execute && !access.write) << "execute/read once sealed";
	EXPECT_FALSE(pool.Write(second, 0, code)) << "a sealed page is never written again";
	EXPECT_FALSE(pool.Seal(second));
	EXPECT_TRUE(std::equal(code.begin(), code.end(), second.address));

	pool.Return(second);
	EXPECT_EQ(pool.PageCount(), 1u) << "decommitted with its slot";
	EXPECT_EQ(pool.BlockCount(), 1u) << "the first slot still lives in its block";
	const auto third = pool.Take(near, 16);
	ASSERT_TRUE(third);
	EXPECT_NE(third.address, first.address) << "a page with a slot is never handed out again";
	pool.Return(third);
	pool.Return(first);
	EXPECT_EQ(pool.BlockCount(), 0u) << "released with its last page";
}

TEST(InlineHook, TargetThatIsNotExecutableIsRefusedWithoutReadingIt)
{
	// Data on the heap: readable, not code.
	auto               data = std::make_unique<std::uint8_t[]>(64);
	Detour::InlineHook hook;
	const Bytes        before(data.get(), data.get() + 64);
	EXPECT_FALSE(hook.Install(data.get(), data.get() + 32));
	EXPECT_EQ(hook.failure, Failure::TargetNotExecutable);
	EXPECT_EQ(hook.failedAt, data.get());
	EXPECT_EQ(Bytes(data.get(), data.get() + 64), before);
	EXPECT_EQ(Detour::TrampolinePool::Instance().BlockCount(), 0u) << "no block taken for it";
}

TEST(DetourPlan, RandomCodeGivesEitherARefusalOrAConsistentPlan)
{
	// Random bytes, often led by branches and rip-relative operands, planned near and
	// far: whatever is accepted must hold together.
	constexpr std::uint8_t kLeads[] = { 0xE8, 0xE9, 0xEB, 0x74, 0x0F, 0xE2, 0xE3, 0x48, 0x8B, 0x05, 0xFF, 0x25, 0x67, 0x66 };
	std::mt19937_64        random(0x51554C);
	std::size_t            accepted = 0;
	for (int i = 0; i < 100000; ++i) {
		Bytes code(32);
		for (std::uint8_t& byte : code) {
			byte = (random() % 3 == 0) ? kLeads[random() % sizeof kLeads] : static_cast<std::uint8_t>(random());
		}
		const std::size_t        functionSize = random() % 2 == 0 ? 0 : random() % 40;
		const bool               nearBlock = random() % 4 != 0;
		const std::uintptr_t     block = nearBlock ? kNearBlock : kFarBlock;
		const Detour::DetourPlan plan = Detour::PlanDetour(code, kTarget, random() % 2 == 0 ? kFarReplacement : kTarget + 0x100, block + Detour::kRelaySize, block, functionSize);
		if (!plan.ok()) {
			ASSERT_TRUE(plan.patch.empty() && plan.trampoline.empty());
			continue;
		}
		++accepted;
		ASSERT_GE(plan.stolenLength, plan.jumpSize);
		ASSERT_EQ(plan.patch.size(), plan.stolenLength);
		ASSERT_LE(plan.trampoline.size(), Detour::kMaxTrampolineSize);
		if (functionSize != 0) {
			ASSERT_LE(plan.stolenLength, functionSize);
		}
		std::size_t offset = 0;
		std::size_t trampolineOffset = 0;
		for (const Detour::StolenInstruction& instruction : plan.instructions) {
			ASSERT_EQ(instruction.offset, offset);
			ASSERT_EQ(instruction.trampolineOffset, trampolineOffset);
			ASSERT_TRUE(instruction.relocation == Detour::Relocation::Copied || plan.nearPage) << "relocation only with a near block";
			offset += instruction.length;
			trampolineOffset += instruction.trampolineLength;
		}
		ASSERT_EQ(offset, plan.stolenLength);
		ASSERT_EQ(trampolineOffset + plan.returnJumpSize, plan.trampoline.size());
	}
	EXPECT_GT(accepted, 10000u) << "the random code is mostly plannable";
}
