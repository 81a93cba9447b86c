// The instruction length decoder: the known edge cases for both
// modes, every class of refused encoding, the prefix limits, where this decoder
// departs from the classic tables to agree with the processor, and what it tells the detour
// about position-dependent instructions.

#include "Detour/InstructionLengthDecoder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace
{
	constexpr std::int32_t k64 = Detour::kX86_64Mode;
	constexpr std::int32_t k32 = 32;

	// The instruction's bytes in a zeroed buffer: the decoder may read up to the SIB
	// byte, the tests name only the bytes that matter and let displacements and
	// immediates be zero.
	struct Code
	{
		std::array<std::uint8_t, 40> bytes{};

		Code(std::initializer_list<int> a_bytes)
		{
			std::size_t i = 0;
			for (const int b : a_bytes) {
				bytes[i++] = static_cast<std::uint8_t>(b);
			}
		}

		static Code Repeated(int a_byte, std::size_t a_count, std::initializer_list<int> a_then)
		{
			Code        code{};
			std::size_t i = 0;
			for (; i < a_count; ++i) {
				code.bytes[i] = static_cast<std::uint8_t>(a_byte);
			}
			for (const int b : a_then) {
				code.bytes[i++] = static_cast<std::uint8_t>(b);
			}
			return code;
		}
	};

	struct Case
	{
		const char*  what;
		std::int32_t mode;
		Code         code;
		std::int64_t length;
	};

	std::string Hex(const Code& a_code, std::size_t a_count)
	{
		std::string text;
		char        byte[4];
		for (std::size_t i = 0; i < a_count; ++i) {
			std::snprintf(byte, sizeof byte, "%02X ", a_code.bytes[i]);
			text += byte;
		}
		return text;
	}

	void ExpectLengths(const std::vector<Case>& a_cases)
	{
		for (const Case& c : a_cases) {
			EXPECT_EQ(Detour::InstructionLengthDecoder(c.code.bytes.data(), c.mode), c.length)
			    << c.what << " (mode " << c.mode << "): " << Hex(c.code, 16);
			// The detailed entry point measures the same.
			EXPECT_EQ(Detour::MeasureInstruction(c.code.bytes.data(), c.mode).length, c.length) << c.what;
		}
	}
} // namespace

TEST(InstructionLengthDecoder, MeasuresThePartsEdgeCasesInX86_64Mode)
{
	ExpectLengths({
	    { "mov [rsp+8], rbx", k64, { 0x48, 0x89, 0x5C, 0x24, 0x08 }, 5 },
	    { "sub rsp, 0x20", k64, { 0x48, 0x83, 0xEC, 0x20 }, 4 },
	    { "push rbp", k64, { 0x55 }, 1 },
	    { "push rbx with REX", k64, { 0x40, 0x53 }, 2 },
	    { "push r15", k64, { 0x41, 0x57 }, 2 },
	    { "mov rax, imm64", k64, { 0x48, 0xB8 }, 10 },
	    { "mov eax, imm32", k64, { 0xB8 }, 5 },
	    { "mov ax, imm16", k64, { 0x66, 0xB8 }, 4 },
	    { "mov rax, [rip+disp32]", k64, { 0x48, 0x8B, 0x05 }, 7 },
	    { "mov eax, [disp32] through SIB base 5", k64, { 0x8B, 0x04, 0x25 }, 7 },
	    { "call rel32", k64, { 0xE8 }, 5 },
	    { "je rel32", k64, { 0x0F, 0x84 }, 6 },
	    { "test byte [rip+disp32], imm8", k64, { 0xF6, 0x05 }, 7 },
	    { "test eax, imm32", k64, { 0xF7, 0xC0 }, 6 },
	    { "mov eax, [moffs64]", k64, { 0xA1 }, 9 },
	    { "mov eax, [moffs32] with 67", k64, { 0x67, 0xA1 }, 6 },
	    { "palignr xmm0, xmm1, 8", k64, { 0x66, 0x0F, 0x3A, 0x0F, 0xC1, 0x08 }, 6 },
	    { "palignr mm0, mm1, 8 needs no prefix", k64, { 0x0F, 0x3A, 0x0F, 0xC1, 0x08 }, 5 },
	    { "fxch st1", k64, { 0xD9, 0xC9 }, 2 },
	    { "fourteen 66 then nop", k64, Code::Repeated(0x66, 14, { 0x90 }), 15 },
	    { "REX.W then 66: the 66 wins", k64, { 0x48, 0x66, 0xB8 }, 5 },
	    { "66 then REX.W: REX.W wins", k64, { 0x66, 0x48, 0xB8 }, 11 },
	    { "lddqu", k64, { 0xF2, 0x0F, 0xF0, 0xC0 }, 4 },
	    { "crc32", k64, { 0xF2, 0x0F, 0x38, 0xF0, 0xC0 }, 5 },
	    { "sfence", k64, { 0x0F, 0xAE, 0xF8 }, 3 },
	});
}

TEST(InstructionLengthDecoder, MeasuresThePartsEdgeCasesIn32BitMode)
{
	ExpectLengths({
	    { "dec eax", k32, { 0x48 }, 1 },
	    { "push es", k32, { 0x06 }, 1 },
	    { "call far ptr16:32", k32, { 0x9A }, 7 },
	    { "call far ptr16:16", k32, { 0x66, 0x9A }, 6 },
	    { "push imm32", k32, { 0x68 }, 5 },
	    { "push imm16", k32, { 0x66, 0x68 }, 4 },
	    { "16-bit addressing, mod 1", k32, { 0x67, 0x8B, 0x46, 0x10 }, 4 },
	    { "16-bit addressing, mod 2", k32, { 0x67, 0x8B, 0x86 }, 5 },
	    { "16-bit addressing, mod 0 rm 6", k32, { 0x67, 0x8B, 0x06 }, 5 },
	    { "mode values other than 64 decode 32-bit code", 0, { 0x48 }, 1 },
	    { "absolute disp32 in 32-bit mode", k32, { 0x8B, 0x05 }, 6 },
	    { "16-bit addressing has no SIB", k32, { 0x67, 0x8B, 0x04 }, 3 },
	    { "LES with a memory operand", k32, { 0xC4, 0x00 }, 2 },
	    { "BOUND with a memory operand", k32, { 0x62, 0x45, 0x10 }, 3 },
	    { "near call with 66: rel16", k32, { 0x66, 0xE8 }, 4 },
	});
}

TEST(InstructionLengthDecoder, MeasuresCompiledPrologueAndPaddingInstructions)
{
	ExpectLengths({
	    { "mov [rsp+16], rsi", k64, { 0x48, 0x89, 0x74, 0x24, 0x10 }, 5 },
	    { "push rdi", k64, { 0x57 }, 1 },
	    { "sub rsp, 0x100", k64, { 0x48, 0x81, 0xEC, 0x00, 0x01, 0x00, 0x00 }, 7 },
	    { "lea rbp, [rsp-0x27]", k64, { 0x48, 0x8D, 0x6C, 0x24, 0xD9 }, 5 },
	    { "mov rax, rsp", k64, { 0x48, 0x8B, 0xC4 }, 3 },
	    { "xor eax, esp", k64, { 0x48, 0x33, 0xC4 }, 3 },
	    { "mov [rsp+0x90], rax", k64, { 0x48, 0x89, 0x84, 0x24, 0x90, 0x00, 0x00, 0x00 }, 8 },
	    { "endbr64", k64, { 0xF3, 0x0F, 0x1E, 0xFA }, 4 },
	    { "nop dword [rax+rax]", k64, { 0x0F, 0x1F, 0x44, 0x00, 0x00 }, 5 },
	    { "nop word cs:[rax+rax+disp32]", k64, { 0x66, 0x2E, 0x0F, 0x1F, 0x84, 0x00 }, 10 },
	    { "int3", k64, { 0xCC }, 1 },
	    { "ret", k64, { 0xC3 }, 1 },
	    { "ret imm16", k64, { 0xC2, 0x08, 0x00 }, 3 },
	    { "enter", k64, { 0xC8 }, 4 },
	    { "movaps [rsp+0x20], xmm6", k64, { 0x0F, 0x29, 0x74, 0x24, 0x20 }, 5 },
	    { "movdqu xmm0, [rcx]", k64, { 0xF3, 0x0F, 0x6F, 0x01 }, 4 },
	    { "pshufd xmm0, xmm0, 0", k64, { 0x66, 0x0F, 0x70, 0xC0, 0x00 }, 5 },
	    { "mov r8d, imm32", k64, { 0x41, 0xB8 }, 6 },
	    { "mov qword [rsp+8], imm32", k64, { 0x48, 0xC7, 0x44, 0x24, 0x08 }, 9 },
	    { "imul eax, [rcx+disp32], imm32", k64, { 0x69, 0x81 }, 10 },
	    { "cmpxchg16b [rcx] with lock", k64, { 0xF0, 0x48, 0x0F, 0xC7, 0x09 }, 5 },
	    { "bt eax, imm8", k64, { 0x0F, 0xBA, 0xE0, 0x05 }, 4 },
	    { "fld qword [rsp+8]", k64, { 0xDD, 0x44, 0x24, 0x08 }, 4 },
	    { "pinsrd xmm0, eax, 1", k64, { 0x66, 0x0F, 0x3A, 0x22, 0xC0, 0x01 }, 6 },
	    { "pshufb xmm0, xmm1", k64, { 0x66, 0x0F, 0x38, 0x00, 0xC1 }, 5 },
	    { "swapgs", k64, { 0x0F, 0x01, 0xF8 }, 3 },
	    { "movsxd rax, ecx", k64, { 0x48, 0x63, 0xC1 }, 3 },
	    { "rep movsb", k64, { 0xF3, 0xA4 }, 2 },
	    { "push imm8", k64, { 0x6A, 0x01 }, 2 },
	    { "jmp rel8", k64, { 0xEB, 0x10 }, 2 },
	    { "mov [rsp+8], rbx", k32, { 0x89, 0x5C, 0x24, 0x08 }, 4 },
	});
}

TEST(InstructionLengthDecoder, CountsPrefixAndEscapeBytesToFifteen)
{
	ExpectLengths({
	    { "fourteen 66 then nop", k64, Code::Repeated(0x66, 14, { 0x90 }), 15 },
	    { "fifteen 66 then nop", k64, Code::Repeated(0x66, 15, { 0x90 }), -1 },
	    { "fourteen 66 then nop, 32-bit mode", k32, Code::Repeated(0x66, 14, { 0x90 }), 15 },
	    { "fifteen 66 then nop, 32-bit mode", k32, Code::Repeated(0x66, 15, { 0x90 }), -1 },
	    { "fourteen segment overrides", k64, Code::Repeated(0x2E, 14, { 0x90 }), 15 },
	    { "fifteen segment overrides", k64, Code::Repeated(0x2E, 15, { 0x90 }), -1 },
	    { "thirteen 66, then the 0F escape", k64, Code::Repeated(0x66, 13, { 0x0F, 0x05 }), 15 },
	    { "fourteen 66, then the 0F escape (15th counted byte)", k64, Code::Repeated(0x66, 14, { 0x0F, 0x05 }), -1 },
	    { "eleven 66, then 0F 38, within 15 bytes", k64, Code::Repeated(0x66, 11, { 0x0F, 0x38, 0x00, 0xC1 }), 15 },
	    { "fourteen REX bytes", k64, Code::Repeated(0x48, 14, { 0x90 }), 15 },
	    { "fifteen REX bytes (counted with the other prefixes, so reading stays bounded)", k64, Code::Repeated(0x48, 15, { 0x90 }), -1 },
	    { "forty REX bytes", k64, Code::Repeated(0x48, 40, { 0x90 }), -1 },
	});
}

TEST(InstructionLengthDecoder, RefusesInstructionsLongerThanFifteenBytes)
{
	ExpectLengths({
	    { "fourteen 66, add ax, imm16: 17 bytes", k64, Code::Repeated(0x66, 14, { 0x05 }), -1 },
	    { "thirteen 66, add ax, imm16: 16 bytes", k64, Code::Repeated(0x66, 13, { 0x05 }), -1 },
	    { "twelve 66, add ax, imm16: 15 bytes", k64, Code::Repeated(0x66, 12, { 0x05 }), 15 },
	    { "twelve 2E, 0F 38 00 C1: 16 bytes", k64, Code::Repeated(0x2E, 12, { 0x0F, 0x38, 0x00, 0xC1 }), -1 },
	    { "five 2E, mov rax, imm64: 15 bytes", k64, Code::Repeated(0x2E, 5, { 0x48, 0xB8 }), 15 },
	    { "six 2E, mov rax, imm64: 16 bytes", k64, Code::Repeated(0x2E, 6, { 0x48, 0xB8 }), -1 },
	});
}

TEST(InstructionLengthDecoder, RefusesEncodingsItDoesNotAccept)
{
	ExpectLengths({
	    // Removed in x86-64 mode.
	    { "push es", k64, { 0x06 }, -1 },
	    { "pop es", k64, { 0x07 }, -1 },
	    { "push cs", k64, { 0x0E }, -1 },
	    { "push ss", k64, { 0x16 }, -1 },
	    { "pop ss", k64, { 0x17 }, -1 },
	    { "push ds", k64, { 0x1E }, -1 },
	    { "pop ds", k64, { 0x1F }, -1 },
	    { "daa", k64, { 0x27 }, -1 },
	    { "das", k64, { 0x2F }, -1 },
	    { "aaa", k64, { 0x37 }, -1 },
	    { "aas", k64, { 0x3F }, -1 },
	    { "pusha", k64, { 0x60 }, -1 },
	    { "popa", k64, { 0x61 }, -1 },
	    { "into", k64, { 0xCE }, -1 },
	    { "salc", k64, { 0xD6 }, -1 },
	    { "aam", k64, { 0xD4, 0x0A }, -1 },
	    { "aad", k64, { 0xD5, 0x0A }, -1 },
	    { "82 alias of 80", k64, { 0x82, 0xC0, 0x01 }, -1 },
	    { "call far", k64, { 0x9A }, -1 },
	    { "jmp far", k64, { 0xEA }, -1 },
	    // VEX, EVEX and XOP encodings that nothing defines.
	    { "VEX3 naming reserved map 0 (32-bit mode, mod 3)", k32, { 0xC4, 0xC0 }, -1 },
	    // Groups by reg.
	    { "8F /1", k64, { 0x8F, 0x08 }, -1 },
	    { "C6 /1", k64, { 0xC6, 0x08, 0x00 }, -1 },
	    { "C7 /1", k64, { 0xC7, 0x08 }, -1 },
	    { "xbegin", k64, { 0xC7, 0xF8 }, -1 },
	    { "F6 /1", k64, { 0xF6, 0xC8, 0x00 }, -1 },
	    { "F7 /1", k64, { 0xF7, 0xC8 }, -1 },
	    { "FE /2", k64, { 0xFE, 0x10 }, -1 },
	    { "FF /7", k64, { 0xFF, 0x38 }, -1 },
	    { "call far register", k64, { 0xFF, 0xD8 }, -1 },
	    { "jmp far register", k64, { 0xFF, 0xE8 }, -1 },
	    { "lea with a register operand", k64, { 0x8D, 0xC0 }, -1 },
	    { "mov to segment register 6", k64, { 0x8C, 0x30 }, -1 },
	    { "mov to cs", k32, { 0x8E, 0x09 }, -1 },
	    // x87 reserved forms.
	    { "D9 /1 memory", k64, { 0xD9, 0x08 }, -1 },
	    { "D9 D1", k64, { 0xD9, 0xD1 }, -1 },
	    { "D9 DF", k64, { 0xD9, 0xDF }, -1 },
	    { "D9 E2", k64, { 0xD9, 0xE2 }, -1 },
	    { "D9 E7", k64, { 0xD9, 0xE7 }, -1 },
	    { "D9 EF", k64, { 0xD9, 0xEF }, -1 },
	    { "DA E0", k64, { 0xDA, 0xE0 }, -1 },
	    { "DA EA", k64, { 0xDA, 0xEA }, -1 },
	    { "DA FF", k64, { 0xDA, 0xFF }, -1 },
	    { "DB /4 memory", k64, { 0xDB, 0x20 }, -1 },
	    { "DB /6 memory", k64, { 0xDB, 0x30 }, -1 },
	    { "DB E0", k64, { 0xDB, 0xE0 }, -1 },
	    { "DB E4", k64, { 0xDB, 0xE4 }, -1 },
	    { "DB F8", k64, { 0xDB, 0xF8 }, -1 },
	    { "DC D0", k64, { 0xDC, 0xD0 }, -1 },
	    { "DD /5 memory", k64, { 0xDD, 0x28 }, -1 },
	    { "DD C8", k64, { 0xDD, 0xC8 }, -1 },
	    { "DD F0", k64, { 0xDD, 0xF0 }, -1 },
	    { "DE D0", k64, { 0xDE, 0xD0 }, -1 },
	    { "DE D8", k64, { 0xDE, 0xD8 }, -1 },
	    { "DE DA", k64, { 0xDE, 0xDA }, -1 },
	    { "DF C0", k64, { 0xDF, 0xC0 }, -1 },
	    { "DF E1", k64, { 0xDF, 0xE1 }, -1 },
	    { "DF F8", k64, { 0xDF, 0xF8 }, -1 },
	    // 0F map.
	    { "0F 04", k64, { 0x0F, 0x04 }, -1 },
	    { "0F 0A", k64, { 0x0F, 0x0A }, -1 },
	    { "0F 0C", k64, { 0x0F, 0x0C }, -1 },
	    { "3DNow! escape", k64, { 0x0F, 0x0F, 0xC1, 0x9E }, -1 },
	    { "0F 24", k64, { 0x0F, 0x24, 0xC0 }, -1 },
	    { "0F 27", k64, { 0x0F, 0x27 }, -1 },
	    { "0F 36", k64, { 0x0F, 0x36 }, -1 },
	    { "0F 37 (getsec)", k64, { 0x0F, 0x37 }, -1 },
	    { "0F 39", k64, { 0x0F, 0x39 }, -1 },
	    { "0F 3B", k64, { 0x0F, 0x3B }, -1 },
	    { "0F 3F", k64, { 0x0F, 0x3F }, -1 },
	    { "vmread", k64, { 0x0F, 0x78, 0xC0 }, -1 },
	    { "extrq (AMD, two immediates)", k64, { 0x66, 0x0F, 0x78, 0xC0, 0x01, 0x02 }, -1 },
	    { "vmwrite", k64, { 0x0F, 0x79, 0xC0 }, -1 },
	    { "0F 7A", k64, { 0x0F, 0x7A }, -1 },
	    { "0F 7B", k64, { 0x0F, 0x7B }, -1 },
	    { "0F A6", k64, { 0x0F, 0xA6 }, -1 },
	    { "0F A7", k64, { 0x0F, 0xA7 }, -1 },
	    { "0F FF (ud0)", k64, { 0x0F, 0xFF, 0xC0 }, -1 },
	    { "punpcklqdq without 66", k64, { 0x0F, 0x6C, 0xC0 }, -1 },
	    { "punpckhqdq without 66", k64, { 0x0F, 0x6D, 0xC0 }, -1 },
	    { "0F D6 without prefix", k64, { 0x0F, 0xD6, 0xC0 }, -1 },
	    { "0F E6 without prefix", k64, { 0x0F, 0xE6, 0xC0 }, -1 },
	    { "0F F0 without F2", k64, { 0x0F, 0xF0, 0xC0 }, -1 },
	    { "F2 not right before 0F", k64, { 0xF2, 0x48, 0x0F, 0xF0, 0xC0 }, -1 },
	    { "mov cr with a memory operand", k64, { 0x0F, 0x20, 0x00 }, -1 },
	    { "mov dr with a memory operand", k64, { 0x0F, 0x23, 0x00 }, -1 },
	    { "0F 00 /6", k64, { 0x0F, 0x00, 0x30 }, -1 },
	    { "0F 00 /7", k64, { 0x0F, 0x00, 0x38 }, -1 },
	    { "0F 01 reg 0 rm 5 register", k64, { 0x0F, 0x01, 0xC5 }, -1 },
	    { "0F 01 reg 1 rm 2 register (clac)", k64, { 0x0F, 0x01, 0xCA }, -1 },
	    { "0F 01 reg 2 register (xgetbv)", k64, { 0x0F, 0x01, 0xD0 }, -1 },
	    { "0F 01 reg 3 register", k64, { 0x0F, 0x01, 0xD8 }, -1 },
	    { "0F 01 reg 4 register", k64, { 0x0F, 0x01, 0xE0 }, -1 },
	    { "0F 01 reg 5 memory", k64, { 0x0F, 0x01, 0x28 }, -1 },
	    { "0F 01 reg 6 register", k64, { 0x0F, 0x01, 0xF0 }, -1 },
	    { "rdtscp (0F 01 reg 7 rm 1)", k64, { 0x0F, 0x01, 0xF9 }, -1 },
	    { "swapgs in 32-bit mode", k32, { 0x0F, 0x01, 0xF8 }, -1 },
	    { "prefetch register form", k64, { 0x0F, 0x18, 0xC0 }, -1 },
	    { "prefetch reg 4", k64, { 0x0F, 0x18, 0x20 }, -1 },
	    { "0F 71 /0", k64, { 0x0F, 0x71, 0xC0, 0x01 }, -1 },
	    { "0F 71 /2 memory", k64, { 0x0F, 0x71, 0x10, 0x01 }, -1 },
	    { "0F 72 /3", k64, { 0x0F, 0x72, 0xD8, 0x01 }, -1 },
	    { "psrldq without 66", k64, { 0x0F, 0x73, 0xD8, 0x01 }, -1 },
	    { "0F AE /4 (xsave)", k64, { 0x0F, 0xAE, 0x20 }, -1 },
	    { "lfence", k64, { 0x0F, 0xAE, 0xE8 }, -1 },
	    { "mfence", k64, { 0x0F, 0xAE, 0xF0 }, -1 },
	    { "0F BA /0", k64, { 0x0F, 0xBA, 0xC0, 0x01 }, -1 },
	    { "0F C7 /0", k64, { 0x0F, 0xC7, 0x00 }, -1 },
	    { "0F C7 /2", k64, { 0x0F, 0xC7, 0x10 }, -1 },
	    // 0F 38 and 0F 3A maps.
	    { "0F 38 0C", k64, { 0x0F, 0x38, 0x0C, 0xC0 }, -1 },
	    { "0F 38 10 without 66", k64, { 0x0F, 0x38, 0x10, 0xC0 }, -1 },
	    { "0F 38 41 without 66", k64, { 0x0F, 0x38, 0x41, 0xC0 }, -1 },
	    { "movbe (0F 38 F0 without F2)", k64, { 0x0F, 0x38, 0xF0, 0xC0 }, -1 },
	    { "aesenc", k64, { 0x66, 0x0F, 0x38, 0xDC, 0xC1 }, -1 },
	    { "0F 3A 00", k64, { 0x66, 0x0F, 0x3A, 0x00, 0xC0, 0x00 }, -1 },
	    { "0F 3A 08 without 66", k64, { 0x0F, 0x3A, 0x08, 0xC0, 0x00 }, -1 },
	    { "pclmulqdq", k64, { 0x66, 0x0F, 0x3A, 0x44, 0xC1, 0x00 }, -1 },
	});
}

TEST(InstructionLengthDecoder, MeasuresVexEvexAndXopInstructions)
{
	ExpectLengths({
	    // Two-byte VEX (C5): map 0F.
	    { "vzeroupper: no ModRM", k64, { 0xC5, 0xF8, 0x77 }, 3 },
	    { "vmovaps [rsp+0x20], xmm6 (a Windows prologue saving xmm6)", k64, { 0xC5, 0xF8, 0x29, 0x74, 0x24, 0x20 }, 6 },
	    { "vmovups ymm0, [rcx]", k64, { 0xC5, 0xFC, 0x10, 0x01 }, 4 },
	    { "vxorps xmm0, xmm0, xmm0", k64, { 0xC5, 0xF8, 0x57, 0xC0 }, 4 },
	    { "vmovdqu ymm0, [rip+x]", k64, { 0xC5, 0xFE, 0x6F, 0x05 }, 8 },
	    { "vmovsd xmm0, [rsp+disp32]", k64, { 0xC5, 0xFB, 0x10, 0x84, 0x24 }, 9 },
	    { "vpshufd xmm0, xmm1, imm8", k64, { 0xC5, 0xF9, 0x70, 0xC1, 0x1B }, 5 },
	    { "vpsrldq xmm0, xmm1, imm8 (group 14)", k64, { 0xC5, 0xF9, 0x73, 0xD9, 0x08 }, 5 },
	    { "vpsllw xmm0, xmm1, imm8 (group 12)", k64, { 0xC5, 0xF9, 0x71, 0xF1, 0x08 }, 5 },
	    { "vcmpps xmm0, xmm1, xmm2, imm8", k64, { 0xC5, 0xF0, 0xC2, 0xC2, 0x01 }, 5 },
	    { "vpinsrw xmm0, xmm0, eax, imm8", k64, { 0xC5, 0xF9, 0xC4, 0xC0, 0x01 }, 5 },
	    { "vpextrw eax, xmm0, imm8", k64, { 0xC5, 0xF9, 0xC5, 0xC0, 0x01 }, 5 },
	    { "vshufps xmm0, xmm0, xmm1, imm8", k64, { 0xC5, 0xF8, 0xC6, 0xC1, 0x00 }, 5 },
	    { "vstmxcsr [rsp+8]", k64, { 0xC5, 0xF8, 0xAE, 0x5C, 0x24, 0x08 }, 6 },
	    { "kmovw k1, k2", k64, { 0xC5, 0xF8, 0x90, 0xCA }, 4 },
	    { "vmovups xmm0, [eax] after 67", k64, { 0x67, 0xC5, 0xF8, 0x10, 0x00 }, 5 },
	    { "vmovups xmm0, cs:[rax] after 2E", k64, { 0x2E, 0xC5, 0xF8, 0x10, 0x00 }, 5 },
	    // Three-byte VEX (C4): maps 0F, 0F 38, 0F 3A.
	    { "vmovups xmm8, [r9] (map 0F through C4)", k64, { 0xC4, 0x41, 0x78, 0x10, 0x01 }, 5 },
	    { "vpbroadcastd ymm0, xmm1", k64, { 0xC4, 0xE2, 0x7D, 0x58, 0xC1 }, 5 },
	    { "vfmadd231ps ymm0, ymm1, [rax+rbx*4+0x10]", k64, { 0xC4, 0xE2, 0x75, 0xB8, 0x44, 0x98, 0x10 }, 7 },
	    { "vpgatherdd xmm0, [rax+xmm1*4], xmm2", k64, { 0xC4, 0xE2, 0x69, 0x90, 0x04, 0x88 }, 6 },
	    { "andn eax, ebx, ecx (BMI1)", k64, { 0xC4, 0xE2, 0x60, 0xF2, 0xC1 }, 5 },
	    { "blsr eax, ecx (BMI1 group)", k64, { 0xC4, 0xE2, 0x78, 0xF3, 0xC9 }, 5 },
	    { "shlx eax, eax, ecx (BMI2)", k64, { 0xC4, 0xE2, 0x71, 0xF7, 0xC0 }, 5 },
	    { "vperm2f128 ymm0, ymm1, ymm2, imm8", k64, { 0xC4, 0xE3, 0x75, 0x06, 0xC2, 0x20 }, 6 },
	    { "vpblendvb xmm0, xmm1, xmm2, xmm3 (register in the immediate)", k64, { 0xC4, 0xE3, 0x71, 0x4C, 0xC2, 0x30 }, 6 },
	    { "vfmaddps xmm0, xmm1, xmm2, xmm3 (AMD FMA4)", k64, { 0xC4, 0xE3, 0x71, 0x68, 0xC2, 0x30 }, 6 },
	    { "rorx eax, ecx, imm8", k64, { 0xC4, 0xE3, 0x7B, 0xF0, 0xC1, 0x03 }, 6 },
	    // EVEX (62).
	    { "vmovups zmm0, [rsi]", k64, { 0x62, 0xF1, 0x7C, 0x48, 0x10, 0x06 }, 6 },
	    { "vmovups zmm0, [rsi+0x40]: a compressed disp8 is one byte", k64, { 0x62, 0xF1, 0x7C, 0x48, 0x10, 0x46, 0x01 }, 7 },
	    { "vmovups zmm0, [rsi+disp32]", k64, { 0x62, 0xF1, 0x7C, 0x48, 0x10, 0x86 }, 10 },
	    { "vmovups zmm0, [rip+x]", k64, { 0x62, 0xF1, 0x7C, 0x48, 0x10, 0x05 }, 10 },
	    { "vmovdqu64 zmm0, [rsp+0x40]", k64, { 0x62, 0xF1, 0xFE, 0x48, 0x6F, 0x44, 0x24, 0x01 }, 8 },
	    { "vpternlogd zmm0, zmm1, zmm2, imm8 (map 0F 3A)", k64, { 0x62, 0xF3, 0x75, 0x48, 0x25, 0xC2, 0xFF }, 7 },
	    { "vpsrld zmm0, [rax], imm8 (EVEX group 13 reads memory)", k64, { 0x62, 0xF1, 0x7D, 0x48, 0x72, 0x10, 0x03 }, 7 },
	    { "vprold zmm0, zmm1, imm8 (group 13, reg 1)", k64, { 0x62, 0xF1, 0x7D, 0x48, 0x72, 0xC9, 0x03 }, 7 },
	    { "vcmpps k1, zmm0, zmm1, imm8", k64, { 0x62, 0xF1, 0x7C, 0x48, 0xC2, 0xC9, 0x00 }, 7 },
	    { "vpmovdb xmm1, zmm0 (map 0F 38, F3)", k64, { 0x62, 0xF2, 0x7E, 0x48, 0x31, 0xC1 }, 6 },
	    { "vaddps zmm0, zmm1, zmm2, {rz-sae}: L'L = 3 is a rounding mode", k64, { 0x62, 0xF1, 0x74, 0x78, 0x58, 0xC2 }, 6 },
	    // XOP (8F, maps 8 to 10).
	    { "vprotd xmm0, xmm1, imm8 (map 8: imm8)", k64, { 0x8F, 0xE8, 0x78, 0xC2, 0xC1, 0x03 }, 6 },
	    { "vphsubbw xmm0, xmm1 (map 9)", k64, { 0x8F, 0xE9, 0x78, 0xE1, 0xC1 }, 5 },
	    { "blcfill eax, ecx (map 9 group, reg 1)", k64, { 0x8F, 0xE9, 0x78, 0x01, 0xC9 }, 5 },
	    { "bextr eax, ecx, imm32 (map 10: imm32)", k64, { 0x8F, 0xEA, 0x78, 0x10, 0xC1 }, 9 },
	    { "pop qword [rax] stays POP", k64, { 0x8F, 0x00 }, 2 },
	});
}

TEST(InstructionLengthDecoder, RefusesVexEvexAndXopEncodingsTheProcessorRefuses)
{
	ExpectLengths({
	    // A legacy prefix other than 67 or a segment, or REX, before the prefix: #UD.
	    { "66 before VEX", k64, { 0x66, 0xC5, 0xF8, 0x77 }, -1 },
	    { "F2 before VEX", k64, { 0xF2, 0xC5, 0xF8, 0x10, 0xC0 }, -1 },
	    { "F3 before VEX", k64, { 0xF3, 0xC4, 0xE2, 0x7D, 0x58, 0xC1 }, -1 },
	    { "F0 before VEX", k64, { 0xF0, 0xC5, 0xF8, 0x10, 0x00 }, -1 },
	    { "REX before VEX", k64, { 0x40, 0xC5, 0xF8, 0x77 }, -1 },
	    { "REX.W before EVEX", k64, { 0x48, 0x62, 0xF1, 0x7C, 0x48, 0x10, 0x06 }, -1 },
	    { "66 before XOP", k64, { 0x66, 0x8F, 0xE8, 0x78, 0xC2, 0xC1, 0x03 }, -1 },
	    { "66 before VEX in 32-bit mode", k32, { 0x66, 0xC5, 0xF8, 0x77 }, -1 },
	    // Reserved maps.
	    { "VEX map 0", k64, { 0xC4, 0xE0, 0x78, 0x10, 0xC0 }, -1 },
	    { "VEX map 4", k64, { 0xC4, 0xE4, 0x78, 0x10, 0xC0 }, -1 },
	    { "VEX map 31", k64, { 0xC4, 0xFF, 0x78, 0x10, 0xC0 }, -1 },
	    { "EVEX map 0", k64, { 0x62, 0xF0, 0x7C, 0x48, 0x10, 0xC0 }, -1 },
	    { "EVEX map 4", k64, { 0x62, 0xF4, 0x7C, 0x48, 0x10, 0xC0 }, -1 },
	    { "EVEX map 5 (AVX-512 FP16, not accepted)", k64, { 0x62, 0xF5, 0x7C, 0x48, 0x58, 0xC0 }, -1 },
	    { "XOP map 11", k64, { 0x8F, 0xEB, 0x78, 0x10, 0xC1 }, -1 },
	    { "8F with reg 1 and map 1: neither POP nor XOP", k64, { 0x8F, 0xC9, 0x78, 0x10, 0xC1 }, -1 },
	    // EVEX's fixed bits and vector length.
	    { "EVEX P0 bit 3 set", k64, { 0x62, 0xF9, 0x7C, 0x48, 0x10, 0x06 }, -1 },
	    { "EVEX P1 bit 2 clear", k64, { 0x62, 0xF1, 0x78, 0x48, 0x10, 0x06 }, -1 },
	    { "EVEX L'L = 3 on memory", k64, { 0x62, 0xF1, 0x7C, 0x68, 0x10, 0x06 }, -1 },
	    { "EVEX L'L = 3 on a register without b", k64, { 0x62, 0xF1, 0x74, 0x68, 0x58, 0xC2 }, -1 },
	    // XOP has no implied prefix.
	    { "XOP with pp 1", k64, { 0x8F, 0xE8, 0x79, 0xC2, 0xC1, 0x03 }, -1 },
	    // Opcodes, implied prefixes and groups that do not exist.
	    { "VEX 0F 00", k64, { 0xC5, 0xF8, 0x00, 0xC0 }, -1 },
	    { "vmovaps with F3", k64, { 0xC5, 0xFA, 0x28, 0xC0 }, -1 },
	    { "VEX 0F 71 /0", k64, { 0xC5, 0xF9, 0x71, 0xC0, 0x01 }, -1 },
	    { "VEX 0F 71 /2 with memory", k64, { 0xC5, 0xF9, 0x71, 0x10, 0x01 }, -1 },
	    { "VEX 0F AE /2 with a register", k64, { 0xC5, 0xF8, 0xAE, 0xD0 }, -1 },
	    { "VEX 0F 38 F3 /0", k64, { 0xC4, 0xE2, 0x78, 0xF3, 0xC1 }, -1 },
	    { "tilerelease (AMX, not accepted)", k64, { 0xC4, 0xE2, 0x78, 0x49, 0xC0 }, -1 },
	    { "EVEX 0F 77 (no vzeroupper)", k64, { 0x62, 0xF1, 0x7C, 0x48, 0x77, 0xC0 }, -1 },
	    { "vexp2ps (Xeon Phi, not accepted)", k64, { 0x62, 0xF2, 0x7D, 0x48, 0xC8, 0xC1 }, -1 },
	    { "XOP map 8 00", k64, { 0x8F, 0xE8, 0x78, 0x00, 0xC1, 0x00 }, -1 },
	    // Fifteen bytes at most.
	    { "vinsertf128 ymm0, ymm0, [rsp+disp32], imm8 after four 2E: 15 bytes", k64, Code::Repeated(0x2E, 4, { 0xC4, 0xE3, 0x7D, 0x18, 0x84, 0x24 }), 15 },
	    { "the same after five 2E: 16 bytes", k64, Code::Repeated(0x2E, 5, { 0xC4, 0xE3, 0x7D, 0x18, 0x84, 0x24 }), -1 },
	    { "EVEX after eleven 2E: the prefix bytes count to 15", k64, Code::Repeated(0x2E, 11, { 0x62, 0xF1, 0x7C, 0x48, 0x10, 0xC0 }), -1 },
	});
}

TEST(InstructionLengthDecoder, TellsVexFromLesLdsAndBoundIn32BitModeAsTheProcessorDoes)
{
	// Outside x86-64 mode C4, C5 and 62 are LES, LDS and BOUND with a memory operand; a
	// register form (top two bits of the next byte set) does not exist for them, and the
	// processor reads VEX or EVEX there instead.
	ExpectLengths({
	    { "vzeroupper", k32, { 0xC5, 0xF8, 0x77 }, 3 },
	    { "vmovups xmm0, [disp32]", k32, { 0xC5, 0xF8, 0x10, 0x05 }, 8 },
	    { "vpbroadcastd ymm0, xmm1", k32, { 0xC4, 0xE2, 0x7D, 0x58, 0xC1 }, 5 },
	    { "vmovups zmm0, [esi]", k32, { 0x62, 0xF1, 0x7C, 0x48, 0x10, 0x06 }, 6 },
	    { "LDS eax, [eax]", k32, { 0xC5, 0x00 }, 2 },
	    { "LES eax, [eax+disp32]", k32, { 0xC4, 0x80 }, 6 },
	    { "BOUND eax, [ebp+disp8]", k32, { 0x62, 0x45, 0x10 }, 3 },
	    { "vprotd xmm0, xmm1, imm8 (XOP)", k32, { 0x8F, 0xE8, 0x78, 0xC2, 0xC1, 0x03 }, 6 },
	});
}

TEST(InstructionLengthDecoder, DescribesTheVexFamilyAsItsOwnEncodingThatNeverBranches)
{
	using Encoding = Detour::InstructionInfo::Encoding;
	struct Expected
	{
		const char*  what;
		Code         code;
		Encoding     encoding;
		std::uint8_t prefixes;
		std::uint8_t opcodeSize; // the VEX, EVEX or XOP prefix and the opcode byte
		std::uint8_t modrm;
		std::uint8_t immediate;
	};
	const Expected cases[] = {
		{ "vpshufd xmm0, xmm1, imm8", { 0xC5, 0xF9, 0x70, 0xC1, 0x1B }, Encoding::Vex, 0, 3, 3, 4 },
		{ "67: vmovups xmm0, [eax]", { 0x67, 0xC5, 0xF8, 0x10, 0x00 }, Encoding::Vex, 1, 3, 4, 0 },
		{ "vperm2f128 ymm0, ymm1, ymm2, imm8", { 0xC4, 0xE3, 0x75, 0x06, 0xC2, 0x20 }, Encoding::Vex, 0, 4, 4, 5 },
		{ "vpternlogd zmm0, zmm1, zmm2, imm8", { 0x62, 0xF3, 0x75, 0x48, 0x25, 0xC2, 0xFF }, Encoding::Evex, 0, 5, 5, 6 },
		{ "bextr eax, ecx, imm32", { 0x8F, 0xEA, 0x78, 0x10, 0xC1 }, Encoding::Xop, 0, 4, 4, 5 },
		{ "vzeroupper", { 0xC5, 0xF8, 0x77 }, Encoding::Vex, 0, 3, 0, 0 },
		{ "a legacy instruction", { 0x0F, 0x84 }, Encoding::Legacy, 0, 2, 0, 2 },
	};
	for (const Expected& c : cases) {
		const Detour::InstructionInfo info = Detour::MeasureInstruction(c.code.bytes.data(), k64);
		EXPECT_EQ(info.encoding, c.encoding) << c.what;
		EXPECT_EQ(info.prefixCount, c.prefixes) << c.what;
		EXPECT_EQ(info.opcodeOffset, c.prefixes) << c.what;
		EXPECT_EQ(info.opcodeSize, c.opcodeSize) << c.what;
		EXPECT_EQ(info.modrmOffset, c.modrm) << c.what;
		EXPECT_EQ(info.immediateOffset, c.immediate) << c.what;
		if (c.encoding != Encoding::Legacy) {
			EXPECT_EQ(info.branch, Detour::InstructionInfo::Branch::None) << c.what;
		}
	}
}

TEST(InstructionLengthDecoder, RefusesNearBranchesWhoseLengthDependsOnTheProcessor)
{
	// In x86-64 mode Intel processors ignore 66 on a near branch (rel32) and AMD ones
	// honour it (rel16): no length is right on both.
	ExpectLengths({
	    { "66 call", k64, { 0x66, 0xE8 }, -1 },
	    { "66 jmp", k64, { 0x66, 0xE9 }, -1 },
	    { "66 jo (classic table: 5)", k64, { 0x66, 0x0F, 0x80 }, -1 },
	    { "66 je (classic table: 7)", k64, { 0x66, 0x0F, 0x84 }, -1 },
	    { "66 REX.W call: rel32 everywhere", k64, { 0x66, 0x48, 0xE8 }, 7 },
	    { "66 je in 32-bit mode: rel16", k32, { 0x66, 0x0F, 0x84 }, 5 },
	    { "66 jb in 32-bit mode: rel16 (classic table: 7)", k32, { 0x66, 0x0F, 0x82 }, 5 },
	});
}

TEST(InstructionLengthDecoder, DepartsFromTheClassicTablesWhereTheProcessorDoes)
{
	ExpectLengths({
	    { "push imm16 in x86-64 mode (classic table: 6)", k64, { 0x66, 0x68 }, 4 },
	    { "push imm32 in x86-64 mode", k64, { 0x68 }, 5 },
	    { "ud1 has a ModRM byte (classic table: 2)", k64, { 0x0F, 0xB9, 0xC0 }, 3 },
	    { "ud1 with a memory operand", k64, { 0x0F, 0xB9, 0x40, 0x10 }, 4 },
	    { "a later REX without W cancels REX.W", k64, { 0x48, 0x40, 0xB8 }, 7 },
	    { "a legacy prefix after REX.W cancels it", k64, { 0x48, 0x2E, 0xB8 }, 7 },
	    { "REX.W right before 0F stays", k64, { 0x66, 0x48, 0x0F, 0xB6, 0xC0 }, 5 },
	});
}

TEST(InstructionLengthDecoder, ReportsPositionDependentInstructions)
{
	using Relative = Detour::InstructionInfo::Relative;
	struct Expected
	{
		const char*  what;
		std::int32_t mode;
		Code         code;
		Relative     relative;
		std::uint8_t offset;
		std::uint8_t size;
	};
	const Expected cases[] = {
		{ "mov rax, [rip+x] (stack cookie load)", k64, { 0x48, 0x8B, 0x05 }, Relative::Memory, 3, 4 },
		{ "lea rcx, [rip+x]", k64, { 0x48, 0x8D, 0x0D }, Relative::Memory, 3, 4 },
		{ "jmp [rip+x]", k64, { 0xFF, 0x25 }, Relative::Memory, 2, 4 },
		{ "cmp byte [rip+x], imm8", k64, { 0x80, 0x3D }, Relative::Memory, 2, 4 },
		{ "mov eax, [eip+x] with 67", k64, { 0x67, 0x8B, 0x05 }, Relative::Memory, 3, 4 },
		{ "call rel32", k64, { 0xE8 }, Relative::Branch, 1, 4 },
		{ "jmp rel32", k64, { 0xE9 }, Relative::Branch, 1, 4 },
		{ "jmp rel8", k64, { 0xEB, 0xFE }, Relative::Branch, 1, 1 },
		{ "jne rel8", k64, { 0x75, 0x10 }, Relative::Branch, 1, 1 },
		{ "jne rel32", k64, { 0x0F, 0x85 }, Relative::Branch, 2, 4 },
		{ "loop", k64, { 0xE2, 0x10 }, Relative::Branch, 1, 1 },
		{ "jrcxz", k64, { 0xE3, 0x10 }, Relative::Branch, 1, 1 },
		{ "bnd jmp rel32", k64, { 0xF2, 0xE9 }, Relative::Branch, 2, 4 },
		{ "je rel16 in 32-bit mode", k32, { 0x66, 0x0F, 0x84 }, Relative::Branch, 3, 2 },
		{ "mov eax, [disp32]: absolute in 32-bit mode", k32, { 0x8B, 0x05 }, Relative::None, 0, 0 },
		{ "mov eax, [disp32] through SIB: absolute", k64, { 0x8B, 0x04, 0x25 }, Relative::None, 0, 0 },
		{ "mov [rsp+8], rbx", k64, { 0x48, 0x89, 0x5C, 0x24, 0x08 }, Relative::None, 0, 0 },
		{ "jmp rax", k64, { 0xFF, 0xE0 }, Relative::None, 0, 0 },
		{ "mov rax, [moffs64]: absolute", k64, { 0x48, 0xA1 }, Relative::None, 0, 0 },
		{ "vmovdqu ymm0, [rip+x]", k64, { 0xC5, 0xFE, 0x6F, 0x05 }, Relative::Memory, 4, 4 },
		{ "vpshufd xmm0, [rip+x], imm8", k64, { 0xC5, 0xF9, 0x70, 0x05 }, Relative::Memory, 4, 4 },
		{ "vfmadd231ps xmm0, xmm1, [rip+x]", k64, { 0xC4, 0xE2, 0x71, 0xB8, 0x05 }, Relative::Memory, 5, 4 },
		{ "vmovups zmm0, [rip+x] (EVEX: disp32, never compressed)", k64, { 0x62, 0xF1, 0x7C, 0x48, 0x10, 0x05 }, Relative::Memory, 6, 4 },
		{ "vpternlogd zmm0, zmm1, [rip+x], imm8", k64, { 0x62, 0xF3, 0x75, 0x48, 0x25, 0x05 }, Relative::Memory, 6, 4 },
		{ "bextr eax, [rip+x], imm32 (XOP)", k64, { 0x8F, 0xEA, 0x78, 0x10, 0x05 }, Relative::Memory, 5, 4 },
		{ "vmovups xmm0, [eip+x] with 67", k64, { 0x67, 0xC5, 0xF8, 0x10, 0x05 }, Relative::Memory, 5, 4 },
		{ "vmovups xmm0, [disp32] in 32-bit mode: absolute", k32, { 0xC5, 0xF8, 0x10, 0x05 }, Relative::None, 0, 0 },
	};
	for (const Expected& c : cases) {
		const Detour::InstructionInfo info = Detour::MeasureInstruction(c.code.bytes.data(), c.mode);
		EXPECT_GT(info.length, 0) << c.what;
		EXPECT_EQ(info.relative, c.relative) << c.what;
		EXPECT_EQ(info.relativeOffset, c.offset) << c.what;
		EXPECT_EQ(info.relativeSize, c.size) << c.what;
		if (c.relative == Relative::Branch) {
			EXPECT_EQ(info.relativeOffset + info.relativeSize, info.length) << c.what << ": the offset ends the instruction";
		} else if (c.relative == Relative::Memory) {
			EXPECT_LE(info.relativeOffset + info.relativeSize, info.length) << c.what << ": an immediate may follow";
		}
	}
}

TEST(InstructionLengthDecoder, ReadsNoFurtherThanTheSibByte)
{
	struct Expected
	{
		const char*  what;
		std::int32_t mode;
		Code         code;
		std::uint8_t examined;
	};
	const Expected cases[] = {
		{ "mov [rsp+8], rbx: through the SIB byte", k64, { 0x48, 0x89, 0x5C, 0x24, 0x08 }, 4 },
		{ "mov rax, imm64: the opcode only", k64, { 0x48, 0xB8 }, 2 },
		{ "mov rax, [rip+x]: the ModRM byte", k64, { 0x48, 0x8B, 0x05 }, 3 },
		{ "mov eax, [disp32] through SIB", k64, { 0x8B, 0x04, 0x25 }, 3 },
		{ "je rel32", k64, { 0x0F, 0x84 }, 2 },
		{ "lea with 16-bit addressing, rm 4: no SIB", k32, { 0x67, 0x8D, 0x44, 0x10 }, 3 },
		{ "refused at the opcode", k64, { 0x06 }, 1 },
		{ "refused at the ModRM byte", k64, { 0xFF, 0x38 }, 2 },
		{ "refused at the 15th prefix", k64, Code::Repeated(0x66, 15, { 0x90 }), 15 },
		{ "EVEX with SIB and a compressed disp8", k64, { 0x62, 0xF1, 0x7C, 0x48, 0x10, 0x44, 0x24, 0x01 }, 7 },
		{ "vinsertf128 with disp32 and imm8", k64, { 0xC4, 0xE3, 0x7D, 0x18, 0x84, 0x24 }, 6 },
		{ "vzeroupper", k64, { 0xC5, 0xF8, 0x77 }, 3 },
		{ "VEX refused at its opcode", k64, { 0xC5, 0xF8, 0x00, 0xC0 }, 3 },
		{ "VEX after 66, refused at its prefix", k64, { 0x66, 0xC5, 0xF8, 0x77 }, 3 },
		{ "EVEX with a wrong fixed bit, refused at its prefix", k64, { 0x62, 0xF9, 0x7C, 0x48, 0x10, 0x06 }, 4 },
		{ "XOP as the 15th counted byte: refused after its map byte", k64, Code::Repeated(0x48, 14, { 0x8F, 0xE8, 0x78, 0xC2, 0xC1, 0x03 }), 16 },
	};
	for (const Expected& c : cases) {
		EXPECT_EQ(Detour::MeasureInstruction(c.code.bytes.data(), c.mode).examined, c.examined) << c.what;
	}
}
