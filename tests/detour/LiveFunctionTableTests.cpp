// The live install's function size on Windows: the system's function lookup over a
// function table registered for code the test writes, laid out as MSVC lays out a
// function whose prologue has an entry of its own.

#include "CodeMemory.h"
#include "CodePages.h"
#include "Detour/InlineHook.h"
#include "SwitchFunctions.h"
#include "TargetFunctions.h"
#include "TrampolineReplacement.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <iterator>
#include <vector>

namespace
{
	using TestSupport::Call;
	using TestSupport::g_hook;
	using TestSupport::kReplaced;
	using TestSupport::Replacement;

	// A function table registered with the system for the life of the object, so that an
	// assertion that ends the test early still takes it away again.
	class RegisteredFunctionTable
	{
	public:
		explicit RegisteredFunctionTable(RUNTIME_FUNCTION* a_table) :
		    table(a_table) {}
		~RegisteredFunctionTable() { ::RtlDeleteFunctionTable(table); }
		RegisteredFunctionTable(const RegisteredFunctionTable&) = delete;
		RegisteredFunctionTable& operator=(const RegisteredFunctionTable&) = delete;

	private:
		RUNTIME_FUNCTION* const table;
	};
} // namespace

TEST(InlineHook, MsvcPrologueWithAnEntryOfItsOwnIsDetouredOverItsChainedFragment)
{
	// As MSVC lays out a function: `sub rsp, 0x38` with a function-table entry of its
	// own, the body in a chained fragment right behind it. The system's lookup reports
	// the 4-byte entry; the install must count the fragment in, or the 5-byte jump would
	// seem to reach past the function's end. The table is registered for a page the
	// test writes, so the system's own lookup answers.
	CodePages page = CodePages::Anywhere();
	ASSERT_TRUE(page);
	page.Write(0x100, {
	                      0x48, 0x83, 0xEC, 0x38,       // sub rsp, 0x38       (its own entry)
	                      0x48, 0x89, 0x5C, 0x24, 0x50, // mov [rsp+0x50], rbx (the fragment)
	                      0x8D, 0x41, 0x09,             // lea eax, [rcx+9]
	                      0x48, 0x8B, 0x5C, 0x24, 0x50, // mov rbx, [rsp+0x50]
	                      0x48, 0x83, 0xC4, 0x38,       // add rsp, 0x38
	                      0xC3,                         // ret
	                  });
	// UNWIND_INFO: version 1, prologue of 4 bytes, one code (UWOP_ALLOC_SMALL, 0x38);
	// the fragment's: UNW_FLAG_CHAININFO and a copy of the entry it continues.
	page.Write(0x800, { 0x01, 0x04, 0x01, 0x00, 0x04, 0x62, 0x00, 0x00 });
	page.Write(0x820, { 0x21, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00 });
	RUNTIME_FUNCTION table[2]{};
	table[0].BeginAddress = 0x100;
	table[0].EndAddress = 0x104;
	table[0].UnwindData = 0x800;
	table[1].BeginAddress = 0x104;
	table[1].EndAddress = 0x116;
	table[1].UnwindData = 0x820;
	const auto base = reinterpret_cast<DWORD64>(page.data());
	ASSERT_TRUE(::RtlAddFunctionTable(table, 2, base));
	const RegisteredFunctionTable registered{ table };
	std::uint8_t* const           function = page.data() + 0x100;

	const auto start = Detour::CodeMemory::LocateFunction(function);
	EXPECT_EQ(start.kind, Detour::FunctionTable::Position::Kind::FunctionStart);
	EXPECT_EQ(start.size, 0x16u) << "the entry and its chained fragment";
	{
		Detour::InlineHook hook;
		g_hook = &hook;
		ASSERT_TRUE(hook.Install(function, &Replacement)) << Detour::DescribeFailure(hook.failure);
		EXPECT_EQ(hook.stolenLength, hook.jumpSize == 5 ? 9u : 17u);
		EXPECT_EQ(Call(function, 1), kReplaced + 10);
		EXPECT_EQ(Call(hook.TrampolineAddress(), 1), 10);
	}
	EXPECT_EQ(Call(function, 1), 10);

	// Inside the function, as an Address Library of another game version points: within
	// the prologue's entry, at the fragment's start, within the fragment. Refused before
	// a byte is written. Past the table's ranges nothing is known, and the install goes on.
	const struct
	{
		std::size_t offset;
		bool        inside;
	} sites[] = { { 0x102, true }, { 0x104, true }, { 0x109, true }, { 0x116, false } };
	for (const auto& site : sites) {
		std::uint8_t* const at = page.data() + site.offset;
		const auto          position = Detour::CodeMemory::LocateFunction(at);
		EXPECT_EQ(position.kind, site.inside ? Detour::FunctionTable::Position::Kind::InsideFunction : Detour::FunctionTable::Position::Kind::Uncovered) << site.offset;
		if (!site.inside) {
			continue;
		}
		const std::vector<std::uint8_t> before(page.data() + 0x100, page.data() + 0x116);
		Detour::InlineHook              hook;
		EXPECT_FALSE(hook.Install(at, &Replacement)) << site.offset;
		EXPECT_EQ(hook.failure, Detour::DetourFailure::InsideFunction) << site.offset;
		EXPECT_EQ(hook.failedAt, at) << site.offset;
		EXPECT_EQ(std::vector<std::uint8_t>(page.data() + 0x100, page.data() + 0x116), before) << site.offset;
	}
}

TEST(InlineHook, SwitchThroughATableAfterTheCodeIsDetouredAndEveryCaseStillRuns)
{
	// A switch laid out as MSVC lays it out, its table of offsets from the image's base
	// after the code, in a page whose function table the system knows: the install learns
	// the image's base from the system's lookup, so that the scan passes the table as the
	// data the code reads, and the cases run through the detour and the trampoline.
	using TestSupport::SwitchOfThree;
	CodePages page = CodePages::Anywhere();
	ASSERT_TRUE(page);
	constexpr std::uint32_t kRva = 0x100;
	page.Write(kRva, SwitchOfThree::Code(kRva));
	page.Write(0x800, { 0x01, 0x00, 0x00, 0x00 }); // UNWIND_INFO: version 1, nothing to undo
	RUNTIME_FUNCTION table[1]{};
	table[0] = { kRva, kRva + static_cast<DWORD>(SwitchOfThree::kSize), 0x800 };
	const auto base = reinterpret_cast<DWORD64>(page.data());
	ASSERT_TRUE(::RtlAddFunctionTable(table, 1, base));
	const RegisteredFunctionTable registered{ table };
	std::uint8_t* const           function = page.data() + kRva;

	const auto position = Detour::CodeMemory::LocateFunction(function);
	EXPECT_EQ(position.size, SwitchOfThree::kSize);
	EXPECT_EQ(position.imageBase, base);
	const int expected[] = { 1, 2, 0, 0 }; // f(0), f(1), f(2), f(-1)
	const int arguments[] = { 0, 1, 2, -1 };
	{
		Detour::InlineHook hook;
		g_hook = &hook;
		ASSERT_TRUE(hook.Install(function, &Replacement)) << Detour::DescribeFailure(hook.failure) << " at " << static_cast<const void*>(hook.failedAt);
		for (std::size_t i = 0; i < std::size(arguments); ++i) {
			EXPECT_EQ(Call(function, arguments[i]), kReplaced + expected[i]) << arguments[i];
			EXPECT_EQ(Call(hook.TrampolineAddress(), arguments[i]), expected[i]) << arguments[i];
		}
	}
	EXPECT_EQ(Call(function, 1), 2);
}

TEST(InlineHook, TailJumpInsideAFunctionIsRefusedNotFollowedToAnotherFunctionsStart)
{
	// A wrong address (an Address Library of another game version) that lands on the tail
	// jump inside function A: followed, it would lead to the start of function B, which
	// passes every check there. The given address is looked up in the table first.
	CodePages page = CodePages::Anywhere();
	ASSERT_TRUE(page);
	page.Write(0x100, {
	                      0x48, 0x83, 0xEC, 0x28,       // A: sub rsp, 0x28
	                      0x8D, 0x41, 0x01,             //    lea eax, [rcx+1]
	                      0x48, 0x83, 0xC4, 0x28,       //    add rsp, 0x28
	                      0xE9, 0xF0, 0x00, 0x00, 0x00, //    jmp B (tail call), at +0x0B
	                  });
	page.Write(0x200, { 0x48, 0x89, 0x5C, 0x24, 0x08, 0x8D, 0x41, 0x02, 0xC3 }); // B
	page.Write(0x800, { 0x01, 0x00, 0x00, 0x00 });                               // UNWIND_INFO: version 1, nothing to undo
	RUNTIME_FUNCTION table[2]{};
	table[0] = { 0x100, 0x110, 0x800 };
	table[1] = { 0x200, 0x209, 0x800 };
	ASSERT_TRUE(::RtlAddFunctionTable(table, 2, reinterpret_cast<DWORD64>(page.data())));
	const RegisteredFunctionTable registered{ table };
	std::uint8_t* const           tailJump = page.data() + 0x10B;
	ASSERT_EQ(Detour::InlineHook::FollowJumps(tailJump).end, page.data() + 0x200) << "the jump leads to B";

	const std::vector<std::uint8_t> before(page.data() + 0x100, page.data() + 0x209);
	Detour::InlineHook              hook;
	EXPECT_FALSE(hook.Install(tailJump, &Replacement));
	EXPECT_EQ(hook.failure, Detour::DetourFailure::InsideFunction);
	EXPECT_EQ(hook.failedAt, tailJump);
	EXPECT_EQ(std::vector<std::uint8_t>(page.data() + 0x100, page.data() + 0x209), before) << "neither A nor B patched";

	g_hook = &hook;
	EXPECT_TRUE(hook.Install(page.data() + 0x200, &Replacement)) << "B at its own start is accepted: " << Detour::DescribeFailure(hook.failure);
}
