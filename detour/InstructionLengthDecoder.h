#pragma once

// Instruction length decoder.
//
// The inline detour must move whole instructions out of the way of the jump it writes
// at the start of a game function, so it needs the length of each instruction there.
// This decoder measures one x86 or x86-64 instruction from its prefixes, opcode bytes,
// ModRM byte and SIB byte alone; displacement and immediate bytes are counted, never
// read. Encodings it does not accept are refused with -1, and the detour refuses to
// install over them: a refusal costs a hook, a wrong length costs the game.
//
// Everything it needs lives in constant tables and in the caller's stack frame: it
// allocates nothing, is reentrant and may be called from any thread.

#include <cstdint>

// The mode value that selects x86-64 decoding; any other value decodes 32-bit code.
inline constexpr std::int32_t kX86_64Mode = 64;

// Returns the length in bytes (prefixes included) of the instruction at a_code, or -1
// when the encoding is not accepted. Reads only bytes of that instruction, at most up
// to its SIB byte (never more than 17 bytes; see MeasureInstruction's `examined`).
[[nodiscard]] std::int64_t InstructionLengthDecoder(const std::uint8_t* a_code, std::int32_t a_mode) noexcept;

// What the detour needs to know about an instruction beyond its length. Produced by the
// same tables and handlers as InstructionLengthDecoder, in the same single pass.
struct InstructionInfo
{
	// An instruction whose meaning depends on where it sits in memory: copied elsewhere
	// unchanged, it would read the wrong data or branch to the wrong place.
	enum class Relative : std::uint8_t
	{
		None,
		Memory,  // a ModRM operand addressed relative to the next instruction (x86-64 mode, mod 0, rm 5)
		Branch   // a relative jump, call, conditional jump or loop
	};

	std::int64_t length{ -1 };             // as InstructionLengthDecoder
	std::uint8_t examined{ 0 };            // bytes read from a_code: prefixes, opcode bytes, ModRM, SIB
	Relative     relative{ Relative::None };
	std::uint8_t relativeOffset{ 0 };      // where the displacement or branch offset starts in the instruction
	std::uint8_t relativeSize{ 0 };        // its width in bytes: 1, 2 or 4

	friend bool operator==(const InstructionInfo&, const InstructionInfo&) = default;
};

// Measures the instruction at a_code like InstructionLengthDecoder and describes it.
// On -1, `examined` still says how far the decoder read before refusing.
[[nodiscard]] InstructionInfo MeasureInstruction(const std::uint8_t* a_code, std::int32_t a_mode) noexcept;
