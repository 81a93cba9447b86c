#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "FakeMemory.h"
#include "FakeModules.h"
#include "LogCapture.h"
#include "REL/Trampoline.h"
#include "TestImage.h"

namespace
{
	using FakeOS::MemoryRegion;
	using REX::OS::kMemCommit;
	using REX::OS::kMemFree;
	using REX::OS::kMemReserve;

	constexpr std::uint64_t kReach = 0x80000000;
	constexpr std::uint64_t kMax = ~std::uint64_t{ 0 };

	class TrampolineTest : public ::testing::Test
	{
	protected:
		void SetUp() override { FakeOS::Reset(); }

		std::vector<std::string> Messages(spdlog::level::level_enum a_level) { return capture.Messages(a_level); }

		TestSupport::LogCapture capture;
	};

	TEST_F(TrampolineTest, WindowStartsAtTheAlignedLowerBound)
	{
		const struct
		{
			std::uint64_t address;
			std::uint64_t firstQuery;
		} cases[] = {
			{ 0x10000000, 0 }, // below 2^31: from the bottom
			{ 0x7FFFFFFF, 0 },
			{ 0x80000000, 0 },                  // exactly 2^31
			{ 0x123456789, 0xA3460000 },        // unaligned: 0xA3456789 rounded up
			{ 0x7FF612340000, 0x7FF592340000 }, // aligned stays
			{ 0xFFFFFFFF7FFFFFFF, 0xFFFFFFFF00000000 },
		};
		for (const auto& c : cases) {
			FakeOS::Reset();
			// Nothing free anywhere: the walk runs through the window and gives up.
			FakeOS::SetMemoryMap({ { 0, kMax - 0xFFFF, kMemReserve } });
			EXPECT_EQ(REL::Impl::AllocTrampoline(0x1000, c.address), nullptr);
			ASSERT_FALSE(FakeOS::VirtualQueries().empty());
			EXPECT_EQ(FakeOS::VirtualQueries().front(), c.firstQuery) << std::hex << c.address;
			EXPECT_EQ(FakeOS::CallCount("VirtualAlloc"), 0);
		}
	}

	TEST_F(TrampolineTest, WalkStopsAtTheUpperBoundRoundedDown)
	{
		// Address 0x123456789: the upper bound is 0x1A3456789 rounded down, 0x1A3450000.
		// A free region that starts there is beyond reach; one that ends there is not.
		constexpr std::uint64_t address = 0x123456789;
		constexpr std::uint64_t upper = 0x1A3450000;
		const struct
		{
			std::uint64_t freeBase;
			bool          found;
		} cases[] = {
			{ upper, false },
			{ upper - 0x10000, true },
		};
		for (const auto& c : cases) {
			FakeOS::Reset();
			FakeOS::SetMemoryMap({ { 0, c.freeBase, kMemReserve }, { c.freeBase, 0x100000, kMemFree } });
			auto* const memory = REL::Impl::AllocTrampoline(0x1000, address);
			EXPECT_EQ(memory != nullptr, c.found) << std::hex << c.freeBase;
			if (c.found) {
				ASSERT_EQ(FakeOS::VirtualAllocs().size(), 1u);
				EXPECT_EQ(FakeOS::VirtualAllocs()[0].address, c.freeBase);
			} else {
				EXPECT_TRUE(FakeOS::VirtualAllocs().empty());
				EXPECT_TRUE(std::ranges::all_of(FakeOS::VirtualQueries(), [](auto a_query) { return a_query < upper; }));
			}
		}
	}

	TEST_F(TrampolineTest, AddressNearTheTopHasNoUpperLimit)
	{
		// address + 2^31 would wrap round to a small number and end the walk at once.
		constexpr std::uint64_t address = 0xFFFFFFFFF0000000;
		constexpr std::uint64_t freeBase = 0xFFFFFFFFF8000000;
		FakeOS::SetMemoryMap({ { 0xFFFFFFFF00000000, freeBase - 0xFFFFFFFF00000000, kMemReserve }, { freeBase, 0x100000, kMemFree } });
		EXPECT_NE(REL::Impl::AllocTrampoline(0x1000, address), nullptr);
		ASSERT_EQ(FakeOS::VirtualAllocs().size(), 1u);
		EXPECT_EQ(FakeOS::VirtualAllocs()[0].address, freeBase);
	}

	TEST_F(TrampolineTest, UnalignedFreeRegionIsUsedFromItsNextAlignedAddressOnlyIfTheSizeFits)
	{
		// Free 0x11000-0x30000: usable from 0x20000, so 0x10000 bytes fit there and
		// 0x10001 bytes go to the next free region at 0x40000.
		const struct
		{
			std::uint64_t size;
			std::uint64_t expected;
		} cases[] = {
			{ 0x10000, 0x20000 },
			{ 0x10001, 0x40000 },
			{ 0x1000, 0x20000 },
		};
		for (const auto& c : cases) {
			FakeOS::Reset();
			FakeOS::SetMemoryMap({ { 0, 0x11000, kMemCommit }, { 0x11000, 0x1F000, kMemFree }, { 0x30000, 0x10000, kMemCommit }, { 0x40000, 0x40000, kMemFree } });
			EXPECT_NE(REL::Impl::AllocTrampoline(c.size, 0x50000), nullptr);
			ASSERT_EQ(FakeOS::VirtualAllocs().size(), 1u);
			const auto& call = FakeOS::VirtualAllocs()[0];
			EXPECT_EQ(call.address, c.expected) << std::hex << c.size;
			EXPECT_EQ(call.size, c.size);
			EXPECT_EQ(call.allocationType, 0x3000u);
			EXPECT_EQ(call.protect, 0x40u);
		}
	}

	TEST_F(TrampolineTest, FailedQueryEndsTheSearchWithItsErrorCode)
	{
		FakeOS::SetMemoryMap({ { 0, 0x100000, kMemFree } });
		FakeOS::FailCalls("VirtualQuery", 0x1E7, 1);
		EXPECT_EQ(REL::Impl::AllocTrampoline(0x1000, 0x50000), nullptr);
		EXPECT_EQ(Messages(spdlog::level::err), std::vector<std::string>{ "VirtualQuery failed with code: 0x000001E7" });
		EXPECT_EQ(FakeOS::CallCount("VirtualAlloc"), 0);
	}

	TEST_F(TrampolineTest, FailedReservationMovesOnToTheNextFreeRegion)
	{
		FakeOS::SetMemoryMap({ { 0, 0x10000, kMemCommit }, { 0x10000, 0x10000, kMemFree }, { 0x20000, 0x10000, kMemCommit }, { 0x30000, 0x10000, kMemFree } });
		FakeOS::FailCalls("VirtualAlloc", 8, 1);
		EXPECT_NE(REL::Impl::AllocTrampoline(0x1000, 0x50000), nullptr);
		EXPECT_EQ(Messages(spdlog::level::err), std::vector<std::string>{ "VirtualAlloc failed with code: 0x00000008" });
		ASSERT_EQ(FakeOS::VirtualAllocs().size(), 2u);
		EXPECT_EQ(FakeOS::VirtualAllocs()[1].address, 0x30000u);
	}

	TEST_F(TrampolineTest, NeverHandsOutMemoryOutOfReach)
	{
		// Below 2 GiB the window starts at 0: a free region there must not turn into a
		// reservation at address 0 (which the system would place anywhere). And a block
		// that starts inside the window must end inside it too.
		constexpr std::uint64_t address = 0x123456789;
		constexpr std::uint64_t upper = 0x1A3450000;
		const struct
		{
			const char*               what;
			std::vector<MemoryRegion> map;
			std::uint64_t             address;
			std::uint64_t             size;
			std::uint64_t             expected; // 0 = nothing
		} cases[] = {
			{ "free from 0, address below 2 GiB", { { 0, 0x100000, kMemFree } }, 0x50000, 0x1000, 0x10000 },
			{ "free from 0, too small once 0 is skipped", { { 0, 0x10000, kMemFree }, { 0x10000, kMax - 0x1FFFF, kMemReserve } }, 0x50000, 0x1000, 0 },
			{ "block would end past the upper bound", { { 0, upper - 0x10000, kMemReserve }, { upper - 0x10000, 0x100000, kMemFree } }, address, 0x10001, 0 },
			{ "block ends at the upper bound", { { 0, upper - 0x10000, kMemReserve }, { upper - 0x10000, 0x100000, kMemFree } }, address, 0x10000, upper - 0x10000 },
		};
		for (const auto& c : cases) {
			FakeOS::Reset();
			FakeOS::SetMemoryMap(c.map);
			auto* const memory = REL::Impl::AllocTrampoline(c.size, c.address);
			EXPECT_EQ(memory != nullptr, c.expected != 0) << c.what;
			if (c.expected != 0) {
				ASSERT_EQ(FakeOS::VirtualAllocs().size(), 1u) << c.what;
				EXPECT_EQ(FakeOS::VirtualAllocs()[0].address, c.expected) << c.what;
			}
			for (const auto& call : FakeOS::VirtualAllocs()) {
				EXPECT_NE(call.address, 0u) << c.what;
				EXPECT_LE(call.address + call.size, std::max(upper, c.address + kReach)) << c.what;
			}
		}
	}

	TEST_F(TrampolineTest, CreateWithZeroSizeIsFatalBeforeAnySearch)
	{
		REL::Trampoline trampoline{ "Default" };
		EXPECT_THROW(trampoline.create(0), FakeOS::ProcessTerminated);
		EXPECT_EQ(FakeOS::CallCount("GetSystemInfo"), 0);
		EXPECT_EQ(FakeOS::CallCount("VirtualQuery"), 0);
		ASSERT_EQ(FakeOS::MessageBoxes().size(), 1u);
		EXPECT_NE(FakeOS::MessageBoxes()[0].text.find(L"Cannot create a trampoline with a zero size"), std::wstring::npos);
		EXPECT_EQ(FakeOS::Terminations(), std::vector<REX::OS::UINT>{ 1 });
	}

	TEST_F(TrampolineTest, CreateWithoutAddressReservesNearTheEndOfTheGameCode)
	{
		auto image = TestSupport::MakeImage({ { ".text", 0x12345, 0x1000 } });
		FakeOS::SetProcessModule(image.data());
		const auto textEnd = reinterpret_cast<std::uint64_t>(image.data()) + 0x1000 + 0x12345;
		const auto freeBase = (textEnd + 0xFFFF) / 0x10000 * 0x10000 + 0x10000;
		FakeOS::SetMemoryMap({ { 0, freeBase, kMemReserve }, { freeBase, 0x100000, kMemFree } });

		REL::Trampoline trampoline{ "Default" };
		trampoline.create(64);
		ASSERT_EQ(FakeOS::VirtualAllocs().size(), 1u);
		EXPECT_EQ(FakeOS::VirtualAllocs()[0].address, freeBase);
		const auto first = FakeOS::VirtualQueries().front();
		EXPECT_EQ(first, textEnd >= kReach ? (textEnd - kReach + 0xFFFF) / 0x10000 * 0x10000 : 0);
		EXPECT_EQ(trampoline.data(), FakeOS::VirtualAllocs()[0].result);
		EXPECT_EQ(trampoline.capacity(), 64u);
	}

	TEST_F(TrampolineTest, CreateWithNoFittingRegionIsFatal)
	{
		FakeOS::SetMemoryMap({ { 0, 0x10000000, kMemCommit } });
		REL::Trampoline trampoline{ "Default" };
		EXPECT_THROW(trampoline.create(64, reinterpret_cast<void*>(0x1000000)), FakeOS::ProcessTerminated);
		ASSERT_EQ(FakeOS::MessageBoxes().size(), 1u);
		EXPECT_NE(FakeOS::MessageBoxes()[0].text.find(L"Failed to create trampoline"), std::wstring::npos);
	}

	TEST_F(TrampolineTest, NewBufferReadsAsBreakpointsAndIsReleasedOnReplacement)
	{
		FakeOS::SetMemoryMap({ { 0, 0x100000, kMemFree } });
		REL::Trampoline trampoline{ "Default" };
		trampoline.create(64, reinterpret_cast<void*>(0x50000));
		auto* const first = trampoline.data();
		EXPECT_TRUE(std::all_of(first, first + 64, [](std::byte a_byte) { return a_byte == std::byte{ 0xCC }; }));

		trampoline.create(32, reinterpret_cast<void*>(0x50000));
		ASSERT_EQ(FakeOS::VirtualFrees().size(), 1u);
		EXPECT_EQ(FakeOS::VirtualFrees()[0].address, first);
		EXPECT_EQ(FakeOS::VirtualFrees()[0].size, 0u);
		EXPECT_EQ(FakeOS::VirtualFrees()[0].freeType, REX::OS::kMemRelease);
	}

	TEST_F(TrampolineTest, OldDeleterRunsOnceAndHostMemoryIsNeverGivenBack)
	{
		std::vector<std::pair<void*, std::size_t>> deleted;
		std::vector<std::byte>                     own(48);
		std::vector<std::byte>                     host(16);
		{
			REL::Trampoline trampoline{ "Default" };
			trampoline.adopt(own.data(), own.size(), [&](void* a_data, std::size_t a_size) { deleted.emplace_back(a_data, a_size); });
			EXPECT_EQ(own[47], std::byte{ 0xCC });
			trampoline.adopt(host.data(), host.size());
			ASSERT_EQ(deleted.size(), 1u);
			EXPECT_EQ(deleted[0], std::make_pair(static_cast<void*>(own.data()), std::size_t{ 48 }));
			trampoline.release();
			EXPECT_EQ(trampoline.data(), nullptr);
			EXPECT_EQ(trampoline.capacity(), 0u);
		}
		EXPECT_EQ(deleted.size(), 1u);
		EXPECT_TRUE(FakeOS::VirtualFrees().empty());
	}

	TEST_F(TrampolineTest, StatsLineShowsTheShareInUse)
	{
		std::vector<std::byte> memory(64);
		REL::Trampoline        trampoline{ "Default" };
		trampoline.stats();
		trampoline.adopt(memory.data(), memory.size());
		EXPECT_NE(trampoline.allocate(32), nullptr);
		trampoline.stats();
		EXPECT_NE(trampoline.allocate(32), nullptr);
		trampoline.stats();
		EXPECT_EQ(Messages(spdlog::level::debug), (std::vector<std::string>{
		                                              "Trampoline [Default]: 0B / 0B (00.00%)",
		                                              "Trampoline [Default]: 0B / 64B (00.00%)",
		                                              "Trampoline [Default]: 32B / 64B (50.00%)",
		                                              "Trampoline [Default]: 64B / 64B (100.00%)",
		                                          }));
	}

	TEST_F(TrampolineTest, AllocationNeverPassesCapacity)
	{
		std::vector<std::byte> memory(64);
		REL::Trampoline        trampoline{ "Default" };
		trampoline.adopt(memory.data(), memory.size());
		EXPECT_EQ(trampoline.allocate(40), memory.data());
		EXPECT_EQ(trampoline.allocate(25), nullptr);
		EXPECT_EQ(trampoline.allocate(~std::size_t{ 0 }), nullptr);
		EXPECT_EQ(trampoline.allocate(24), memory.data() + 40);
		EXPECT_EQ(trampoline.used(), 64u);
		EXPECT_EQ(Messages(spdlog::level::err), (std::vector<std::string>{
		                                            "Trampoline [Default]: cannot allocate 25B, 24B of 64B left",
		                                            "Trampoline [Default]: cannot allocate 18446744073709551615B, 24B of 64B left",
		                                        }));
	}

	TEST_F(TrampolineTest, DefaultTrampolineIsNamedDefaultAndStartsEmpty)
	{
		auto& trampoline = REL::DefaultTrampoline();
		EXPECT_EQ(&trampoline, &REL::DefaultTrampoline());
		EXPECT_EQ(trampoline.GetName(), "Default");
		EXPECT_EQ(trampoline.data(), nullptr);
		EXPECT_EQ(trampoline.capacity(), 0u);
	}
} // namespace
