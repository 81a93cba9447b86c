#pragma once

// Reads an accepted detour plan back through the decoder. Shared by the hookability
// benchmark and the plan's fuzzer.

#include "Detour/DetourPlan.h"
#include "Detour/InstructionLengthDecoder.h"
#include "JumpReader.h"

#include <algorithm>
#include <cstdint>
#include <span>

namespace TestSupport
{
	// Reads an accepted plan's bytes back with the decoder and checks that every copy does
	// what its original did from its new place: a copied instruction is unchanged, a
	// rip-relative operand still refers to the same address, a branch still goes to the
	// same destination (or to the copy of the stolen instruction it lands on), with the
	// same condition; the trampoline's last jump returns behind the stolen bytes; the
	// target's jump reaches the replacement, through the relay when there is one. This is
	// independent of how the plan writes its bytes, so a relocation mistake shows here.
	class PlanReader
	{
		using Branch = Detour::InstructionInfo::Branch;

	public:
		explicit PlanReader(const Detour::DetourPlan& a_plan) :
		    plan(a_plan) {}

		bool Verify(std::span<const std::uint8_t> a_code) const
		{
			const auto& trampoline = plan.trampoline;
			for (const auto& record : plan.instructions) {
				const auto           original = a_code.subspan(record.offset, record.length);
				const auto           info = TestSupport::Decode(original);
				const auto           copy = std::span{ trampoline }.subspan(record.trampolineOffset, record.trampolineLength);
				const std::uintptr_t at = plan.trampolineAddress + record.trampolineOffset;
				// A rip-relative operand keeps its address even inside the stolen bytes (lea of
				// the function's own address must still name the function); a branch there
				// lands on the copy.
				const std::uintptr_t referent = TestSupport::Referent(original, plan.target + record.offset);
				const std::uintptr_t destination = info.relative == Detour::InstructionInfo::Relative::Branch ? Expected(referent) : referent;
				bool                 ok = false;
				switch (record.relocation) {
					case Detour::Relocation::Copied:
						ok = info.relative == Detour::InstructionInfo::Relative::None && std::ranges::equal(copy, original);
						break;
					case Detour::Relocation::RipDisplacement: {
						const auto moved = TestSupport::Decode(copy);
						ok = info.relative == Detour::InstructionInfo::Relative::Memory && moved.length == info.length &&
						     TestSupport::Referent(copy, at) == destination &&
						     std::equal(copy.begin(), copy.begin() + info.relativeOffset, original.begin());
						break;
					}
					case Detour::Relocation::Jump:
						ok = info.branch == Branch::Jump && TestSupport::JumpDestination(copy, at) == destination;
						break;
					case Detour::Relocation::Call:
						ok = info.branch == Branch::Call &&
						     ((copy.size() == 5 && copy[0] == 0xE8 && TestSupport::Referent(copy, at) == destination) ||
						      (copy.size() == 16 && copy[0] == 0xFF && copy[1] == 0x15 && TestSupport::Read64(copy, 8) == destination));
						break;
					case Detour::Relocation::ConditionalJump: {
						const std::uint8_t condition = original[info.opcodeOffset + info.opcodeSize - 1] & 0x0F;
						const bool         near = copy.size() == 6 && copy[0] == 0x0F && copy[1] == (0x80 | condition) &&
						                  TestSupport::Referent(copy, at) == destination;
						const bool inverted = copy.size() == 16 && copy[0] == (0x70 | (condition ^ 1)) && copy[1] == 14 && TestSupport::JumpDestination(copy.subspan(2), at + 2) == destination;
						ok = info.branch == Branch::ConditionalJump && (near || inverted);
						break;
					}
					case Detour::Relocation::Loop: {
						// [67] loop +2 | jmp short over | jump to the destination
						const std::size_t prefix = copy[0] == 0x67 ? 1 : 0;
						ok = info.branch == Branch::Loop && copy[prefix] == original[info.opcodeOffset] && copy[prefix + 1] == 2 &&
						     copy[prefix + 2] == 0xEB && TestSupport::JumpDestination(copy.subspan(prefix + 4), at + prefix + 4) == destination;
						break;
					}
				}
				if (!ok) {
					return false;
				}
			}
			const auto&       last = plan.instructions.back();
			const std::size_t back = last.trampolineOffset + last.trampolineLength;
			if (TestSupport::JumpDestination(std::span{ trampoline }.subspan(back), plan.trampolineAddress + back) != plan.target + plan.stolenLength) {
				return false;
			}
			if (TestSupport::JumpDestination(plan.patch, plan.target) != (plan.relayAddress != 0 ? plan.relayAddress : plan.replacement) ||
			    !std::all_of(plan.patch.begin() + static_cast<std::ptrdiff_t>(plan.jumpSize), plan.patch.end(), [](std::uint8_t a_byte) { return a_byte == 0x90; })) {
				return false;
			}
			return plan.relayAddress == 0 || TestSupport::JumpDestination(plan.relay, plan.relayAddress) == plan.replacement;
		}

	private:
		// A destination inside the stolen bytes is reached at the copy of the instruction
		// there; any other stays where it was.
		std::uintptr_t Expected(std::uintptr_t a_destination) const
		{
			if (a_destination >= plan.target && a_destination < plan.target + plan.stolenLength) {
				for (const auto& record : plan.instructions) {
					if (plan.target + record.offset == a_destination) {
						return plan.trampolineAddress + record.trampolineOffset;
					}
				}
			}
			return a_destination;
		}

		const Detour::DetourPlan& plan;
	};
} // namespace TestSupport
