// Loading a database on a machine that lacks the memory it asks for. The allocator of
// this test program is capped (its CTest environment sets ASan's max_allocation_size_mb and
// lets a refused allocation return null), so the failures below are the allocator's own
// refusals of real requests, reached through the real fatal path.

#include <filesystem>
#include <new>

#include "IDDBTestSupport.h"

namespace
{
	using namespace IDDBTest;

	// The cap that tests/REL/CMakeLists.txt gives this program.
	constexpr std::size_t kAllocationCap = std::size_t{ 64 } << 20;

	bool AllocatorIsCapped()
	{
		// A direct call of the allocation function, which the compiler may not leave out
		// as it may an unused new-expression.
		void* const probe = ::operator new(kAllocationCap + 1, std::nothrow);
		::                    operator delete(probe);
		return probe == nullptr;
	}

	class IDDBMemory : public Fixture
	{
	};

	TEST_F(IDDBMemory, TablesLargerThanMemoryEndInTheFatalMessage)
	{
		if (!AllocatorIsCapped()) {
			GTEST_SKIP() << "needs the allocator capped at 64 MiB (ASan's max_allocation_size_mb)";
		}
		SetPlugin("SKSE");
		const auto file = PathText("versionlib-1-2-3-4.bin");
		const struct
		{
			const char*   name;
			std::int32_t  count;
			std::uint64_t fileSize; // the file is extended to this size (sparse, all zero)
			std::string   message;
		} cases[] = {
			// Refused before any allocation: the file cannot hold that many entries.
			{ "count beyond the file", 0x7FFFFFFF, 4096, "Invalid Address Library file!\nThe entry count is larger than the file can hold.\nPath: " + file },
			// The packed entries are read before any region is made: 2 GiB of them are
			// refused first.
			{ "packed entries of a huge count beyond memory", 0x7FFFFFFF, (std::uint64_t{ 1 } << 31) + 4096, "Not enough memory to load the Address Library file!\nPath: " + file },
			// The packed entries (5 000 000 bytes) fit; neither the shared region nor a
			// private one of 80 000 000 bytes does.
			{ "region beyond memory", 5'000'000, 5'004'096, "Failed to create Address Library MemoryMap!\nError: 8 (not enough memory)\nPath: " + file },
			// The region (64 000 000 bytes) would fit; the packed entries read for decoding
			// (68 000 000 bytes) do not.
			{ "packed entries beyond memory", 4'000'000, 100'000'000, "Not enough memory to load the Address Library file!\nPath: " + file },
		};
		for (const auto& c : cases) {
			Relayout("SKSE");
			const auto path = Write("versionlib-1-2-3-4.bin", V2{ .count = c.count }.Build());
			std::filesystem::resize_file(path, c.fileSize);

			const auto fatal = ExpectFatal([] { const REL::IDDB db; });
			EXPECT_EQ(fatal.message, c.message) << c.name;
			EXPECT_EQ(FakeOS::OpenHandles(), 0) << c.name;
			EXPECT_EQ(FakeOS::OpenViews(), 0) << c.name;
		}
	}
} // namespace
