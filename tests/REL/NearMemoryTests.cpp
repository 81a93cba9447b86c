// The search for near memory over made-up address spaces: the blocks it tries lie within
// reach of the address, never at address 0, and the nearest comes first.

#include "REL/NearMemory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <vector>

TEST(NearMemory, SearchNeverHandsOutABlockOutOfReachAndTakesTheNearestFirst)
{
	// Made-up address spaces: free and taken regions around an address.
	using REL::NearMemory::Region;
	constexpr std::uint64_t kGranularity = 0x10000;
	constexpr std::uint64_t kSize = 0x10000;
	constexpr std::uint64_t kReach = 0x80000000;
	struct Case
	{
		const char*                     what;
		std::uint64_t                   address;
		std::map<std::uint64_t, Region> regions;  // by base; the rest is taken
		std::uint64_t                   expected; // 0 = nothing
	};
	constexpr std::uint64_t a = 0x7FF600000000;
	const Case              cases[] = {
		             { "free right above: the nearest", a, { { a + 0x100000, { a + 0x100000, 0x100000, true } }, { a - 0x200000, { a - 0x200000, 0x100000, true } } }, a + 0x100000 },
		             { "free below is nearer: its highest block", a, { { a + 0x40000000, { a + 0x40000000, 0x100000, true } }, { a - 0x300000, { a - 0x300000, 0x100000, true } } }, a - 0x210000 },
		             { "free only beyond reach", a, { { a + kReach, { a + kReach, 0x100000, true } }, { a - kReach - 0x200000, { a - kReach - 0x200000, 0x100000, true } } }, 0 },
		             { "free region straddling the upper bound: only the part inside", a, { { a + kReach - 0x20000, { a + kReach - 0x20000, 0x100000, true } } }, a + kReach - 0x20000 },
		             { "free region ending too close to the bound for a block", a, { { a + kReach - 0x8000, { a + kReach - 0x8000, 0x100000, true } } }, 0 },
		             { "below 2 GiB: never address 0", 0x10000000, { { 0, { 0, 0x10000, true } } }, 0 },
	};
	for (const Case& c : cases) {
		const auto query = [&](std::uint64_t a_position, Region& a_region) {
			auto found = c.regions.upper_bound(a_position);
			if (found != c.regions.begin()) {
				const Region& region = std::prev(found)->second;
				if (a_position < region.base + region.size) {
					a_region = region;
					return true;
				}
			}
			// Taken, up to the next listed region (or the next 1 GiB).
			const std::uint64_t base = found != c.regions.begin() ? std::prev(found)->second.base + std::prev(found)->second.size : 0;
			const std::uint64_t end = found != c.regions.end() ? found->first : std::max(a_position + 0x40000000, a_position + 1);
			a_region = { std::max(base, a_position & ~std::uint64_t{ 0xFFFF }), end - std::max(base, a_position & ~std::uint64_t{ 0xFFFF }), false };
			return true;
		};
		std::vector<std::uint64_t> tried;
		const auto                 result = REL::NearMemory::SearchOutward(c.address, kSize, kGranularity, kReach, query, [&](std::uint64_t a_start) {
            tried.push_back(a_start);
            return true;
        });
		EXPECT_EQ(result.value_or(0), c.expected) << c.what;
		for (const std::uint64_t start : tried) {
			EXPECT_NE(start, 0u) << c.what;
			EXPECT_LE(start + kSize, c.address + kReach) << c.what;
			EXPECT_GE(start, c.address - std::min(c.address, kReach)) << c.what;
		}
	}
}
