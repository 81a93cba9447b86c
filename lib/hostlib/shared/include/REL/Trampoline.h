#pragma once

// One buffer of executable memory for branch code. A relative jump or call on x86-64
// reaches only 2 GiB either way, so branch code that the game's code jumps into must
// lie within 2 GiB of it: the buffer is either reserved near the game's code or taken
// from the host's branch pool, which the host already placed there.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace REL
{
	namespace Impl
	{
		// Reserves and commits a_size bytes of executable memory starting within 2 GiB of
		// a_address (the lowest fitting free region wins), or returns null.
		[[nodiscard]] void* AllocTrampoline(std::uint64_t a_size, std::uint64_t a_address);
	} // namespace Impl

	class Trampoline
	{
	public:
		// Gives a buffer back: (start, capacity). Empty for memory the host keeps.
		using deleter_type = std::function<void(void*, std::size_t)>;

		Trampoline() = default;
		explicit Trampoline(std::string_view a_name) :
		    name(a_name)
		{}
		Trampoline(const Trampoline&) = delete;
		Trampoline& operator=(const Trampoline&) = delete;
		~Trampoline() { release(); }

		// Reserves a_size bytes near a_module (null: the end of the game's code section).
		// Ends the process when the size is 0 or no memory can be reserved.
		void create(std::size_t a_size, void* a_module = nullptr);
		// Takes over a buffer from elsewhere, filled with breakpoints, releasing the
		// previous one.
		void adopt(void* a_data, std::size_t a_size, deleter_type a_deleter = {});
		// Gives the buffer to its deleter and empties the instance.
		void release();
		// Hands out the next a_size bytes of the buffer, or null with an error line when
		// fewer than that are left: branch code never runs past the buffer's end.
		[[nodiscard]] void* allocate(std::size_t a_size);
		// Writes "Trampoline [name]: usedB / capacityB (percent%)" at debug.
		void stats() const;

		[[nodiscard]] std::string_view GetName() const noexcept { return name; }
		[[nodiscard]] std::byte*       data() const noexcept { return buffer; }
		[[nodiscard]] std::size_t      capacity() const noexcept { return size; }
		[[nodiscard]] std::size_t      used() const noexcept { return usedBytes; }

	private:
		std::string  name;
		deleter_type deleter;
		std::byte*   buffer{ nullptr };
		std::size_t  size{ 0 };
		std::size_t  usedBytes{ 0 };
	};

	// The process-wide trampoline "Default".
	[[nodiscard]] Trampoline& DefaultTrampoline();
} // namespace REL
