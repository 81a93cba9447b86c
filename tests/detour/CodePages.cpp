// CodePages on POSIX (mmap) and on Windows (VirtualAlloc, under Wine in the tests).

#include "CodePages.h"

#include <cstring>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#endif

namespace
{
	constexpr std::uint8_t kInt3 = 0xCC;

#if defined(_WIN32)
	void* MapAt(void* a_address, std::size_t a_size, bool a_exact)
	{
		void* base = ::VirtualAlloc(a_address, a_size, MEM_RESERVE | MEM_COMMIT, PAGE_EXECUTE_READWRITE);
		if (base != nullptr && a_exact && base != a_address) {
			::VirtualFree(base, 0, MEM_RELEASE);
			return nullptr;
		}
		return base;
	}

	void Unmap(void* a_base, std::size_t)
	{
		::VirtualFree(a_base, 0, MEM_RELEASE);
	}
#else
	void* MapAt(void* a_address, std::size_t a_size, bool a_exact)
	{
		const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (a_exact ? MAP_FIXED_NOREPLACE : 0);
		void*     base = ::mmap(a_address, a_size, PROT_READ | PROT_WRITE | PROT_EXEC, flags, -1, 0);
		if (base == MAP_FAILED) {
			return nullptr;
		}
		if (a_address != nullptr && base != a_address) {
			// An old kernel takes MAP_FIXED_NOREPLACE as a hint; a hint may be ignored.
			::munmap(base, a_size);
			return nullptr;
		}
		return base;
	}

	void Unmap(void* a_base, std::size_t a_size)
	{
		::munmap(a_base, a_size);
	}
#endif
} // namespace

CodePages::CodePages(CodePages&& a_other) noexcept :
    _base(std::exchange(a_other._base, nullptr)),
    _size(std::exchange(a_other._size, 0))
{}

CodePages& CodePages::operator=(CodePages&& a_other) noexcept
{
	if (this != &a_other) {
		if (_base != nullptr) {
			Unmap(_base, _size);
		}
		_base = std::exchange(a_other._base, nullptr);
		_size = std::exchange(a_other._size, 0);
	}
	return *this;
}

CodePages::~CodePages()
{
	if (_base != nullptr) {
		Unmap(_base, _size);
	}
}

CodePages CodePages::At(std::uintptr_t a_address, std::size_t a_size)
{
	CodePages pages;
	void*     base = MapAt(reinterpret_cast<void*>(a_address), a_size, a_address != 0);
	if (base != nullptr) {
		pages._base = static_cast<std::uint8_t*>(base);
		pages._size = a_size;
		std::memset(pages._base, kInt3, a_size);
	}
	return pages;
}

CodePages CodePages::Anywhere(std::size_t a_size)
{
	return At(0, a_size);
}

CodePages CodePages::FarFrom(const void* a_near, std::size_t a_size)
{
	constexpr std::uintptr_t kGiB = 0x40000000;
	const auto               nearBase = reinterpret_cast<std::uintptr_t>(a_near) & ~(kGiB - 1);
	for (const std::uintptr_t distance : { 4 * kGiB, 8 * kGiB, 16 * kGiB, 64 * kGiB, 256 * kGiB }) {
		for (const bool above : { true, false }) {
			if (!above && nearBase < distance + kGiB) {
				continue;
			}
			const std::uintptr_t candidate = above ? nearBase + distance : nearBase - distance;
			if (candidate >= (std::uintptr_t{ 1 } << 47) - kGiB) {
				continue;
			}
			CodePages pages = At(candidate, a_size);
			if (pages) {
				return pages;
			}
		}
	}
	return {};
}

void CodePages::Write(std::size_t a_offset, const std::vector<std::uint8_t>& a_bytes)
{
	std::memcpy(_base + a_offset, a_bytes.data(), a_bytes.size());
}

bool CodePages::DropPage(std::size_t a_offset)
{
#if defined(_WIN32)
	return ::VirtualFree(_base + a_offset, kPageSize, MEM_DECOMMIT) != FALSE;
#else
	return ::munmap(_base + a_offset, kPageSize) == 0;
#endif
}

bool CodePages::SetAccess(std::size_t a_offset, Access a_access)
{
#if defined(_WIN32)
	constexpr DWORD kProtection[] = { PAGE_NOACCESS, PAGE_READWRITE, PAGE_EXECUTE_READ, PAGE_EXECUTE_READWRITE };
	DWORD           former = 0;
	return ::VirtualProtect(_base + a_offset, kPageSize, kProtection[static_cast<int>(a_access)], &former) != FALSE;
#else
	constexpr int kProtection[] = { PROT_NONE, PROT_READ | PROT_WRITE, PROT_READ | PROT_EXEC, PROT_READ | PROT_WRITE | PROT_EXEC };
	return ::mprotect(_base + a_offset, kPageSize, kProtection[static_cast<int>(a_access)]) == 0;
#endif
}

bool CodePages::RestorePage(std::size_t a_offset)
{
#if defined(_WIN32)
	return ::VirtualAlloc(_base + a_offset, kPageSize, MEM_COMMIT, PAGE_EXECUTE_READWRITE) != nullptr;
#else
	return ::mmap(_base + a_offset, kPageSize, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED;
#endif
}

#if defined(_WIN32)

UnwritableCode::UnwritableCode(const std::vector<std::uint8_t>& a_bytes)
{
	// Two allocations side by side; the code starts in the first and ends in the second.
	constexpr std::size_t kGranularity = 0x10000;
	void*                 probe = ::VirtualAlloc(nullptr, 2 * kGranularity, MEM_RESERVE, PAGE_NOACCESS);
	if (probe == nullptr) {
		return;
	}
	::VirtualFree(probe, 0, MEM_RELEASE);
	auto* first = static_cast<std::uint8_t*>(MapAt(probe, kGranularity, true));
	auto* second = static_cast<std::uint8_t*>(MapAt(static_cast<std::uint8_t*>(probe) + kGranularity, kGranularity, true));
	if (first == nullptr || second == nullptr) {
		if (first != nullptr) {
			Unmap(first, kGranularity);
		}
		if (second != nullptr) {
			Unmap(second, kGranularity);
		}
		return;
	}
	_first = first;
	_second = second;
	_size = kGranularity;
	_code = second - 2;
	std::memcpy(_code, a_bytes.data(), a_bytes.size());
}

UnwritableCode::~UnwritableCode()
{
	if (_first != nullptr) {
		Unmap(_first, _size);
		Unmap(_second, _size);
	}
}

#else

UnwritableCode::UnwritableCode(const std::vector<std::uint8_t>& a_bytes)
{
	// A shared mapping of a file opened read-only can never be given write access.
	const int file = ::memfd_create("qs-unwritable-code", 0);
	if (file < 0) {
		return;
	}
	_size = kPageSize;
	std::vector<std::uint8_t> page(_size, kInt3);
	std::memcpy(page.data(), a_bytes.data(), a_bytes.size());
	const bool written = ::write(file, page.data(), page.size()) == static_cast<ssize_t>(page.size());
	const int readOnly = ::open(("/proc/self/fd/" + std::to_string(file)).c_str(), O_RDONLY);
	::close(file);
	if (!written || readOnly < 0) {
		if (readOnly >= 0) {
			::close(readOnly);
		}
		return;
	}
	void* mapping = ::mmap(nullptr, _size, PROT_READ | PROT_EXEC, MAP_SHARED, readOnly, 0);
	::close(readOnly);
	if (mapping != MAP_FAILED) {
		_first = mapping;
		_code = static_cast<std::uint8_t*>(mapping);
	}
}

UnwritableCode::~UnwritableCode()
{
	if (_first != nullptr) {
		::munmap(_first, _size);
	}
}

#endif
