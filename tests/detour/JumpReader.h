#pragma once

// Reads back the jumps a detour writes (at the target, in the relay, at the end of the
// trampoline) through the decoder's public answers, not by re-parsing the bytes by
// hand: a check that re-implemented the way the detour encodes its jumps would only
// repeat the code under test. Shared by the detour tests and the benchmarks.

#include "Detour/InstructionLengthDecoder.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>

namespace TestSupport
{
	// The 64-bit little-endian value at a_at in a_bytes; 0 when the bytes end before it.
	inline std::uint64_t Read64(std::span<const std::uint8_t> a_bytes, std::size_t a_at)
	{
		std::uint64_t value = 0;
		if (a_bytes.size() >= a_at + sizeof value) {
			std::memcpy(&value, a_bytes.data() + a_at, sizeof value);
		}
		return value;
	}

	// The instruction at the start of a_bytes as the decoder measures it; the decoder may
	// look at up to 15 bytes before it knows the length, so it reads a copy padded with int3.
	inline Detour::InstructionInfo Measure(std::span<const std::uint8_t> a_bytes, std::array<std::uint8_t, 32>& a_padded)
	{
		a_padded.fill(0xCC);
		std::copy_n(a_bytes.begin(), std::min(a_bytes.size(), a_padded.size()), a_padded.begin());
		return Detour::MeasureInstruction(a_padded.data(), Detour::kX86_64Mode);
	}

	inline Detour::InstructionInfo Decode(std::span<const std::uint8_t> a_bytes)
	{
		std::array<std::uint8_t, 32> padded;
		return Measure(a_bytes, padded);
	}

	// Where the relative branch at the start of a_bytes goes, or the address its
	// rip-relative operand refers to, when the bytes sit at a_address; 0 for neither.
	inline std::uintptr_t Referent(std::span<const std::uint8_t> a_bytes, std::uintptr_t a_address)
	{
		std::array<std::uint8_t, 32>  padded;
		const Detour::InstructionInfo info = Measure(a_bytes, padded);
		return static_cast<std::uintptr_t>(Detour::RelativeDestination(padded.data(), info, a_address));
	}

	// Where the jump at the start of a_bytes goes when they sit at a_address: a relative
	// jump's destination, or for an indirect jump through a rip-relative pointer (FF 25)
	// the pointer's value when a_bytes hold it. 0 for anything else.
	inline std::uintptr_t JumpDestination(std::span<const std::uint8_t> a_bytes, std::uintptr_t a_address)
	{
		std::array<std::uint8_t, 32>  padded;
		const Detour::InstructionInfo info = Measure(a_bytes, padded);
		if (info.length < 0 || static_cast<std::size_t>(info.length) > a_bytes.size()) {
			return 0;
		}
		const auto referent = static_cast<std::uintptr_t>(Detour::RelativeDestination(padded.data(), info, a_address));
		if (info.branch == Detour::InstructionInfo::Branch::Jump) {
			return referent;
		}
		if (info.branch == Detour::InstructionInfo::Branch::IndirectJump && info.relative == Detour::InstructionInfo::Relative::Memory && referent >= a_address) {
			return static_cast<std::uintptr_t>(Read64(a_bytes, referent - a_address));
		}
		return 0;
	}

	// The same for a jump in live memory: a_readable bytes from a_jump on may be read.
	inline const void* JumpDestination(const std::uint8_t* a_jump, std::size_t a_readable = 14)
	{
		return reinterpret_cast<const void*>(JumpDestination({ a_jump, a_readable }, reinterpret_cast<std::uintptr_t>(a_jump)));
	}
} // namespace TestSupport
