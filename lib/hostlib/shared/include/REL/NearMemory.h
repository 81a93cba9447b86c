#pragma once

// Where to put a block of code memory so that a 32-bit relative branch reaches it from an
// address, and back. The branch trampoline and the plugin's detour both look for such
// memory; this is the one place that decides which addresses qualify. It is pure: the
// caller passes in how to ask the system about a region of the address space and how
// to try a reservation, so that tests can run it over a table of made-up regions.
//
// A block qualifies when it starts at a multiple of the allocation granularity (never
// at 0, which would ask the system for memory anywhere) and lies wholly inside the
// window around the address, its end included.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

namespace REL::NearMemory
{
	// The reach of a rel32 branch.
	inline constexpr std::uint64_t kReach = 0x80000000;

	// [lower, upper]: where a block may lie.
	struct Window
	{
		std::uint64_t lower;
		std::uint64_t upper;
	};

	// A region of the address space as the system reports it.
	struct Region
	{
		std::uint64_t base;
		std::uint64_t size;
		bool          free;
	};

	[[nodiscard]] constexpr std::uint64_t RoundDown(const std::uint64_t a_value, const std::uint64_t a_granularity) noexcept
	{
		return a_granularity ? (a_value / a_granularity) * a_granularity : 0;
	}

	[[nodiscard]] constexpr std::uint64_t RoundUp(const std::uint64_t a_value, const std::uint64_t a_granularity) noexcept
	{
		return a_granularity ? ((a_value + a_granularity - 1) / a_granularity) * a_granularity : 0;
	}

	// The address minus a_reach rounded up, and plus a_reach rounded down (no limit near
	// the top of the address space), so that the window never reaches further than
	// a_reach from the address on either side.
	[[nodiscard]] constexpr Window WindowAround(const std::uint64_t a_address, const std::uint64_t a_granularity, const std::uint64_t a_reach = kReach) noexcept
	{
		constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
		return {
			a_address >= a_reach ? RoundUp(a_address - a_reach, a_granularity) : 0,
			a_address >= kMax - a_reach ? kMax : RoundDown(a_address + a_reach, a_granularity)
		};
	}

	enum class Prefer : std::uint8_t
	{
		Lowest, // the lowest qualifying start in the region
		Nearest // the start nearest to a_address
	};

	// Where a block of a_size bytes may start inside a free region, or nothing.
	[[nodiscard]] constexpr std::optional<std::uint64_t> Candidate(const Region& a_region, const Window& a_window, const std::uint64_t a_size, const std::uint64_t a_granularity, const Prefer a_prefer = Prefer::Lowest, const std::uint64_t a_address = 0) noexcept
	{
		if (!a_region.free || a_granularity == 0 || a_size == 0) {
			return std::nullopt;
		}
		const std::uint64_t regionEnd = a_region.base + a_region.size < a_region.base ? std::numeric_limits<std::uint64_t>::max() : a_region.base + a_region.size;
		const std::uint64_t end = std::min(regionEnd, a_window.upper);
		const std::uint64_t lowest = RoundUp(std::max({ a_region.base, a_window.lower, a_granularity }), a_granularity);
		if (lowest == 0 || end < a_size || lowest > end - a_size) {
			return std::nullopt;
		}
		const std::uint64_t highest = RoundDown(end - a_size, a_granularity);
		if (a_prefer == Prefer::Lowest || a_address <= lowest) {
			return lowest;
		}
		return std::min(highest, RoundDown(a_address, a_granularity));
	}

	// Tries qualifying blocks in the regions around a_address, nearest regions first,
	// until a_try reserves one. a_query(position, Region&) describes the region holding
	// position (false: the query failed, and the search ends); a_try(start) reserves
	// a_size bytes at start (false: taken meanwhile, the search goes on).
	template <class Query, class Try>
	[[nodiscard]] std::optional<std::uint64_t> SearchOutward(const std::uint64_t a_address, const std::uint64_t a_size, const std::uint64_t a_granularity, const std::uint64_t a_reach, Query&& a_query, Try&& a_try)
	{
		const Window window = WindowAround(a_address, a_granularity, a_reach);
		const auto   consider = [&](const Region& a_region) -> std::optional<std::uint64_t> {
            const auto start = Candidate(a_region, window, a_size, a_granularity, Prefer::Nearest, a_address);
            if (start && a_try(*start)) {
                return start;
            }
            return std::nullopt;
		};

		Region region{};
		if (!a_query(a_address, region)) {
			return std::nullopt;
		}
		std::uint64_t up = region.base + region.size; // the next region above starts here
		std::uint64_t down = region.base;             // the next region below ends here
		if (const auto found = consider(region)) {
			return found;
		}
		for (;;) {
			const bool canUp = up > a_address && up < window.upper;
			const bool canDown = down > window.lower && down != 0;
			if (!canUp && !canDown) {
				return std::nullopt;
			}
			if (canUp && (!canDown || up - a_address <= a_address - down)) {
				if (!a_query(up, region) || region.base + region.size <= up) {
					return std::nullopt;
				}
				up = region.base + region.size;
			} else {
				if (!a_query(down - 1, region) || region.base >= down) {
					return std::nullopt;
				}
				down = region.base;
			}
			if (const auto found = consider(region)) {
				return found;
			}
		}
	}
} // namespace REL::NearMemory
