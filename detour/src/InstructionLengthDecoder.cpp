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
//  - C4, C5 and 62 begin VEX and EVEX encodings in x86-64 mode; in 32-bit mode only
//    when the next byte's top two bits are set (a register form that LES, LDS and BOUND
//    do not have), as on the processor. 8F is XOP when the next byte names map 8, 9 or
//    10 (its reg field is then not 0, which POP r/m does not have). The VEX family is
//    measured from tables of the opcodes that exist for each map and implied prefix;
//    an opcode not listed there is refused, so that an encoding this decoder does not
//    know (AMX, AVX-512 FP16, Xeon Phi) never gets a guessed length.
//  - 60, 61 and D6 do not exist in x86-64 mode and are refused there.
//  - 0F 78 and 0F 79 are refused: VMREAD/VMWRITE without a prefix, but AMD's
//    EXTRQ/INSERTQ with 66 or F2, which carry two immediate bytes.
//  - C6 and C7 are accepted only as MOV (reg 0) and, for C6, XABORT (C6 F8); XBEGIN
//    (C7 F8) is refused. LEA (8D) and the far forms of FF (reg 3, 5) need a memory
//    operand, and 8C/8E a segment register that exists: the rest raise #UD.
// Still accepted although the processor raises #UD on them (their length is what the
// processor measures before it faults, and compilers never emit them): LOCK on an
// instruction that cannot take it, SSE opcodes with a mandatory prefix they do not
// have, control, debug and bound registers that do not exist; VEX, EVEX and XOP
// instructions with a vector length, W bit, vvvv field, mask or operand kind that
// their opcode does not allow.

#include "Detour/InstructionLengthDecoder.h"

#include <cstddef>
#include <initializer_list>
#include <iterator>

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
			bool                      noVex;         // a 66, F2, F3, F0 or REX prefix was seen: no VEX, EVEX or XOP may follow
			InstructionInfo::Encoding encoding;
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
		const std::uint8_t* Lock(const std::uint8_t*, Decoding&);
		const std::uint8_t* OpSize(const std::uint8_t*, Decoding&);
		const std::uint8_t* AddrSize(const std::uint8_t*, Decoding&);
		const std::uint8_t* RepNE(const std::uint8_t*, Decoding&);
		const std::uint8_t* Rep(const std::uint8_t*, Decoding&);
		const std::uint8_t* Rex(const std::uint8_t*, Decoding&);
		const std::uint8_t* Esc0F(const std::uint8_t*, Decoding&);
		const std::uint8_t* Esc38(const std::uint8_t*, Decoding&);
		const std::uint8_t* Esc3A(const std::uint8_t*, Decoding&);
		const std::uint8_t* Vex2(const std::uint8_t*, Decoding&);
		const std::uint8_t* Vex3(const std::uint8_t*, Decoding&);
		const std::uint8_t* Evex(const std::uint8_t*, Decoding&);

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
		const std::uint8_t* Xop(const std::uint8_t*, Decoding&);
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
			No64,      No64,      Evex,      ModRm,     Prefix,    Prefix,    OpSize,    AddrSize,  ImmZ,      ModRmImmZ, Imm8,      ModRmImm8, Op,        Op,        Op,        Op,        // 6x
			Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      Rel8,      // 7x
			ModRmImm8, ModRmImmZ, No64ModRmImm8, ModRmImm8, ModRm, ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     ModRm,     MovSreg,   ModRmMem,  MovSreg,   Grp8F,     // 8x
			Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        Op,        No64Far,   Op,        Op,        Op,        Op,        Op,        // 9x
			Moffs,     Moffs,     Moffs,     Moffs,     Op,        Op,        Op,        Op,        Imm8,      ImmZ,      Op,        Op,        Op,        Op,        Op,        Op,        // Ax
			Imm8,      Imm8,      Imm8,      Imm8,      Imm8,      Imm8,      Imm8,      Imm8,      ImmV,      ImmV,      ImmV,      ImmV,      ImmV,      ImmV,      ImmV,      ImmV,      // Bx
			ModRmImm8, ModRmImm8, Imm16,     Op,        Vex3,      Vex2,      GrpC6,     GrpC7,     Imm16Imm8, Op,        Imm16,     Op,        Op,        Imm8,      No64,      Op,        // Cx
			ModRm,     ModRm,     ModRm,     ModRm,     No64Imm8,  No64Imm8,  No64,      Op,        X87,       X87,       X87,       X87,       X87,       X87,       X87,       X87,       // Dx
			Rel8,      Rel8,      Rel8,      Rel8,      Imm8,      Imm8,      Imm8,      Imm8,      RelZ,      RelZ,      No64Far,   Rel8,      Op,        Op,        Op,        Op,        // Ex
			Lock,      Op,        RepNE,     Rep,       Op,        Op,        GrpF6,     GrpF7,     Op,        Op,        Op,        Op,        Op,        Op,        GrpFE,     GrpFF,     // Fx
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

		// 26 2E 36 3E 64 65 (segment overrides): no effect on the length.
		const std::uint8_t* Prefix(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!CountPrefix(a_state)) {
				return Refuse(a_byte + 1, a_state);
			}
			a_state.rexW = false;
			return kOneByteMap[a_byte[1]](a_byte + 1, a_state);
		}

		// F0 (lock): no effect on the length, but no VEX, EVEX or XOP prefix may follow.
		const std::uint8_t* Lock(const std::uint8_t* a_byte, Decoding& a_state)
		{
			a_state.noVex = true;
			return Prefix(a_byte, a_state);
		}

		// 66: operand size 16 (and the mandatory prefix of many SSE instructions).
		const std::uint8_t* OpSize(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!CountPrefix(a_state)) {
				return Refuse(a_byte + 1, a_state);
			}
			a_state.operandSize16 = true;
			a_state.noVex = true;
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
			a_state.noVex = true;
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
			a_state.noVex = true;
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
			a_state.noVex = true;
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

		// 8F (group 1A): POP r/m is reg 0; other reg values begin XOP encodings (Xop).
		const std::uint8_t* Grp8F(const std::uint8_t* a_opcode, Decoding& a_state)
		{
			return Reg(a_opcode[1]) == 0 ? Operand(a_opcode + 1, a_state) : Xop(a_opcode, a_state);
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

		// ---- VEX, EVEX and XOP ------------------------------------------------------------
		//
		// These prefixes carry what legacy code spreads over 66/F2/F3, REX and the 0F, 0F 38
		// and 0F 3A escapes: the map of the opcode that follows (VEX and EVEX 1 = 0F, 2 = 0F 38,
		// 3 = 0F 3A; XOP 8, 9, 10), an implied 66, F3 or F2 prefix ("pp"), the extension bits
		// of the registers, the vector length and a second source register. Then come the
		// opcode, always a ModRM operand (but for VZEROUPPER and VZEROALL) and the immediate
		// the map and opcode take: every 0F 3A instruction and a few 0F ones (shuffles,
		// shifts by an immediate, compares, inserts and extracts) take one byte, XOP map 8
		// one byte and map 10 four. EVEX compresses an 8-bit displacement by scaling it
		// with the operand's size, but it is still one byte long.

		// What an opcode of one of these maps is: the implied prefixes it exists with (bit
		// pp: none, 66, F3, F2), the reg values of the ModRM byte it exists with (groups),
		// whether its operand must be a register or memory, and its immediate's size.
		struct VexOpcode
		{
			enum Kind : std::uint8_t
			{
				Any,          // a ModRM operand, register or memory
				RegisterOnly, // a ModRM operand that must be a register (mod 3)
				MemoryOnly,   // a ModRM operand that must be memory
				NoModRm       // VZEROUPPER, VZEROALL
			};
			std::uint8_t prefixes{ 0 }; // 0: no such opcode
			std::uint8_t regs{ 0xFF };
			Kind         kind{ Any };
			std::uint8_t immediate{ 0 };
		};
		using VexMap = VexOpcode[256];

		// Implied prefixes: N none, P 66, S F3, D F2. A suffix i: an 8-bit immediate, z: 32-bit.
		constexpr std::uint8_t kN = 1, kP = 2, kS = 4, kD = 8;

		constexpr VexOpcode xx{};
		constexpr VexOpcode N{ kN }, P{ kP }, D{ kD }, NP{ kN | kP }, NS{ kN | kS }, PS{ kP | kS }, PD{ kP | kD }, SD{ kS | kD };
		constexpr VexOpcode NPS{ kN | kP | kS }, NPD{ kN | kP | kD }, NSD{ kN | kS | kD }, PSD{ kP | kS | kD }, NPSD{ kN | kP | kS | kD };
		constexpr VexOpcode Ni{ kN, 0xFF, VexOpcode::Any, 1 }, Pi{ kP, 0xFF, VexOpcode::Any, 1 }, Di{ kD, 0xFF, VexOpcode::Any, 1 };
		constexpr VexOpcode NPi{ kN | kP, 0xFF, VexOpcode::Any, 1 }, PSDi{ kP | kS | kD, 0xFF, VexOpcode::Any, 1 }, NPSDi{ kN | kP | kS | kD, 0xFF, VexOpcode::Any, 1 };
		constexpr VexOpcode Nz{ kN, 0xFF, VexOpcode::Any, 4 };
		// VZEROUPPER / VZEROALL (by VEX.L).
		constexpr VexOpcode Vzero{ kN, 0xFF, VexOpcode::NoModRm, 0 };

		constexpr std::uint8_t Regs(std::initializer_list<unsigned> a_regs)
		{
			std::uint8_t bits = 0;
			for (const unsigned reg : a_regs) {
				bits = static_cast<std::uint8_t>(bits | (1u << reg));
			}
			return bits;
		}

		// Groups: the reg field selects the instruction.
		// 0F 71, 72, 73 shift a register by an immediate (VEX: register operand only; EVEX
		// also reads memory and adds the rotates /0 and /1 to 72). 0F AE: VLDMXCSR /2,
		// VSTMXCSR /3. 0F 38 F3: BLSR /1, BLSMSK /2, BLSI /3.
		constexpr VexOpcode G12V{ kP, Regs({ 2, 4, 6 }), VexOpcode::RegisterOnly, 1 };
		constexpr VexOpcode G14V{ kP, Regs({ 2, 3, 6, 7 }), VexOpcode::RegisterOnly, 1 };
		constexpr VexOpcode G12E{ kP, Regs({ 2, 4, 6 }), VexOpcode::Any, 1 };
		constexpr VexOpcode G13E{ kP, Regs({ 0, 1, 2, 4, 6 }), VexOpcode::Any, 1 };
		constexpr VexOpcode G14E{ kP, Regs({ 2, 3, 6, 7 }), VexOpcode::Any, 1 };
		constexpr VexOpcode G15V{ kN, Regs({ 2, 3 }), VexOpcode::MemoryOnly, 0 };
		constexpr VexOpcode G17V{ kN, Regs({ 1, 2, 3 }), VexOpcode::Any, 0 };
		// XOP map 9: 01 BLCFILL..T1MSKC /1-/7, 02 BLCMSK /1 and BLCI /6, 12 LLWPCB /0 and
		// SLWPCB /1 (a register); map 10: 12 LWPINS /0 and LWPVAL /1 with an imm32.
		constexpr VexOpcode X01{ kN, Regs({ 1, 2, 3, 4, 5, 6, 7 }), VexOpcode::Any, 0 };
		constexpr VexOpcode X02{ kN, Regs({ 1, 6 }), VexOpcode::Any, 0 };
		constexpr VexOpcode X12{ kN, Regs({ 0, 1 }), VexOpcode::RegisterOnly, 0 };
		constexpr VexOpcode X12z{ kN, Regs({ 0, 1 }), VexOpcode::Any, 4 };

		// clang-format off

		// VEX map 1 (0F): SSE to AVX2 on xmm/ymm, and the AVX-512 mask register instructions.
		constexpr VexMap kVex0F = {
			//  x0     x1     x2     x3     x4     x5     x6     x7     x8     x9     xA     xB     xC     xD     xE     xF
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 0x
			NPSD,  NPSD,  NPSD,  NP,    NP,    NP,    NPS,   NP,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 1x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    NP,    NP,    SD,    NP,    SD,    SD,    NP,    NP,    // 2x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 3x
			xx,    NP,    NP,    xx,    NP,    NP,    NP,    NP,    xx,    xx,    NP,    NP,    xx,    xx,    xx,    xx,    // 4x
			NP,    NPSD,  NS,    NS,    NP,    NP,    NP,    NP,    NPSD,  NPSD,  NPSD,  NPS,   NPSD,  NPSD,  NPSD,  NPSD,  // 5x
			P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     PS,    // 6x
			PSDi,  G12V,  G12V,  G14V,  P,     P,     P,     Vzero, xx,    xx,    xx,    xx,    PD,    PD,    PS,    PS,    // 7x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 8x
			NP,    NP,    NPD,   NPD,   xx,    xx,    xx,    xx,    NP,    NP,    xx,    xx,    xx,    xx,    xx,    xx,    // 9x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    G15V,  xx,    // Ax
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Bx
			xx,    xx,    NPSDi, xx,    Pi,    Pi,    NPi,   xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Cx
			PD,    P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     // Dx
			P,     P,     P,     P,     P,     P,     PSD,   P,     P,     P,     P,     P,     P,     P,     P,     P,     // Ex
			D,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     xx,    // Fx
		};

		// VEX map 2 (0F 38): SSSE3/SSE4 forms, AVX2 permutes, broadcasts and gathers, FMA,
		// AES, GFNI, AVX-VNNI, and BMI1/BMI2 on general registers.
		constexpr VexMap kVex0F38 = {
			//  x0     x1     x2     x3     x4     x5     x6     x7     x8     x9     xA     xB     xC     xD     xE     xF
			P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     // 0x
			xx,    xx,    xx,    P,     xx,    xx,    P,     P,     P,     P,     P,     xx,    P,     P,     P,     xx,    // 1x
			P,     P,     P,     P,     P,     P,     xx,    xx,    P,     P,     P,     P,     P,     P,     P,     P,     // 2x
			P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     // 3x
			P,     P,     xx,    xx,    xx,    P,     P,     P,     xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 4x
			P,     P,     P,     P,     xx,    xx,    xx,    xx,    P,     P,     P,     xx,    xx,    xx,    xx,    xx,    // 5x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 6x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    P,     P,     xx,    xx,    xx,    xx,    xx,    xx,    // 7x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    P,     xx,    P,     xx,    // 8x
			P,     P,     P,     P,     xx,    xx,    P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     // 9x
			xx,    xx,    xx,    xx,    xx,    xx,    P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     // Ax
			xx,    xx,    xx,    xx,    xx,    xx,    P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     // Bx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    P,     // Cx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    P,     P,     P,     P,     P,     // Dx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Ex
			xx,    xx,    N,     G17V,  xx,    NSD,   D,     NPSD,  xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Fx
		};

		// VEX map 3 (0F 3A): every instruction takes an 8-bit immediate (for the blends, AMD's
		// FMA4 (5C-5F, 68-6F, 78-7F) and VPERMIL2 (48, 49), which have a fourth register,
		// its top four bits name it).
		constexpr VexMap kVex0F3A = {
			//  x0     x1     x2     x3     x4     x5     x6     x7     x8     x9     xA     xB     xC     xD     xE     xF
			Pi,    Pi,    Pi,    xx,    Pi,    Pi,    Pi,    xx,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    // 0x
			xx,    xx,    xx,    xx,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    xx,    xx,    xx,    Pi,    xx,    xx,    // 1x
			Pi,    Pi,    Pi,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 2x
			Pi,    Pi,    Pi,    Pi,    xx,    xx,    xx,    xx,    Pi,    Pi,    xx,    xx,    xx,    xx,    xx,    xx,    // 3x
			Pi,    Pi,    Pi,    xx,    Pi,    xx,    Pi,    xx,    Pi,    Pi,    Pi,    Pi,    Pi,    xx,    xx,    xx,    // 4x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    Pi,    Pi,    Pi,    Pi,    // 5x
			Pi,    Pi,    Pi,    Pi,    xx,    xx,    xx,    xx,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    // 6x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    // 7x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 8x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 9x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Ax
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Bx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    Pi,    Pi,    // Cx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    Pi,    // Dx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Ex
			Di,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Fx
		};

		// EVEX map 1 (0F): AVX-512 forms of the SSE/AVX instructions, and its unsigned
		// conversions (78-7B).
		constexpr VexMap kEvex0F = {
			//  x0     x1     x2     x3     x4     x5     x6     x7     x8     x9     xA     xB     xC     xD     xE     xF
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 0x
			NPSD,  NPSD,  NPSD,  NP,    NP,    NP,    NPS,   NP,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 1x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    NP,    NP,    SD,    NP,    SD,    SD,    NP,    NP,    // 2x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 3x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 4x
			xx,    NPSD,  xx,    xx,    NP,    NP,    NP,    NP,    NPSD,  NPSD,  NPSD,  NPS,   NPSD,  NPSD,  NPSD,  NPSD,  // 5x
			P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     PSD,   // 6x
			PSDi,  G12E,  G13E,  G14E,  P,     P,     P,     xx,    NPSD,  NPSD,  PSD,   PSD,   xx,    xx,    PS,    PSD,   // 7x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 8x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 9x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Ax
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Bx
			xx,    xx,    NPSDi, xx,    Pi,    Pi,    NPi,   xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Cx
			xx,    P,     P,     P,     P,     P,     P,     xx,    P,     P,     P,     P,     P,     P,     P,     P,     // Dx
			P,     P,     P,     P,     P,     P,     PSD,   P,     P,     P,     P,     P,     P,     P,     P,     P,     // Ex
			xx,    P,     P,     P,     P,     P,     P,     xx,    P,     P,     P,     P,     P,     P,     P,     xx,    // Fx
		};

		// EVEX map 2 (0F 38): with F3, the down-converting moves (vpmov*) and mask moves;
		// the BF16 conversions and dot product (52, 72) and VP2INTERSECT (68).
		constexpr VexMap kEvex0F38 = {
			//  x0     x1     x2     x3     x4     x5     x6     x7     x8     x9     xA     xB     xC     xD     xE     xF
			P,     xx,    xx,    xx,    P,     xx,    xx,    xx,    xx,    xx,    xx,    P,     P,     P,     xx,    xx,    // 0x
			PS,    PS,    PS,    PS,    PS,    PS,    P,     xx,    P,     P,     P,     P,     P,     P,     P,     P,     // 1x
			PS,    PS,    PS,    PS,    PS,    PS,    PS,    PS,    PS,    PS,    PS,    P,     P,     P,     xx,    xx,    // 2x
			PS,    PS,    PS,    PS,    PS,    PS,    P,     P,     PS,    PS,    PS,    P,     P,     P,     P,     P,     // 3x
			P,     xx,    P,     P,     P,     P,     P,     P,     xx,    xx,    xx,    xx,    P,     P,     P,     P,     // 4x
			P,     P,     PS,    P,     P,     P,     xx,    xx,    P,     P,     P,     P,     xx,    xx,    xx,    xx,    // 5x
			xx,    xx,    P,     P,     P,     P,     P,     xx,    D,     xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 6x
			P,     P,     PSD,   P,     xx,    P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     // 7x
			xx,    xx,    xx,    P,     xx,    xx,    xx,    xx,    P,     P,     P,     P,     xx,    P,     xx,    P,     // 8x
			P,     P,     P,     P,     xx,    xx,    P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     // 9x
			P,     P,     P,     P,     xx,    xx,    P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     // Ax
			xx,    xx,    xx,    xx,    P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     P,     // Bx
			xx,    xx,    xx,    xx,    P,     xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    P,     // Cx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    P,     P,     P,     P,     // Dx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Ex
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Fx
		};

		// EVEX map 3 (0F 3A): every instruction takes an 8-bit immediate.
		constexpr VexMap kEvex0F3A = {
			//  x0     x1     x2     x3     x4     x5     x6     x7     x8     x9     xA     xB     xC     xD     xE     xF
			Pi,    Pi,    xx,    Pi,    Pi,    Pi,    xx,    xx,    Pi,    Pi,    Pi,    Pi,    xx,    xx,    xx,    Pi,    // 0x
			xx,    xx,    xx,    xx,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    Pi,    xx,    Pi,    Pi,    Pi,    // 1x
			Pi,    Pi,    Pi,    Pi,    xx,    Pi,    Pi,    Pi,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 2x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    Pi,    Pi,    Pi,    Pi,    xx,    xx,    Pi,    Pi,    // 3x
			xx,    xx,    Pi,    Pi,    Pi,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 4x
			Pi,    Pi,    xx,    xx,    Pi,    Pi,    Pi,    Pi,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 5x
			xx,    xx,    xx,    xx,    xx,    xx,    Pi,    Pi,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 6x
			Pi,    Pi,    Pi,    Pi,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 7x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 8x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 9x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Ax
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Bx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    Pi,    Pi,    // Cx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Dx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Ex
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Fx
		};

		// XOP map 8: multiply-accumulate, conditional move, permute, rotate and compare by
		// an immediate; each takes an 8-bit immediate.
		constexpr VexMap kXop8 = {
			//  x0     x1     x2     x3     x4     x5     x6     x7     x8     x9     xA     xB     xC     xD     xE     xF
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 0x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 1x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 2x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 3x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 4x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 5x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 6x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 7x
			xx,    xx,    xx,    xx,    xx,    Ni,    Ni,    Ni,    xx,    xx,    xx,    xx,    xx,    xx,    Ni,    Ni,    // 8x
			xx,    xx,    xx,    xx,    xx,    Ni,    Ni,    Ni,    xx,    xx,    xx,    xx,    xx,    xx,    Ni,    Ni,    // 9x
			xx,    xx,    Ni,    Ni,    xx,    xx,    Ni,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Ax
			xx,    xx,    xx,    xx,    xx,    xx,    Ni,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Bx
			Ni,    Ni,    Ni,    Ni,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    Ni,    Ni,    Ni,    Ni,    // Cx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Dx
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    Ni,    Ni,    Ni,    Ni,    // Ex
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Fx
		};

		// XOP map 9: TBM and LWP groups, fraction extraction, shifts and rotates by a
		// register, horizontal adds and subtracts; no immediate.
		constexpr VexMap kXop9 = {
			//  x0     x1     x2     x3     x4     x5     x6     x7     x8     x9     xA     xB     xC     xD     xE     xF
			xx,    X01,   X02,   xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 0x
			xx,    xx,    X12,   xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 1x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 2x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 3x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 4x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 5x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 6x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 7x
			N,     N,     N,     N,     xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 8x
			N,     N,     N,     N,     N,     N,     N,     N,     N,     N,     N,     N,     xx,    xx,    xx,    xx,    // 9x
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Ax
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Bx
			xx,    N,     N,     N,     xx,    xx,    N,     N,     xx,    xx,    xx,    N,     xx,    xx,    xx,    xx,    // Cx
			xx,    N,     N,     N,     xx,    xx,    N,     N,     xx,    xx,    xx,    N,     xx,    xx,    xx,    xx,    // Dx
			xx,    N,     N,     N,     xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Ex
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // Fx
		};

		// XOP map 10: BEXTR and the LWP inserts with a 32-bit immediate.
		constexpr VexMap kXop10 = {
			//  x0     x1     x2     x3     x4     x5     x6     x7     x8     x9     xA     xB     xC     xD     xE     xF
			xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 0x
			Nz,    xx,    X12z,  xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    xx,    // 1x
		};

		// clang-format on

		// By the map number the prefix names; null for a reserved one. EVEX maps 5 and 6
		// (AVX-512 FP16) are not accepted.
		constexpr const VexMap* kVexMaps[4] = { nullptr, &kVex0F, &kVex0F38, &kVex0F3A };
		constexpr const VexMap* kEvexMaps[8] = { nullptr, &kEvex0F, &kEvex0F38, &kEvex0F3A, nullptr, nullptr, nullptr, nullptr };
		constexpr const VexMap* kXopMaps[3] = { &kXop8, &kXop9, &kXop10 };

		// The opcode after the prefix: measured by its entry in a_map for the implied prefix a_pp.
		const std::uint8_t* VexOperation(const std::uint8_t* a_opcode, Decoding& a_state, const VexMap& a_map, unsigned a_pp)
		{
			const VexOpcode& opcode = a_map[*a_opcode];
			if (((opcode.prefixes >> a_pp) & 1u) == 0) {
				return Refuse(a_opcode + 1, a_state);
			}
			if (opcode.kind == VexOpcode::NoModRm) {
				return OpcodeAnd(a_opcode, a_state, 0);
			}
			const std::uint8_t modrm = a_opcode[1];
			const bool         refused = ((opcode.regs >> Reg(modrm)) & 1u) == 0 || (opcode.kind == VexOpcode::RegisterOnly && !IsRegister(modrm)) ||
			                     (opcode.kind == VexOpcode::MemoryOnly && IsRegister(modrm));
			return refused ? Refuse(a_opcode + 2, a_state) : Operand(a_opcode + 1, a_state) + opcode.immediate;
		}

		// The prefix's a_size bytes at a_prefix are counted like escapes. Refuses the
		// prefix after 66, F2, F3, F0 or REX (the processor raises #UD), or when the count
		// of prefix bytes reaches 15.
		bool BeginVex(const std::uint8_t* a_prefix, std::ptrdiff_t a_size, Decoding& a_state, InstructionInfo::Encoding a_encoding)
		{
			for (std::ptrdiff_t i = 0; i < a_size; ++i) {
				if (!CountPrefix(a_state)) {
					// XOP, and VEX in 32-bit mode, read the byte after the prefix's first to tell
					// it from POP, LES, LDS or BOUND.
					a_state.examined = a_prefix + (i + 1 < 2 ? 2 : i + 1);
					return false;
				}
			}
			a_state.examined = a_prefix + a_size;
			a_state.escape = a_prefix;
			a_state.encoding = a_encoding;
			return !a_state.noVex;
		}

		// C5: two-byte VEX, map 1. In 32-bit mode a memory ModRM byte makes it LDS.
		const std::uint8_t* Vex2(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!a_state.x64 && !IsRegister(a_byte[1])) {
				return Operand(a_byte + 1, a_state);
			}
			if (!BeginVex(a_byte, 2, a_state, InstructionInfo::Encoding::Vex)) {
				return nullptr;
			}
			return VexOperation(a_byte + 2, a_state, kVex0F, a_byte[1] & 3u);
		}

		// C4: three-byte VEX, map in the low five bits of the first byte (1-3; the rest are
		// reserved). In 32-bit mode a memory ModRM byte makes it LES.
		const std::uint8_t* Vex3(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!a_state.x64 && !IsRegister(a_byte[1])) {
				return Operand(a_byte + 1, a_state);
			}
			if (!BeginVex(a_byte, 3, a_state, InstructionInfo::Encoding::Vex)) {
				return nullptr;
			}
			const unsigned map = a_byte[1] & 0x1Fu;
			if (map >= std::size(kVexMaps) || kVexMaps[map] == nullptr) {
				return nullptr;
			}
			return VexOperation(a_byte + 3, a_state, *kVexMaps[map], a_byte[2] & 3u);
		}

		// 62: EVEX. P0 = R X B R' 0 m m m, P1 = W v v v v 1 p p, P2 = z L' L b V' a a a. The
		// two fixed bits must be 0 and 1, and the vector length 512 bits at most (L'L = 3
		// is reserved, unless b on a register operand makes L'L a rounding mode). In 32-bit
		// mode a memory ModRM byte makes it BOUND.
		const std::uint8_t* Evex(const std::uint8_t* a_byte, Decoding& a_state)
		{
			if (!a_state.x64 && !IsRegister(a_byte[1])) {
				return Operand(a_byte + 1, a_state);
			}
			if (!BeginVex(a_byte, 4, a_state, InstructionInfo::Encoding::Evex)) {
				return nullptr;
			}
			const std::uint8_t p0 = a_byte[1], p1 = a_byte[2], p2 = a_byte[3];
			const VexMap*      map = kEvexMaps[p0 & 7u];
			if ((p0 & 0x08u) != 0 || (p1 & 0x04u) == 0 || map == nullptr) {
				return nullptr;
			}
			const std::uint8_t* const end = VexOperation(a_byte + 4, a_state, *map, p1 & 3u);
			if (end == nullptr || (p2 & 0x60u) != 0x60u) {
				return end;
			}
			const bool rounding = (p2 & 0x10u) != 0 && IsRegister(*a_state.modrm);
			return rounding ? end : nullptr;
		}

		// 8F with a reg field other than 0: XOP, map in the low five bits of the first byte
		// (8-10; the rest are refused), and no implied prefix.
		const std::uint8_t* Xop(const std::uint8_t* a_byte, Decoding& a_state)
		{
			const unsigned map = a_byte[1] & 0x1Fu;
			if (map < 8 || map > 10) {
				return Refuse(a_byte + 2, a_state);
			}
			if (!BeginVex(a_byte, 3, a_state, InstructionInfo::Encoding::Xop)) {
				return nullptr;
			}
			if ((a_byte[2] & 3u) != 0) {
				return nullptr;
			}
			return VexOperation(a_byte + 3, a_state, *kXopMaps[map - 8], 0);
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
			if (a_state.map == 1 && a_state.encoding == InstructionInfo::Encoding::Legacy) {
				if (opcode >= 0x80 && opcode <= 0x8F) {
					return Branch::ConditionalJump;
				}
				return opcode == 0x0B ? Branch::Undefined : Branch::None;
			}
			if (a_state.map != 0 || a_state.encoding != InstructionInfo::Encoding::Legacy) {
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
		info.encoding = state.encoding;
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
