// QsPeer.dll: another plugin that hooks the same two game functions as Quellstone, the
// way common detour libraries do, so that the sandbox can show the two living together.
//
// Its hook is the plain one: it measures the entry's first instructions with a small
// length routine of its own (enough for the frame set-up the stand-in's functions begin
// with, and for a near jump another detour left there), copies them into a trampoline in
// a page it allocates near the entry (a near jump among them is re-aimed from there),
// and writes a 5-byte jump to a relay in that page, which jumps on to its replacement.
// The replacement counts the call and runs the original through the trampoline. Removal
// writes the saved bytes back without looking at what the entry holds now, and frees the
// page. It does not know Quellstone.
//
// Driven by the game stand-in through its exports (QsPeer_Hook, QsPeer_Unhook,
// QsPeer_Calls). When the process ends while it is loaded, it writes the first bytes of
// both game entries and of its two replacements to "QsPeer-exit.txt" beside itself:
// whoever detached before it (a plugin loaded after it) has had its say by then.

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

namespace
{
	using InvalidatesFn = bool (*)(void*, void*);
	using ClearFn = void (*)(void*);

	constexpr std::size_t kJumpSize = 5;
	constexpr std::size_t kMaxSaved = 16;

	// The length of the instruction at a_code, for the few forms a game function's entry
	// holds in the sandbox: REX, push, mov between register and memory, add/sub with an
	// 8- or 32-bit immediate, nop, and a near jump. Nothing rip-relative: the copy could
	// not be moved. nullopt for anything else.
	std::optional<std::size_t> InstructionLength(const std::uint8_t* a_code)
	{
		std::size_t at = 0;
		if ((a_code[at] & 0xF0) == 0x40) {
			++at; // REX
		}
		const std::uint8_t opcode = a_code[at++];
		if ((opcode >= 0x50 && opcode <= 0x57) || opcode == 0x90) {
			return at;
		}
		if (opcode == 0xE9 && at == 1) {
			return 5;
		}
		std::size_t immediate = 0;
		if (opcode == 0x83) {
			immediate = 1;
		} else if (opcode == 0x81) {
			immediate = 4;
		} else if (opcode < 0x88 || opcode > 0x8B) {
			return std::nullopt;
		}
		const std::uint8_t modrm = a_code[at++];
		const unsigned     mod = modrm >> 6;
		const unsigned     rm = modrm & 7;
		if (mod == 0 && rm == 5) {
			return std::nullopt; // rip-relative
		}
		if (mod != 3 && rm == 4) {
			const std::uint8_t sib = a_code[at++];
			if (mod == 0 && (sib & 7) == 5) {
				at += 4;
			}
		}
		at += mod == 1 ? 1 : mod == 2 ? 4
		                              : 0;
		return at + immediate;
	}

	std::int32_t Displacement(const std::uint8_t* a_from, std::size_t a_size, const void* a_to)
	{
		return static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(a_to) - reinterpret_cast<std::intptr_t>(a_from + a_size));
	}

	void WriteJump(std::uint8_t* a_at, const void* a_to)
	{
		a_at[0] = 0xE9;
		const std::int32_t displacement = Displacement(a_at, kJumpSize, a_to);
		std::memcpy(a_at + 1, &displacement, 4);
	}

	// A page within a near jump of a_near, as detour libraries look for one: downwards
	// from it in steps of the allocation granularity, then upwards.
	std::uint8_t* AllocateNear(const void* a_near)
	{
		constexpr std::uintptr_t kStep = 0x10000;
		constexpr std::uintptr_t kRange = 0x70000000;
		const auto               around = reinterpret_cast<std::uintptr_t>(a_near) & ~(kStep - 1);
		for (std::uintptr_t distance = kStep; distance < kRange; distance += kStep) {
			for (const std::uintptr_t at : { around - distance, around + distance }) {
				if (void* page = ::VirtualAlloc(reinterpret_cast<void*>(at), 0x1000, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE)) {
					return static_cast<std::uint8_t*>(page);
				}
			}
		}
		return nullptr;
	}

	struct Hook
	{
		std::uint8_t*                       entry{ nullptr };
		std::array<std::uint8_t, kMaxSaved> saved{};
		std::size_t                         savedLength{ 0 };
		std::uint8_t*                       page{ nullptr }; // the relay at its start, the trampoline after it

		// Hooks a_entry with a_replacement; the trampoline's address goes to a_original.
		bool Install(std::uint8_t* a_entry, const void* a_replacement, void** a_original)
		{
			std::size_t length = 0;
			while (length < kJumpSize) {
				const auto size = InstructionLength(a_entry + length);
				if (!size) {
					return false;
				}
				length += *size;
			}
			page = AllocateNear(a_entry);
			if (page == nullptr) {
				return false;
			}
			entry = a_entry;
			savedLength = length;
			std::memcpy(saved.data(), a_entry, length);

			// The relay: jmp [rip+0] to the replacement.
			const std::uint8_t relay[] = { 0xFF, 0x25, 0, 0, 0, 0 };
			std::memcpy(page, relay, sizeof relay);
			std::memcpy(page + sizeof relay, &a_replacement, sizeof a_replacement);
			// The trampoline: the saved instructions, a near jump among them re-aimed from
			// here, then the way back.
			std::uint8_t* const trampoline = page + 16;
			std::memcpy(trampoline, a_entry, length);
			for (std::size_t at = 0; at < length;) {
				const std::size_t size = *InstructionLength(a_entry + at);
				if (a_entry[at] == 0xE9) {
					std::int32_t displacement;
					std::memcpy(&displacement, a_entry + at + 1, 4);
					WriteJump(trampoline + at, a_entry + at + kJumpSize + displacement);
				}
				at += size;
			}
			WriteJump(trampoline + length, a_entry + length);
			::FlushInstructionCache(::GetCurrentProcess(), page, 0x1000);
			*a_original = trampoline;

			DWORD former = 0;
			if (!::VirtualProtect(a_entry, length, PAGE_EXECUTE_READWRITE, &former)) {
				return false;
			}
			WriteJump(a_entry, page);
			std::memset(a_entry + kJumpSize, 0xCC, length - kJumpSize);
			::VirtualProtect(a_entry, length, former, &former);
			::FlushInstructionCache(::GetCurrentProcess(), a_entry, length);
			return true;
		}

		// Writes the saved bytes back, whatever the entry holds now, and frees the page.
		void Remove()
		{
			if (entry == nullptr) {
				return;
			}
			DWORD former = 0;
			if (::VirtualProtect(entry, savedLength, PAGE_EXECUTE_READWRITE, &former)) {
				std::memcpy(entry, saved.data(), savedLength);
				::VirtualProtect(entry, savedLength, former, &former);
				::FlushInstructionCache(::GetCurrentProcess(), entry, savedLength);
			}
			::VirtualFree(page, 0, MEM_RELEASE);
			entry = nullptr;
			page = nullptr;
		}
	};

	Hook                       InvalidatesHook;
	Hook                       ClearHook;
	InvalidatesFn              OriginalInvalidates{ nullptr };
	ClearFn                    OriginalClear{ nullptr };
	std::atomic<std::uint64_t> Calls{ 0 };
	std::uint8_t*              GameInvalidates{ nullptr };
	std::uint8_t*              GameClear{ nullptr };
	HMODULE                    Self{ nullptr };
} // namespace

extern "C" {
__declspec(dllexport) bool QsPeer_Invalidates(void* a_reference, void* a_cell)
{
	Calls.fetch_add(1, std::memory_order_relaxed);
	return OriginalInvalidates(a_reference, a_cell);
}

__declspec(dllexport) void QsPeer_Clear(void* a_cell)
{
	Calls.fetch_add(1, std::memory_order_relaxed);
	OriginalClear(a_cell);
}

// Hooks both game functions; false when either could not be hooked.
__declspec(dllexport) bool QsPeer_Hook(void* a_invalidates, void* a_clear)
{
	GameInvalidates = static_cast<std::uint8_t*>(a_invalidates);
	GameClear = static_cast<std::uint8_t*>(a_clear);
	return InvalidatesHook.Install(GameInvalidates, reinterpret_cast<const void*>(&QsPeer_Invalidates), reinterpret_cast<void**>(&OriginalInvalidates)) &&
	       ClearHook.Install(GameClear, reinterpret_cast<const void*>(&QsPeer_Clear), reinterpret_cast<void**>(&OriginalClear));
}

__declspec(dllexport) void QsPeer_Unhook()
{
	InvalidatesHook.Remove();
	ClearHook.Remove();
}

// How many times the replacements ran.
__declspec(dllexport) std::uint64_t QsPeer_Calls()
{
	return Calls.load(std::memory_order_relaxed);
}
}

namespace
{
	void PrintBytes(std::FILE* a_out, const char* a_what, const void* a_code)
	{
		const auto* bytes = static_cast<const std::uint8_t*>(a_code);
		std::fprintf(a_out, "exit entry %s", a_what);
		for (int i = 0; i < 16; ++i) {
			std::fprintf(a_out, " %02X", bytes[i]);
		}
		std::fprintf(a_out, "\n");
	}

	// What whoever looks at the process's end finds at the entries.
	void ReportAtExit()
	{
		if (GameInvalidates == nullptr) {
			return; // never hooked: it knows no entries
		}
		wchar_t     path[MAX_PATH];
		const DWORD length = ::GetModuleFileNameW(Self, path, MAX_PATH);
		if (length == 0 || length == MAX_PATH) {
			return;
		}
		const auto report = std::filesystem::path{ path }.parent_path() / L"QsPeer-exit.txt";
		std::FILE* out = ::_wfopen(report.c_str(), L"wb");
		if (out == nullptr) {
			return;
		}
		PrintBytes(out, "invalidate", GameInvalidates);
		PrintBytes(out, "clear", GameClear);
		PrintBytes(out, "peer-invalidate", reinterpret_cast<const void*>(&QsPeer_Invalidates));
		PrintBytes(out, "peer-clear", reinterpret_cast<const void*>(&QsPeer_Clear));
		std::fclose(out);
	}
} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE a_module, DWORD a_reason, LPVOID a_reserved)
{
	if (a_reason == DLL_PROCESS_ATTACH) {
		Self = a_module;
	} else if (a_reason == DLL_PROCESS_DETACH) {
		if (a_reserved != nullptr) {
			ReportAtExit(); // the process ends: its hooks stay as they are
		} else {
			QsPeer_Unhook(); // unloaded: removed as on request
		}
	}
	return TRUE;
}
