// Restore among other hooks: another detour written over ours, a trampoline a replacement
// still holds, a callee that returns into the trampoline after the restore. Code lives
// in pages the test writes, so it can play the other hook's part byte by byte.

#include "CodePages.h"
#include "Detour/InlineHook.h"
#include "JumpReader.h"
#include "TargetFunctions.h"
#include "TrampolinePool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace
{
	using Bytes = std::vector<std::uint8_t>;

	Bytes Snapshot(const std::uint8_t* a_code, std::size_t a_count)
	{
		return Bytes(a_code, a_code + a_count);
	}

	Bytes Rel32Jump(const std::uint8_t* a_at, const void* a_to)
	{
		const auto displacement = static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(a_to) - reinterpret_cast<std::intptr_t>(a_at + 5));
		Bytes      jump{ 0xE9, 0, 0, 0, 0 };
		std::memcpy(jump.data() + 1, &displacement, 4);
		return jump;
	}

	Bytes AbsoluteJump(const void* a_to)
	{
		Bytes      jump{ 0xFF, 0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 };
		const auto to = reinterpret_cast<std::uint64_t>(a_to);
		std::memcpy(jump.data() + 6, &to, 8);
		return jump;
	}

	// Offsets in the test's page.
	constexpr std::size_t kTarget = 0x100;      // x + 42, a compiler-style first instruction
	constexpr std::size_t kOther = 0x400;       // the other hook's replacement: x + 0x10000, then its trampoline
	constexpr std::size_t kOtherSaved = 0x600;  // the other hook's trampoline: our jump, relocated, then back
	constexpr std::size_t kOurs = 0x800;        // a replacement of ours
	constexpr int         kOtherMark = 0x10000; // what the other hook adds to the argument
} // namespace

TEST(InlineHookRestore, AnotherHookOnTopIsLeftAloneAndItsRemovalStillReachesTheGame)
{
	// The other hook comes after ours, saves our 5-byte jump as its "original bytes" (a
	// relocated E9, as detour libraries carry it) and writes its own; it is removed after
	// our restore by writing those bytes back without looking.
	CodePages page = CodePages::Anywhere();
	ASSERT_TRUE(page);
	CodePages far = CodePages::FarFrom(page.data()); // our replacement, as a plugin's is from the game
	ASSERT_TRUE(far);
	std::uint8_t* const target = page.data() + kTarget;
	page.Write(kTarget, Snapshot(qs_FiveByte, 14));
	far.Write(0, { 0x8D, 0x81, 0xE8, 0x03, 0x00, 0x00, 0xC3 }); // lea eax, [rcx+1000]; ret
	page.Write(kOther, { 0x81, 0xC1, 0x00, 0x00, 0x01, 0x00 }); // add ecx, 0x10000
	page.Write(kOther + 6, Rel32Jump(page.data() + kOther + 6, page.data() + kOtherSaved));
	const std::size_t pagesBefore = Detour::TrampolinePool::Instance().PageCount();

	Detour::InlineHook hook;
	ASSERT_TRUE(hook.Install(target, far.data()));
	ASSERT_EQ(hook.stolenLength, 5u);
	ASSERT_NE(hook.relayAddress, nullptr);
	EXPECT_EQ(TestSupport::JumpDestination(target), static_cast<const void*>(hook.relayAddress));
	EXPECT_EQ(qs_CallTarget(target, 1), 1001);

	const Bytes saved = Snapshot(target, 5);
	page.Write(kOtherSaved, Rel32Jump(page.data() + kOtherSaved, TestSupport::JumpDestination(target)));
	page.Write(kOtherSaved + 5, Rel32Jump(page.data() + kOtherSaved + 5, target + 5));
	page.Write(kTarget, Rel32Jump(target, page.data() + kOther));
	const Bytes otherJump = Snapshot(target, 5);
	EXPECT_EQ(qs_CallTarget(target, 1), kOtherMark + 1001) << "both hooks run";

	hook.Restore();
	EXPECT_EQ(hook.installed, 0);
	EXPECT_EQ(Snapshot(target, 5), otherJump) << "the other hook's jump is not trampled";
	EXPECT_EQ(qs_CallTarget(target, 1), kOtherMark + 43) << "ours is a pass-through: the other hook, then the game's code";

	page.Write(kTarget, saved); // the other hook goes, writing our jump back
	EXPECT_EQ(qs_CallTarget(target, 1), 43) << "our jump leads through the relay to the game's code";
	EXPECT_EQ(Detour::TrampolinePool::Instance().PageCount(), pagesBefore + 1) << "the pass-through's page is kept";
}

namespace
{
	Detour::InlineHook* g_restoring = nullptr;

	// A callee of a stolen call that restores the detour before it returns, as a thread
	// that was inside it when the plugin unloaded would find: it returns into the
	// trampoline after the restore.
	void RestoreFromCallee()
	{
		g_restoring->Restore();
	}
} // namespace

TEST(InlineHookRestore, TrampolineStaysForWhoeverStillHoldsOrReturnsIntoIt)
{
	struct Case
	{
		const char* what;
		Bytes       code;        // at the target; rax holds the callee's address on entry
		bool        publish;     // the trampoline's address is handed out at install
		bool        callsBefore; // the trampoline is called (and restored from the callee) before the restore
	};
	// sub rsp, 40 keeps the callee's stack aligned and gives it its home area.
	const Case cases[] = {
		{ "call [rip+x] among the stolen bytes", { 0x48, 0x83, 0xEC, 0x28, 0xFF, 0x15, 0x0A, 0x00, 0x00, 0x00, 0x48, 0x83, 0xC4, 0x28, 0xB8, 0x07, 0x00, 0x00, 0x00, 0xC3 }, false, true },
		{ "call rax among the stolen bytes", { 0x48, 0x83, 0xEC, 0x28, 0xFF, 0xD0, 0x48, 0x83, 0xC4, 0x28, 0xB8, 0x07, 0x00, 0x00, 0x00, 0xC3 }, false, true },
		{ "a published trampoline called after the restore", { 0x48, 0x83, 0xEC, 0x28, 0x48, 0x83, 0xC4, 0x28, 0xB8, 0x07, 0x00, 0x00, 0x00, 0xC3 }, true, false },
	};
	for (const Case& c : cases) {
		CodePages page = CodePages::Anywhere();
		ASSERT_TRUE(page);
		std::uint8_t* const target = page.data() + kTarget;
		page.Write(kTarget, c.code);
		// The pointer that call [rip+10] reads, right after the 20 bytes of its case.
		const auto callee = reinterpret_cast<std::uint64_t>(&RestoreFromCallee);
		Bytes      pointer(8);
		std::memcpy(pointer.data(), &callee, 8);
		page.Write(kTarget + 20, pointer);
		page.Write(kOurs, { 0xB8, 0x01, 0x00, 0x00, 0x00, 0xC3 }); // mov eax, 1; ret
		const Bytes original = Snapshot(target, c.code.size());

		Detour::InlineHook hook;
		void*              published = nullptr;
		ASSERT_TRUE(hook.Install(target, page.data() + kOurs, c.publish ? &published : nullptr)) << c.what;
		// A thunk that loads rax with the callee (mov rax, imm64) and jumps to the trampoline.
		page.Write(kOther, { 0x48, 0xB8 });
		page.Write(kOther + 2, pointer);
		page.Write(kOther + 10, AbsoluteJump(hook.trampolineAddress));

		g_restoring = &hook;
		if (c.callsBefore) {
			EXPECT_EQ(qs_CallTarget(page.data() + kOther, 0), 7) << c.what << ": the callee returned into the trampoline after the restore";
		} else {
			ASSERT_NE(published, nullptr) << c.what;
			hook.Restore();
			EXPECT_EQ(qs_CallTarget(published, 0), 7) << c.what << ": a replacement still holding the trampoline calls it after the restore";
		}
		EXPECT_EQ(hook.installed, 0) << c.what;
		EXPECT_EQ(Snapshot(target, c.code.size()), original) << c.what << ": our jump was still there, so the bytes went back";
	}
}

TEST(InlineHookRestore, DestroyedWhileItsJumpCannotBeWrittenBackLeavesAPassThrough)
{
	// The stolen bytes straddle two pages and the second one goes away: the destructor
	// cannot write the bytes back, and the replacement goes away with its module.
	CodePages pages = CodePages::Anywhere(0x10000);
	ASSERT_TRUE(pages);
	CodePages far = CodePages::FarFrom(pages.data());
	ASSERT_TRUE(far);
	const std::size_t at = kPageSize - 2;
	pages.Write(at, { 0x48, 0x89, 0x5C, 0x24, 0x08, 0xC3 });
	far.Write(0, { 0xC3 });

	const std::uint8_t* relay = nullptr;
	const std::uint8_t* trampoline = nullptr;
	{
		Detour::InlineHook hook;
		ASSERT_TRUE(hook.Install(pages.data() + at, far.data()));
		relay = hook.relayAddress;
		trampoline = hook.trampolineAddress;
		ASSERT_EQ(TestSupport::JumpDestination(relay), static_cast<const void*>(far.data()));
		ASSERT_TRUE(pages.DropPage(kPageSize));
	}
	EXPECT_EQ(TestSupport::JumpDestination(relay), static_cast<const void*>(trampoline)) << "whoever still jumps to us reaches the game's code";
}
