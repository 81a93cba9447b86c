// The inline detour on real x86-64 code: natively on Linux memory and
// under Wine on the Windows API. Target functions are written in assembly
// (TargetFunctions.cpp) or as bytes in pages the test maps where it needs them.

#include "CodeMemory.h"
#include "CodePages.h"
#include "Detour/InlineHook.h"
#include "JumpReader.h"
#include "TargetFunctions.h"
#include "TrampolineReplacement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace
{
	using Bytes = std::vector<std::uint8_t>;

	Bytes Snapshot(const std::uint8_t* a_code, std::size_t a_count)
	{
		return Bytes(a_code, a_code + a_count);
	}

	using TestSupport::JumpDestination;

	using TestSupport::Call;
	using TestSupport::g_hook;
	using TestSupport::kReplaced;
	using TestSupport::Replacement;

	// Checks the invariants of an installed record against the bytes it stole.
	void ExpectInstalled(const Detour::InlineHook& a_hook, const Bytes& a_original)
	{
		ASSERT_EQ(a_hook.installed, 1);
		EXPECT_EQ(a_hook.patchAddress, a_hook.target);
		EXPECT_GE(a_hook.stolenLength, a_hook.jumpSize);
		EXPECT_EQ(a_hook.stolenBytes, Snapshot(a_original.data(), a_hook.stolenLength));
		ASSERT_NE(a_hook.trampolineAddress, nullptr);
		EXPECT_EQ(a_hook.TrampolineAddress(), a_hook.trampolineAddress);
		ASSERT_GE(a_hook.trampoline.size(), a_hook.returnJumpSize);
		EXPECT_EQ(Snapshot(a_hook.trampolineAddress, a_hook.trampoline.size()), a_hook.trampoline) << "the record says what was written";
		const bool copiedOnly = std::ranges::all_of(a_hook.instructions, [](const Detour::StolenInstruction& a_instruction) { return a_instruction.relocation == Detour::Relocation::Copied; });
		if (copiedOnly) {
			EXPECT_EQ(Snapshot(a_hook.trampolineAddress, a_hook.stolenLength), Snapshot(a_original.data(), a_hook.stolenLength))
			    << "position-independent stolen bytes are copied verbatim";
		}
		const std::uint8_t* const back = a_hook.trampolineAddress + a_hook.trampoline.size() - a_hook.returnJumpSize;
		EXPECT_EQ(JumpDestination(back), a_hook.target + a_hook.stolenLength) << "the trampoline jumps back right after the stolen bytes";
		EXPECT_EQ(JumpDestination(a_hook.target), a_hook.jumpDestination);
		ASSERT_NE(a_hook.relayAddress, nullptr) << "the jump always goes through the relay";
		EXPECT_EQ(a_hook.jumpDestination, a_hook.relayAddress);
		EXPECT_EQ(JumpDestination(a_hook.relayAddress), a_hook.replacement) << "the relay goes on to the replacement";
		for (std::uint64_t i = a_hook.jumpSize; i < a_hook.stolenLength; ++i) {
			EXPECT_EQ(a_hook.target[i], 0x90) << "byte " << i << " after the jump";
		}
		Detour::CodeMemory::Access access;
		ASSERT_TRUE(Detour::CodeMemory::QueryAccess(a_hook.trampolineAddress, access));
		EXPECT_TRUE(access.execute && access.read && !access.write) << "the trampoline's block is execute/read";
	}

	// A record after a refused Install: nothing kept, nothing written.
	void ExpectRefused(const Detour::InlineHook& a_hook, const std::uint8_t* a_target, const Bytes& a_original, Detour::InlineHook::Failure a_failure, std::ptrdiff_t a_at)
	{
		EXPECT_EQ(a_hook.failure, a_failure);
		EXPECT_EQ(a_hook.failedAt, a_target + a_at);
		EXPECT_EQ(a_hook.installed, 0);
		EXPECT_EQ(a_hook.stolenLength, 0u);
		EXPECT_TRUE(a_hook.trampoline.empty());
		EXPECT_EQ(a_hook.TrampolineAddress(), nullptr);
		EXPECT_EQ(Snapshot(a_target, a_original.size()), a_original) << "the target is untouched";
	}
} // namespace

TEST(InlineHook, NearReplacementStealsTheFiveByteFirstInstruction)
{
	const Bytes original = Snapshot(qs_FiveByte, 16);
	{
		Detour::InlineHook hook;
		g_hook = &hook;
		ASSERT_TRUE(hook.Install(qs_FiveByte, &Replacement));

		EXPECT_EQ(hook.target, qs_FiveByte);
		EXPECT_EQ(hook.jumpSize, 5u);
		EXPECT_EQ(hook.stolenLength, 5u);
		EXPECT_EQ(qs_FiveByte[0], 0xE9);
		ExpectInstalled(hook, original);
		EXPECT_EQ(Snapshot(qs_FiveByte + 5, 11), Snapshot(original.data() + 5, 11)) << "nothing after the stolen bytes changes";

		EXPECT_EQ(Call(qs_FiveByte, 1), kReplaced + 43) << "the game's call reaches the replacement, which reaches the original";
		EXPECT_EQ(Call(hook.TrampolineAddress(), 1), 43) << "the trampoline behaves as the original";
	}
	EXPECT_EQ(Snapshot(qs_FiveByte, 16), original) << "destruction restores the target";
	EXPECT_EQ(Call(qs_FiveByte, 1), 43);
}

TEST(InlineHook, ThreePlusFourBytesStealSevenAndPadWithTwoNops)
{
	const Bytes        original = Snapshot(qs_ThreePlusFour, 8);
	Detour::InlineHook hook;
	g_hook = &hook;
	ASSERT_TRUE(hook.Install(qs_ThreePlusFour, &Replacement));

	EXPECT_EQ(hook.jumpSize, 5u);
	EXPECT_EQ(hook.stolenLength, 7u);
	EXPECT_EQ(qs_ThreePlusFour[0], 0xE9);
	EXPECT_EQ(qs_ThreePlusFour[5], 0x90);
	EXPECT_EQ(qs_ThreePlusFour[6], 0x90);
	EXPECT_EQ(qs_ThreePlusFour[7], 0xC3);
	ExpectInstalled(hook, original);
	EXPECT_EQ(Call(qs_ThreePlusFour, 10), kReplaced + 17);
	EXPECT_EQ(Call(hook.TrampolineAddress(), 10), 17);
}

TEST(InlineHook, FarReplacementIsReachedThroughARelayNearTheTarget)
{
	CodePages far = CodePages::FarFrom(qs_LongPrologue);
	ASSERT_TRUE(far) << "no free page more than 4 GiB from the test program";
	far.Write(0, { 0x8D, 0x81, 0xE8, 0x03, 0x00, 0x00, 0xC3 }); // lea eax, [rcx+1000]; ret
	ASSERT_EQ(Detour::InlineHook::JumpSize(qs_LongPrologue, far.data()), Detour::InlineHook::kAbsoluteJumpSize);

	const Bytes original = Snapshot(qs_LongPrologue, 24);
	{
		Detour::InlineHook hook;
		ASSERT_TRUE(hook.Install(qs_LongPrologue, far.data()));

		EXPECT_EQ(hook.jumpSize, 5u) << "a near jump to the relay, not the 14-byte absolute one";
		EXPECT_EQ(hook.stolenLength, 5u);
		EXPECT_EQ(qs_LongPrologue[0], 0xE9);
		ASSERT_NE(hook.relayAddress, nullptr);
		const Bytes relay = { 0xFF, 0x25, 0x00, 0x00, 0x00, 0x00 };
		EXPECT_EQ(Snapshot(hook.relayAddress, 6), relay);
		EXPECT_EQ(TestSupport::Read64({ hook.relayAddress, 14 }, 6), reinterpret_cast<std::uint64_t>(far.data()));
		ExpectInstalled(hook, original);

		EXPECT_EQ(Call(qs_LongPrologue, 5), 1005);
		EXPECT_EQ(Call(hook.TrampolineAddress(), 5), 8);
	}
	EXPECT_EQ(Snapshot(qs_LongPrologue, 24), original);
	EXPECT_EQ(Call(qs_LongPrologue, 5), 8);
}

TEST(InlineHook, TargetStartingWithNearJumpIsFollowed)
{
	const Bytes        stub = Snapshot(qs_JumpToFiveByte, 5);
	const Bytes        original = Snapshot(qs_FiveByte, 16);
	Detour::InlineHook hook;
	g_hook = &hook;
	ASSERT_TRUE(hook.Install(qs_JumpToFiveByte, &Replacement));

	EXPECT_EQ(hook.target, qs_FiveByte) << "the detour goes where the jump leads";
	EXPECT_EQ(Snapshot(qs_JumpToFiveByte, 5), stub) << "the jump itself is left alone";
	ExpectInstalled(hook, original);
	EXPECT_EQ(Call(qs_JumpToFiveByte, 2), kReplaced + 44);
}

TEST(InlineHook, ShortJumpsAreFollowedForwardAndBackward)
{
	EXPECT_EQ(Detour::InlineHook::FollowJumps(qs_ShortJumpChain).end, qs_ThreePlusFour) << "EB 01, then E9";
	EXPECT_EQ(Detour::InlineHook::FollowJumps(qs_BackwardShortJump).end, qs_FiveByte) << "EB F9 back to an E9";
}

TEST(InlineHook, IndirectJumpWithNegativeDisplacementReadsThePointerBeforeIt)
{
	CodePages page = CodePages::Anywhere();
	ASSERT_TRUE(page);
	const auto destination = reinterpret_cast<std::uint64_t>(qs_FiveByte);
	Bytes      pointer(8);
	std::memcpy(pointer.data(), &destination, 8);
	page.Write(0, pointer);
	page.Write(16, { 0xFF, 0x25, 0xEA, 0xFF, 0xFF, 0xFF }); // jmp [rip-22]: the pointer at page + 0
	std::uint8_t* const thunk = page.data() + 16;

	EXPECT_EQ(Detour::InlineHook::FollowJumps(thunk).end, qs_FiveByte);

	const Bytes        original = Snapshot(qs_FiveByte, 16);
	Detour::InlineHook hook;
	g_hook = &hook;
	ASSERT_TRUE(hook.Install(thunk, &Replacement));
	EXPECT_EQ(hook.target, qs_FiveByte);
	ExpectInstalled(hook, original);
	EXPECT_EQ(Call(thunk, 3), kReplaced + 45);
}

TEST(InlineHook, FollowJumpsStopsAtWhatIsNotALeadingJump)
{
	CodePages page = CodePages::Anywhere();
	ASSERT_TRUE(page);
	struct Case
	{
		const char* what;
		Bytes       bytes;
	};
	const Case cases[] = {
		{ "EB 00 (a jump to the next instruction)", { 0xEB, 0x00, 0x90 } },
		{ "EB 80", { 0xEB, 0x80, 0x90 } },
		{ "FF 15 (call through a pointer)", { 0xFF, 0x15, 0x00, 0x00, 0x00, 0x00 } },
		{ "FF E0 (jmp rax)", { 0xFF, 0xE0 } },
		{ "E8 (call)", { 0xE8, 0x00, 0x00, 0x00, 0x00 } },
		{ "48 89 5C 24 08", { 0x48, 0x89, 0x5C, 0x24, 0x08 } },
	};
	std::size_t offset = 0x100;
	for (const Case& c : cases) {
		page.Write(offset, c.bytes);
		EXPECT_EQ(Detour::InlineHook::FollowJumps(page.data() + offset).end, page.data() + offset) << c.what;
		offset += 0x100;
	}
	EXPECT_EQ(Detour::InlineHook::FollowJumps(qs_ShortJumpZero).end, qs_ShortJumpZero);
}

TEST(InlineHook, JumpCyclesEndTheWalkAndAreRefused)
{
	CodePages page = CodePages::Anywhere();
	ASSERT_TRUE(page);
	page.Write(0x000, { 0xEB, 0xFE });                   // jmp to itself
	page.Write(0x100, { 0xE9, 0xFB, 0x00, 0x00, 0x00 }); // jmp 0x200
	page.Write(0x200, { 0xE9, 0xFB, 0xFE, 0xFF, 0xFF }); // jmp 0x100
	const auto loop = reinterpret_cast<std::uint64_t>(page.data() + 0x308);
	Bytes      pointer(8);
	std::memcpy(pointer.data(), &loop, 8);
	page.Write(0x300, pointer);                                // the pointer: 0x308
	page.Write(0x308, { 0xFF, 0x25, 0xF2, 0xFF, 0xFF, 0xFF }); // jmp [rip-14], through it

	EXPECT_EQ(Detour::InlineHook::FollowJumps(page.data()).end, page.data()) << "EB FE";
	std::uint8_t* const ends = Detour::InlineHook::FollowJumps(page.data() + 0x100).end;
	EXPECT_TRUE(ends == page.data() + 0x100 || ends == page.data() + 0x200) << "two jumps at each other";
	EXPECT_EQ(Detour::InlineHook::FollowJumps(page.data() + 0x308).end, page.data() + 0x308) << "jmp through a pointer to itself";

	// EB FE cannot take a 5-byte jump without reaching past itself; the other cycles
	// end on a whole 5- or 6-byte jump, which is stolen and relocated.
	const Bytes before = Snapshot(page.data(), 0x400);
	{
		Detour::InlineHook hook;
		EXPECT_FALSE(hook.Install(page.data(), page.data() + 0x800));
		EXPECT_EQ(hook.failure, Detour::InlineHook::Failure::FunctionEnds);
		EXPECT_EQ(Snapshot(page.data(), 0x400), before);
	}
	for (const std::size_t offset : { 0x100u, 0x308u }) {
		Detour::InlineHook hook;
		EXPECT_TRUE(hook.Install(page.data() + offset, page.data() + 0x800)) << offset;
		EXPECT_GE(hook.stolenLength, 5u);
		hook.Restore();
		EXPECT_EQ(Snapshot(page.data(), 0x400), before) << offset;
	}
}

TEST(InlineHook, SecondInstallIsRefusedAndChangesNothing)
{
	const Bytes        original = Snapshot(qs_FiveByte, 16);
	Detour::InlineHook hook;
	g_hook = &hook;
	ASSERT_TRUE(hook.Install(qs_FiveByte, &Replacement));

	const Bytes         patched = Snapshot(qs_FiveByte, 16);
	const Bytes         trampoline = hook.trampoline;
	const void* const   trampolineAt = hook.TrampolineAddress();
	const std::uint64_t stolen = hook.stolenLength;
	const std::uint64_t jumpSize = hook.jumpSize;
	const std::uint64_t returnJumpSize = hook.returnJumpSize;
	const Bytes         other = Snapshot(qs_ThreePlusFour, 8);

	EXPECT_FALSE(hook.Install(qs_FiveByte, &Replacement));
	EXPECT_FALSE(hook.Install(qs_ThreePlusFour, &Replacement));
	EXPECT_EQ(hook.failure, Detour::InlineHook::Failure::AlreadyInstalled);

	EXPECT_EQ(hook.installed, 1);
	EXPECT_EQ(hook.target, qs_FiveByte);
	EXPECT_EQ(hook.patchAddress, qs_FiveByte);
	EXPECT_EQ(hook.replacement, reinterpret_cast<const void*>(&Replacement));
	EXPECT_EQ(hook.stolenLength, stolen);
	EXPECT_EQ(hook.jumpSize, jumpSize);
	EXPECT_EQ(hook.returnJumpSize, returnJumpSize);
	EXPECT_EQ(hook.trampoline, trampoline);
	EXPECT_EQ(hook.TrampolineAddress(), trampolineAt);
	EXPECT_EQ(Snapshot(qs_FiveByte, 16), patched);
	EXPECT_EQ(Snapshot(qs_ThreePlusFour, 8), other);
	EXPECT_EQ(Call(qs_FiveByte, 0), kReplaced + 42);
	ExpectInstalled(hook, original);
}

TEST(InlineHook, RestorePutsTheOriginalBytesBack)
{
	const Bytes        original = Snapshot(qs_LongPrologue, 24);
	Detour::InlineHook hook;
	g_hook = &hook;
	ASSERT_TRUE(hook.Install(qs_LongPrologue, &Replacement));
	EXPECT_NE(Snapshot(qs_LongPrologue, 24), original);

	hook.Restore();
	EXPECT_EQ(Snapshot(qs_LongPrologue, 24), original);
	EXPECT_EQ(hook.installed, 0);
	EXPECT_EQ(hook.stolenLength, 0u);
	EXPECT_TRUE(hook.trampoline.empty());
	EXPECT_EQ(hook.TrampolineAddress(), nullptr);
	EXPECT_EQ(Call(qs_LongPrologue, 1), 4);

	hook.Restore(); // with nothing installed it writes nothing
	EXPECT_EQ(Snapshot(qs_LongPrologue, 24), original);

	ASSERT_TRUE(hook.Install(qs_LongPrologue, &Replacement)) << "a restored record can be installed again";
	EXPECT_EQ(Call(qs_LongPrologue, 1), kReplaced + 4);
}

TEST(InlineHook, InstallingASecondDetourNeverStopsTheFirstTrampolineFromRunning)
{
	// A game thread runs the first detour's trampoline without pause while a second
	// detour near it is installed and restored again and again: its page must stay
	// execute/read all along (a fault ends the test process).
	Detour::InlineHook first;
	ASSERT_TRUE(first.Install(qs_FiveByte, &Replacement));
	const void* const trampoline = first.TrampolineAddress();
	const auto        accessOf = [&] {
        Detour::CodeMemory::Access access;
        EXPECT_TRUE(Detour::CodeMemory::QueryAccess(trampoline, access));
        return access;
	};

	std::atomic<bool> stop{ false };
	std::atomic<int>  calls{ 0 };
	std::atomic<int>  wrong{ 0 };
	std::thread       game([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            wrong += Call(trampoline, i) != i + 42 ? 1 : 0;
            ++calls;
        }
    });
	while (calls.load() == 0) {
		std::this_thread::yield();
	}
	bool everLeftExecuteRead = false;
	for (int round = 0; round < 200; ++round) {
		Detour::InlineHook second;
		ASSERT_TRUE(second.Install(qs_ThreePlusFour, &Replacement));
		EXPECT_NE(second.trampolineAddress, first.trampolineAddress);
		const auto access = accessOf();
		everLeftExecuteRead = everLeftExecuteRead || access.write || !access.execute;
	}
	stop = true;
	game.join();
	EXPECT_FALSE(everLeftExecuteRead) << "the first trampoline's page stays execute/read";
	EXPECT_EQ(wrong.load(), 0);
	EXPECT_GT(calls.load(), 0);
	EXPECT_EQ(Call(qs_ThreePlusFour, 1), 8) << "every second detour restored";
}

TEST(InlineHook, RipRelativeFirstInstructionIsRelocated)
{
	const Bytes        original = Snapshot(qs_RipRelativeFirst, 16);
	Detour::InlineHook hook;
	g_hook = &hook;
	ASSERT_TRUE(hook.Install(qs_RipRelativeFirst, &Replacement));
	ExpectInstalled(hook, original);
	ASSERT_FALSE(hook.instructions.empty());
	EXPECT_EQ(hook.instructions[0].relocation, Detour::Relocation::RipDisplacement);
	EXPECT_EQ(Call(hook.TrampolineAddress(), 1), 1001) << "the trampoline reads the same constant";
	EXPECT_EQ(Call(qs_RipRelativeFirst, 1), kReplaced + 1001);
}

TEST(InlineHook, CookieLoadIsRelocatedWhateverTheReplacementsDistance)
{
	const Bytes original = Snapshot(qs_CookiePrologue, 24);

	// Far replacement: the near jump goes to a relay; only the first 5 bytes are stolen.
	CodePages far = CodePages::FarFrom(qs_CookiePrologue);
	ASSERT_TRUE(far);
	far.Write(0, { 0x8D, 0x81, 0xE8, 0x03, 0x00, 0x00, 0xC3 });
	{
		Detour::InlineHook hook;
		ASSERT_TRUE(hook.Install(qs_CookiePrologue, far.data()));
		ExpectInstalled(hook, original);
		EXPECT_EQ(Call(qs_CookiePrologue, 1), 1001);
		EXPECT_EQ(Call(hook.TrampolineAddress(), 1), 6);
	}

	// Near replacement: only the first 5 bytes are stolen, the cookie load stays put.
	Detour::InlineHook hook;
	g_hook = &hook;
	ASSERT_TRUE(hook.Install(qs_CookiePrologue, &Replacement));
	EXPECT_EQ(hook.stolenLength, 5u);
	ExpectInstalled(hook, original);
	EXPECT_EQ(Call(qs_CookiePrologue, 1), kReplaced + 6);
}

TEST(InlineHook, RelativeBranchAmongStolenBytesIsRelocated)
{
	const Bytes original = Snapshot(qs_BranchInRun, 12);
	{
		Detour::InlineHook hook;
		g_hook = &hook;
		ASSERT_TRUE(hook.Install(qs_BranchInRun, &Replacement));
		ExpectInstalled(hook, original);
		EXPECT_EQ(Call(qs_BranchInRun, 4), kReplaced + 5);
		EXPECT_EQ(Call(qs_BranchInRun, 0), kReplaced + 0);
		EXPECT_EQ(Call(hook.TrampolineAddress(), 4), 5);
		EXPECT_EQ(Call(hook.TrampolineAddress(), 0), 0);
	}
	EXPECT_EQ(Snapshot(qs_BranchInRun, 12), original);

	// EB 00 is not followed; it goes on to the next instruction, so it is stolen with it.
	Detour::InlineHook hook;
	g_hook = &hook;
	ASSERT_TRUE(hook.Install(qs_ShortJumpZero, &Replacement));
	EXPECT_EQ(hook.stolenLength, 5u);
	EXPECT_EQ(Call(qs_ShortJumpZero, 1), kReplaced + 6);
	EXPECT_EQ(Call(hook.TrampolineAddress(), 1), 6);
}

TEST(InlineHook, FunctionThatEndsBeforeTheJumpFitsIsRefused)
{
	const Bytes        original = Snapshot(qs_EndsEarly, 16);
	Detour::InlineHook hook;
	EXPECT_FALSE(hook.Install(qs_EndsEarly, &Replacement));
	ExpectRefused(hook, qs_EndsEarly, original, Detour::InlineHook::Failure::FunctionEnds, 2);
	EXPECT_EQ(Call(qs_EndsEarly, 7), 0);
}

TEST(InlineHook, RunsThatCannotMoveToTheTrampolineAreRefused)
{
	// Code in a page, with a replacement in the same page so that the near jump is used.
	CodePages page = CodePages::Anywhere();
	ASSERT_TRUE(page);
	page.Write(0x800, { 0xC3 });
	const void* const nearby = page.data() + 0x800;

	using Failure = Detour::InlineHook::Failure;
	struct Case
	{
		const char*    what;
		Bytes          bytes;
		Failure        failure;
		std::ptrdiff_t at;
	};
	const Bytes fifteenPrefixes(15, 0x66);
	Bytes       overlong(17, 0x66); // add ax, imm16 after 14 prefixes: 17 bytes
	overlong[14] = 0x05;
	overlong[15] = 0x01;
	overlong[16] = 0x00;
	const Case cases[] = {
		{ "ret first", { 0xC3, 0x48, 0x89, 0xC8, 0x90, 0x90 }, Failure::FunctionEnds, 0 },
		{ "ret imm16 first", { 0xC2, 0x08, 0x00, 0x90, 0x90, 0x90 }, Failure::FunctionEnds, 0 },
		{ "jmp rax after 3 bytes", { 0x48, 0x89, 0xC8, 0xFF, 0xE0, 0x90 }, Failure::None, 0 },
		{ "jmp rax first", { 0xFF, 0xE0, 0x48, 0x89, 0xC8, 0x90 }, Failure::FunctionEnds, 0 },
		{ "jmp [rax] first", { 0xFF, 0x20, 0x48, 0x89, 0xC8, 0x90 }, Failure::FunctionEnds, 0 },
		{ "int3 at the entry (a debugger's breakpoint)", { 0xCC, 0x48, 0x89, 0xC8, 0x90, 0x90 }, Failure::FunctionEnds, 0 },
		{ "int3 padding after 4 bytes", { 0x48, 0x83, 0xC0, 0x07, 0xCC, 0xCC }, Failure::FunctionEnds, 4 },
		{ "ud2 after 2 bytes", { 0x89, 0xC8, 0x0F, 0x0B, 0x90, 0x90 }, Failure::FunctionEnds, 2 },
		{ "ud2 closing the run", { 0x48, 0x89, 0xC8, 0x0F, 0x0B, 0x90 }, Failure::None, 0 },
		{ "iret", { 0x48, 0xCF, 0x90, 0x90, 0x90, 0x90 }, Failure::FunctionEnds, 0 },
		{ "undecodable first", { 0x06, 0x90, 0x90, 0x90, 0x90, 0x90 }, Failure::Undecodable, 0 },
		{ "undecodable after 3 bytes (AMX tilerelease, a VEX encoding not accepted)", { 0x48, 0x89, 0xC8, 0xC4, 0xE2, 0x78, 0x49, 0xC0 }, Failure::Undecodable, 3 },
		{ "fifteen prefixes", fifteenPrefixes, Failure::Undecodable, 0 },
		{ "an instruction over 15 bytes", overlong, Failure::Undecodable, 0 },
		{ "jmp rel8 before the jump fits", { 0x89, 0xC8, 0xEB, 0x10, 0x90, 0x90 }, Failure::FunctionEnds, 2 },
		{ "jne into the middle of a stolen instruction", { 0x75, 0x01, 0x48, 0x89, 0xC8, 0x90 }, Failure::Unrelocatable, 0 },
	};
	std::size_t offset = 0;
	for (const Case& c : cases) {
		std::uint8_t* const code = page.data() + offset;
		page.Write(offset, c.bytes);
		const Bytes        original = Snapshot(code, 32);
		Detour::InlineHook hook;
		if (c.failure == Failure::None) {
			EXPECT_TRUE(hook.Install(code, nearby)) << c.what;
			EXPECT_EQ(hook.stolenLength, 5u) << c.what << ": an ending instruction may close the run";
			hook.Restore();
			offset += 0x40;
			continue;
		}
		EXPECT_FALSE(hook.Install(code, nearby)) << c.what;
		EXPECT_EQ(hook.failure, c.failure) << c.what;
		EXPECT_EQ(hook.failedAt, code + c.at) << c.what;
		EXPECT_EQ(hook.stolenLength, 0u) << c.what;
		EXPECT_TRUE(hook.trampoline.empty()) << c.what;
		EXPECT_EQ(Snapshot(code, 32), original) << c.what;
		offset += 0x40;
	}
}

TEST(InlineHook, TargetThatCannotBeMadeWritableIsLeftUntouched)
{
	// Long enough for either jump: a copy of qs_LongPrologue's first 24 bytes.
	const Bytes    bytes = Snapshot(qs_LongPrologue, 24);
	UnwritableCode code(bytes);
	ASSERT_TRUE(code);

	Detour::InlineHook hook;
	EXPECT_FALSE(hook.Install(code.data(), &Replacement));
	ExpectRefused(hook, code.data(), bytes, Detour::InlineHook::Failure::TargetNotWritable, 0);

	hook.Restore();
	EXPECT_EQ(Snapshot(code.data(), bytes.size()), bytes);
}

TEST(InlineHook, RestoreWritesNothingWhenTheTargetCannotBeMadeWritable)
{
	// The stolen bytes straddle two pages; the second one goes away under the detour.
	CodePages pages = CodePages::Anywhere(0x10000);
	ASSERT_TRUE(pages);
	const std::size_t at = kPageSize - 2;
	pages.Write(at, { 0x48, 0x89, 0x5C, 0x24, 0x08, 0xC3 });
	pages.Write(0x8000, { 0xC3 });
	std::uint8_t* const code = pages.data() + at;

	Detour::InlineHook hook;
	ASSERT_TRUE(hook.Install(code, pages.data() + 0x8000));
	ASSERT_EQ(hook.stolenLength, 5u);
	const Bytes patchedHead = Snapshot(code, 2);
	const Bytes patchedTail = Snapshot(code + 2, 3);

	ASSERT_TRUE(pages.DropPage(kPageSize));
	hook.Restore();
	EXPECT_EQ(hook.installed, 1) << "still in place";
	EXPECT_EQ(hook.stolenLength, 5u);
	EXPECT_FALSE(hook.trampoline.empty()) << "the trampoline stays alive";
	EXPECT_EQ(Snapshot(code, 2), patchedHead) << "not one byte written";

	// The page comes back holding the rest of our jump, so the entry is ours again.
	ASSERT_TRUE(pages.RestorePage(kPageSize));
	pages.Write(kPageSize, patchedTail);
	hook.Restore();
	EXPECT_EQ(hook.installed, 0);
	const Bytes original = { 0x48, 0x89, 0x5C, 0x24, 0x08 };
	EXPECT_EQ(Snapshot(code, 5), original);
}

TEST(InlineHook, NearJumpIsChosenWhenTheDisplacementFits)
{
	// The near jump's displacement counts from the end of the 5-byte jump: forward it
	// reaches 0x7FFFFFFF + 5 bytes, backward 0x80000000 - 5.
	const std::uintptr_t from = 0x0000'4000'0000'0000;
	struct Case
	{
		std::intptr_t distance;
		std::uint64_t size;
	};
	const Case cases[] = {
		{ 0, 5 },
		{ 5, 5 },
		{ 0x7FFFFFFF, 5 },
		{ 0x80000004, 5 },
		{ 0x80000005, 14 },
		{ -0x7FFFFFFB, 5 },
		{ -0x7FFFFFFC, 14 },
		{ -0x80000000LL, 14 },
		{ 0x100000000LL, 14 },
		{ -0x100000000LL, 14 },
	};
	for (const Case& c : cases) {
		const auto to = reinterpret_cast<const void*>(from + static_cast<std::uintptr_t>(c.distance));
		EXPECT_EQ(Detour::InlineHook::JumpSize(reinterpret_cast<const void*>(from), to), c.size) << "distance " << c.distance;
	}
}

TEST(InlineHook, NearJumpAtTheEdgeOfItsReachRuns)
{
	// A target page and replacement pages exactly 2 GiB above and below it, so that the
	// written displacement is 0x7FFFFFFF and -0x80000000.
	constexpr std::uintptr_t kTwoGiB = 0x80000000;
	CodePages                target;
	CodePages                above;
	CodePages                below;
	for (std::uintptr_t base = 0x0000'3000'0000'0000; base < 0x0000'3000'0000'0000 + 64 * kTwoGiB && !(target && above && below); base += 4 * kTwoGiB) {
		target = CodePages::At(base);
		above = CodePages::At(base + kTwoGiB);
		below = CodePages::At(base - kTwoGiB);
	}
	if (!(target && above && below)) {
		GTEST_SKIP() << "no free address range for pages 2 GiB apart";
	}
	// mov eax, 1; two 5-byte nops (room for the absolute jump); ret
	target.Write(0, { 0xB8, 0x01, 0x00, 0x00, 0x00, 0x0F, 0x1F, 0x44, 0x00, 0x00, 0x0F, 0x1F, 0x44, 0x00, 0x00, 0xC3 });
	above.Write(4, { 0xB8, 0x02, 0x00, 0x00, 0x00, 0xC3 }); // at target + 0x80000004
	below.Write(5, { 0xB8, 0x03, 0x00, 0x00, 0x00, 0xC3 }); // at target - 0x7FFFFFFB

	struct Case
	{
		const char*   what;
		std::uint8_t* replacement;
		std::uint64_t jumpSize;
		int           result;
	};
	const Case cases[] = {
		{ "displacement 0x7FFFFFFF from the target", above.data() + 4, 5, 2 },
		{ "displacement -0x80000000 from the target", below.data() + 5, 5, 3 },
		{ "one byte further up", above.data() + 5, 5, 0 },
		{ "one byte further down", below.data() + 4, 5, 0 },
	};
	// The target's jump goes to the relay near it whatever the replacement's distance, and
	// the relay reaches the replacement exactly at the edges; the near jump's own reach
	// there is JumpSize's (NearJumpIsChosenWhenTheDisplacementFits).
	for (const Case& c : cases) {
		Detour::InlineHook hook;
		ASSERT_TRUE(hook.Install(target.data(), c.replacement)) << c.what;
		EXPECT_EQ(hook.jumpSize, c.jumpSize) << c.what;
		ASSERT_NE(hook.relayAddress, nullptr) << c.what;
		EXPECT_EQ(JumpDestination(hook.relayAddress), static_cast<const void*>(c.replacement)) << c.what;
		EXPECT_EQ(JumpDestination(target.data()), hook.jumpDestination) << c.what;
		if (c.result != 0) {
			EXPECT_EQ(Call(target.data(), 0), c.result) << c.what;
		}
		EXPECT_EQ(Call(hook.TrampolineAddress(), 0), 1) << c.what;
	}
}

TEST(InlineHook, LeadingJumpsIntoMemoryThatIsNotThereAreRefusedNotFollowed)
{
	// What an Address Library for another game version may point at: bytes that look like
	// E9, EB or FF 25 but lead nowhere. The page at 0x8000 is inaccessible, the one at
	// 0x9000 data; the walk must read neither, and say what stopped it.
	CodePages page = CodePages::Anywhere();
	ASSERT_TRUE(page);
	constexpr std::size_t kHole = 0x8000;
	constexpr std::size_t kData = 0x9000;
	ASSERT_TRUE(page.SetAccess(kHole, CodePages::Access::None));
	ASSERT_TRUE(page.SetAccess(kData, CodePages::Access::ReadWrite));
	page.Write(0x7000, { 0xC3 });
	const auto pointerTo = [](std::uint64_t a_value) {
		Bytes bytes(8);
		std::memcpy(bytes.data(), &a_value, 8);
		return bytes;
	};
	page.Write(0x200, pointerTo(0x10)); // an FF 25's pointer to nowhere

	using Failure = Detour::InlineHook::Failure;
	struct Case
	{
		const char* what;
		std::size_t at;
		Bytes       bytes;
		Failure     failure;
		std::size_t failedAt; // offset in the page
	};
	const Case cases[] = {
		{ "E9 into an inaccessible page", 0x1000, { 0xE9, 0xFB, 0x6F, 0x00, 0x00 }, Failure::TargetNotExecutable, kHole },
		{ "E9 into data", 0x1100, { 0xE9, 0xFB, 0x7E, 0x00, 0x00 }, Failure::TargetNotExecutable, kData },
		{ "EB, then E9 into an inaccessible page", 0x1200, { 0xEB, 0x0E }, Failure::TargetNotExecutable, kHole },
		{ "FF 25 whose pointer lies in an inaccessible page", 0x1300, { 0xFF, 0x25, 0xFA, 0x6C, 0x00, 0x00 }, Failure::JumpPointerUnreadable, 0x1300 },
		{ "FF 25 through a pointer to address 0x10", 0x1400, { 0xFF, 0x25, 0xFA, 0xED, 0xFF, 0xFF }, Failure::TargetNotExecutable, 0 },
		{ "E9 whose displacement lies in an inaccessible page", kHole - 3, { 0xE9, 0x00, 0x00 }, Failure::TargetNotExecutable, kHole - 3 },
		{ "FF 25 whose displacement lies in an inaccessible page", kHole - 4, { 0xFF, 0x25, 0x00, 0x00 }, Failure::TargetNotExecutable, kHole - 4 },
		{ "EB as the last byte before an inaccessible page: not a whole jump", kHole - 1, { 0xEB }, Failure::CodeTooShort, kHole - 1 },
	};
	page.Write(0x1210, { 0xE9, 0xEB, 0x6D, 0x00, 0x00 }); // the EB's destination: jmp 0x8000
	for (const Case& c : cases) {
		page.Write(c.at, c.bytes);
		std::uint8_t* const code = page.data() + c.at;
		const auto          walk = Detour::InlineHook::FollowJumps(code);
		const auto          expectedAt = c.failedAt == 0 ? reinterpret_cast<const std::uint8_t*>(0x10) : page.data() + c.failedAt;
		if (c.failure == Failure::CodeTooShort) {
			EXPECT_EQ(walk.end, code) << c.what << ": the walk ends where it cannot read on";
		} else {
			EXPECT_EQ(walk.end, nullptr) << c.what;
			EXPECT_EQ(walk.failure, c.failure) << c.what;
			EXPECT_EQ(walk.failedAt, expectedAt) << c.what;
		}
		Detour::InlineHook hook;
		EXPECT_FALSE(hook.Install(code, page.data() + 0x7000)) << c.what;
		EXPECT_EQ(hook.failure, c.failure) << c.what << ": " << Detour::DescribeFailure(hook.failure);
		EXPECT_EQ(hook.failedAt, expectedAt) << c.what;
		EXPECT_EQ(Snapshot(code, c.bytes.size()), c.bytes) << c.what;
	}
}

TEST(InlineHook, EachPageOfAPatchedRunKeepsItsOwnProtection)
{
	// The stolen bytes straddle two pages of different protection: the install and the
	// restore must give each page back what it had, not the first page's protection.
	using Access = CodePages::Access;
	struct Case
	{
		const char* what;
		Access      first;
		Access      second;
	};
	const Case cases[] = {
		{ "code, then writable code", Access::ReadExecute, Access::ReadWriteExecute },
		{ "writable code, then code", Access::ReadWriteExecute, Access::ReadExecute },
	};
	for (const Case& c : cases) {
		CodePages pages = CodePages::Anywhere();
		ASSERT_TRUE(pages);
		const std::size_t at = kPageSize - 2;
		pages.Write(at, { 0x48, 0x89, 0x5C, 0x24, 0x08, 0xC3 });
		pages.Write(0x8000, { 0xC3 });
		ASSERT_TRUE(pages.SetAccess(0, c.first) && pages.SetAccess(kPageSize, c.second));
		const auto writable = [&](std::size_t a_offset) {
			Detour::CodeMemory::Access access;
			EXPECT_TRUE(Detour::CodeMemory::QueryAccess(pages.data() + a_offset, access));
			EXPECT_TRUE(access.read && access.execute) << c.what;
			return access.write;
		};
		const bool firstWritable = c.first == Access::ReadWriteExecute;
		const bool secondWritable = c.second == Access::ReadWriteExecute;

		Detour::InlineHook hook;
		ASSERT_TRUE(hook.Install(pages.data() + at, pages.data() + 0x8000)) << c.what;
		ASSERT_EQ(hook.stolenLength, 5u);
		EXPECT_EQ(writable(0), firstWritable) << c.what << ", first page, installed";
		EXPECT_EQ(writable(kPageSize), secondWritable) << c.what << ", second page, installed";
		hook.Restore();
		EXPECT_EQ(hook.installed, 0) << c.what;
		EXPECT_EQ(writable(0), firstWritable) << c.what << ", first page, restored";
		EXPECT_EQ(writable(kPageSize), secondWritable) << c.what << ", second page, restored";
	}
}
