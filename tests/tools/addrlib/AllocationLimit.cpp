// The test program's own operator new, which fails above a limit as it would on a machine
// with a memory limit. In a file of its own, so that no caller is inlined into it.

#include "AllocationLimit.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace
{
	std::atomic<std::size_t> allocationLimit{ SIZE_MAX };
}

void SetAllocationLimit(std::size_t a_bytes)
{
	allocationLimit = a_bytes;
}

// Every form of operator new and delete that is not aligned, so that no allocation made
// through one family is released through the other.
void* operator new(std::size_t a_size)
{
	if (a_size > allocationLimit) {
		throw std::bad_alloc();
	}
	if (void* memory = std::malloc(a_size == 0 ? 1 : a_size)) {
		return memory;
	}
	throw std::bad_alloc();
}

void* operator new[](std::size_t a_size)
{
	return ::operator new(a_size);
}

void* operator new(std::size_t a_size, const std::nothrow_t&) noexcept
{
	try {
		return ::operator new(a_size);
	} catch (const std::bad_alloc&) {
		return nullptr;
	}
}

void* operator new[](std::size_t a_size, const std::nothrow_t&) noexcept
{
	return ::operator new(a_size, std::nothrow);
}

void operator delete(void* a_memory) noexcept
{
	std::free(a_memory);
}

void operator delete[](void* a_memory) noexcept
{
	std::free(a_memory);
}

void operator delete(void* a_memory, std::size_t) noexcept
{
	std::free(a_memory);
}

void operator delete[](void* a_memory, std::size_t) noexcept
{
	std::free(a_memory);
}

void operator delete(void* a_memory, const std::nothrow_t&) noexcept
{
	std::free(a_memory);
}

void operator delete[](void* a_memory, const std::nothrow_t&) noexcept
{
	std::free(a_memory);
}
