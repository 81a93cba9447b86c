// Position-dependent first instructions, run three ways: called directly, through the
// trampoline, and through the detour whose replacement calls the trampoline. Every
// way must give the same results and side effects. The functions are written as bytes
// into a page more than 4 GiB from the test program (where the replacement lives) and
// from the heap, so the detour takes a block near them and reaches the replacement
// through a relay.

#include "CodeMemory.h"
#include "CodePages.h"
#include "Detour/DetourPlan.h"
#include "Detour/InlineHook.h"
#include "TargetFunctions.h"
#include "TrampolineReplacement.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace
{
	using Bytes = std::vector<std::uint8_t>;

	constexpr std::uintptr_t kGiB = 0x40000000;

	// Where the page's shared parts sit: a constant, a word that stores write, a
	// function that calls reach.
	constexpr std::size_t kConstant = 0xF00; // 1000
	constexpr std::size_t kScratch = 0xF08;
	constexpr std::size_t kHelper = 0xE00; // lea eax, [rcx+rcx]; ret

	Bytes operator+(Bytes a_left, const Bytes& a_right)
	{
		a_left.insert(a_left.end(), a_right.begin(), a_right.end());
		return a_left;
	}

	// The little-endian rel32 from the end of an instruction at a_end to a_to.
	Bytes Rel32(std::size_t a_end, std::size_t a_to)
	{
		const auto value = static_cast<std::uint32_t>(static_cast<std::int64_t>(a_to) - static_cast<std::int64_t>(a_end));
		return { static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24) };
	}

	std::uint8_t Rel8(std::size_t a_end, std::size_t a_to)
	{
		return static_cast<std::uint8_t>(static_cast<std::int64_t>(a_to) - static_cast<std::int64_t>(a_end));
	}

	std::uintptr_t Distance(const void* a_one, const void* a_other)
	{
		const auto one = reinterpret_cast<std::uintptr_t>(a_one);
		const auto other = reinterpret_cast<std::uintptr_t>(a_other);
		return one > other ? one - other : other - one;
	}

	// A page more than 4 GiB from each of a_avoid.
	CodePages FarFromAll(std::initializer_list<const void*> a_avoid)
	{
		for (std::uintptr_t base = 0x1000 * kGiB; base < 0x7E00 * kGiB; base += 0x1F3 * kGiB) {
			bool far = true;
			for (const void* avoid : a_avoid) {
				far = far && Distance(reinterpret_cast<const void*>(base), avoid) > 4 * kGiB;
			}
			if (far) {
				if (CodePages pages = CodePages::At(base)) {
					return pages;
				}
			}
		}
		return {};
	}

	using TestSupport::g_hook;
	using TestSupport::kReplaced;
	using TestSupport::Replacement;

	struct Case
	{
		const char* what;
		// The function at slot offset a_at of the page, with a landing block at a_at - 0x20
		// (mov eax, 99; ret) for backward branches and one at a_at + 0x40 for far ones.
		Bytes (*code)(std::size_t a_at);
		std::vector<int> inputs;
		bool             storesArgument; // writes its argument to the scratch word
	};

	const Case kCases[] = {
		{ "rip-relative load", [](std::size_t a_at) { return Bytes{ 0x48, 0x8B, 0x05 } + Rel32(a_at + 7, kConstant) + Bytes{ 0x01, 0xC8, 0xC3 }; }, { 1, 5 }, false },
		{ "rip-relative store", [](std::size_t a_at) { return Bytes{ 0x48, 0x89, 0x0D } + Rel32(a_at + 7, kScratch) + Bytes{ 0x8D, 0x41, 0x01, 0xC3 }; }, { 2, 9 }, true },
		{ "rip-relative lea", [](std::size_t a_at) { return Bytes{ 0x48, 0x8D, 0x05 } + Rel32(a_at + 7, kConstant) + Bytes{ 0x8B, 0x00, 0x01, 0xC8, 0xC3 }; }, { 3 }, false },
		{ "rip-relative compare with an immediate after the displacement",
		  [](std::size_t a_at) { return Bytes{ 0x81, 0x3D } + Rel32(a_at + 10, kConstant) + Bytes{ 0xE8, 0x03, 0x00, 0x00, 0x0F, 0x94, 0xC0, 0x0F, 0xB6, 0xC0, 0x01, 0xC8, 0xC3 }; },
		  { 4 },
		  false },
		{ "call rel32", [](std::size_t a_at) { return Bytes{ 0xE8 } + Rel32(a_at + 5, kHelper) + Bytes{ 0x83, 0xC0, 0x01, 0xC3 }; }, { 5, 6 }, false },
		{ "jmp rel32 closing the run", [](std::size_t a_at) { return Bytes{ 0x89, 0xC8, 0xE9 } + Rel32(a_at + 7, a_at + 0x40); }, { 7 }, false },
		{ "jmp rel8 closing the run", [](std::size_t) { return Bytes{ 0x8D, 0x41, 0x07, 0xEB, 0x10 }; }, { 8 }, false },
		{ "jz rel8 forward, taken and not", [](std::size_t) { return Bytes{ 0x85, 0xC9, 0x74, 0x04, 0x8D, 0x41, 0x01, 0xC3, 0xB8, 0x4D, 0x00, 0x00, 0x00, 0xC3 }; }, { 0, 4 }, false },
		{ "jz rel32 forward, taken and not", [](std::size_t a_at) { return Bytes{ 0x85, 0xC9, 0x0F, 0x84 } + Rel32(a_at + 8, a_at + 0x40) + Bytes{ 0x8D, 0x41, 0x02, 0xC3 }; }, { 0, 4 }, false },
		{ "jl rel8 backward, taken and not", [](std::size_t a_at) { return Bytes{ 0x83, 0xF9, 0x05, 0x7C, Rel8(a_at + 5, a_at - 0x20), 0x8D, 0x41, 0x03, 0xC3 }; }, { 3, 7 }, false },
		{ "jl rel32 backward, taken and not", [](std::size_t a_at) { return Bytes{ 0x83, 0xF9, 0x05, 0x0F, 0x8C } + Rel32(a_at + 9, a_at - 0x20) + Bytes{ 0x8D, 0x41, 0x03, 0xC3 }; }, { 3, 7 }, false },
		{ "jg back into the stolen bytes", [](std::size_t) { return Bytes{ 0xFF, 0xC9, 0x7F, 0xFC, 0x89, 0xC8, 0xC3 }; }, { 3, -2 }, false },
		{ "loop back into the stolen bytes", [](std::size_t) { return Bytes{ 0x31, 0xC0, 0x01, 0xC8, 0xE2, 0xFC, 0xC3 }; }, { 1, 4 }, false },
		{ "loop with ecx (67 prefix)", [](std::size_t) { return Bytes{ 0x31, 0xC0, 0x01, 0xC8, 0x67, 0xE2, 0xFB, 0xC3 }; }, { 1, 4 }, false },
		{ "jrcxz forward into the stolen bytes", [](std::size_t) { return Bytes{ 0xE3, 0x02, 0xFF, 0xC1, 0x8D, 0x41, 0x05, 0xC3 }; }, { 0, 3 }, false },
	};

	// Landing blocks: mov eax, 99 before the function, mov eax, 55 / add eax, 5 after it.
	void WriteCase(CodePages& a_page, std::size_t a_at, const Case& a_case)
	{
		a_page.Write(a_at - 0x20, { 0xB8, 0x63, 0x00, 0x00, 0x00, 0xC3 });
		a_page.Write(a_at + 0x40, { 0x83, 0xC0, 0x05, 0xC3 }); // jmp rel32 lands here: x + 5
		a_page.Write(a_at + 0x15, { 0x83, 0xC0, 0x01, 0xC3 }); // jmp rel8 lands here: x + 8
		const Bytes code = a_case.code(a_at);
		a_page.Write(a_at, code);
	}

	std::int64_t Scratch(const CodePages& a_page)
	{
		std::int32_t value;
		std::memcpy(&value, a_page.data() + kScratch, sizeof value);
		return value;
	}
} // namespace

namespace
{
	// A page more than 4 GiB from the program and the heap, with the constant and the
	// helper function in place.
	CodePages MakeCasePage()
	{
		const auto heap = std::make_unique<int>(0);
		CodePages  page = FarFromAll({ reinterpret_cast<const void*>(&Replacement), heap.get(), reinterpret_cast<const void*>(&qs_CallTarget) });
		if (page) {
			const std::uint32_t constant = 1000;
			std::memcpy(page.data() + kConstant, &constant, sizeof constant);
			page.Write(kHelper, { 0x8D, 0x04, 0x09, 0xC3 });
		}
		return page;
	}

	// Runs the case at a_at directly, then through the trampoline and through the detour.
	void RunCase(CodePages& a_page, std::size_t a_at, const Case& a_case)
	{
		const Case& c = a_case;
		// The jz rel32 case lands on the +0x40 block with mov eax, 55 instead.
		WriteCase(a_page, a_at, c);
		if (std::string_view{ c.what }.starts_with("jz rel32")) {
			a_page.Write(a_at + 0x40, { 0xB8, 0x37, 0x00, 0x00, 0x00, 0xC3 });
		}
		std::uint8_t* const target = a_page.data() + a_at;

		std::vector<int>          direct;
		std::vector<std::int64_t> directStores;
		for (const int input : c.inputs) {
			direct.push_back(qs_CallTarget(target, input));
			directStores.push_back(Scratch(a_page));
		}

		const Bytes original(target, target + 16);
		{
			Detour::InlineHook hook;
			g_hook = &hook;
			ASSERT_TRUE(hook.Install(target, &Replacement)) << c.what << ": " << Detour::DescribeFailure(hook.failure);
			EXPECT_EQ(hook.jumpSize, 5u) << c.what;
			EXPECT_NE(hook.relayAddress, nullptr) << c.what << ": the replacement is far, the relay near";
			EXPECT_GT(Distance(hook.TrampolineAddress(), reinterpret_cast<const void*>(&Replacement)), 2 * kGiB) << c.what;
			EXPECT_LT(Distance(hook.TrampolineAddress(), target), 2 * kGiB) << c.what;
			for (std::size_t i = 0; i < c.inputs.size(); ++i) {
				std::memset(a_page.data() + kScratch, 0, 8);
				EXPECT_EQ(qs_CallTarget(hook.TrampolineAddress(), c.inputs[i]), direct[i]) << c.what << " through the trampoline, input " << c.inputs[i];
				if (c.storesArgument) {
					EXPECT_EQ(Scratch(a_page), directStores[i]) << c.what;
				}
				std::memset(a_page.data() + kScratch, 0, 8);
				EXPECT_EQ(qs_CallTarget(target, c.inputs[i]), kReplaced + direct[i]) << c.what << " through the detour, input " << c.inputs[i];
				if (c.storesArgument) {
					EXPECT_EQ(Scratch(a_page), directStores[i]) << c.what;
				}
			}
		}
		EXPECT_EQ(Bytes(target, target + 16), original) << c.what << ": restored";
	}

	// AVX instructions whose memory operand is rip-relative, first in the function: the
	// relocation rewrites their displacement where the decoder says it sits, also when an
	// immediate follows it. Each needs the processor (and the system) to run AVX or AVX-512.
	enum class Needs
	{
		Avx,
		Avx512
	};
	struct AvxCase
	{
		Case  run;
		Needs needs;
	};
	const AvxCase kAvxCases[] = {
		// vmovd xmm0, [rip+c] | vmovd eax, xmm0 | add eax, ecx | ret
		{ { "VEX rip-relative load", [](std::size_t a_at) { return Bytes{ 0xC5, 0xF9, 0x6E, 0x05 } + Rel32(a_at + 8, kConstant) + Bytes{ 0xC5, 0xF9, 0x7E, 0xC0, 0x01, 0xC8, 0xC3 }; }, { 1, 5 }, false }, Needs::Avx },
		// vpshufd xmm0, [rip+c], 0 | vmovd eax, xmm0 | add eax, ecx | ret
		{ { "VEX rip-relative with an immediate after the displacement", [](std::size_t a_at) { return Bytes{ 0xC5, 0xF9, 0x70, 0x05 } + Rel32(a_at + 9, kConstant) + Bytes{ 0x00, 0xC5, 0xF9, 0x7E, 0xC0, 0x01, 0xC8, 0xC3 }; }, { 2 }, false }, Needs::Avx },
		// vmovd xmm0, ecx | vmovd [rip+s], xmm0 | lea eax, [rcx+1] | ret
		{ { "VEX rip-relative store", [](std::size_t a_at) { return Bytes{ 0xC5, 0xF9, 0x6E, 0xC1, 0xC5, 0xF9, 0x7E, 0x05 } + Rel32(a_at + 12, kScratch) + Bytes{ 0x8D, 0x41, 0x01, 0xC3 }; }, { 3, 11 }, true }, Needs::Avx },
		// vpinsrd xmm0, xmm0, [rip+c], 1 | vpextrd eax, xmm0, 1 | add eax, ecx | ret
		{ { "three-byte VEX rip-relative with an immediate", [](std::size_t a_at) { return Bytes{ 0xC4, 0xE3, 0x79, 0x22, 0x05 } + Rel32(a_at + 10, kConstant) + Bytes{ 0x01, 0xC4, 0xE3, 0x79, 0x16, 0xC0, 0x01, 0x01, 0xC8, 0xC3 }; }, { 4 }, false }, Needs::Avx },
		// vpbroadcastd xmm1, [rip+c] | vmovd eax, xmm1 | add eax, ecx | ret
		{ { "EVEX rip-relative load", [](std::size_t a_at) { return Bytes{ 0x62, 0xF2, 0x7D, 0x08, 0x58, 0x0D } + Rel32(a_at + 10, kConstant) + Bytes{ 0xC5, 0xF9, 0x7E, 0xC8, 0x01, 0xC8, 0xC3 }; }, { 5, 6 }, false }, Needs::Avx512 },
		// vpshufd xmm1, [rip+c], 0 (EVEX) | vmovd eax, xmm1 | add eax, ecx | ret
		{ { "EVEX rip-relative with an immediate after the displacement", [](std::size_t a_at) { return Bytes{ 0x62, 0xF1, 0x7D, 0x08, 0x70, 0x0D } + Rel32(a_at + 11, kConstant) + Bytes{ 0x00, 0xC5, 0xF9, 0x7E, 0xC8, 0x01, 0xC8, 0xC3 }; }, { 7 }, false }, Needs::Avx512 },
	};

	// Whether the processor runs the instructions and the system saves their registers.
	bool CpuRuns(Needs a_needs)
	{
		__builtin_cpu_init();
		return a_needs == Needs::Avx ? __builtin_cpu_supports("avx2") != 0 : (__builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vl") != 0);
	}
} // namespace

TEST(Relocation, EveryPositionDependentFormRunsTheSameDirectlyThroughTheTrampolineAndThroughTheDetour)
{
	CodePages page = MakeCasePage();
	ASSERT_TRUE(page) << "no page more than 4 GiB from the program and the heap";
	std::size_t at = 0x40;
	for (const Case& c : kCases) {
		RunCase(page, at, c);
		at += 0x100;
	}
}

TEST(Relocation, AvxInstructionsWithRipRelativeOperandsRunTheSameDirectlyThroughTheTrampolineAndThroughTheDetour)
{
	CodePages page = MakeCasePage();
	ASSERT_TRUE(page) << "no page more than 4 GiB from the program and the heap";
	std::size_t at = 0x40;
	std::size_t ran = 0;
	for (const AvxCase& c : kAvxCases) {
		if (!CpuRuns(c.needs)) {
			std::printf("%s: skipped, this processor lacks %s\n", c.run.what, c.needs == Needs::Avx ? "AVX2" : "AVX-512F/VL");
		} else {
			RunCase(page, at, c.run);
			++ran;
		}
		at += 0x100;
	}
	if (ran == 0) {
		GTEST_SKIP() << "this processor runs neither AVX2 nor AVX-512 code";
	}
}

TEST(Relocation, BranchesOutOfRel32ReachFromTheTrampolineTakeAbsoluteFormsThatRunTheSame)
{
	// Target T; the trampoline 1.5 GiB below it, branch destinations 1.5 GiB above it:
	// 3 GiB from the trampoline, so every relative branch needs its absolute form.
	constexpr std::uintptr_t kHalf = kGiB / 2;
	CodePages                target;
	CodePages                trampoline;
	CodePages                destinations;
	for (std::uintptr_t base = 0x5000 * kGiB; base < 0x7000 * kGiB && !(target && trampoline && destinations); base += 16 * kGiB) {
		target = CodePages::At(base);
		trampoline = CodePages::At(base - 3 * kHalf);
		destinations = CodePages::At(base + 3 * kHalf);
	}
	if (!(target && trampoline && destinations)) {
		GTEST_SKIP() << "no free address range for pages 1.5 GiB apart";
	}
	const std::size_t far = 3 * kHalf;                                 // destinations.data() - target.data()
	destinations.Write(0x000, { 0x8D, 0x04, 0x09, 0xC3 });             // call: 2x
	destinations.Write(0x100, { 0xB8, 0x63, 0x00, 0x00, 0x00, 0xC3 }); // taken branch: 99
	destinations.Write(0x200, { 0x8D, 0x41, 0x05, 0xC3 });             // jmp: x + 5

	struct FarCase
	{
		const char*        what;
		Bytes              code;
		Detour::Relocation relocation;
		std::vector<int>   inputs;
	};
	const FarCase cases[] = {
		{ "call rel32", Bytes{ 0xE8 } + Rel32(5, far) + Bytes{ 0x83, 0xC0, 0x01, 0xC3 }, Detour::Relocation::Call, { 3 } },
		{ "jmp rel32", Bytes{ 0x89, 0xC8, 0xE9 } + Rel32(7, far + 0x200), Detour::Relocation::Jump, { 4 } },
		{ "jl rel32, taken and not", Bytes{ 0x83, 0xF9, 0x05, 0x0F, 0x8C } + Rel32(9, far + 0x100) + Bytes{ 0x8D, 0x41, 0x03, 0xC3 }, Detour::Relocation::ConditionalJump, { 3, 7 } },
	};
	for (const FarCase& c : cases) {
		target.Write(0, c.code);
		const auto               targetAddress = reinterpret_cast<std::uintptr_t>(target.data());
		const Detour::DetourPlan plan = Detour::PlanDetour(std::span{ target.data(), c.code.size() }, targetAddress, targetAddress + 0x800, reinterpret_cast<std::uintptr_t>(trampoline.data()), 0);
		ASSERT_TRUE(plan.ok()) << c.what << ": " << Detour::DescribeFailure(plan.failure);
		ASSERT_TRUE(plan.nearPage) << c.what;
		EXPECT_EQ(plan.instructions.back().relocation, c.relocation) << c.what;
		EXPECT_GT(plan.instructions.back().trampolineLength, 6u) << c.what << ": the absolute form";
		trampoline.Write(0, plan.trampoline);
		for (const int input : c.inputs) {
			EXPECT_EQ(qs_CallTarget(trampoline.data(), input), qs_CallTarget(target.data(), input)) << c.what << ", input " << input;
		}
	}
}
