// The detour's plan on byte buffers that are not live code, and the shared blocks it is
// written to.

#include "CodeMemory.h"
#include "Detour/DetourPlan.h"
#include "Detour/InlineHook.h"
#include "Detour/InstructionLengthDecoder.h"
#include "DetourPlanPhases.h"
#include "SwitchFunctions.h"
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
		bool           relay; // a relay address is given
	};
	const Case cases[] = {
		{ "near replacement, no relay: straight to it", kTarget + 0x1000, kNearBlock, 5, 5, false },
		{ "near replacement, a relay: through it all the same", kTarget + 0x1000, kNearBlock, 5, 5, true },
		{ "far replacement, near block: through the relay", kFarReplacement, kNearBlock, 5, 5, true },
		{ "far replacement, no near block: absolute jump to the relay", kFarReplacement, kFarBlock, 14, 15, true },
		{ "far replacement, no relay: absolute jump to it", kFarReplacement, kFarBlock, 14, 15, false },
	};
	for (const Case& c : cases) {
		const Detour::DetourPlan plan = Detour::PlanDetour(prologue, kTarget, c.replacement, c.block + Detour::kRelaySize, c.relay ? c.block : 0);
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

TEST(DetourPlan, ScanThatCannotReachTheFunctionsEndRefuses)
{
	// The function's own branches are looked for up to its known end; one hidden behind
	// code the scan cannot measure may land inside the jump. Each function starts with
	// 5 bytes to steal (xor eax, eax; add eax, ecx; nop) and loops back to the add.
	const Bytes prologue = { 0x31, 0xC0, 0x01, 0xC8, 0x90 };
	const auto  function = [&](const Bytes& a_middle) {
        Bytes code = prologue;
        code.insert(code.end(), a_middle.begin(), a_middle.end());
        const auto back = static_cast<std::uint8_t>(2 - static_cast<int>(code.size() + 2)); // jne to the add at +2
        code.insert(code.end(), { 0x75, back, 0xC3 });
        return code;
	};
	// vzeroupper: refused by a decoder without VEX, measured by one with it; the scan
	// follows whatever the decoder answers.
	const Bytes vzeroupper = { 0xC5, 0xF8, 0x77 };
	const bool  vexMeasured = Detour::InstructionLengthDecoder(Bytes{ 0xC5, 0xF8, 0x77, 0xC3, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC }.data(), Detour::kX86_64Mode) == 3;
	const Bytes nops = { 0x90, 0x90, 0x90 };
	struct Case
	{
		const char* what;
		Bytes       code;
		std::size_t functionSize; // 0: the code's size
		std::size_t given;        // bytes given, 0: all
		Failure     failure;
		std::size_t at;
	};
	const Case cases[] = {
		{ "a byte the decoder refuses before the loop", function({ 0x06 }), 0, 0, Failure::RestOfFunctionUnchecked, 5 },
		{ "vzeroupper before the loop", function(vzeroupper), 0, 0, vexMeasured ? Failure::BranchIntoStolenBytes : Failure::RestOfFunctionUnchecked, vexMeasured ? 8u : 5u },
		{ "the bytes given end before the function does", function(nops), 0, 8, Failure::RestOfFunctionUnchecked, 8 },
		{ "an instruction reaching past the function's end", Bytes{ 0x31, 0xC0, 0x01, 0xC8, 0x90, 0x48, 0x8B, 0xC1 }, 7, 0, Failure::RestOfFunctionUnchecked, 5 },
		{ "scanned to its end, the loop is found", function(nops), 0, 0, Failure::BranchIntoStolenBytes, 8 },
		{ "scanned to its end, nothing comes back", Bytes{ 0x31, 0xC0, 0x01, 0xC8, 0x90, 0x48, 0x8B, 0xC1, 0xC3 }, 0, 0, Failure::None, 0 },
	};
	for (const Case& c : cases) {
		const std::span<const std::uint8_t> code = std::span{ c.code }.first(c.given != 0 ? c.given : c.code.size());
		const Detour::DetourPlan            plan = Detour::DryRunDetour(code, kTarget, c.functionSize != 0 ? c.functionSize : c.code.size());
		EXPECT_EQ(plan.failure, c.failure) << c.what << ": " << Detour::DescribeFailure(plan.failure);
		EXPECT_EQ(plan.failedAt, c.at) << c.what;
	}
	EXPECT_EQ(Detour::DescribeFailure(Failure::RestOfFunctionUnchecked), "cannot check the rest of the function");
}

TEST(DetourPlan, SwitchTablesAfterTheCodePassOnlyAsTheDataTheCodeReads)
{
	// A switch's tables after the function's code are no instructions: the scan passes
	// them when the code read them as tables (through the image's base) and each case
	// leads to an instruction it measured; else it refuses as at any bytes it cannot
	// measure. The offsets are chosen so that read as code they hold an undecodable byte.
	using TestSupport::SwitchOfThree;
	using TestSupport::TwoLevelSwitch;
	constexpr std::uint32_t kRva = 0x1000;
	constexpr std::uint32_t kTwoLevelRva = 0x10DC; // its first offset begins with 06
	const auto              u32 = [](std::uint32_t a_value) {
        Bytes bytes(4);
        TestSupport::PutU32(bytes, 0, a_value);
        return bytes;
	};
	struct Patch
	{
		std::size_t at;
		Bytes       bytes;
	};
	struct Case
	{
		const char*        what;
		bool               twoLevel;
		std::vector<Patch> patches;
		bool               baseKnown;
		Failure            failure;
	};
	const std::size_t entry1 = SwitchOfThree::kTable + 4;
	const Case        cases[] = {
		       { "read the way MSVC reads it", false, {}, true, Failure::None },
		       { "the image's base unknown", false, {}, false, Failure::RestOfFunctionUnchecked },
		       { "read from past its start (cases from 1 on)", false, { { SwitchOfThree::kRead, u32(kRva + SwitchOfThree::kTable + 4) } }, true, Failure::None },
		       { "a case at the function's entry, where the jump goes", false, { { entry1, u32(kRva) } }, true, Failure::None },
		       { "not read by the code", false, { { SwitchOfThree::kRead, u32(kRva + 0x100) } }, true, Failure::RestOfFunctionUnchecked },
		       { "read as 8-byte entries", false, { { SwitchOfThree::kRead - 1, { 0xC0 } } }, true, Failure::RestOfFunctionUnchecked },
		       { "an offset out of the function", false, { { entry1, u32(kRva + 0x100) } }, true, Failure::RestOfFunctionUnchecked },
		       { "an offset into the middle of an instruction", false, { { entry1, u32(kRva + SwitchOfThree::kCases[1] + 1) } }, true, Failure::RestOfFunctionUnchecked },
		       { "an offset into the table itself", false, { { entry1, u32(kRva + SwitchOfThree::kTable) } }, true, Failure::RestOfFunctionUnchecked },
		       { "an offset into the bytes the jump overwrites", false, { { entry1, u32(kRva + 1) } }, true, Failure::BranchIntoStolenBytes },
		       { "a branch of the code into the table", false, { { SwitchOfThree::kJa, { static_cast<std::uint8_t>(SwitchOfThree::kTable - SwitchOfThree::kJa - 1) } } }, true, Failure::RestOfFunctionUnchecked },
		       { "code that runs on into the table", false, { { SwitchOfThree::kTable - 2, { 0x90, 0x90 } } }, true, Failure::RestOfFunctionUnchecked },
		       { "two levels, read the way MSVC reads them", true, {}, true, Failure::None },
		       { "two levels, an index past the offsets", true, { { TwoLevelSwitch::kIndices + 2, { 2 } } }, true, Failure::RestOfFunctionUnchecked },
		       { "two levels, the indices not read", true, { { TwoLevelSwitch::kIndexRead, u32(kTwoLevelRva + 0x100) } }, true, Failure::RestOfFunctionUnchecked },
	};
	for (const Case& c : cases) {
		const std::uint32_t rva = c.twoLevel ? kTwoLevelRva : kRva;
		Bytes               code = c.twoLevel ? TwoLevelSwitch::Code(rva) : SwitchOfThree::Code(rva);
		for (const Patch& patch : c.patches) {
			std::ranges::copy(patch.bytes, code.begin() + static_cast<std::ptrdiff_t>(patch.at));
		}
		const Detour::DetourPlan plan = Detour::DryRunDetour(code, kTarget, code.size(), c.baseKnown ? kTarget - rva : 0);
		EXPECT_EQ(plan.failure, c.failure) << c.what << ": " << Detour::DescribeFailure(plan.failure) << " at +" << plan.failedAt;
		if (c.failure == Failure::BranchIntoStolenBytes) {
			EXPECT_EQ(plan.failedAt, entry1) << c.what << ": where the offset lies";
		}
	}
}

TEST(DetourPlan, LowAndHighAddressesNeverWrapAndAddressZeroIsNeverARelay)
{
	const Bytes              prologue = { 0x48, 0x89, 0x5C, 0x24, 0x08, 0xC3 };
	constexpr std::uintptr_t kTop = ~std::uintptr_t{ 0 };
	// The dry run's page: below the target's 64 KiB block, above it when that would be
	// block 0 or wrap.
	for (const std::uintptr_t target : { std::uintptr_t{ 0x8000 }, std::uintptr_t{ 0x1A000 }, std::uintptr_t{ 0x2A000 }, kTop - 0xFFFF }) {
		const Detour::DetourPlan plan = Detour::DryRunDetour(prologue, target);
		ASSERT_TRUE(plan.ok()) << std::hex << target << ": " << Detour::DescribeFailure(plan.failure);
		EXPECT_NE(plan.relayAddress, 0u) << std::hex << target;
		EXPECT_EQ(plan.jumpSize, 5u) << std::hex << target << ": through the relay";
		const std::uintptr_t distance = plan.relayAddress > target ? plan.relayAddress - target : target - plan.relayAddress;
		EXPECT_LT(distance, std::uintptr_t{ 0x20000 }) << std::hex << target << ": relay " << plan.relayAddress << " lies beside the target, not across the top";
		EXPECT_LE(plan.trampolineAddress, kTop - Detour::kMaxTrampolineSize) << std::hex << target;
	}

	struct Reach
	{
		std::uintptr_t from;
		std::uint64_t  size;
		std::uintptr_t to;
		bool           reaches;
	};
	const Reach reaches[] = {
		{ 0x1000, 5, kTop - 0xFFF, false }, // modular arithmetic would say 0x2000 - 5 bytes back
		{ kTop - 1, 5, 0x10, false },       // the branch itself would wrap
		{ 0x1000, 5, 0x80001004, true },
		{ 0x80001005, 5, 0x100A, true }, // 2 GiB back from the branch's end
		{ 0x80001005, 5, 0x1009, false },
	};
	for (const Reach& r : reaches) {
		EXPECT_EQ(Detour::NearReach(r.from, r.size, r.to), r.reaches) << std::hex << r.from << " -> " << r.to;
	}

	// A trampoline and relay at the top of the address space are not near a target at the
	// bottom of it (the relay is still used, through the absolute jump); a relay at 0 is
	// none; a trampoline whose bytes would wrap is refused.
	const Detour::DetourPlan acrossTheTop = Detour::PlanDetour(prologue, 0x1000, kFarReplacement, kTop - 0xFFF + Detour::kRelaySize, kTop - 0xFFF);
	EXPECT_FALSE(acrossTheTop.nearPage);
	EXPECT_EQ(acrossTheTop.relayAddress, kTop - 0xFFF);
	EXPECT_EQ(acrossTheTop.jumpSize, 14u);
	const Detour::DetourPlan relayZero = Detour::PlanDetour(prologue, 0x8000, kFarReplacement, 0x9000, 0);
	EXPECT_EQ(relayZero.relayAddress, 0u);
	EXPECT_EQ(relayZero.jumpSize, 14u);
	EXPECT_EQ(Detour::PlanDetour(prologue, kTarget, kFarReplacement, kTop - 0x20, 0).failure, Failure::NoTrampolineMemory);
}

TEST(DetourPlan, RelocateAndLayOutDecideEachCopyAlone)
{
	// The relocate and lay-out phases on one stolen instruction each: how it is carried and
	// how long its copy is, by where the trampoline lies from its destination.
	namespace Phases = Detour::PlanPhases;
	constexpr std::uintptr_t kTrampolineNear = kTarget + 0x10000;
	constexpr std::uintptr_t kTrampolineFar = kTarget - 0x70000000; // the branches below go 0x20000000 beyond the target
	struct Case
	{
		const char*        what;
		Bytes              code;
		std::uintptr_t     trampoline;
		Detour::Relocation relocation;
		std::size_t        copySize;
	};
	const Case cases[] = {
		{ "mov: copied", { 0x48, 0x89, 0x5C, 0x24, 0x08 }, kTrampolineNear, Detour::Relocation::Copied, 5 },
		{ "rip-relative load: same length", { 0x48, 0x8B, 0x05, 0x00, 0x00, 0x00, 0x10 }, kTrampolineNear, Detour::Relocation::RipDisplacement, 7 },
		{ "call in reach", { 0xE8, 0x00, 0x00, 0x00, 0x20 }, kTrampolineNear, Detour::Relocation::Call, 5 },
		{ "call out of reach", { 0xE8, 0x00, 0x00, 0x00, 0x20 }, kTrampolineFar, Detour::Relocation::Call, 16 },
		{ "jne rel8 in reach", { 0x75, 0x40, 0x90, 0x90, 0x90 }, kTrampolineNear, Detour::Relocation::ConditionalJump, 6 },
		{ "je rel32 out of reach", { 0x0F, 0x84, 0x00, 0x00, 0x00, 0x20 }, kTrampolineFar, Detour::Relocation::ConditionalJump, 16 },
		{ "loop out of reach, 67 prefix kept", { 0x67, 0xE2, 0x7F, 0x90, 0x90 }, kTarget - 0x90000000, Detour::Relocation::Loop, 1 + 4 + 14 },
	};
	for (const Case& c : cases) {
		Phases::Run run = Phases::MeasureRun(c.code, kTarget, 1, 0, true);
		ASSERT_FALSE(run.refusal) << c.what;
		ASSERT_EQ(run.instructions.size(), 1u) << c.what;
		ASSERT_FALSE(Phases::Relocate(run.instructions, kTarget, c.trampoline)) << c.what;
		Detour::DetourPlan plan;
		plan.target = kTarget;
		plan.trampolineAddress = c.trampoline;
		plan.stolenLength = run.length;
		ASSERT_FALSE(Phases::LayOut(run.instructions, plan)) << c.what;
		EXPECT_EQ(plan.instructions[0].relocation, c.relocation) << c.what;
		EXPECT_EQ(plan.instructions[0].trampolineLength, c.copySize) << c.what;
	}
}
