#pragma once

// Functions laid out as MSVC compiles a switch: the case number checked against the
// highest, the image's base taken rip-relative, the case's offset from that base read
// from a table placed after the function's code, and jumped to. Built for a function at
// a_rva in its image (the offsets in the tables count from the image's base). Under the
// Windows x64 convention, f(n) returns the number the case sets.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace TestSupport
{
	inline void PutU32(std::vector<std::uint8_t>& a_code, std::size_t a_at, std::uint32_t a_value)
	{
		for (std::size_t i = 0; i < 4; ++i) {
			a_code[a_at + i] = static_cast<std::uint8_t>(a_value >> (8 * i));
		}
	}

	inline void AppendU32(std::vector<std::uint8_t>& a_code, std::uint32_t a_value)
	{
		a_code.resize(a_code.size() + 4);
		PutU32(a_code, a_code.size() - 4, a_value);
	}

	// f(0) = 1, f(1) = 2, else 0: one table of three offsets.
	struct SwitchOfThree
	{
		static constexpr std::size_t kBaseDisplacement = 0x10;        // of the lea that takes the image's base
		static constexpr std::size_t kRead = 0x18;                    // the read's displacement: the table's offset in the image
		static constexpr std::size_t kJa = 0x09;                      // the ja's rel8
		static constexpr std::size_t kCases[] = { 0x21, 0x28, 0x2F }; // case 0, case 1, default
		static constexpr std::size_t kTable = 0x38;
		static constexpr std::size_t kSize = kTable + 3 * 4;

		static std::vector<std::uint8_t> Code(std::uint32_t a_rva)
		{
			std::vector<std::uint8_t> code = {
				0x53,                                           // push rbx
				0x48, 0x83, 0xEC, 0x20,                         // sub rsp, 0x20
				0x83, 0xF9, 0x02,                               // cmp ecx, 2
				0x77, 0x25,                                     // ja default
				0x48, 0x63, 0xC1,                               // movsxd rax, ecx
				0x4C, 0x8D, 0x05, 0x00, 0x00, 0x00, 0x00,       // lea r8, [rip+x]: the image's base
				0x41, 0x8B, 0x8C, 0x80, 0x00, 0x00, 0x00, 0x00, // mov ecx, [r8 + rax*4 + table]
				0x49, 0x03, 0xC8,                               // add rcx, r8
				0xFF, 0xE1,                                     // jmp rcx
				0xB8, 0x01, 0x00, 0x00, 0x00,                   // case 0: mov eax, 1
				0xEB, 0x09,                                     //         jmp exit
				0xB8, 0x02, 0x00, 0x00, 0x00,                   // case 1: mov eax, 2
				0xEB, 0x02,                                     //         jmp exit
				0x31, 0xC0,                                     // default: xor eax, eax
				0x48, 0x83, 0xC4, 0x20,                         // exit: add rsp, 0x20
				0x5B,                                           //       pop rbx
				0xC3,                                           //       ret
				0xCC,                                           // int3 up to the table
			};
			PutU32(code, kBaseDisplacement, 0u - (a_rva + static_cast<std::uint32_t>(kBaseDisplacement + 4)));
			PutU32(code, kRead, a_rva + static_cast<std::uint32_t>(kTable));
			for (const std::size_t to : kCases) {
				AppendU32(code, a_rva + static_cast<std::uint32_t>(to));
			}
			return code;
		}
	};

	// f(n) = 1 for n = 1, 3, 4, else 0: six cases sharing two offsets through a table of
	// byte indices read right before the offsets, aligned by a nop after the code.
	struct TwoLevelSwitch
	{
		static constexpr std::size_t kIndexRead = 0x19;
		static constexpr std::size_t kRead = 0x21;
		static constexpr std::size_t kCases[] = { 0x2A, 0x31 };
		static constexpr std::size_t kTable = 0x3C;
		static constexpr std::size_t kIndices = kTable + 2 * 4;
		static constexpr std::size_t kSize = kIndices + 6;

		static std::vector<std::uint8_t> Code(std::uint32_t a_rva)
		{
			std::vector<std::uint8_t> code = {
				0x53,                                                 // push rbx
				0x48, 0x83, 0xEC, 0x20,                               // sub rsp, 0x20
				0x83, 0xF9, 0x05,                                     // cmp ecx, 5
				0x77, 0x27,                                           // ja default
				0x48, 0x63, 0xC1,                                     // movsxd rax, ecx
				0x4C, 0x8D, 0x05, 0x00, 0x00, 0x00, 0x00,             // lea r8, [rip+x]: the image's base
				0x41, 0x0F, 0xB6, 0x84, 0x00, 0x00, 0x00, 0x00, 0x00, // movzx eax, byte [r8 + rax + indices]
				0x41, 0x8B, 0x8C, 0x80, 0x00, 0x00, 0x00, 0x00,       // mov ecx, [r8 + rax*4 + table]
				0x49, 0x03, 0xC8,                                     // add rcx, r8
				0xFF, 0xE1,                                           // jmp rcx
				0xB8, 0x01, 0x00, 0x00, 0x00,                         // case: mov eax, 1
				0xEB, 0x02,                                           //       jmp exit
				0x31, 0xC0,                                           // default: xor eax, eax
				0x48, 0x83, 0xC4, 0x20,                               // exit: add rsp, 0x20
				0x5B,                                                 //       pop rbx
				0xC3,                                                 //       ret
				0x0F, 0x1F, 0x00,                                     // nop up to the table
			};
			PutU32(code, 0x10, 0u - (a_rva + 0x14));
			PutU32(code, kIndexRead, a_rva + static_cast<std::uint32_t>(kIndices));
			PutU32(code, kRead, a_rva + static_cast<std::uint32_t>(kTable));
			for (const std::size_t to : kCases) {
				AppendU32(code, a_rva + static_cast<std::uint32_t>(to));
			}
			code.insert(code.end(), { 1, 0, 1, 0, 0, 1 });
			return code;
		}
	};
} // namespace TestSupport
