// libFuzzer target for the instruction length decoder.
//
// Input: the first byte selects the mode (bit 0 set: x86-64, else 32-bit); the rest is
// the code, of which the first kWindow bytes are used. The code is placed right
// before a page that cannot be read, so that any read past it faults:
//  1. with the code padded with zeros to kWindow bytes: the decoder must not read
//     past kWindow bytes, and both entry points must agree;
//  2. with exactly the bytes the decoder says it examined (prefixes, opcode, ModRM,
//     SIB) right before the guard: the same answer, so nothing further was read, on
//     an accepted instruction and on a refused one alike; and the same again
//     (determinism);
//  3. the answer is sane: -1, or 1..15 bytes covering what was examined, with any
//     position-dependent field inside the instruction;
//  4. with Zydis: where both accept, the lengths agree, and what was examined ends
//     before the instruction's displacement and immediate bytes.

#include "Detour/InstructionLengthDecoder.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(QS_FUZZ_WITH_ZYDIS)
#include <Zydis/Zydis.h>
#endif

namespace
{
	constexpr std::size_t kWindow = 32;

	[[noreturn]] void Fail(const char* a_what, const std::uint8_t* a_code, std::size_t a_size, std::int32_t a_mode)
	{
		std::fprintf(stderr, "decoder fuzz failure: %s (mode %d):", a_what, a_mode);
		for (std::size_t i = 0; i < a_size; ++i) {
			std::fprintf(stderr, " %02X", a_code[i]);
		}
		std::fprintf(stderr, "\n");
		std::abort();
	}

	// Two pages: the first readable and writable, the second never accessible.
	class GuardedPage
	{
	public:
		GuardedPage()
		{
			_page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
			void* base = ::mmap(nullptr, 2 * _page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
			if (base == MAP_FAILED || ::mprotect(static_cast<std::uint8_t*>(base) + _page, _page, PROT_NONE) != 0) {
				std::abort();
			}
			_guard = static_cast<std::uint8_t*>(base) + _page;
		}

		// Copies a_size bytes so that the last one sits right before the guard page.
		const std::uint8_t* Place(const std::uint8_t* a_bytes, std::size_t a_size)
		{
			std::uint8_t* const start = _guard - a_size;
			std::memcpy(start, a_bytes, a_size);
			return start;
		}

	private:
		std::size_t   _page{ 0 };
		std::uint8_t* _guard{ nullptr };
	};

#if defined(QS_FUZZ_WITH_ZYDIS)
	void CompareWithZydis(const std::uint8_t* a_code, std::int32_t a_mode, const Detour::InstructionInfo& a_ours)
	{
		static ZydisDecoder decoders[2] = {};
		static bool         ready = false;
		if (!ready) {
			ZydisDecoderInit(&decoders[0], ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
			ZydisDecoderInit(&decoders[1], ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
			ready = true;
		}
		ZydisDecodedInstruction instruction;
		if (a_ours.length < 0 || !ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&decoders[a_mode == Detour::kX86_64Mode ? 1 : 0], nullptr, a_code, kWindow, &instruction))) {
			return;
		}
		if (instruction.length != a_ours.length) {
			Fail("length differs from Zydis", a_code, instruction.length, a_mode);
		}
		std::size_t unread = instruction.length;
		if (instruction.raw.imm[0].size != 0) {
			unread = instruction.raw.imm[0].offset;
		}
		if (instruction.raw.disp.size != 0) {
			unread = instruction.raw.disp.offset;
		}
		if (a_ours.examined > unread) {
			Fail("examined displacement or immediate bytes", a_code, instruction.length, a_mode);
		}
	}
#endif
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* a_data, std::size_t a_size)
{
	if (a_size == 0) {
		return 0;
	}
	static GuardedPage guarded;
	const std::int32_t mode = (a_data[0] & 1) != 0 ? Detour::kX86_64Mode : 32;

	std::uint8_t window[kWindow] = {};
	std::memcpy(window, a_data + 1, a_size - 1 < kWindow ? a_size - 1 : kWindow);

	// 1. The whole window before the guard.
	const std::uint8_t*           code = guarded.Place(window, kWindow);
	const Detour::InstructionInfo first = Detour::MeasureInstruction(code, mode);
	if (Detour::InstructionLengthDecoder(code, mode) != first.length) {
		Fail("entry points disagree", window, kWindow, mode);
	}

	// 3. A sane answer.
	if (first.examined == 0 || first.examined > 17) {
		Fail("examined count out of range", window, kWindow, mode);
	}
	if (first.length != -1) {
		if (first.length < 1 || first.length > 15 || first.examined > first.length) {
			Fail("length out of range", window, kWindow, mode);
		}
		if (first.relative != Detour::InstructionInfo::Relative::None && (first.relativeSize == 0 || first.relativeOffset + first.relativeSize > first.length)) {
			Fail("position-dependent field outside the instruction", window, kWindow, mode);
		}
	}

	// 2. Only what it examined before the guard: the same answer, twice.
	code = guarded.Place(window, first.examined);
	if (Detour::MeasureInstruction(code, mode) != first || Detour::MeasureInstruction(code, mode) != first) {
		Fail("answer changed when only the examined bytes were there", window, first.examined, mode);
	}

#if defined(QS_FUZZ_WITH_ZYDIS)
	// 4. Against Zydis.
	CompareWithZydis(guarded.Place(window, kWindow), mode, first);
#endif
	return 0;
}
