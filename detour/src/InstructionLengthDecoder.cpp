// Instruction length decoder: four opcode maps and one displacement table
// of handler pointers. Each handler is handed the byte that selected it and returns one
// past the end of the instruction, or null to refuse it; prefixes and escapes consume
// their byte and dispatch the next one. An instruction costs one table lookup per
// prefix, escape and opcode byte and at most one more for its ModRM operand.
//
// Where this file departs from the classic length tables it is to agree with the
// processor (and with Zydis, against which tests/detour checks it on real code), or to
// refuse an encoding whose length is not fixed by its bytes alone:
//  - An instruction longer than 15 bytes is refused: the processor raises #GP on it.
//    REX bytes are counted with the other prefixes, so a run of 48 bytes cannot make
//    the decoder read on without end.
//  - REX takes effect only right before the opcode (or the 0F escape): a later legacy
//    prefix or a later REX cancels an earlier REX.W, as on the processor.
//  - 66 68 (push imm16) is 4 bytes in x86-64 mode as in 32-bit mode; 66 0F 82..85 is
//    a rel16 branch in 32-bit mode like the rest of 0F 80..8F.
//  - In x86-64 mode a 66-prefixed near call, jump or conditional jump (E8, E9,
//    0F 80..8F) is refused: Intel processors ignore the 66 there (rel32) and AMD
//    processors honour it (rel16), so its length depends on the machine.
//  - 0F B9 (UD1) has a ModRM byte, as both processor manuals now say.
//  - In 32-bit mode C4, C5 and 62 with a register ModRM (mod 3) begin VEX or EVEX
//    encodings and are refused; only their legacy memory forms are measured.
//  - 60, 61 and D6 do not exist in x86-64 mode and are refused there.
//  - 0F 78 and 0F 79 are refused: VMREAD/VMWRITE without a prefix, but AMD's
//    EXTRQ/INSERTQ with 66 or F2, which carry two immediate bytes.
//  - C6 and C7 are accepted only as MOV (reg 0) and, for C6, XABORT (C6 F8); XBEGIN
//    (C7 F8) is refused. LEA (8D) and the far forms of FF (reg 3, 5) need a memory
//    operand, and 8C/8E a segment register that exists: the rest raise #UD.
// Still accepted although the processor raises #UD on them (their length is what the
// processor measures before it faults, and compilers never emit them): LOCK on an
// instruction that cannot take it, SSE opcodes with a mandatory prefix they do not
// have, control, debug and bound registers that do not exist.

#include "Detour/InstructionLengthDecoder.h"

#include <cstddef>

namespace Detour
{
	namespace
	{
		// The longest instruction the processor executes.
		constexpr std::ptrdiff_t kMaxLength = 15;

		// The state of one call (the per-call decoding state). Prefixes change it
		// for the rest of the same instruction only.
		struct Decoding
		{
			const std::uint8_t*       examined; // one past the last byte read
			const std::uint8_t*       relative; // start of a position-dependent field, or null
			InstructionInfo::Relative relativeKind;
			std::uint8_t              relativeSize;
			const std::uint8_t*       escape;      // the first 0F escape byte, or null
			const std::uint8_t*       opcode;      // the last opcode byte
			const std::uint8_t*       modrm;       // null when there is none
			const std::uint8_t*       sib;         // null when there is none
			const std::uint8_t*       operandEnd;  // one past the ModRM operand's displacement
			std::uint8_t              map;         // 0 one-byte, 1 0F, 2 0F 38, 3 0F 3A
			bool                      moffs;       // the bytes after the opcode are a memory offset
			std::uint8_t              prefixes;    // counted prefix and escape bytes
			std::uint8_t              addressSize; // 16, 32 or 64
			bool                      x64;
			bool                      operandSize16; // a 66 prefix was seen
			bool                      rexW;          // the REX byte right before the opcode has W set
			bool                      f2;            // the F2 and F3 flags: set only when the
			bool                      f3;            //   prefix comes right before certain opcodes or 0F
		};

		// A handler of an opcode map gets the byte that selected it; a handler of the
		// displacement table gets the ModRM byte. Both return one past the end of what they
		// measured, or null to refuse the instruction.
		using Handler = const std::uint8_t* (*)(const std::uint8_t* a_byte, Decoding& a_state);

		// Operand size 64 with REX.W, else 16 with a 66 prefix, else 32.
		inline int OperandSize(const Decoding& a_state)
		{
			return a_state.rexW ? 64 : a_state.operandSize16 ? 16
			                                                 : 32;
		}

		// "Iz": an immediate of 2 bytes with operand size 16, else 4 (even with REX.W).
		inline std::ptrdiff_t Iz(const Decoding& a_state)
		{
			return OperandSize(a_state) == 16 ? 2 : 4;
		}

		inline unsigned Reg(std::uint8_t a_modrm)
		{
			return (a_modrm >> 3) & 7u;
		}
		inline unsigned Rm(std::uint8_t a_modrm)
		{
			return a_modrm & 7u;
		}
		inline bool IsRegister(std::uint8_t a_modrm)
		{
			return a_modrm >= 0xC0;
		}

		inline const std::uint8_t* Refuse(const std::uint8_t* a_readUpTo, Decoding& a_state)
		{
			a_state.examined = a_readUpTo;
			return nullptr;
		}

		// An instruction measured from its last opcode byte: that byte and a_following bytes
		// that are not read (immediates, offsets).
		inline const std::uint8_t* OpcodeAnd(const std::uint8_t* a_opcode, Decoding& a_state, std::ptrdiff_t a_following)
		{
			a_state.examined = a_opcode + 1;
			a_state.opcode = a_opcode;
			return a_opcode + 1 + a_following;
		}

		inline void MarkRelative(Decoding& a_state, const std::uint8_t* a_field, InstructionInfo::Relative a_kind, std::ptrdiff_t a_size)
		{
			a_state.relative = a_field;
			a_state.relativeKind = a_kind;
			a_state.relativeSize = static_cast<std::uint8_t>(a_size);
		}

		// ---- ModRM operand: the bytes after the ModRM byte -------------------------------

		// mod 3 (a register), and mod 0 with rm 0-3, 7: nothing follows.
		const std::uint8_t* NoDisp(const std::uint8_t* a_modrm, Decoding&)
		{
			return a_modrm + 1;
		}

		// mod 1: an 8-bit displacement.
		const std::uint8_t* Disp8(const std::uint8_t* a_modrm, Decoding&)
		{
			return a_modrm + 2;
		}

		// mod 2: a 32-bit displacement, a 16-bit one under 16-bit addressing.
		const std::uint8_t* DispZ(const std::uint8_t* a_modrm, Decoding& a_state)
		{
			return a_modrm + (a_state.addressSize == 16 ? 3 : 5);
		}

		// mod 0, rm 4: a SIB byte, and a 32-bit displacement when its base is 5 (no base
		// register). Under 16-bit addressing there is no SIB: rm 4 is [si].
		const std::uint8_t* Sib(const std::uint8_t* a_modrm, Decoding& a_state)
		{
			if (a_state.addressSize == 16) {
				return a_modrm + 1;
			}
			a_state.examined = a_modrm + 2;
			a_state.sib = a_modrm + 1;
			return (a_modrm[1] & 7u) == 5 ? a_modrm + 6 : a_modrm + 2;
		}

		// mod 1, rm 4: a SIB byte and an 8-bit displacement ([si] + disp8 under 16-bit addressing).
		const std::uint8_t* SibDisp8(const std::uint8_t* a_modrm, Decoding& a_state)
		{
			if (a_state.addressSize == 16) {
				return a_modrm + 2;
			}
			a_state.examined = a_modrm + 2;
			a_state.sib = a_modrm + 1;
			return a_modrm + 3;
		}

		// mod 2, rm 4: a SIB byte and a 32-bit displacement ([si] + disp16 under 16-bit addressing).
		const std::uint8_t* SibDispZ(const std::uint8_t* a_modrm, Decoding& a_state)
		{
			if (a_state.addressSize == 16) {
				return a_modrm + 3;
			}
			a_state.examined = a_modrm + 2;
			a_state.sib = a_modrm + 1;
			return a_modrm + 6;
		}

		// mod 0, rm 5: a 32-bit displacement, absolute in 32-bit mode and relative to the
		// next instruction in x86-64 mode (the stack cookie load of a compiled prologue,
		// for one). Under 16-bit addressing rm 5 is [di].
		const std::uint8_t* Disp32(const std::uint8_t* a_modrm, Decoding& a_state)
		{
			if (a_state.addressSize == 16) {
				return a_modrm + 1;
			}
			if (a_state.x64) {
				MarkRelative(a_state, a_modrm + 1, InstructionInfo::Relative::Memory, 4);
			}
			return a_modrm + 5;
		}

		// mod 0, rm 6: under 16-bit addressing a 16-bit displacement alone ([bp] needs mod 1).
		const std::uint8_t* Disp16(const std::uint8_t* a_modrm, Decoding& a_state)
		{
			return a_modrm + (a_state.addressSize == 16 ? 3 : 1);
		}

		// Displacement rules, indexed by mod * 8 + rm of the ModRM byte.
		constexpr Handler kDisplacement[32] = {
			// rm 0     rm 1     rm 2     rm 3     rm 4      rm 5     rm 6     rm 7
			NoDisp, NoDisp, NoDisp, NoDisp, Sib, Disp32, Disp16, NoDisp,    // mod 0
			Disp8, Disp8, Disp8, Disp8, SibDisp8, Disp8, Disp8, Disp8,      // mod 1
			DispZ, DispZ, DispZ, DispZ, SibDispZ, DispZ, DispZ, DispZ,      // mod 2
			NoDisp, NoDisp, NoDisp, NoDisp, NoDisp, NoDisp, NoDisp, NoDisp, // mod 3
		};

		// The ModRM operand starting at a_modrm ("M", the ModRM operand's size); returns one past it.
		inline const std::uint8_t* Operand(const std::uint8_t* a_modrm, Decoding& a_state)
		{
			a_state.examined = a_modrm + 1;
			a_state.opcode = a_modrm - 1;
			a_state.modrm = a_modrm;
			const std::uint8_t modrm = *a_modrm;
			a_state.operandEnd = kDisplacement[(modrm >> 6) * 8 + Rm(modrm)](a_modrm, a_state);
			return a_state.operandEnd;
		}

		// ---- Opcode handlers, declared here so that the maps can name them ---------------

		// Prefixes and escapes.
		const std::uint8_t* Prefix(const std::uint8_t*, Decoding&);
		const std::uint8_t* OpSize(const std::uint8_t*, Decoding&);
		const std::uint8_t* AddrSize(const std::uint8_t*, Decoding&);
		const std::uint8_t* RepNE(const std::uint8_t*, Decoding&);
		const std::uint8_t* Rep(const std::uint8_t*, Decoding&);
		const std::uint8_t* Rex(const std::uint8_t*, Decoding&);
		const std::uint8_t* Esc0F(const std::uint8_t*, Decoding&);
		const std::uint8_t* Esc38(const std::uint8_t*, Decoding&);
		const std::uint8_t* Esc3A(const std::uint8_t*, Decoding&);

		// Measured from the opcode alone.
		const std::uint8_t* Bad(const std::uint8_t*, Decoding&);
		const std::uint8_t* Op(const std::uint8_t*, Decoding&);
		const std::uint8_t* Imm8(const std::uint8_t*, Decoding&);
		const std::uint8_t* Imm16(const std::uint8_t*, Decoding&);
		const std::uint8_t* Imm16Imm8(const std::uint8_t*, Decoding&);
		const std::uint8_t* ImmZ(const std::uint8_t*, Decoding&);
		const std::uint8_t* ImmV(const std::uint8_t*, Decoding&);
		const std::uint8_t* Moffs(const std::uint8_t*, Decoding&);
		const std::uint8_t* Rel8(const std::uint8_t*, Decoding&);
		const std::uint8_t* RelZ(const std::uint8_t*, Decoding&);
		const std::uint8_t* No64(const std::uint8_t*, Decoding&);
		const std::uint8_t* No64Imm8(const std::uint8_t*, Decoding&);
		const std::uint8_t* No64Far(const std::uint8_t*, Decoding&);

		// With a ModRM operand.
		const std::uint8_t* ModRm(const std::uint8_t*, Decoding&);
		const std::uint8_t* ModRmImm8(const std::uint8_t*, Decoding&);
		const std::uint8_t* ModRmImmZ(const std::uint8_t*, Decoding&);
		const std::uint8_t* No64Mem(const std::uint8_t*, Decoding&);
		const std::uint8_t* No64ModRmImm8(const std::uint8_t*, Decoding&);
		const std::uint8_t* ModRm66(const std::uint8_t*, Decoding&);
		const std::uint8_t* ModRm66Imm8(const std::uint8_t*, Decoding&);
		const std::uint8_t* ModRmF2(const std::uint8_t*, Decoding&);
		const std::uint8_t* ModRmAnyPfx(const std::uint8_t*, Decoding&);
		const std::uint8_t* ModRmReg(const std::uint8_t*, Decoding&);
		const std::uint8_t* ModRmMem(const std::uint8_t*, Decoding&);
		const std::uint8_t* MovSreg(const std::uint8_t*, Decoding&);
		const std::uint8_t* X87(const std::uint8_t*, Decoding&);

		// Opcode groups: the reg field of the ModRM byte selects the instruction.
		const std::uint8_t* Grp8F(const std::uint8_t*, Decoding&);
		const std::uint8_t* GrpC6(const std::uint8_t*, Decoding&);
		const std::uint8_t* GrpC7(const std::uint8_t*, Decoding&);
		const std::uint8_t* GrpF6(const std::uint8_t*, Decoding&);
		const std::uint8_t* GrpF7(const std::uint8_t*, Decoding&);
		const std::uint8_t* GrpFE(const std::uint8_t*, Decoding&);
		const std::uint8_t* GrpFF(const std::uint8_t*, Decoding&);
		const std::uint8_t* Grp0F00(const std::uint8_t*, Decoding&);
		const std::uint8_t* Grp0F01(const std::uint8_t*, Decoding&);
		const std::uint8_t* Grp0F18(const std::uint8_t*, Decoding&);
		const std::uint8_t* Grp0F71(const std::uint8_t*, Decoding&);
		const std::uint8_t* Grp0F73(const std::uint8_t*, Decoding&);
		const std::uint8_t* Grp0FAE(const std::uint8_t*, Decoding&);
		const std::uint8_t* Grp0FBA(const std::uint8_t*, Decoding&);
		const std::uint8_t* Grp0FC7(const std::uint8_t*, Decoding&);

		// clang-format off

		// One-byte opcode map (Intel SDM vol. 2, appendix A, table A-2). Row = high nibble.
		constexpr Handler kOneByteMap[256] = {
			//  x0         x1         x2         x3         x4         x5         x6         x7         x8         x9         xA         xB         xC         xD         xE         xF
			ModRm,     ModRm,     ModRm,     ModRm,     Imm8,      ImmZ,      No64,      No64,      ModRm,     ModRm,     ModRm,     ModRm,     Imm8,      ImmZ,      No64,      Esc0F,     // 0x
			ModRm,     ModRm,     ModRm,     ModRm,     Imm8,      ImmZ,      No64,      No64,      ModRm,     ModRm,     ModRm,     ModRm,     Imm8,      ImmZ,      No64,      No64,      // 1x
			ModRm,     ModRm,     ModRm,     ModRm,     Imm8,      ImmZ,      Prefix,    No64,      ModRm,     ModRm,     ModRm,     ModRm,     Imm8,      ImmZ,      Prefix,    No64,      // 2x
			ModRm,     ModRm,     ModRm,     ModRm,     Imm8,      ImmZ,      Prefix,    No64,      ModRm,     ModRm,     ModRm,     ModRm,     Imm8,      ImmZ,      Prefix,    No64,      // 3x
			Rex,       Rex,       Rex,       Rex,       Rex,       Rex,       Rex,       Rex,       Rex,       Rex,       Rex,       Rex,       Rex,       Rex,       Rex,       Rex,       // 4x
			Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        // 5x
			No64,      No64,      No64Mem,   ModRm,     Prefix,    Prefix,    OpSize,    AddrSize,  ImmZ,      ModRmImmZ, Imm8,      ModRmImm8, Op,        Op,        Op,        Op,        // 6x
			Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      // 7x
			ModRmImm8, ModRmImmZ, No64ModRmImm8, ModRmImm8, ModRm, ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     MovSreg,   ModRmMem,  MovSreg,   Grp8F,     // 8x
			Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        No64Far,   Op,        Op,        Op,        Op,        Op,        // 9x
			Moffs,     Moffs,     Moffs,     Moffs,     Op,        Op,        Op,        Op,        Imm8,      ImmZ,      Op,        Op,        Op,        Op,        Op,        Op,        // Ax
			Imm8,      Imm8,      Imm8,      Imm8,      Imm8,      Imm8,      Imm8,      Imm8,      ImmV,      ImmV,      ImmV,      ImmV,      ImmV,      ImmV,      ImmV,      ImmV,      // Bx
			ModRmImm8, ModRmImm8, Imm16,     Op,        No64Mem,   No64Mem,   GrpC6,     GrpC7,     Imm16Imm8, Op,        Imm16,     Op,        Op,        Imm8,      No64,      Op,        // Cx
			ModRm,     ModRm,     ModRm,     ModRm,     No64Imm8,  No64Imm8,  No64,      Op,        X87,       X87,       X87,       X87,       X87,       X87,       X87,       X87,       // Dx
			Rel8,      Rel8,      Rel8,      Rel8,      Imm8,      Imm8,      Imm8,      Imm8,      RelZ,      RelZ,      No64Far,   Rel8,      Op,        Op,        Op,        Op,        // Ex
			Prefix,    Op,        RepNE,     Rep,       Op,        Op,        GrpF6,     GrpF7,     Op,        Op,        Op,        Op,        Op,        Op,        GrpFE,     GrpFF,     // Fx
		};

		// Two-byte opcode map, after 0F (table A-3).
		constexpr Handler k0FMap[256] = {
			//  x0         x1         x2         x3         x4         x5         x6         x7         x8         x9         xA         xB         xC         xD         xE         xF
			Grp0F00,   Grp0F01,   ModRm,     ModRm,     Bad,       Op,        Op,        Op,        Op,        Op,        Bad,       Op,        Bad,       ModRm,     Op,        Bad,       // 0x
			ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     Grp0F18,   ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     // 1x
			ModRmReg,  ModRmReg,  ModRmReg,  ModRmReg,  Bad,       Bad,       Bad,       Bad,       ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     // 2x
			Op,        Op,        Op,        Op,        Op,        Op,        Bad,       Bad,       Esc38,     Bad,       Esc3A,     Bad,       Bad,       Bad,       Bad,       Bad,       // 3x
			ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     // 4x
			ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     // 5x
			ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm66,   ModRm66,   ModRm,     ModRm,     // 6x
			ModRmImm8, Grp0F71,   Grp0F71,   Grp0F73,   ModRm,     ModRm,     ModRm,     Op,        Bad,       Bad,       Bad,       Bad,       ModRm,     ModRm,     ModRm,     ModRm,     // 7x
			RelZ,      RelZ,      RelZ,      RelZ,      RelZ,      RelZ,      RelZ,      RelZ,      RelZ,      RelZ,      RelZ,      RelZ,      RelZ,      RelZ,      RelZ,      RelZ,      // 8x
			ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     // 9x
			Op,        Op,        Op,        ModRm,     ModRmImm8, ModRm,     Bad,       Bad,       Op,        Op,        Op,        ModRm,     ModRmImm8, ModRm,     Grp0FAE,   ModRm,     // Ax
			ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     Grp0FBA,   ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     // Bx
			ModRm,     ModRm,     ModRmImm8, ModRm,     ModRmImm8, ModRmImm8, ModRmImm8, Grp0FC7,   Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        // Cx
			ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRmAnyPfx, ModRm,   ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     // Dx
			ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRmAnyPfx, ModRm,   ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     // Ex
			ModRmF2,   ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     Bad,       // Fx
		};

		// Three-byte opcode map, after 0F 38 (table A-4).
		constexpr Handler k0F38Map[256] = {
			//  x0         x1         x2         x3         x4         x5         x6         x7         x8         x9         xA         xB         xC         xD         xE         xF
			ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     Bad,       Bad,       Bad,       Bad,       // 0x
			ModRm66,   Bad,       Bad,       Bad,       ModRm66,   ModRm66,   Bad,       ModRm66,   Bad,       Bad,       Bad,       Bad,       ModRm,     ModRm,     ModRm,     Bad,       // 1x
			ModRm66,   ModRm66,   ModRm66,   ModRm66,   ModRm66,   ModRm66,   Bad,       Bad,       ModRm66,   ModRm66,   ModRm66,   ModRm66,   Bad,       Bad,       Bad,       Bad,       // 2x
			ModRm66,   ModRm66,   ModRm66,   ModRm66,   ModRm66,   ModRm66,   Bad,       ModRm66,   ModRm66,   ModRm66,   ModRm66,   ModRm66,   ModRm66,   ModRm66,   ModRm66,   ModRm66,   // 3x
			ModRm66,   ModRm66,   Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 4x
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 5x
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 6x
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 7x
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 8x
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 9x
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // Ax
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // Bx
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // Cx
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // Dx
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // Ex
			ModRmF2,   ModRmF2,   Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // Fx
		};

		// Three-byte opcode map, after 0F 3A (table A-5).
		constexpr Handler k0F3AMap[256] = {
			//  x0         x1         x2         x3         x4         x5         x6         x7         x8         x9         xA         xB         xC         xD         xE         xF
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       ModRm66Imm8, ModRm66Imm8, ModRm66Imm8, ModRm66Imm8, ModRm66Imm8, ModRm66Imm8, ModRm66Imm8, ModRmImm8, // 0x
			Bad,       Bad,       Bad,       Bad,       ModRm66Imm8, ModRm66Imm8, ModRm66Imm8, ModRm66Imm8, Bad, Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 1x
			ModRm66Imm8, ModRm66Imm8, ModRm66Imm8, Bad, Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 2x
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 3x
			ModRm66Imm8, ModRm66Imm8, ModRm66Imm8, Bad, Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 4x
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 5x
			ModRm66Imm8, ModRm66Imm8, ModRm66Imm8, ModRm66Imm8, Bad, Bad,     Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 6x
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 7x
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 8x
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // 9x
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // Ax
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // Bx
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // Cx
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // Dx
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // Ex
			Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       Bad,       // Fx
		};

		// clang-format on

		// x87 escapes D8-DF (tables ): the reserved memory forms by reg, and the
		// reserved register forms by second byte (bit n = second byte C0 + n). The refused
		// register forms include the undocumented aliases (FSTP1, FXCH4, FCOMP5, ...).
		struct X87Refusals
		{
			std::uint8_t  memoryRegs;
			std::uint64_t registerForms;
		};

		constexpr std::uint64_t Forms(unsigned a_first, unsigned a_last)
		{
			std::uint64_t bits = 0;
			for (unsigned form = a_first; form <= a_last; ++form) {
				bits |= std::uint64_t{ 1 } << (form - 0xC0);
			}
			return bits;
		}

		constexpr X87Refusals kX87[8] = {
			{ 0, 0 },                                                                                   // D8
			{ 1u << 1, Forms(0xD1, 0xDF) | Forms(0xE2, 0xE3) | Forms(0xE6, 0xE7) | Forms(0xEF, 0xEF) }, // D9
			{ 0, Forms(0xE0, 0xE8) | Forms(0xEA, 0xEF) | Forms(0xF0, 0xFF) },                           // DA
			{ (1u << 4) | (1u << 6), Forms(0xE0, 0xE1) | Forms(0xE4, 0xE7) | Forms(0xF8, 0xFF) },       // DB
			{ 0, Forms(0xD0, 0xDF) },                                                                   // DC
			{ 1u << 5, Forms(0xC8, 0xCF) | Forms(0xF0, 0xFF) },                                         // DD
			{ 0, Forms(0xD0, 0xD8) | Forms(0xDA, 0xDF) },                                               // DE
			{ 0, Forms(0xC0, 0xDF) | Forms(0xE1, 0xE7) | Forms(0xF8, 0xFF) },                           // DF
		};

		// 0F 01 (group 7) register forms that exist, by reg: bit n = rm n. x86-64 mode adds
		// SWAPGS (reg 7, rm 0). Every memory form but reg 5 exists.
		constexpr std::uint8_t kGroup7RegisterForms[8] = { 0x1F, 0x03, 0, 0, 0, 0, 0, 0 };

		// ---- Prefixes and escapes ---------------------------------------------------------

		// A counted byte that brings the count to 15 refuses the instruction: at most 14 of
		// them can precede the final opcode byte of an instruction of at most 15 bytes.
		inline bool CountPrefix(Decoding& a_state)
		{
			return ++a_state.prefixes < 15;
		}

		// 26 2E 36 3E 64 65 (segment overrides) and F0 (lock): no effect on the length.
		const std::uint8_t* Prefix(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!CountPrefix(a_state)) {
				return Refuse(a_byte + 1, a_state);
			}
			a_state.rexW = false;
			return kOneByteMap[a_byte[1]](a_byte + 1, a_state);
		}

		// 66: operand size 16 (and the mandatory prefix of many SSE instructions).
		const std::uint8_t* OpSize(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!CountPrefix(a_state)) {
				return Refuse(a_byte + 1, a_state);
			}
			a_state.operandSize16 = true;
			a_state.rexW = false;
			return kOneByteMap[a_byte[1]](a_byte + 1, a_state);
		}

		// 67: address size 32 in x86-64 mode, 16 in 32-bit mode.
		const std::uint8_t* AddrSize(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!CountPrefix(a_state)) {
				return Refuse(a_byte + 1, a_state);
			}
			a_state.addressSize = a_state.x64 ? 32 : 16;
			a_state.rexW = false;
			return kOneByteMap[a_byte[1]](a_byte + 1, a_state);
		}

		// F2 (repne, or a mandatory prefix): sets the F2 flag only right before A4, A7, AE,
		// AF or 0F.
		const std::uint8_t* RepNE(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!CountPrefix(a_state)) {
				return Refuse(a_byte + 1, a_state);
			}
			switch (a_byte[1]) {
				case 0xA4:
				case 0xA7:
				case 0xAE:
				case 0xAF:
				case 0x0F:
					a_state.f2 = true;
					break;
				default:
					break;
			}
			a_state.rexW = false;
			return kOneByteMap[a_byte[1]](a_byte + 1, a_state);
		}

		// F3 (rep, or a mandatory prefix): sets the F3 flag only right before 6C-6F, 90,
		// A4-A7, AA-AF or 0F.
		const std::uint8_t* Rep(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!CountPrefix(a_state)) {
				return Refuse(a_byte + 1, a_state);
			}
			const std::uint8_t next = a_byte[1];
			if ((next >= 0x6C && next <= 0x6F) || next == 0x90 || (next >= 0xA4 && next <= 0xA7) || (next >= 0xAA && next <= 0xAF) || next == 0x0F) {
				a_state.f3 = true;
			}
			a_state.rexW = false;
			return kOneByteMap[next](a_byte + 1, a_state);
		}

		// 40-4F: REX in x86-64 mode (W, bit 3, selects operand size 64); INC and DEC of a
		// register, one byte, in 32-bit mode.
		const std::uint8_t* Rex(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!a_state.x64) {
				return OpcodeAnd(a_byte, a_state, 0);
			}
			if (!CountPrefix(a_state)) {
				return Refuse(a_byte + 1, a_state);
			}
			a_state.rexW = (*a_byte & 0x08) != 0;
			return kOneByteMap[a_byte[1]](a_byte + 1, a_state);
		}

		const std::uint8_t* Esc0F(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!CountPrefix(a_state)) {
				return Refuse(a_byte + 1, a_state);
			}
			a_state.escape = a_byte;
			a_state.map = 1;
			return k0FMap[a_byte[1]](a_byte + 1, a_state);
		}

		const std::uint8_t* Esc38(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!CountPrefix(a_state)) {
				return Refuse(a_byte + 1, a_state);
			}
			a_state.map = 2;
			return k0F38Map[a_byte[1]](a_byte + 1, a_state);
		}

		const std::uint8_t* Esc3A(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!CountPrefix(a_state)) {
				return Refuse(a_byte + 1, a_state);
			}
			a_state.map = 3;
			return k0F3AMap[a_byte[1]](a_byte + 1, a_state);
		}

		// ---- Measured from the opcode alone -------------------------------------------------

		const std::uint8_t* Bad(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return Refuse(a_opcode + 1, a_state);
		}

		const std::uint8_t* Op(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return OpcodeAnd(a_opcode, a_state, 0);
		}

		const std::uint8_t* Imm8(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return OpcodeAnd(a_opcode, a_state, 1);
		}

		// RET imm16 and RETF imm16.
		const std::uint8_t* Imm16(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return OpcodeAnd(a_opcode, a_state, 2);
		}

		// ENTER imm16, imm8.
		const std::uint8_t* Imm16Imm8(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return OpcodeAnd(a_opcode, a_state, 3);
		}

		const std::uint8_t* ImmZ(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return OpcodeAnd(a_opcode, a_state, Iz(a_state));
		}

		// MOV register, immediate (B8-BF): the one immediate that grows to 8 bytes with REX.W.
		const std::uint8_t* ImmV(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return OpcodeAnd(a_opcode, a_state, OperandSize(a_state) / 8);
		}

		// MOV between the accumulator and a memory offset (A0-A3): the offset has the address size.
		const std::uint8_t* Moffs(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			a_state.moffs = true;
			return OpcodeAnd(a_opcode, a_state, a_state.addressSize / 8);
		}

		// Short branches: Jcc, JMP, LOOP, JCXZ with an 8-bit offset.
		const std::uint8_t* Rel8(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			MarkRelative(a_state, a_opcode + 1, InstructionInfo::Relative::Branch, 1);
			return OpcodeAnd(a_opcode, a_state, 1);
		}

		// Near CALL, JMP and Jcc (E8, E9, 0F 80-8F): a 32-bit offset, 16-bit with 66 in
		// 32-bit mode. In x86-64 mode a 66 prefix makes the length vendor-dependent.
		const std::uint8_t* RelZ(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			if (a_state.x64 && OperandSize(a_state) == 16) {
				return Refuse(a_opcode + 1, a_state);
			}
			const std::ptrdiff_t size = Iz(a_state);
			MarkRelative(a_state, a_opcode + 1, InstructionInfo::Relative::Branch, size);
			return OpcodeAnd(a_opcode, a_state, size);
		}

		// One-byte instructions that x86-64 mode removed (PUSH/POP of segment registers,
		// DAA and friends, PUSHA, POPA, INTO, SALC).
		const std::uint8_t* No64(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return a_state.x64 ? Refuse(a_opcode + 1, a_state) : OpcodeAnd(a_opcode, a_state, 0);
		}

		// AAM and AAD imm8.
		const std::uint8_t* No64Imm8(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return a_state.x64 ? Refuse(a_opcode + 1, a_state) : OpcodeAnd(a_opcode, a_state, 1);
		}

		// Far CALL and JMP to ptr16:32 (ptr16:16 with 66).
		const std::uint8_t* No64Far(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			if (a_state.x64) {
				return Refuse(a_opcode + 1, a_state);
			}
			return OpcodeAnd(a_opcode, a_state, a_state.operandSize16 ? 4 : 6);
		}

		// ---- With a ModRM operand -----------------------------------------------------------

		const std::uint8_t* ModRm(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return Operand(a_opcode + 1, a_state);
		}

		const std::uint8_t* ModRmImm8(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return Operand(a_opcode + 1, a_state) + 1;
		}

		const std::uint8_t* ModRmImmZ(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return Operand(a_opcode + 1, a_state) + Iz(a_state);
		}

		// BOUND (62), LES (C4), LDS (C5) in 32-bit mode, memory forms only: with mod 3 these
		// bytes begin EVEX and VEX encodings, which are not accepted (nor in x86-64 mode).
		const std::uint8_t* No64Mem(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			if (a_state.x64) {
				return Refuse(a_opcode + 1, a_state);
			}
			if (IsRegister(a_opcode[1])) {
				return Refuse(a_opcode + 2, a_state);
			}
			return Operand(a_opcode + 1, a_state);
		}

		// 82: an alias of 80 that x86-64 mode removed.
		const std::uint8_t* No64ModRmImm8(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return a_state.x64 ? Refuse(a_opcode + 1, a_state) : ModRmImm8(a_opcode, a_state);
		}

		// SSE instructions that exist only with the 66 mandatory prefix.
		const std::uint8_t* ModRm66(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return a_state.operandSize16 ? Operand(a_opcode + 1, a_state) : Refuse(a_opcode + 1, a_state);
		}

		const std::uint8_t* ModRm66Imm8(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return a_state.operandSize16 ? Operand(a_opcode + 1, a_state) + 1 : Refuse(a_opcode + 1, a_state);
		}

		// LDDQU (F2 0F F0) and CRC32 (F2 0F 38 F0/F1): the F2 mandatory prefix.
		const std::uint8_t* ModRmF2(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return a_state.f2 ? Operand(a_opcode + 1, a_state) : Refuse(a_opcode + 1, a_state);
		}

		// 0F D6 and 0F E6: defined with any one of the 66, F2 and F3 mandatory prefixes.
		const std::uint8_t* ModRmAnyPfx(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return (a_state.f2 || a_state.f3 || a_state.operandSize16) ? Operand(a_opcode + 1, a_state) : Refuse(a_opcode + 1, a_state);
		}

		// MOV to and from control and debug registers: accepted in the register form only.
		const std::uint8_t* ModRmReg(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return IsRegister(a_opcode[1]) ? Operand(a_opcode + 1, a_state) : Refuse(a_opcode + 2, a_state);
		}

		// LEA (8D): a memory operand only; the register form raises #UD.
		const std::uint8_t* ModRmMem(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return IsRegister(a_opcode[1]) ? Refuse(a_opcode + 2, a_state) : Operand(a_opcode + 1, a_state);
		}

		// MOV to and from a segment register (8C, 8E): reg names ES, CS, SS, DS, FS, GS;
		// 6 and 7 name none, and CS (1) cannot be loaded.
		const std::uint8_t* MovSreg(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			const unsigned reg = Reg(a_opcode[1]);
			return (reg >= 6 || (reg == 1 && *a_opcode == 0x8E)) ? Refuse(a_opcode + 2, a_state) : Operand(a_opcode + 1, a_state);
		}

		const std::uint8_t* X87(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			const std::uint8_t modrm = a_opcode[1];
			const X87Refusals& refusals = kX87[*a_opcode - 0xD8];
			const bool         refused = IsRegister(modrm) ? ((refusals.registerForms >> (modrm - 0xC0)) & 1u) != 0 : ((refusals.memoryRegs >> Reg(modrm)) & 1u) != 0;
			return refused ? Refuse(a_opcode + 2, a_state) : Operand(a_opcode + 1, a_state);
		}

		// ---- Opcode groups --------------------------------------------------------------------

		// 8F (group 1A): POP r/m is reg 0; other reg values begin XOP encodings.
		const std::uint8_t* Grp8F(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return Reg(a_opcode[1]) == 0 ? Operand(a_opcode + 1, a_state) : Refuse(a_opcode + 2, a_state);
		}

		// C6 (group 11): MOV r/m8, imm8 (reg 0) and XABORT imm8 (C6 F8).
		const std::uint8_t* GrpC6(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			const std::uint8_t modrm = a_opcode[1];
			return (Reg(modrm) == 0 || modrm == 0xF8) ? Operand(a_opcode + 1, a_state) + 1 : Refuse(a_opcode + 2, a_state);
		}

		// C7 (group 11): MOV r/m, immZ (reg 0). XBEGIN (C7 F8) is refused.
		const std::uint8_t* GrpC7(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return Reg(a_opcode[1]) == 0 ? Operand(a_opcode + 1, a_state) + Iz(a_state) : Refuse(a_opcode + 2, a_state);
		}

		// F6 (group 3): TEST r/m8, imm8 is reg 0; reg 1 is refused; NOT, NEG, MUL, IMUL, DIV,
		// IDIV (reg 2-7) have no immediate.
		const std::uint8_t* GrpF6(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			switch (Reg(a_opcode[1])) {
				case 0:
					return Operand(a_opcode + 1, a_state) + 1;
				case 1:
					return Refuse(a_opcode + 2, a_state);
				default:
					return Operand(a_opcode + 1, a_state);
			}
		}

		// F7 (group 3): as F6 with an immZ for TEST.
		const std::uint8_t* GrpF7(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			switch (Reg(a_opcode[1])) {
				case 0:
					return Operand(a_opcode + 1, a_state) + Iz(a_state);
				case 1:
					return Refuse(a_opcode + 2, a_state);
				default:
					return Operand(a_opcode + 1, a_state);
			}
		}

		// FE (group 4): INC and DEC r/m8 only.
		const std::uint8_t* GrpFE(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return Reg(a_opcode[1]) <= 1 ? Operand(a_opcode + 1, a_state) : Refuse(a_opcode + 2, a_state);
		}

		// FF (group 5): INC, DEC, CALL, CALLF, JMP, JMPF, PUSH; reg 7 is refused, and so
		// are the far forms (reg 3, 5) with a register operand.
		const std::uint8_t* GrpFF(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			const std::uint8_t modrm = a_opcode[1];
			const unsigned     reg = Reg(modrm);
			const bool         accepted = reg != 7 && !((reg == 3 || reg == 5) && IsRegister(modrm));
			return accepted ? Operand(a_opcode + 1, a_state) : Refuse(a_opcode + 2, a_state);
		}

		// 0F 00 (group 6): SLDT, STR, LLDT, LTR, VERR, VERW (reg 0-5).
		const std::uint8_t* Grp0F00(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return Reg(a_opcode[1]) <= 5 ? Operand(a_opcode + 1, a_state) : Refuse(a_opcode + 2, a_state);
		}

		// 0F 01 (group 7): descriptor tables, INVLPG and friends in memory form; of the
		// register forms only VMX (reg 0, rm 0-4), MONITOR/MWAIT (reg 1, rm 0-1) and SWAPGS.
		const std::uint8_t* Grp0F01(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			const std::uint8_t modrm = a_opcode[1];
			const unsigned     reg = Reg(modrm);
			bool               accepted = false;
			if (!IsRegister(modrm)) {
				accepted = reg != 5;
			} else if (reg == 7) {
				accepted = a_state.x64 && Rm(modrm) == 0;
			} else {
				accepted = ((kGroup7RegisterForms[reg] >> Rm(modrm)) & 1u) != 0;
			}
			return accepted ? Operand(a_opcode + 1, a_state) : Refuse(a_opcode + 2, a_state);
		}

		// 0F 18 (group 16): PREFETCH hints, memory forms with reg 0-3.
		const std::uint8_t* Grp0F18(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			const std::uint8_t modrm = a_opcode[1];
			return (Reg(modrm) <= 3 && !IsRegister(modrm)) ? Operand(a_opcode + 1, a_state) : Refuse(a_opcode + 2, a_state);
		}

		// 0F 71 and 0F 72 (groups 12, 13): shifts of an MMX/XMM register by imm8 (reg 2, 4, 6).
		const std::uint8_t* Grp0F71(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			const std::uint8_t modrm = a_opcode[1];
			const unsigned     reg = Reg(modrm);
			return (IsRegister(modrm) && (reg == 2 || reg == 4 || reg == 6)) ? Operand(a_opcode + 1, a_state) + 1 : Refuse(a_opcode + 2, a_state);
		}

		// 0F 73 (group 14): PSRLQ/PSLLQ imm8 (reg 2, 6), and PSRLDQ/PSLLDQ (reg 3, 7) with 66.
		const std::uint8_t* Grp0F73(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			const std::uint8_t modrm = a_opcode[1];
			const unsigned     reg = Reg(modrm);
			const bool         accepted = IsRegister(modrm) && (reg == 2 || reg == 6 || ((reg == 3 || reg == 7) && a_state.operandSize16));
			return accepted ? Operand(a_opcode + 1, a_state) + 1 : Refuse(a_opcode + 2, a_state);
		}

		// 0F AE (group 15): FXSAVE, FXRSTOR, LDMXCSR, STMXCSR, XRSTOR, XSAVEOPT in memory
		// form; CLFLUSH (memory) and SFENCE (register) for reg 7.
		const std::uint8_t* Grp0FAE(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			const std::uint8_t modrm = a_opcode[1];
			const unsigned     reg = Reg(modrm);
			const bool         accepted = reg == 7 || (reg != 4 && !IsRegister(modrm));
			return accepted ? Operand(a_opcode + 1, a_state) : Refuse(a_opcode + 2, a_state);
		}

		// 0F BA (group 8): BT, BTS, BTR, BTC r/m, imm8 (reg 4-7).
		const std::uint8_t* Grp0FBA(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return Reg(a_opcode[1]) >= 4 ? Operand(a_opcode + 1, a_state) + 1 : Refuse(a_opcode + 2, a_state);
		}

		// 0F C7 (group 9): CMPXCHG8B/16B (reg 1), RDRAND/VMPTRLD (reg 6), RDSEED/VMPTRST (reg 7).
		const std::uint8_t* Grp0FC7(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			const unsigned reg = Reg(a_opcode[1]);
			return (reg == 1 || reg == 6 || reg == 7) ? Operand(a_opcode + 1, a_state) : Refuse(a_opcode + 2, a_state);
		}

		// One pass over the instruction at a_code; fills a_state and returns its end or null.
		inline const std::uint8_t* Decode(const std::uint8_t* a_code, std::int32_t a_mode, Decoding& a_state)
		{
			a_state = Decoding{};
			a_state.x64 = a_mode == kX86_64Mode;
			a_state.addressSize = a_state.x64 ? 64 : 32;
			const std::uint8_t* end = kOneByteMap[*a_code](a_code, a_state);
			return (end != nullptr && end - a_code <= kMaxLength) ? end : nullptr;
		}
	} // namespace

	std::int64_t InstructionLengthDecoder(const std::uint8_t* a_code, std::int32_t a_mode) noexcept
	{
		Decoding                  state;
		const std::uint8_t* const end = Decode(a_code, a_mode, state);
		return end != nullptr ? end - a_code : -1;
	}

	namespace
	{
		InstructionInfo::Branch BranchOf(const Decoding& a_state)
		{
			using Branch = InstructionInfo::Branch;
			const std::uint8_t opcode = *a_state.opcode;
			if (a_state.map == 1) {
				if (opcode >= 0x80 && opcode <= 0x8F) {
					return Branch::ConditionalJump;
				}
				return opcode == 0x0B ? Branch::Undefined : Branch::None;
			}
			if (a_state.map != 0) {
				return Branch::None;
			}
			if (opcode >= 0x70 && opcode <= 0x7F) {
				return Branch::ConditionalJump;
			}
			switch (opcode) {
				case 0xE0:
				case 0xE1:
				case 0xE2:
				case 0xE3:
					return Branch::Loop;
				case 0xE8:
					return Branch::Call;
				case 0xE9:
				case 0xEB:
					return Branch::Jump;
				case 0xC2:
				case 0xC3:
				case 0xCA:
				case 0xCB:
				case 0xCF:
					return Branch::Return;
				case 0xCC:
					return Branch::Breakpoint;
				case 0xFF:
					switch (Reg(*a_state.modrm)) {
						case 2:
						case 3:
							return Branch::IndirectCall;
						case 4:
						case 5:
							return Branch::IndirectJump;
						default:
							return Branch::None;
					}
				default:
					return Branch::None;
			}
		}

		std::uint8_t OffsetOf(const std::uint8_t* a_part, const std::uint8_t* a_code)
		{
			return a_part != nullptr ? static_cast<std::uint8_t>(a_part - a_code) : 0;
		}
	} // namespace

	InstructionInfo MeasureInstruction(const std::uint8_t* a_code, std::int32_t a_mode) noexcept
	{
		Decoding                  state;
		const std::uint8_t* const end = Decode(a_code, a_mode, state);

		InstructionInfo info;
		info.examined = static_cast<std::uint8_t>(state.examined - a_code);
		if (end == nullptr) {
			return info;
		}
		info.length = end - a_code;
		if (state.relative != nullptr) {
			info.relative = state.relativeKind;
			info.relativeOffset = static_cast<std::uint8_t>(state.relative - a_code);
			info.relativeSize = state.relativeSize;
		}

		const std::uint8_t* const opcodeStart = state.escape != nullptr ? state.escape : state.opcode;
		info.opcodeOffset = OffsetOf(opcodeStart, a_code);
		info.prefixCount = info.opcodeOffset;
		info.opcodeSize = static_cast<std::uint8_t>(state.opcode + 1 - opcodeStart);
		info.modrmOffset = OffsetOf(state.modrm, a_code);
		info.sibOffset = OffsetOf(state.sib, a_code);
		// After the ModRM operand (or the opcode) come the displacement, then immediates.
		const std::uint8_t* const fieldsStart = state.modrm != nullptr ? state.modrm + 1 + (state.sib != nullptr ? 1 : 0) : state.opcode + 1;
		const std::uint8_t* const immediateStart = state.modrm != nullptr ? state.operandEnd : (state.moffs ? end : state.opcode + 1);
		if (immediateStart > fieldsStart) {
			info.displacementOffset = OffsetOf(fieldsStart, a_code);
			info.displacementSize = static_cast<std::uint8_t>(immediateStart - fieldsStart);
		}
		if (end > immediateStart) {
			info.immediateOffset = OffsetOf(immediateStart, a_code);
			info.immediateSize = static_cast<std::uint8_t>(end - immediateStart);
		}
		info.branch = BranchOf(state);
		return info;
	}

	std::uint64_t RelativeDestination(const std::uint8_t* a_code, const InstructionInfo& a_info, std::uint64_t a_address) noexcept
	{
		if (a_info.relative == InstructionInfo::Relative::None || a_info.length < 0) {
			return 0;
		}
		const std::uint8_t* const field = a_code + a_info.relativeOffset;
		std::int64_t              offset = 0;
		switch (a_info.relativeSize) {
			case 1:
				offset = static_cast<std::int8_t>(field[0]);
				break;
			case 2:
				offset = static_cast<std::int16_t>(field[0] | (field[1] << 8));
				break;
			default:
				offset = static_cast<std::int32_t>(std::uint32_t{ field[0] } | (std::uint32_t{ field[1] } << 8) | (std::uint32_t{ field[2] } << 16) | (std::uint32_t{ field[3] } << 24));
				break;
		}
		std::uint64_t destination = a_address + static_cast<std::uint64_t>(a_info.length) + static_cast<std::uint64_t>(offset);
		// A 16-bit branch in 32-bit code wraps within the low 64 KiB, a 32-bit one within 4 GiB.
		if (a_info.relativeSize == 2 && a_info.relative == InstructionInfo::Relative::Branch) {
			destination &= 0xFFFF;
		}
		return destination;
	}
} // namespace Detour
