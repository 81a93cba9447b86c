// The detour's plan. See DetourPlan.h.

#include "Detour/DetourPlan.h"

#include "Detour/InstructionLengthDecoder.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <utility>

namespace Detour
{
	std::string_view DescribeFailure(DetourFailure a_failure) noexcept
	{
		switch (a_failure) {
			case DetourFailure::None:
				return "no failure";
			case DetourFailure::AlreadyInstalled:
				return "already installed";
			case DetourFailure::Undecodable:
				return "instruction not decodable";
			case DetourFailure::RunTooLong:
				return "relocated instructions do not fit the trampoline";
			case DetourFailure::RipRelative:
				return "rip-relative operand and no memory near the target";
			case DetourFailure::RelativeBranch:
				return "relative branch and no memory near the target";
			case DetourFailure::FunctionEnds:
				return "function ends before the jump fits";
			case DetourFailure::PastFunctionEnd:
				return "jump would reach past the function's end";
			case DetourFailure::BranchIntoStolenBytes:
				return "a branch of the function lands inside the patched bytes";
			case DetourFailure::Unrelocatable:
				return "instruction cannot be relocated";
			case DetourFailure::CodeTooShort:
				return "code ends before the jump fits";
			case DetourFailure::TargetNotExecutable:
				return "target is not executable memory";
			case DetourFailure::InsideFunction:
				return "target lies inside a function, not at its start";
			case DetourFailure::NoTrampolineMemory:
				return "no memory for the trampoline";
			case DetourFailure::TrampolineNotExecutable:
				return "trampoline could not be made executable";
			case DetourFailure::TargetNotWritable:
				return "target could not be made writable";
		}
		return "unknown failure";
	}

	bool NearReach(std::uintptr_t a_from, std::uint64_t a_size, std::uintptr_t a_to) noexcept
	{
		// The difference of two user-space addresses always fits in 64 signed bits.
		const auto displacement = static_cast<std::int64_t>(a_to - (a_from + a_size));
		return displacement >= std::numeric_limits<std::int32_t>::min() && displacement <= std::numeric_limits<std::int32_t>::max();
	}

	std::uint64_t JumpSize(std::uintptr_t a_from, std::uintptr_t a_to) noexcept
	{
		// A backward near jump reaches 5 bytes less far than a forward one: the
		// displacement is taken from the end of the jump.
		return NearReach(a_from, kNearJumpSize, a_to) ? kNearJumpSize : kAbsoluteJumpSize;
	}

	namespace
	{
		using Branch = InstructionInfo::Branch;

		constexpr std::uint8_t kNop = 0x90;
		constexpr std::uint8_t kInt3 = 0xCC;
		constexpr std::size_t  kLongestInstruction = 15;

		// Relocated forms that do not fit rel32 reach.
		constexpr std::size_t kAbsoluteCallSize = 16;            // FF 15 02000000 | EB 08 | address
		constexpr std::size_t kInvertedConditionalSize = 2 + 14; // J!cc +14 | FF 25 00000000 address

		void Append(std::vector<std::uint8_t>& a_out, std::initializer_list<std::uint8_t> a_bytes)
		{
			a_out.insert(a_out.end(), a_bytes);
		}

		void AppendLittleEndian(std::vector<std::uint8_t>& a_out, std::uint64_t a_value, std::size_t a_bytes)
		{
			for (std::size_t i = 0; i < a_bytes; ++i) {
				a_out.push_back(static_cast<std::uint8_t>(a_value >> (8 * i)));
			}
		}

		// The rel32 for a branch of a_size bytes at a_from to a_to; the caller checked reach.
		std::uint32_t Rel32(std::uintptr_t a_from, std::size_t a_size, std::uintptr_t a_to)
		{
			return static_cast<std::uint32_t>(a_to - (a_from + a_size));
		}

		// E9 rel32 (a_size 5) or FF 25 00000000 and the 8-byte destination (a_size 14).
		void AppendJump(std::vector<std::uint8_t>& a_out, std::uintptr_t a_at, std::uintptr_t a_to, std::uint64_t a_size)
		{
			if (a_size == kNearJumpSize) {
				a_out.push_back(0xE9);
				AppendLittleEndian(a_out, Rel32(a_at, kNearJumpSize, a_to), 4);
			} else {
				Append(a_out, { 0xFF, 0x25, 0, 0, 0, 0 });
				AppendLittleEndian(a_out, a_to, 8);
			}
		}

		// Whether rel32 reaches a_to from anywhere a branch of the trampoline can sit. The
		// forms are chosen before the trampoline's layout is known, so the check covers
		// every place in it.
		bool ReachableFromTrampoline(std::uintptr_t a_trampoline, std::uintptr_t a_to)
		{
			return NearReach(a_trampoline, 0, a_to) && NearReach(a_trampoline + kMaxTrampolineSize, 0, a_to);
		}

		constexpr std::size_t kPaddedSize = kLongestInstruction + 8;

		// The decoder reads only an instruction's own bytes, but may need up to 15 of them
		// before it knows its length: it reads a copy padded with int3, and the caller
		// refuses an instruction whose length reaches past the bytes given.
		InstructionInfo MeasurePadded(std::span<const std::uint8_t> a_code, std::uint8_t (&a_padded)[kPaddedSize])
		{
			std::fill(std::begin(a_padded), std::end(a_padded), kInt3);
			std::copy_n(a_code.begin(), std::min(a_code.size(), kLongestInstruction), a_padded);
			return MeasureInstruction(a_padded, kX86_64Mode);
		}

		// One stolen instruction as the planner sees it.
		struct Stolen
		{
			InstructionInfo info;
			std::uint8_t    bytes[kLongestInstruction];
			std::uintptr_t  destination; // of a relative branch or operand
			int             internal;    // index of the stolen instruction a branch lands on, or -1
		};

		DetourPlan Fail(DetourPlan& a_plan, DetourFailure a_failure, std::size_t a_at)
		{
			a_plan.failure = a_failure;
			a_plan.failedAt = a_at;
			a_plan.patch.clear();
			a_plan.trampoline.clear();
			a_plan.relay.clear();
			return std::move(a_plan);
		}

		// Whether a 67 prefix (address size 32) is among the instruction's prefixes.
		bool HasAddressSizePrefix(const std::uint8_t* a_bytes, const InstructionInfo& a_info)
		{
			return std::find(a_bytes, a_bytes + a_info.prefixCount, std::uint8_t{ 0x67 }) != a_bytes + a_info.prefixCount;
		}

		// The size of an instruction's relocated copy; a_absolute tells whether a branch
		// takes the absolute form because rel32 cannot reach its destination.
		std::size_t RelocatedSize(const Stolen& a_stolen, std::uintptr_t a_trampoline, Relocation& a_relocation, bool& a_absolute)
		{
			const InstructionInfo& info = a_stolen.info;
			const bool             reach = a_stolen.internal >= 0 || ReachableFromTrampoline(a_trampoline, a_stolen.destination);
			a_absolute = !reach;
			if (info.relative == InstructionInfo::Relative::Memory) {
				a_relocation = Relocation::RipDisplacement;
				return static_cast<std::size_t>(info.length);
			}
			switch (info.relative == InstructionInfo::Relative::Branch ? info.branch : Branch::None) {
				case Branch::Jump:
					a_relocation = Relocation::Jump;
					return reach ? kNearJumpSize : kAbsoluteJumpSize;
				case Branch::Call:
					a_relocation = Relocation::Call;
					return reach ? kNearJumpSize : kAbsoluteCallSize;
				case Branch::ConditionalJump:
					a_relocation = Relocation::ConditionalJump;
					return reach ? 6 : kInvertedConditionalSize;
				case Branch::Loop:
					a_relocation = Relocation::Loop;
					return (HasAddressSizePrefix(a_stolen.bytes, info) ? 1u : 0u) + 4 + (reach ? kNearJumpSize : kAbsoluteJumpSize);
				default:
					a_relocation = Relocation::Copied;
					return static_cast<std::size_t>(info.length);
			}
		}

		// The condition code (0-15) of a Jcc: the low nibble of 70-7F and 0F 80-8F alike.
		std::uint8_t ConditionOf(const Stolen& a_stolen)
		{
			return a_stolen.bytes[a_stolen.info.opcodeOffset + a_stolen.info.opcodeSize - 1] & 0x0F;
		}
	} // namespace

	DetourPlan PlanDetour(std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::uintptr_t a_replacement, std::uintptr_t a_trampoline, std::uintptr_t a_relay, std::size_t a_functionSize)
	{
		DetourPlan plan;
		plan.target = a_target;
		plan.replacement = a_replacement;
		plan.trampolineAddress = a_trampoline;
		plan.nearPage = NearReach(a_target, kNearJumpSize, a_trampoline) && ReachableFromTrampoline(a_trampoline, a_target);

		// The target's own jump goes through the relay whenever there is one (a page of
		// ours that outlives the replacement's module), in the near form when it reaches;
		// without a relay, straight to the replacement.
		const std::uintptr_t through = a_relay != 0 ? a_relay : a_replacement;
		plan.relayAddress = a_relay;
		plan.jumpDestination = through;
		plan.jumpSize = JumpSize(a_target, through);

		// Whole instructions until the jump fits, never past the function's end.
		std::vector<Stolen> stolen;
		std::size_t         length = 0;
		while (length < plan.jumpSize) {
			Stolen            instruction{};
			const std::size_t available = a_code.size() > length ? a_code.size() - length : 0;
			if (available == 0) {
				return Fail(plan, DetourFailure::CodeTooShort, length);
			}
			std::uint8_t padded[kPaddedSize];
			instruction.info = MeasurePadded(a_code.subspan(length), padded);
			const InstructionInfo& info = instruction.info;
			if (info.length < 0) {
				return Fail(plan, DetourFailure::Undecodable, length);
			}
			const auto size = static_cast<std::size_t>(info.length);
			if (size > available) {
				return Fail(plan, DetourFailure::CodeTooShort, length);
			}
			if (a_functionSize != 0 && length + size > a_functionSize) {
				return Fail(plan, DetourFailure::PastFunctionEnd, length);
			}
			// int3 is padding after a function or a debugger's breakpoint: never the
			// function's own code. A return or unconditional jump may end the run, but
			// what follows it is not this function's.
			const auto destination = static_cast<std::uintptr_t>(RelativeDestination(padded, info, a_target + length));
			const bool toNext = info.branch == Branch::Jump && destination == a_target + length + size; // EB 00: goes on
			if (info.branch == Branch::Breakpoint || (info.EndsFlow() && !toNext && length + size < plan.jumpSize)) {
				return Fail(plan, DetourFailure::FunctionEnds, length);
			}
			if (!plan.nearPage && info.relative != InstructionInfo::Relative::None) {
				return Fail(plan, info.relative == InstructionInfo::Relative::Memory ? DetourFailure::RipRelative : DetourFailure::RelativeBranch, length);
			}
			// With an address-size prefix a rip-relative operand is eip-relative: its address
			// is cut to 32 bits, which a rewritten displacement cannot reproduce.
			if (info.relative == InstructionInfo::Relative::Memory && HasAddressSizePrefix(padded, info)) {
				return Fail(plan, DetourFailure::Unrelocatable, length);
			}
			std::copy_n(padded, size, instruction.bytes);
			instruction.destination = destination;
			instruction.internal = -1;
			stolen.push_back(instruction);
			length += size;
		}
		plan.stolenLength = length;

		// The function's own branches must not land inside the bytes the jump overwrites:
		// walk the rest of it, as far as its size is known and its bytes are given. An
		// instruction the decoder refuses ends the walk (data, or code it cannot follow).
		for (std::size_t at = length, end = std::min(a_functionSize, a_code.size()); at < end;) {
			std::uint8_t          padded[kPaddedSize];
			const InstructionInfo info = MeasurePadded(a_code.subspan(at, end - at), padded);
			if (info.length < 0 || at + static_cast<std::size_t>(info.length) > end) {
				break;
			}
			const auto destination = static_cast<std::uintptr_t>(RelativeDestination(padded, info, a_target + at));
			if (info.relative == InstructionInfo::Relative::Branch && destination > a_target && destination < a_target + length) {
				return Fail(plan, DetourFailure::BranchIntoStolenBytes, at);
			}
			at += static_cast<std::size_t>(info.length);
		}

		// Branches into the stolen bytes go to the copy of the instruction they land on.
		std::vector<std::size_t> offsets;
		for (std::size_t i = 0, at = 0; i < stolen.size(); at += static_cast<std::size_t>(stolen[i].info.length), ++i) {
			offsets.push_back(at);
		}
		for (std::size_t i = 0; i < stolen.size(); ++i) {
			Stolen& instruction = stolen[i];
			if (instruction.info.relative != InstructionInfo::Relative::Branch || instruction.destination < a_target || instruction.destination >= a_target + length) {
				continue;
			}
			const auto landing = std::find(offsets.begin(), offsets.end(), instruction.destination - a_target);
			if (landing == offsets.end()) {
				return Fail(plan, DetourFailure::Unrelocatable, offsets[i]); // into the middle of an instruction
			}
			instruction.internal = static_cast<int>(landing - offsets.begin());
		}

		// Lay out the trampoline: each copy's size first, so that branches between copies
		// know where they land, then the bytes.
		std::size_t       at = 0;
		std::vector<bool> absolute(stolen.size());
		for (std::size_t i = 0; i < stolen.size(); ++i) {
			bool              absoluteForm = false;
			StolenInstruction record;
			record.offset = static_cast<std::uint8_t>(offsets[i]);
			record.length = static_cast<std::uint8_t>(stolen[i].info.length);
			record.trampolineOffset = static_cast<std::uint16_t>(at);
			record.trampolineLength = static_cast<std::uint16_t>(RelocatedSize(stolen[i], a_trampoline, record.relocation, absoluteForm));
			absolute[i] = absoluteForm;
			record.endsFlow = stolen[i].info.EndsFlow();
			at += record.trampolineLength;
			plan.instructions.push_back(record);
		}
		const std::uintptr_t back = a_target + length;
		plan.returnJumpSize = JumpSize(a_trampoline + at, back);
		if (at + plan.returnJumpSize > kMaxTrampolineSize) {
			return Fail(plan, DetourFailure::RunTooLong, 0);
		}

		std::vector<std::uint8_t>& out = plan.trampoline;
		out.reserve(at + plan.returnJumpSize);
		for (std::size_t i = 0; i < stolen.size(); ++i) {
			const Stolen&            instruction = stolen[i];
			const StolenInstruction& record = plan.instructions[i];
			const InstructionInfo&   info = instruction.info;
			const std::uintptr_t     here = a_trampoline + record.trampolineOffset;
			const std::uintptr_t     to = instruction.internal >= 0 ? a_trampoline + plan.instructions[static_cast<std::size_t>(instruction.internal)].trampolineOffset : instruction.destination;
			const bool               inReach = !absolute[i];
			switch (record.relocation) {
				case Relocation::Copied:
					out.insert(out.end(), instruction.bytes, instruction.bytes + info.length);
					break;
				case Relocation::RipDisplacement: {
					if (!NearReach(here, static_cast<std::uint64_t>(info.length), to)) {
						return Fail(plan, DetourFailure::Unrelocatable, record.offset);
					}
					// The instruction's own bytes around a displacement measured from here.
					const std::uint8_t* const displacement = instruction.bytes + info.relativeOffset;
					out.insert(out.end(), instruction.bytes, displacement);
					AppendLittleEndian(out, Rel32(here, static_cast<std::size_t>(info.length), to), 4);
					out.insert(out.end(), displacement + 4, instruction.bytes + info.length);
					break;
				}
				case Relocation::Jump:
					AppendJump(out, here, to, inReach ? kNearJumpSize : kAbsoluteJumpSize);
					break;
				case Relocation::Call:
					if (inReach) {
						out.push_back(0xE8);
						AppendLittleEndian(out, Rel32(here, kNearJumpSize, to), 4);
					} else {
						// call [rip+2], returning onto a short jump over the address.
						Append(out, { 0xFF, 0x15, 0x02, 0x00, 0x00, 0x00, 0xEB, 0x08 });
						AppendLittleEndian(out, to, 8);
					}
					break;
				case Relocation::ConditionalJump:
					if (inReach) {
						Append(out, { 0x0F, static_cast<std::uint8_t>(0x80 | ConditionOf(instruction)) });
						AppendLittleEndian(out, Rel32(here, 6, to), 4);
					} else {
						// The opposite condition skips the absolute jump.
						Append(out, { static_cast<std::uint8_t>(0x70 | (ConditionOf(instruction) ^ 1)), static_cast<std::uint8_t>(kAbsoluteJumpSize) });
						AppendJump(out, here + 2, to, kAbsoluteJumpSize);
					}
					break;
				case Relocation::Loop: {
					// loop +2 lands on the jump to the destination; falling through, a short
					// jump skips it. An address-size prefix (ecx instead of rcx) is kept.
					const std::uint64_t jump = inReach ? kNearJumpSize : kAbsoluteJumpSize;
					const std::size_t   prefix = HasAddressSizePrefix(instruction.bytes, info) ? 1 : 0;
					if (prefix != 0) {
						out.push_back(0x67);
					}
					Append(out, { instruction.bytes[info.opcodeOffset], 0x02, 0xEB, static_cast<std::uint8_t>(jump) });
					AppendJump(out, here + prefix + 4, to, jump);
					break;
				}
			}
			// Every branch between copies was aimed by the layout: a copy of another size
			// would misplace them all.
			if (out.size() != std::size_t{ record.trampolineOffset } + record.trampolineLength) {
				return Fail(plan, DetourFailure::Unrelocatable, record.offset);
			}
		}
		AppendJump(out, a_trampoline + at, back, plan.returnJumpSize);

		if (plan.relayAddress != 0) {
			AppendJump(plan.relay, plan.relayAddress, a_replacement, kAbsoluteJumpSize);
			plan.relay.resize(kRelaySize, kInt3);
		}
		AppendJump(plan.patch, a_target, plan.jumpDestination, plan.jumpSize);
		plan.patch.resize(length, kNop);
		return plan;
	}

	DetourPlan DryRunDetour(std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::size_t a_functionSize)
	{
		constexpr std::uintptr_t kPage = 0x10000;
		constexpr std::uintptr_t kFar = std::uintptr_t{ 64 } << 30;
		const std::uintptr_t     page = (a_target & ~(kPage - 1)) - kPage;
		return PlanDetour(a_code, a_target, a_target + kFar, page + kRelaySize, page, a_functionSize);
	}
} // namespace Detour
