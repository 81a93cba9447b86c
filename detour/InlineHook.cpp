// Inline function detour. See InlineHook.h for what is accepted and why.

#include "InlineHook.h"

#include "CodeMemory.h"
#include "InstructionLengthDecoder.h"

#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace
{
	constexpr std::uint8_t kNop = 0x90;
	constexpr std::int64_t kMaxInstructionLength = 15;

	std::int32_t ReadInt32(const std::uint8_t* a_at)
	{
		std::int32_t value;
		std::memcpy(&value, a_at, sizeof value);
		return value;
	}

	std::uint8_t* Offset(const std::uint8_t* a_at, std::int64_t a_offset)
	{
		return reinterpret_cast<std::uint8_t*>(reinterpret_cast<std::uintptr_t>(a_at) + static_cast<std::uintptr_t>(a_offset));
	}

	// E9 rel32 (a_size 5; the caller checked that the displacement fits), or
	// FF 25 00000000 followed by the 8-byte destination (a_size 14): jmp [rip+0].
	void WriteJump(std::uint8_t* a_at, const void* a_to, std::uint64_t a_size)
	{
		if (a_size == InlineHook::kNearJumpSize) {
			const auto displacement = static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(a_to) - (reinterpret_cast<std::uintptr_t>(a_at) + InlineHook::kNearJumpSize));
			a_at[0] = 0xE9;
			std::memcpy(a_at + 1, &displacement, sizeof displacement);
		} else {
			const auto destination = reinterpret_cast<std::uint64_t>(a_to);
			a_at[0] = 0xFF;
			a_at[1] = 0x25;
			std::memset(a_at + 2, 0, 4);
			std::memcpy(a_at + 6, &destination, sizeof destination);
		}
	}

	// The first opcode byte of an accepted instruction, past its legacy and REX prefixes.
	const std::uint8_t* OpcodeOf(const std::uint8_t* a_instruction, std::int64_t a_length)
	{
		const std::uint8_t* p = a_instruction;
		while (p < a_instruction + a_length - 1) {
			switch (*p) {
				case 0x26: case 0x2E: case 0x36: case 0x3E: case 0x64: case 0x65:
				case 0x66: case 0x67: case 0xF0: case 0xF2: case 0xF3:
				case 0x40: case 0x41: case 0x42: case 0x43: case 0x44: case 0x45: case 0x46: case 0x47:
				case 0x48: case 0x49: case 0x4A: case 0x4B: case 0x4C: case 0x4D: case 0x4E: case 0x4F:
					++p;
					continue;
				default:
					return p;
			}
		}
		return p;
	}

	// int3: padding between functions, or a debugger's breakpoint; neither is the
	// function's own code to copy.
	bool IsBreakpoint(const std::uint8_t* a_opcode)
	{
		return *a_opcode == 0xCC;
	}

	// Instructions after which control does not fall through to the next byte: a
	// return, an unconditional jump, or ud2 (compilers put it after calls that do not
	// return). What follows them belongs to another function or to padding.
	bool EndsFunction(const std::uint8_t* a_opcode)
	{
		switch (a_opcode[0]) {
			case 0xC2:  // ret imm16
			case 0xC3:  // ret
			case 0xCA:  // retf imm16
			case 0xCB:  // retf
			case 0xCF:  // iret
			case 0xE9:  // jmp rel32
			case 0xEB:  // jmp rel8
				return true;
			case 0xFF:  // jmp r/m (reg 4), jmp far m (reg 5)
				return ((a_opcode[1] >> 3) & 7u) == 4 || ((a_opcode[1] >> 3) & 7u) == 5;
			case 0x0F:
				return a_opcode[1] == 0x0B;  // ud2
			default:
				return false;
		}
	}
}

InlineHook::~InlineHook()
{
	Restore();
	if (installed != 0) {
		// The target still jumps to the replacement, which may call through the
		// trampoline: keep its storage alive rather than free it under the game.
		try {
			static_cast<void>(new std::vector<std::uint8_t>(std::move(trampoline)));
		} catch (const std::bad_alloc&) {
		}
	}
}

std::uint8_t* InlineHook::FollowJumps(std::uint8_t* a_code)
{
	std::uint8_t* p = a_code;
	for (int jumps = 0; jumps < kMaxJumpsFollowed; ++jumps) {
		if (p[0] == 0xFF && p[1] == 0x25) {
			// jmp [rip+d]: the destination is the pointer stored at the next instruction + d.
			std::uint8_t* destination;
			std::memcpy(&destination, Offset(p, 6 + std::int64_t{ ReadInt32(p + 2) }), sizeof destination);
			p = destination;
		} else if (p[0] == 0xE9) {
			p = Offset(p, 5 + std::int64_t{ ReadInt32(p + 1) });
		} else if (p[0] == 0xEB && p[1] != 0x00 && p[1] != 0x80) {
			p = Offset(p, 2 + std::int64_t{ static_cast<std::int8_t>(p[1]) });
		} else {
			break;
		}
	}
	return p;
}

std::uint64_t InlineHook::JumpSize(const void* a_from, const void* a_to) noexcept
{
	// The difference of two user-space addresses always fits in 64 signed bits; the
	// near jump's displacement is taken from the end of the jump, so a backward jump
	// reaches 5 bytes less far than a forward one.
	const auto displacement = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(a_to) - (reinterpret_cast<std::uintptr_t>(a_from) + kNearJumpSize));
	const bool fits = displacement >= std::numeric_limits<std::int32_t>::min() && displacement <= std::numeric_limits<std::int32_t>::max();
	return fits ? kNearJumpSize : kAbsoluteJumpSize;
}

void* InlineHook::TrampolineAddress() const noexcept
{
	return trampoline.empty() ? nullptr : const_cast<std::uint8_t*>(trampoline.data());
}

bool InlineHook::Fail(Failure a_failure, const std::uint8_t* a_where)
{
	failure = a_failure;
	failedAt = a_where;
	std::vector<std::uint8_t>().swap(trampoline);
	stolenLength = 0;
	installed = 0;
	return false;
}

// Adds up whole instructions from target until the jump fits, refusing every run that
// could not run unchanged from the trampoline; sets stolenLength.
bool InlineHook::MeasureStolenRun()
{
	const std::uint64_t room = kTrampolineCapacity - returnJumpSize;
	std::uint64_t       length = 0;
	while (length < jumpSize) {
		const std::uint8_t* const instruction = target + length;
		const InstructionInfo     info = MeasureInstruction(instruction, kX86_64Mode);
		if (info.length < 0) {
			return Fail(Failure::Undecodable, instruction);
		}
		// The decoder refuses instructions over 15 bytes; checked again here because a
		// wrong length would make the copy below write past the trampoline.
		if (info.length > kMaxInstructionLength || length + static_cast<std::uint64_t>(info.length) > room) {
			return Fail(Failure::RunTooLong, instruction);
		}
		if (info.relative == InstructionInfo::Relative::Memory) {
			return Fail(Failure::RipRelative, instruction);
		}
		if (info.relative == InstructionInfo::Relative::Branch) {
			return Fail(Failure::RelativeBranch, instruction);
		}
		length += static_cast<std::uint64_t>(info.length);
		const std::uint8_t* const opcode = OpcodeOf(instruction, info.length);
		if (IsBreakpoint(opcode) || (length < jumpSize && EndsFunction(opcode))) {
			return Fail(Failure::FunctionEnds, instruction);
		}
	}
	stolenLength = length;
	return true;
}

bool InlineHook::Install(std::uint8_t* a_function, const void* a_replacement)
{
	if (installed != 0) {
		failure = Failure::AlreadyInstalled;
		failedAt = nullptr;
		return false;
	}
	failure = Failure::None;
	failedAt = nullptr;

	target = FollowJumps(a_function);
	patchAddress = target;
	replacement = a_replacement;
	jumpDestination = a_replacement;

	// Sized once, before its address is used for the form of the jump back; shrinking
	// it later never moves it.
	trampoline.assign(kTrampolineCapacity, 0);
	jumpSize = JumpSize(patchAddress, jumpDestination);
	// The jump back sits at trampoline + n and goes to target + n: the same distance.
	returnJumpSize = JumpSize(trampoline.data(), target);

	if (!MeasureStolenRun()) {
		return false;
	}

	std::memcpy(trampoline.data(), target, stolenLength);
	WriteJump(trampoline.data() + stolenLength, target + stolenLength, returnJumpSize);
	trampoline.resize(stolenLength + returnJumpSize);

	// The trampoline's pages stay executable for good (other heap data may share them).
	CodeMemory::Protection heapProtection = 0;
	if (!CodeMemory::MakeWritable(trampoline.data(), trampoline.size(), heapProtection)) {
		return Fail(Failure::TrampolineNotExecutable, trampoline.data());
	}
	CodeMemory::FlushInstructionCache(trampoline.data(), trampoline.size());

	CodeMemory::Protection former = 0;
	if (!CodeMemory::MakeWritable(target, stolenLength, former)) {
		return Fail(Failure::TargetNotWritable, target);
	}
	std::memset(target, kNop, stolenLength);
	WriteJump(patchAddress, jumpDestination, jumpSize);
	CodeMemory::RestoreProtection(target, stolenLength, former);
	CodeMemory::FlushInstructionCache(target, stolenLength);

	installed = 1;
	return true;
}

void InlineHook::Restore()
{
	if (installed != 0) {
		CodeMemory::Protection former = 0;
		if (!CodeMemory::MakeWritable(target, stolenLength, former)) {
			return;  // write nothing to a range whose protection did not change
		}
		std::memcpy(target, trampoline.data(), stolenLength);
		CodeMemory::RestoreProtection(target, stolenLength, former);
		CodeMemory::FlushInstructionCache(target, stolenLength);
	}
	std::vector<std::uint8_t>().swap(trampoline);
	stolenLength = 0;
	installed = 0;
}
