#pragma once

// Memory for code that the detour tests write at run time, at addresses they choose:
// a page far from the test program (more than 2 GiB, to force the absolute jump),
// pages exactly 2 GiB apart (the edge of the near jump), code whose protection can
// never become writable, and a page that disappears under an installed detour.
// mmap on POSIX, VirtualAlloc and file mappings on Windows.

#include <cstddef>
#include <cstdint>
#include <vector>

class CodePages
{
public:
	CodePages() = default;
	CodePages(CodePages&& a_other) noexcept;
	CodePages& operator=(CodePages&& a_other) noexcept;
	CodePages(const CodePages&) = delete;
	CodePages& operator=(const CodePages&) = delete;
	~CodePages();

	// a_size bytes of readable, writable, executable memory (filled with int3) anywhere.
	static CodePages Anywhere(std::size_t a_size = 0x10000);
	// The same at exactly a_address (a multiple of 64 KiB), or an empty object.
	static CodePages At(std::uintptr_t a_address, std::size_t a_size = 0x10000);
	// The same more than 4 GiB away from a_near, or an empty object.
	static CodePages FarFrom(const void* a_near, std::size_t a_size = 0x10000);

	[[nodiscard]] std::uint8_t* data() const noexcept { return _base; }
	[[nodiscard]] std::size_t   size() const noexcept { return _size; }
	explicit                    operator bool() const noexcept { return _base != nullptr; }

	// Writes bytes at a_offset.
	void Write(std::size_t a_offset, const std::vector<std::uint8_t>& a_bytes);

	// Takes the page at a_offset out of the address space (decommits it) and puts it
	// back, zero-filled. While it is out, no protection change over it can succeed.
	bool DropPage(std::size_t a_offset);
	bool RestorePage(std::size_t a_offset);

	// Gives the page at a_offset a protection of its own (the pages start read, write and
	// execute): no access, data, code, or writable code.
	enum class Access
	{
		None,
		ReadWrite,
		ReadExecute,
		ReadWriteExecute
	};
	bool SetAccess(std::size_t a_offset, Access a_access);

private:
	std::uint8_t* _base{ nullptr };
	std::size_t   _size{ 0 };
};

inline constexpr std::size_t kPageSize = 0x1000;

// A copy of some code that can be read (and decoded) but whose pages can never be
// made writable: a read-only file mapping on POSIX; on Windows, code straddling two
// separate allocations, over which VirtualProtect fails.
class UnwritableCode
{
public:
	explicit UnwritableCode(const std::vector<std::uint8_t>& a_bytes);
	~UnwritableCode();
	UnwritableCode(const UnwritableCode&) = delete;
	UnwritableCode& operator=(const UnwritableCode&) = delete;

	[[nodiscard]] std::uint8_t* data() const noexcept { return _code; }
	explicit                    operator bool() const noexcept { return _code != nullptr; }

private:
	std::uint8_t* _code{ nullptr };
	void*         _first{ nullptr };
	void*         _second{ nullptr };
	std::size_t   _size{ 0 };
};
