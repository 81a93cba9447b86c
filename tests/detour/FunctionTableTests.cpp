// How far a function reaches in a function table, over a table written by the test:
// MSVC's short prologue with its own entry and the function continued in chained
// fragments, and what must not extend a function.

#include "Detour/FunctionTable.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{
	using Entry = Detour::FunctionTable::Entry;

	// Where the test places unwind data: the primary entries' own, and one chained
	// record per fragment. Code RVAs lie elsewhere; only unwind data is read.
	constexpr std::uint32_t kPrimaryUnwind = 0x100;

	class FakeTable final : public Detour::FunctionTable
	{
	public:
		FakeTable() :
		    image(0x400, 0)
		{
			image[kPrimaryUnwind] = 0x01; // version 1, no flags: a primary entry
		}

		// A primary entry.
		Entry Primary(std::uint32_t a_begin, std::uint32_t a_end)
		{
			return Add({ a_begin, a_end, kPrimaryUnwind });
		}

		// A fragment whose unwind data at a_unwind carries UNW_FLAG_CHAININFO, one unwind
		// code (padded to two) and then a copy of a_continues.
		Entry Fragment(std::uint32_t a_begin, std::uint32_t a_end, std::uint32_t a_unwind, const Entry& a_continues)
		{
			image[a_unwind] = 0x01 | (0x4 << 3);
			image[a_unwind + 2] = 1;
			Put(a_unwind + 8, a_continues);
			return Add({ a_begin, a_end, a_unwind });
		}

		// An alias: its unwind field names (low bit set) a copy of a_continues at a_copy.
		Entry Alias(std::uint32_t a_begin, std::uint32_t a_end, std::uint32_t a_copy, const Entry& a_continues)
		{
			Put(a_copy, a_continues);
			return Add({ a_begin, a_end, a_copy | 1 });
		}

	private:
		Entry Add(const Entry& a_entry)
		{
			entries.push_back(a_entry);
			return a_entry;
		}

		void Put(std::uint32_t a_at, const Entry& a_entry)
		{
			const std::uint32_t fields[] = { a_entry.begin, a_entry.end, a_entry.unwind };
			if (a_at + sizeof fields <= image.size()) {
				std::memcpy(image.data() + a_at, fields, sizeof fields);
			}
		}

		std::optional<Entry> LookupEntry(std::uint32_t a_rva) const override
		{
			for (const Entry& entry : entries) {
				if (a_rva >= entry.begin && a_rva < entry.end) {
					return entry;
				}
			}
			return std::nullopt;
		}

		std::span<const std::uint8_t> ReadImage(std::uint32_t a_rva, std::size_t a_size) const override
		{
			if (a_rva >= image.size()) {
				return {};
			}
			return std::span{ image }.subspan(a_rva, std::min(a_size, image.size() - a_rva));
		}

		std::vector<std::uint8_t> image;
		std::vector<Entry>        entries;
	};

	struct Case
	{
		const char* what;
		void (*build)(FakeTable& a_table, Entry& a_start);
		std::uint32_t end;
	};

	const Case kCases[] = {
		{ "a primary entry alone ends where its range ends",
		  [](FakeTable& t, Entry& s) { s = t.Primary(0x1000, 0x1004); }, 0x1004 },
		{ "sub rsp,n with an entry of its own, the body in a chained fragment right after it",
		  [](FakeTable& t, Entry& s) { s = t.Primary(0x1000, 0x1004); t.Fragment(0x1004, 0x1080, 0x200, s); }, 0x1080 },
		{ "fragments one after another all count",
		  [](FakeTable& t, Entry& s) { s = t.Primary(0x1000, 0x1004); t.Fragment(0x1004, 0x1040, 0x200, s); t.Fragment(0x1040, 0x1090, 0x220, s); }, 0x1090 },
		{ "a fragment placed elsewhere (cold code) does not extend it",
		  [](FakeTable& t, Entry& s) { s = t.Primary(0x1000, 0x1004); t.Fragment(0x1100, 0x1140, 0x200, s); }, 0x1004 },
		{ "the next function right after it is not joined",
		  [](FakeTable& t, Entry& s) { s = t.Primary(0x1000, 0x1004); t.Primary(0x1004, 0x1020); }, 0x1004 },
		{ "a fragment of another function right after it is not joined",
		  [](FakeTable& t, Entry& s) { s = t.Primary(0x1000, 0x1004); const Entry other = t.Primary(0x2000, 0x2010); t.Fragment(0x1004, 0x1040, 0x200, other); }, 0x1004 },
		{ "an alias entry that continues it counts",
		  [](FakeTable& t, Entry& s) { s = t.Primary(0x1000, 0x1004); t.Alias(0x1004, 0x1030, 0x280, s); }, 0x1030 },
		{ "a chain whose record lies outside the image stops the extension",
		  [](FakeTable& t, Entry& s) { s = t.Primary(0x1000, 0x1004); t.Fragment(0x1004, 0x1040, 0x3F8, s); }, 0x1004 },
		{ "a chain that loops stops the extension",
		  [](FakeTable& t, Entry& s) { s = t.Primary(0x1000, 0x1004); t.Fragment(0x1004, 0x1040, 0x200, { 0x1004, 0x1040, 0x200 }); }, 0x1004 },
		{ "an empty fragment does not move the end",
		  [](FakeTable& t, Entry& s) { s = t.Primary(0x1000, 0x1004); t.Fragment(0x1004, 0x1004, 0x200, s); }, 0x1004 },
		{ "from a fragment, the fragments of the same function after it count",
		  [](FakeTable& t, Entry& s) { const Entry p = t.Primary(0x1000, 0x1004); s = t.Fragment(0x1004, 0x1040, 0x200, p); t.Fragment(0x1040, 0x1060, 0x220, p); }, 0x1060 },
	};
} // namespace

TEST(FunctionTable, FunctionEndsAfterTheChainedFragmentsThatContinueItInPlace)
{
	for (const Case& c : kCases) {
		FakeTable table;
		Entry     start;
		c.build(table, start);
		EXPECT_EQ(table.FunctionEnd(start), c.end) << c.what;
	}
}
