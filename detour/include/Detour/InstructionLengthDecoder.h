#pragma once

// Instruction length decoder.
//
// The inline detour must move whole instructions out of the way of the jump it writes
// at the start of a game function, so it needs the length of each instruction there.
// This decoder measures one x86 or x86-64 instruction from its prefixes, opcode bytes,
// ModRM byte and SIB byte alone; displacement and immediate bytes are counted, never
// read. It knows the legacy encodings and the VEX (C4, C5), EVEX (62) and XOP (8F)
// ones that code compiled for AVX, AVX2 and AVX-512 is made of. Encodings it does not accept are refused with -1, and the detour refuses to
// install over them: a refusal costs a hook, a wrong length costs the game.
//
// Everything it needs lives in constant tables and in the caller's stack frame: it
// allocates nothing, is reentrant and may be called from any thread.

#include <cstdint>

namespace Detour
{
	// The mode value that selects x86-64 decoding; any other value decodes 32-bit code.
	inline constexpr std::int32_t kX86_64Mode = 64;

	// Returns the length in bytes (prefixes included) of the instruction at a_code, or -1
	// when the encoding is not accepted. Reads only bytes of that instruction, at most up
	// to its SIB byte (never more than 17 bytes; see MeasureInstruction's `examined`).
	[[nodiscard]] std::int64_t InstructionLengthDecoder(const std::uint8_t* a_code, std::int32_t a_mode) noexcept;

	// What the detour needs to know about an instruction beyond its length: where its parts
	// sit, whether it depends on where it sits, and whether and how it branches. Produced by
	// the same tables and handlers as InstructionLengthDecoder, in the same single pass.
	// Offsets are from the instruction's first byte; an offset of 0 means "no such part"
	// (no part but the first prefix or opcode byte can start at 0).
	struct InstructionInfo
	{
		// An instruction whose meaning depends on where it sits in memory: copied elsewhere
		// unchanged, it would read the wrong data or branch to the wrong place.
		enum class Relative : std::uint8_t
		{
			None,
			Memory, // a ModRM operand addressed relative to the next instruction (x86-64 mode, mod 0, rm 5)
			Branch  // a relative jump, call, conditional jump or loop
		};

		// How the instruction passes control on.
		enum class Branch : std::uint8_t
		{
			None,            // falls through to the next instruction
			Jump,            // jmp rel8 / rel32 (EB, E9)
			ConditionalJump, // Jcc rel8 / rel32 (70-7F, 0F 80-8F)
			Loop,            // loopne, loope, loop, jrcxz / jecxz (E0-E3), rel8
			Call,            // call rel32 (E8)
			Return,          // ret, ret imm16, retf, retf imm16, iret (C3, C2, CB, CA, CF)
			IndirectJump,    // jmp r/m, jmp far m (FF /4, FF /5)
			IndirectCall,    // call r/m, call far m (FF /2, FF /3)
			Breakpoint,      // int3 (CC)
			Undefined        // ud2 (0F 0B): placed after calls that do not return
		};

		std::int64_t length{ -1 };  // as InstructionLengthDecoder
		std::uint8_t examined{ 0 }; // bytes read from a_code: prefixes, opcode bytes, ModRM, SIB
		Relative     relative{ Relative::None };
		std::uint8_t relativeOffset{ 0 }; // where the displacement or branch offset starts in the instruction
		std::uint8_t relativeSize{ 0 };   // its width in bytes: 1, 2 or 4

		// How the opcode map is named: by 0F escapes, or by a VEX, EVEX or XOP prefix.
		enum class Encoding : std::uint8_t
		{
			Legacy,
			Vex,  // C5 and one byte, C4 and two bytes
			Evex, // 62 and three bytes
			Xop   // 8F and two bytes, map 8, 9 or 10 (AMD)
		};

		std::uint8_t prefixCount{ 0 };  // legacy and REX prefix bytes before the opcode
		std::uint8_t opcodeOffset{ 0 }; // the first opcode byte (0F escapes, or the VEX, EVEX or XOP prefix, included); = prefixCount
		std::uint8_t opcodeSize{ 0 };   // 1, 2 (0F xx) or 3 (0F 38 xx, 0F 3A xx); with a VEX, EVEX or XOP prefix its size + 1
		Encoding     encoding{ Encoding::Legacy };
		std::uint8_t modrmOffset{ 0 };        // 0 = no ModRM byte
		std::uint8_t sibOffset{ 0 };          // 0 = no SIB byte
		std::uint8_t displacementOffset{ 0 }; // memory displacement (or A0-A3 moffs); 0 = none
		std::uint8_t displacementSize{ 0 };
		std::uint8_t immediateOffset{ 0 }; // immediates and branch offsets, up to the end; 0 = none
		std::uint8_t immediateSize{ 0 };
		Branch       branch{ Branch::None };

		// Control never reaches the next instruction: a return, an unconditional jump, int3
		// or ud2. What follows belongs to padding or another function.
		[[nodiscard]] bool EndsFlow() const noexcept
		{
			switch (branch) {
				case Branch::Jump:
				case Branch::Return:
				case Branch::IndirectJump:
				case Branch::Breakpoint:
				case Branch::Undefined:
					return true;
				default:
					return false;
			}
		}

		friend bool operator==(const InstructionInfo&, const InstructionInfo&) = default;
	};

	// Measures the instruction at a_code like InstructionLengthDecoder and describes it.
	// On -1, `examined` still says how far the decoder read before refusing.
	[[nodiscard]] InstructionInfo MeasureInstruction(const std::uint8_t* a_code, std::int32_t a_mode) noexcept;

	// The address a relative branch (Relative::Branch) at a_address goes to, or the address
	// a rip-relative operand (Relative::Memory) refers to: the end of the instruction plus
	// its signed offset. Reads that offset from a_code, so the whole instruction (info.length
	// bytes) must be readable. 0 for an instruction that is neither.
	[[nodiscard]] std::uint64_t RelativeDestination(const std::uint8_t* a_code, const InstructionInfo& a_info, std::uint64_t a_address) noexcept;
} // namespace Detour
