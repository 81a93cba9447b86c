// libFuzzer target for the detour's plan (PlanDetour and DryRunDetour).
//
// Input: a header, then the code.
//   byte 0      how the addresses are chosen (below)
//   bytes 1-8   a raw target address
//   bytes 9-16  a raw second address (trampoline, replacement)
//   bytes 17-18 the function's size, 0 = unknown
// Each input is planned twice: without the image's base, and with the target's 64 KiB
// block as the image's base, so that the scan may take bytes for switch tables.
// The code is copied into a heap block of exactly its size, so that the sanitizer
// stops any read past the bytes given. Whatever the plan answers:
//  1. a refusal leaves no bytes to write;
//  2. no trampoline is larger than kMaxTrampolineSize, and no address of an accepted plan
//     wraps around the address space (trampoline, relay);
//  3. an accepted plan steals whole instructions within the bytes given and the
//     function's size, its patch is exactly the stolen bytes, and it reads back through
//     the decoder as the instructions it relocated (TestSupport::PlanReader).

#include "Detour/DetourPlan.h"
#include "PlanReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

namespace
{
	constexpr std::size_t    kHeader = 19;
	constexpr std::uintptr_t kTop = ~std::uintptr_t{ 0 };
	constexpr std::uintptr_t kTypical = 0x0000'7FF6'1234'0000; // where a game's code lies

	[[noreturn]] void Fail(const char* a_what, const Detour::DetourPlan& a_plan, std::span<const std::uint8_t> a_code)
	{
		std::fprintf(stderr, "plan fuzz failure: %s (target %#llx, trampoline %#llx, relay %#llx, failure %d at %zu):", a_what, static_cast<unsigned long long>(a_plan.target),
		             static_cast<unsigned long long>(a_plan.trampolineAddress), static_cast<unsigned long long>(a_plan.relayAddress), static_cast<int>(a_plan.failure),
		             a_plan.failedAt);
		for (const std::uint8_t byte : a_code.first(a_code.size() < 32 ? a_code.size() : 32)) {
			std::fprintf(stderr, " %02X", byte);
		}
		std::fprintf(stderr, "\n");
		std::abort();
	}

	std::uint64_t Read64(const std::uint8_t* a_at)
	{
		std::uint64_t value;
		std::memcpy(&value, a_at, sizeof value);
		return value;
	}

	// The target: near where a game's code lies, anywhere, in the lowest 256 KiB, or in
	// the highest 64 KiB of the address space.
	std::uintptr_t ChooseTarget(std::uint8_t a_how, std::uint64_t a_raw)
	{
		switch (a_how & 3) {
			case 0:
				return kTypical + (a_raw & 0xFFFF);
			case 1:
				return a_raw;
			case 2:
				return a_raw & 0x3FFFF;
			default:
				return kTop - (a_raw & 0xFFFF);
		}
	}

	Detour::DetourPlan Plan(std::uint8_t a_how, std::uintptr_t a_target, std::uint64_t a_raw, std::span<const std::uint8_t> a_code, std::size_t a_functionSize,
	                        std::uintptr_t a_imageBase)
	{
		// The trampoline a signed 32-bit step from the target (in reach, at the edge of it
		// or past it), or anywhere; the relay right before it or none; the replacement
		// near, or the raw address.
		const bool           anywhere = (a_how & 4) != 0;
		const std::uintptr_t trampoline = anywhere ? a_raw : a_target + static_cast<std::uintptr_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(a_raw)));
		const std::uintptr_t relay = (a_how & 8) != 0 ? 0 : trampoline - Detour::kRelaySize;
		const std::uintptr_t replacement = (a_how & 16) != 0 ? a_target + 0x1000 : a_raw ^ 0x0000'5A5A'0000'0000;
		if ((a_how & 32) != 0) {
			return Detour::DryRunDetour(a_code, a_target, a_functionSize, a_imageBase);
		}
		return Detour::PlanDetour(a_code, a_target, replacement, trampoline, relay, a_functionSize, a_imageBase);
	}

	void Check(const Detour::DetourPlan& a_plan, std::span<const std::uint8_t> a_code, std::size_t a_functionSize)
	{
		if (!a_plan.ok()) {
			if (!a_plan.patch.empty() || !a_plan.trampoline.empty() || !a_plan.relay.empty()) {
				Fail("a refusal with bytes to write", a_plan, a_code);
			}
			return;
		}
		if (a_plan.trampoline.size() > Detour::kMaxTrampolineSize) {
			Fail("trampoline larger than its bound", a_plan, a_code);
		}
		if (a_plan.trampolineAddress > kTop - a_plan.trampoline.size() || (a_plan.relayAddress != 0 && a_plan.relayAddress > kTop - Detour::kRelaySize)) {
			Fail("trampoline or relay wraps around the address space", a_plan, a_code);
		}
		if (a_plan.stolenLength < a_plan.jumpSize || a_plan.stolenLength > a_code.size() || (a_functionSize != 0 && a_plan.stolenLength > a_functionSize)) {
			Fail("stolen run out of bounds", a_plan, a_code);
		}
		if (a_plan.patch.size() != a_plan.stolenLength || a_plan.instructions.empty()) {
			Fail("patch is not the stolen bytes", a_plan, a_code);
		}
		std::size_t offset = 0;
		for (const Detour::StolenInstruction& instruction : a_plan.instructions) {
			if (instruction.offset != offset) {
				Fail("stolen instructions not contiguous", a_plan, a_code);
			}
			offset += instruction.length;
		}
		if (offset != a_plan.stolenLength) {
			Fail("stolen instructions do not add up", a_plan, a_code);
		}
		if (!TestSupport::PlanReader(a_plan).Verify(a_code)) {
			Fail("accepted plan does not read back as the instructions it relocated", a_plan, a_code);
		}
	}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* a_data, std::size_t a_size)
{
	if (a_size < kHeader) {
		return 0;
	}
	const std::uint8_t   how = a_data[0];
	const std::uintptr_t target = ChooseTarget(how >> 6, Read64(a_data + 1));
	const std::uint64_t  raw = Read64(a_data + 9);
	const std::size_t    functionSize = a_data[17] | (std::size_t{ a_data[18] } << 8);

	// Exactly the bytes given, no more: a read past them is a heap overflow.
	const std::size_t                     size = a_size - kHeader;
	const std::unique_ptr<std::uint8_t[]> code{ new std::uint8_t[size == 0 ? 1 : size] };
	std::memcpy(code.get(), a_data + kHeader, size);
	const std::span<const std::uint8_t> bytes{ code.get(), size };

	for (const std::uintptr_t imageBase : { std::uintptr_t{ 0 }, target & ~std::uintptr_t{ 0xFFFF } }) {
		Check(Plan(how, target, raw, bytes, functionSize, imageBase), bytes, functionSize);
	}
	return 0;
}
