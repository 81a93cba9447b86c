// The shared region under loaders that do not agree: a region of the name is used only
// when it holds the loader's own file's table, and a table of formats 1 and 2 is used
// only once its creator has finished it. Loaders in two installs, or a creator and an
// opener, are two instances in one test here; tests/REL/wine runs them as processes.

#include "IDDBTestSupport.h"

#include <future>
#include <optional>
#include <thread>

using namespace IDDBTest;
using REL::IDDB;

namespace
{
	class IDDBRegion : public Fixture
	{
	protected:
		void TearDown() override
		{
			IDDB::SetLoadProbe({});
			Fixture::TearDown();
		}

		// Moves the plugin to a second install of the same game version.
		void UseSecondInstall(const std::string& a_folder)
		{
			pluginDir = root / "Second" / "Data" / a_folder / "Plugins";
			std::filesystem::create_directories(pluginDir);
			FakeOS::AddModule(kPlugin, (pluginDir / "x.dll").string());
		}
	};

	Bytes V2Of(const PairList& a_pairs)
	{
		V2 file{ .count = static_cast<std::int32_t>(a_pairs.size()) };
		for (const auto& [id, offset] : a_pairs) {
			file.packed.push_back(0x00);
			for (const auto value : { id, offset }) {
				for (int i = 0; i < 8; ++i) {
					file.packed.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
				}
			}
		}
		return file.Build();
	}

	Bytes V5Of(const PairList& a_pairs)
	{
		std::vector<std::uint32_t> offsets;
		for (const auto& [id, offset] : a_pairs) {
			offsets.resize(std::max<std::size_t>(offsets.size(), id + 1));
			offsets[id] = static_cast<std::uint32_t>(offset);
		}
		return V5(static_cast<std::int32_t>(offsets.size()), offsets);
	}

	Bytes RawOf(const PairList& a_pairs)
	{
		Bytes out;
		Put<std::uint64_t>(out, a_pairs.size());
		for (const auto& [id, offset] : a_pairs) {
			Put(out, id);
			Put(out, offset);
		}
		return out;
	}
} // namespace

TEST_F(IDDBRegion, ALoaderUsesTheRegionOfItsNameOnlyWhenItHoldsItsOwnFile)
{
	const PairList first{ { 1, 0x100 }, { 2, 0x200 }, { 3, 0x300 } };
	const PairList otherOffsets{ { 1, 0x500 }, { 2, 0x600 }, { 3, 0x700 } };
	const PairList larger{ { 1, 0x500 }, { 2, 0x600 }, { 3, 0x700 }, { 4, 0x800 } };
	const PairList smaller{ { 1, 0x500 } };
	const struct
	{
		const char* name;
		const char* folder;
		const char* file;
		Bytes (*build)(const PairList&);
		PairList second;
		bool     shared;
	} cases[] = {
		{ "raw, same bytes", "F4SE", "version-1-2-3-4.bin", RawOf, first, true },
		{ "raw, same size, other offsets", "F4SE", "version-1-2-3-4.bin", RawOf, otherOffsets, false },
		{ "raw, larger file", "F4SE", "version-1-2-3-4.bin", RawOf, larger, false },
		{ "raw, smaller file", "F4SE", "version-1-2-3-4.bin", RawOf, smaller, false },
		{ "format 5, same bytes", "SKSE", "versionlib-1-2-3-4.bin", V5Of, first, true },
		{ "format 5, other offsets", "SKSE", "versionlib-1-2-3-4.bin", V5Of, otherOffsets, false },
		{ "format 5, larger file", "SKSE", "versionlib-1-2-3-4.bin", V5Of, larger, false },
		{ "format 2, same stream", "SKSE", "versionlib-1-2-3-4.bin", V2Of, first, true },
		{ "format 2, other offsets", "SKSE", "versionlib-1-2-3-4.bin", V2Of, otherOffsets, false },
		{ "format 2, more entries", "SKSE", "versionlib-1-2-3-4.bin", V2Of, larger, false },
		{ "format 2, fewer entries", "SKSE", "versionlib-1-2-3-4.bin", V2Of, smaller, false },
	};
	for (const auto& c : cases) {
		Relayout(c.folder);
		Write(c.file, c.build(first));
		const IDDB holder;
		EXPECT_TRUE(holder.map().shared()) << c.name;

		UseSecondInstall(c.folder);
		Write(c.file, c.build(c.second));
		const IDDB second;
		EXPECT_EQ(second.map().shared(), c.shared) << c.name;
		EXPECT_EQ(second.map().data() == holder.map().data(), c.shared) << c.name;
		for (const auto& [id, offset] : c.second) {
			EXPECT_EQ(second.offset(id), offset) << c.name << ", id " << id;
		}
		// The holder's table is untouched by the second loader.
		for (const auto& [id, offset] : first) {
			EXPECT_EQ(holder.offset(id), offset) << c.name << ", id " << id;
		}
	}
}

// A region of the name that another library made holds a bare table: its size and its
// missing mark tell it apart, and the loader decodes its own file.
TEST_F(IDDBRegion, ARegionWithoutTheCreatorsMarkIsNotUsed)
{
	using namespace REX::OS;
	IDDB::SetLoadProbe({ .creatorWait = std::chrono::milliseconds{ 20 } });
	const struct
	{
		const char*   name;
		std::uint64_t entries; // in the foreign region
	} cases[] = {
		{ "exactly the table's size", 2 },
		{ "larger than this loader's region", 64 },
	};
	for (const auto& c : cases) {
		Relayout("SKSE");
		const auto size = c.entries * sizeof(IDDB::ENTRY);
		const auto mapping = CreateFileMappingA(kInvalidHandleValue, nullptr, kPageReadWrite, 0, static_cast<DWORD>(size), "HOSTLIB_IDDB_OFFSETS_1_2_3_4");
		ASSERT_NE(mapping, nullptr);
		auto* const foreign = static_cast<IDDB::ENTRY*>(MapViewOfFile(mapping, kFileMapRead | kFileMapWrite, 0, 0, size));
		for (std::uint64_t i = 0; i < c.entries; ++i) {
			foreign[i] = { i + 1, 0x9000 + i };
		}

		Write("versionlib-1-2-3-4.bin", V2Of({ { 1, 0x10 }, { 2, 0x20 } }));
		const IDDB db;
		EXPECT_FALSE(db.map().shared()) << c.name;
		EXPECT_EQ(Pairs(db.table()), (PairList{ { 1, 0x10 }, { 2, 0x20 } })) << c.name;
		EXPECT_EQ(foreign[0].offset, 0x9000u) << c.name;
		UnmapViewOfFile(foreign);
		CloseHandle(mapping);
	}
}

namespace
{
	// A creator held after it has made and marked the region, before it decodes, while an
	// opener of the same file starts: the probe is a plain function, so the meeting is here.
	struct Meeting
	{
		bool                   joinOpener{ false }; // wait for the opener to end, not for it to wait
		std::promise<void>     openerWaits;
		std::thread            opener;
		std::optional<bool>    openerShared;
		PairList               openerTable;
		const IDDB::ENTRY*     openerData{ nullptr };
		static inline Meeting* current{ nullptr };

		static void AtStage(IDDB::LOAD_STAGE a_stage)
		{
			auto& meeting = *current;
			if (a_stage == IDDB::LOAD_STAGE::WaitingForCreator) {
				meeting.openerWaits.set_value();
				return;
			}
			meeting.opener = std::thread([&meeting] {
				const IDDB db;
				meeting.openerShared = db.map().shared();
				meeting.openerTable = Pairs(db.table());
				meeting.openerData = db.table().data();
			});
			if (meeting.joinOpener) {
				meeting.opener.join();
			} else {
				meeting.openerWaits.get_future().wait();
			}
		}
	};
} // namespace

TEST_F(IDDBRegion, AnOpenerWaitsUntilTheCreatorHasFinishedTheTable)
{
	SetPlugin("SKSE");
	Write("versionlib-1-2-3-4.bin", V2Of({ { 7, 0x70 }, { 3, 0x30 } }));
	Meeting meeting;
	Meeting::current = &meeting;
	IDDB::SetLoadProbe({ .atStage = &Meeting::AtStage });

	const IDDB creator;
	meeting.opener.join();
	EXPECT_TRUE(creator.map().created());
	ASSERT_TRUE(meeting.openerShared.has_value());
	EXPECT_TRUE(*meeting.openerShared);
	// Read after the creator sorted it: the opener never saw a half-made table.
	EXPECT_EQ(meeting.openerTable, (PairList{ { 3, 0x30 }, { 7, 0x70 } }));
	EXPECT_EQ(meeting.openerData, creator.table().data());
}

TEST_F(IDDBRegion, AnOpenerWhoseCreatorDoesNotFinishInTimeDecodesItsOwnFile)
{
	SetPlugin("SKSE");
	Write("versionlib-1-2-3-4.bin", V2Of({ { 7, 0x70 }, { 3, 0x30 } }));
	Meeting meeting;
	meeting.joinOpener = true;
	Meeting::current = &meeting;
	IDDB::SetLoadProbe({ .atStage = &Meeting::AtStage, .creatorWait = std::chrono::milliseconds{ 50 } });

	const IDDB creator;
	ASSERT_TRUE(meeting.openerShared.has_value());
	EXPECT_FALSE(*meeting.openerShared);
	EXPECT_EQ(meeting.openerTable, (PairList{ { 3, 0x30 }, { 7, 0x70 } }));
	EXPECT_EQ(Pairs(creator.table()), (PairList{ { 3, 0x30 }, { 7, 0x70 } }));
}
