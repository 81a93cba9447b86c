#include "IDDBTestSupport.h"

#include <thread>

using namespace IDDBTest;
using REL::IDDB;

namespace
{
	class IDDBLoad : public Fixture
	{
	};

	std::array<std::uint8_t, 64> DigestBytes(std::string_view a_hex)
	{
		std::array<std::uint8_t, 64> out{};
		for (std::size_t i = 0; i < out.size(); ++i) {
			out[i] = static_cast<std::uint8_t>(std::stoi(std::string(a_hex.substr(i * 2, 2)), nullptr, 16));
		}
		return out;
	}

	constexpr std::string_view kBad115900 = "686D40387F638ED75AD43BB76CA14170576F1A30E91144F280987D13A3012B1CA6A4E04E6BE7A5B99E46C50332C49BE40C3D9448038E17D3D31C40E72A90AE26";

} // namespace

TEST_F(IDDBLoad, LoaderComesFromTheFolderTwoLevelsAboveThePlugin)
{
	const struct
	{
		const char*  folder;
		const char*  plugins;
		const char*  file;
		bool         loads;
		IDDB::LOADER loader;
	} cases[] = {
		{ "f4se", "Plugins", "version-1-2-3-4.bin", true, IDDB::LOADER::F4SE },
		{ "F4SE", "Plugins", "version-1-2-3-4.bin", true, IDDB::LOADER::F4SE },
		{ "sfse", "Plugins", "versionlib-1-2-3-4.bin", true, IDDB::LOADER::SFSE },
		{ "OBSE", "Plugins", "versionlib-1-2-3-4.bin", true, IDDB::LOADER::OBSE },
		{ "F4SE/Plugins", "Sub", "version-1-2-3-4.bin", false, IDDB::LOADER::None },
		{ "Other", "Plugins", "version-1-2-3-4.bin", false, IDDB::LOADER::None },
	};
	for (const auto& c : cases) {
		Relayout(c.folder, "1.2.3.4", c.plugins);
		const auto bytes = std::string_view{ c.file }.starts_with("versionlib") ? V5(2, { 0, 0x10 }) : Raw({ { 1, 0x10 } });
		Write(c.file, bytes);
		if (c.loads) {
			const IDDB db;
			EXPECT_EQ(db.loader(), c.loader) << c.folder;
			EXPECT_EQ(db.offset(1), 0x10u) << c.folder;
		} else {
			const auto fatal = ExpectFatal([] { const IDDB db; });
			EXPECT_EQ(fatal.message, "Failed to determine Address Library loader!") << c.folder;
		}
	}
}

TEST_F(IDDBLoad, CandidateNamesAreTriedInPrefixOrderAndOnlyF4SEVersionFilesAreRaw)
{
	const auto v2 = V2{ .count = 1, .packed = { 0x66, 7, 0, 0x34, 0x12 } }.Build();
	const auto raw = Raw({ { 7, 0x99 } });
	const struct
	{
		const char*              folder;
		std::vector<const char*> present; // files written, each in format 2 unless raw below
		const char*              chosen;
		std::int32_t             format;
	} cases[] = {
		{ "SKSE", { "versionlib-1-2-3-4.bin", "version-1-2-3-4.bin" }, "versionlib-1-2-3-4.bin", 2 },
		{ "SKSE", { "version-1-2-3-4.bin" }, "version-1-2-3-4.bin", 2 },
		{ "F4SE", { "version-1-2-3-4.bin" }, "version-1-2-3-4.bin", 0 },
	};
	for (const auto& c : cases) {
		Relayout(c.folder);
		for (const auto* file : c.present) {
			Write(file, std::string_view{ c.folder } == "F4SE" ? raw : v2);
		}
		const IDDB db;
		EXPECT_EQ(db.path(), pluginDir / c.chosen) << c.folder;
		EXPECT_EQ(db.format(), c.format) << c.folder;
		EXPECT_EQ(db.offset(7), c.format == 0 ? 0x99u : 0x1234u) << c.folder;
	}
}

TEST_F(IDDBLoad, F4SEWithOnlyAVersionlibFileFindsNoPath)
{
	Write("versionlib-1-2-3-4.bin", V5(2, { 0, 0x10 }));
	const auto fatal = ExpectFatal([] { const IDDB db; });
	EXPECT_EQ(fatal.message, "Failed to determine Address Library path!\nLoader: F4SE");
}

// A folder where the file should be, and a file with nothing in it, are each named for
// what they are, with the path, in every format; neither reaches the platform's open.
TEST_F(IDDBLoad, AFolderOrAnEmptyFileInTheFilesPlaceIsNamedForWhatItIs)
{
	const struct
	{
		const char* folder;
		const char* file;
		bool        makeFolder;
		const char* message;
	} cases[] = {
		{ "F4SE", "version-1-2-3-4.bin", true, "Address Library path is a folder!\nPath: " },
		{ "SKSE", "versionlib-1-2-3-4.bin", true, "Address Library path is a folder!\nPath: " },
		{ "F4SE", "version-1-2-3-4.bin", false, "Address Library file is empty!\nPath: " },
		{ "SKSE", "versionlib-1-2-3-4.bin", false, "Address Library file is empty!\nPath: " },
	};
	for (const auto& c : cases) {
		Relayout(c.folder);
		if (c.makeFolder) {
			std::filesystem::create_directories(pluginDir / c.file);
		} else {
			Write(c.file, {});
		}
		const auto fatal = ExpectFatal([] { const IDDB db; });
		EXPECT_EQ(fatal.message, c.message + PathText(c.file)) << c.file;
		EXPECT_EQ(FakeOS::CallCount("CreateFileW"), 0) << c.file;
	}
}

TEST_F(IDDBLoad, ExistenceTestFailingForAnotherReasonIsReportedWithThePath)
{
#if defined(_WIN32)
	GTEST_SKIP() << "symbolic links need privileges on Windows";
#endif
	// A link that points at itself is neither present nor absent.
	std::filesystem::create_symlink(pluginDir / "version-1-2-3-4.bin", pluginDir / "version-1-2-3-4.bin");
	const auto fatal = ExpectFatal([] { const IDDB db; });
	EXPECT_TRUE(fatal.message.starts_with("Failed to check for Address Library file!\nError: ")) << fatal.message;
	EXPECT_TRUE(fatal.message.ends_with("\nPath: " + PathText("version-1-2-3-4.bin"))) << fatal.message;
}

TEST_F(IDDBLoad, RawFileIsUsedWhereItIsMapped)
{
	Write("version-1-2-3-4.bin", Raw({ { 5, 0x100 }, { 9, 0x200 } }));
	const IDDB db;
	EXPECT_EQ(db.format(), 0);
	EXPECT_EQ(db.table().size(), 2u);
	EXPECT_EQ(reinterpret_cast<const std::byte*>(db.table().data()), static_cast<const std::byte*>(db.map().data()) + 8);
	EXPECT_EQ(FakeOS::CallCount("OpenFileMappingA"), 1);
	EXPECT_TRUE(FakeOS::MappingExists("HOSTLIB_IDDB_OFFSETS_1_2_3_4"));
}

TEST_F(IDDBLoad, PackedEntriesDecodeAgainstThePreviousEntry)
{
	SetPlugin("SKSE");
	const struct
	{
		const char*  name;
		Bytes        packed;
		std::int32_t count;
		PairList     expected;
	} cases[] = {
		{ "absolute 8-byte pair, then scaled +3/+1",
		  { 0x00, 10, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0x92, 3 },
		  2,
		  { { 10, 0x1000 }, { 13, 0x1008 } } },
		{ "0x11 adds one to both", { 0x66, 4, 0, 0x20, 0, 0x11 }, 2, { { 4, 0x20 }, { 5, 0x21 } } },
		{ "0x66 takes two 2-byte absolutes", { 0x66, 0x34, 0x12, 0x78, 0x56 }, 1, { { 0x1234, 0x5678 } } },
	};
	for (const auto& c : cases) {
		Relayout("SKSE");
		Write("versionlib-1-2-3-4.bin", V2{ .count = c.count, .packed = c.packed }.Build());
		const IDDB db;
		EXPECT_EQ(Pairs(db.table()), c.expected) << c.name;
	}
}

TEST_F(IDDBLoad, PackedEntriesOutOfOrderAreSortedInTheRegion)
{
	SetPlugin("SKSE");
	// ids 20, 10 (20 - 10), 15 (10 + 5); offsets 0x300, 0x100, 0x200
	Write("versionlib-1-2-3-4.bin", V2{ .count = 3, .packed = { 0x62, 20, 0x00, 0x03, 0x63, 10, 0x00, 0x01, 0x62, 5, 0x00, 0x02 } }.Build());
	const IDDB db;
	EXPECT_EQ(Pairs(db.table()), (PairList{ { 10, 0x100 }, { 15, 0x200 }, { 20, 0x300 } }));
}

TEST_F(IDDBLoad, LoadFailuresEndWithTheirMessage)
{
	SetPlugin("SKSE");
	const auto file = [this] { return PathText("versionlib-1-2-3-4.bin"); };
	const struct
	{
		const char* name;
		Bytes       bytes;
		std::string message;
	} cases[] = {
		{ "type byte with bit 3", V2{ .count = 1, .packed = { 0x08 } }.Build(), "Unhandled type while loading Address Library!" },
		{ "file version differs", V2{ .version = { 1, 2, 3, 5 }, .count = 0 }.Build(), "Address Library version mismatch!\nExpected Version: 1.2.3.4\nActual Version: 1.2.3.5" },
		{ "format-5 version differs", V5(1, { 0 }, { 1, 2, 4, 4 }), "Address Library version mismatch!\nExpected Version: 1.2.3.4\nActual Version: 1.2.4.4" },
		{ "ends inside the packed entries", V2{ .count = 2, .packed = { 0x66, 1, 0, 2, 0, 0x66, 1 } }.Build(), "Failed to open Address Library file!\nPath: " + file() },
		{ "ends inside the name", [] { auto b = V2{ .nameLength = 0xFFFFFFFF }.Build(); b.resize(30); return b; }(), "Failed to open Address Library file!\nPath: " + file() },
		{ "format 6", V2{ .format = 6 }.Build(), "Unsupported Address Library format: 6" },
		{ "format 0", V2{ .format = 0 }.Build(), "Unsupported Address Library format: 0" },
		{ "format 3", V2{ .format = 3 }.Build(), "Unsupported Address Library format: 3" },
		{ "shorter than the format field", Bytes{ 2, 0 }, "Failed to open Address Library file!\nPath: " + file() },
		{ "format-5 header cut short", Bytes{ 5, 0, 0, 0, 1, 0 }, "Failed to open Address Library file!\nPath: " + file() },
		{ "negative address count", V2{ .count = -1 }.Build(), "Invalid Address Library file!\nThe address count is negative.\nPath: " + file() },
		{ "count beyond the packed bytes", V2{ .count = 1000, .packed = { 0x11, 0x11 } }.Build(), "Invalid Address Library file!\nThe entry count is larger than the file can hold.\nPath: " + file() },
		{ "scaled entry under pointer size 0", V2{ .pointerSize = 0, .count = 1, .packed = { 0x91 } }.Build(), "Invalid Address Library file!\nAn entry is scaled by a pointer size of 0.\nPath: " + file() },
		{ "format-5 negative count", V5(-3, { 0, 1 }), "Invalid Address Library file!\nThe address count is negative.\nPath: " + file() },
		{ "format-5 count beyond the file", V5(100, { 0, 1 }), "Invalid Address Library file!\nThe entry count is larger than the file can hold.\nPath: " + file() },
	};
	for (const auto& c : cases) {
		Relayout("SKSE");
		Write("versionlib-1-2-3-4.bin", c.bytes);
		const auto fatal = ExpectFatal([] { const IDDB db; });
		EXPECT_EQ(fatal.message, c.message) << c.name;
		// Whatever was opened on the way is released again.
		EXPECT_EQ(FakeOS::OpenHandles(), 0) << c.name;
		EXPECT_EQ(FakeOS::OpenViews(), 0) << c.name;
	}
}

TEST_F(IDDBLoad, RawFileDefectsEndWithTheirMessage)
{
	const auto file = [this] { return PathText("version-1-2-3-4.bin"); };
	const struct
	{
		const char* name;
		Bytes       bytes;
		std::string message;
	} cases[] = {
		{ "count larger than the file", Raw({ { 1, 2 } }, 3), "Invalid Address Library file!\nThe entry count is larger than the file can hold.\nPath: " + file() },
		{ "huge count", Raw({ { 1, 2 } }, 0x1000000000000000), "Invalid Address Library file!\nThe entry count is larger than the file can hold.\nPath: " + file() },
		// 16 bytes times this count wraps to 16: a size computed that way would fit the file.
		{ "count whose table size wraps", Raw({ { 1, 2 } }, 0xF000000000000001), "Invalid Address Library file!\nThe entry count is larger than the file can hold.\nPath: " + file() },
		{ "ids not ascending", Raw({ { 5, 1 }, { 9, 2 }, { 7, 3 } }), "Invalid Address Library file!\nThe entries are not sorted by id.\nPath: " + file() },
		{ "shorter than the count", Bytes{ 1, 0, 0 }, "Invalid Address Library file!\nThe file is shorter than its header.\nPath: " + file() },
	};
	for (const auto& c : cases) {
		Relayout("F4SE");
		Write("version-1-2-3-4.bin", c.bytes);
		const auto fatal = ExpectFatal([] { const IDDB db; });
		EXPECT_EQ(fatal.message, c.message) << c.name;
	}
}

TEST_F(IDDBLoad, VersionComparesOnlyTheLow16BitsAndLongNamesAreSkipped)
{
	SetPlugin("SKSE");
	Write("versionlib-1-2-3-4.bin", V2{ .version = { 0x00010001, 0x7FFF0002, 3, 4 }, .nameLength = 300, .count = 1, .packed = { 0x66, 1, 0, 2, 0 } }.Build());
	const IDDB db;
	EXPECT_EQ(Pairs(db.table()), (PairList{ { 1, 2 } }));
}

TEST_F(IDDBLoad, OpenAndMappingFailuresNameTheirStepTheErrorAndThePath)
{
	const struct
	{
		const char* name;
		const char* folder;
		const char* file;
		Bytes       bytes;
		const char* failing;
		const char* message;
	} cases[] = {
		{ "raw: file does not open", "F4SE", "version-1-2-3-4.bin", Raw({ { 1, 2 } }), "CreateFileW", "Failed to open Address Library file!\nError: 32 (the file is in use by another program)\nPath: " },
		{ "raw: size unknown", "F4SE", "version-1-2-3-4.bin", Raw({ { 1, 2 } }), "GetFileSizeEx", "Failed to create Address Library MemoryMap!\nError: 32 (the file is in use by another program)\nPath: " },
		{ "raw: view refused", "F4SE", "version-1-2-3-4.bin", Raw({ { 1, 2 } }), "MapViewOfFile", "Failed to create Address Library MemoryMap!\nError: 32 (the file is in use by another program)\nPath: " },
		{ "format 5: mapping refused", "SKSE", "versionlib-1-2-3-4.bin", V5(2, { 0, 1 }), "CreateFileMappingA", "Failed to create Address Library MemoryMap!\nError: 32 (the file is in use by another program)\nPath: " },
		{ "format 2: region refused", "SKSE", "versionlib-1-2-3-4.bin", V2{ .count = 1, .packed = { 0x11 } }.Build(), "CreateFileMappingA", "Failed to create Address Library MemoryMap!\nError: 32 (the file is in use by another program)\nPath: " },
		{ "format 2: view refused", "SKSE", "versionlib-1-2-3-4.bin", V2{ .count = 1, .packed = { 0x11 } }.Build(), "MapViewOfFile", "Failed to create Address Library MemoryMap!\nError: 32 (the file is in use by another program)\nPath: " },
	};
	for (const auto& c : cases) {
		Relayout(c.folder);
		Write(c.file, c.bytes);
		FakeOS::FailCalls(c.failing, 32);
		const auto fatal = ExpectFatal([] { const IDDB db; });
		EXPECT_EQ(fatal.message, c.message + PathText(c.file)) << c.name;
		EXPECT_EQ(FakeOS::OpenHandles(), 0) << c.name;
		EXPECT_FALSE(FakeOS::MappingExists("HOSTLIB_IDDB_OFFSETS_1_2_3_4")) << c.name;
	}
}

TEST_F(IDDBLoad, ASecondLoaderReadsTheExistingRegionWithoutDecodingOnlyForTheSameFile)
{
	SetPlugin("SKSE");
	Write("versionlib-1-2-3-4.bin", V2{ .count = 2, .packed = { 0x66, 1, 0, 0x10, 0, 0x11 } }.Build());
	const IDDB first;
	EXPECT_TRUE(first.map().created());

	const IDDB second;
	EXPECT_FALSE(second.map().created());
	EXPECT_TRUE(second.map().shared());
	EXPECT_EQ(second.table().data(), first.table().data());
	EXPECT_EQ(Pairs(second.table()), (PairList{ { 1, 0x10 }, { 2, 0x11 } }));
	EXPECT_EQ(FakeOS::CallCount("CreateFileMappingA"), 1);

	// Same header, other entries: the region holds another file's table, so this loader
	// decodes its own file privately and the region stays as it was.
	Write("versionlib-1-2-3-4.bin", V2{ .count = 2, .packed = { 0x66, 1, 0, 0x50, 0, 0x11 } }.Build());
	const IDDB third;
	EXPECT_FALSE(third.map().shared());
	EXPECT_EQ(Pairs(third.table()), (PairList{ { 1, 0x50 }, { 2, 0x51 } }));
	EXPECT_EQ(Pairs(first.table()), (PairList{ { 1, 0x10 }, { 2, 0x11 } }));
}

TEST_F(IDDBLoad, TheRegionIsNamedForTheGameVersionAndReleasedWithTheInstance)
{
	SetGame("1.11.221.0");
	SetPlugin("SKSE");
	Write("versionlib-1-11-221-0.bin", V2{ .version = { 1, 11, 221, 0 }, .count = 1, .packed = { 0x11 } }.Build());
	{
		const IDDB db;
		EXPECT_TRUE(FakeOS::MappingExists("HOSTLIB_IDDB_OFFSETS_1_11_221_0"));
	}
	EXPECT_FALSE(FakeOS::MappingExists("HOSTLIB_IDDB_OFFSETS_1_11_221_0"));
	EXPECT_EQ(FakeOS::OpenHandles(), 0);
	EXPECT_EQ(FakeOS::OpenViews(), 0);
}

TEST_F(IDDBLoad, KnownBadFilesAreHashedOnlyWhenTheGameVersionMatches)
{
	const auto        bytes = Raw({ { 1, 0x10 } });
	const std::string content(bytes.begin(), bytes.end());
	const struct
	{
		const char* name;
		const char* folder;
		const char* game;
		bool        scriptBadDigest;
		int         hashes;
		const char* message; // empty: accepted
	} cases[] = {
		{ "other version: not hashed", "F4SE", "1.11.221.0", true, 0, "" },
		{ "other loader: not hashed", "SKSE", "1.11.159.0", true, 0, "" },
		{ "matching row, other digest: accepted", "F4SE", "1.11.159.0", false, 1, "" },
		{ "matching row and digest: refused", "F4SE", "1.11.159.0", true, 1, "Invalid Address Library loaded!\n\nRedownload Address Library for your game version.\nGame Version: 1.11.159.0" },
	};
	for (const auto& c : cases) {
		Relayout(c.folder, c.game);
		const auto version = std::string(c.game);
		auto       dashed = version;
		std::replace(dashed.begin(), dashed.end(), '.', '-');
		if (std::string_view{ c.folder } == "F4SE") {
			Write("version-" + dashed + ".bin", bytes);
		} else {
			auto v2 = V2{ .version = { 1, 11, 159, 0 }, .count = 1, .packed = { 0x11 } }.Build();
			Write("versionlib-" + dashed + ".bin", v2);
		}
		if (c.scriptBadDigest) {
			FakeOS::SetDigestFor(content, DigestBytes(kBad115900));
		}
		if (*c.message == '\0') {
			const IDDB db;
			EXPECT_EQ(FakeOS::CallCount("BCryptHashData"), c.hashes) << c.name;
		} else {
			const auto fatal = ExpectFatal([] { const IDDB db; });
			EXPECT_EQ(fatal.message, c.message) << c.name;
			EXPECT_EQ(FakeOS::CallCount("BCryptHashData"), c.hashes) << c.name;
		}
	}
}

TEST_F(IDDBLoad, AFailingHashServiceIsFatalWhenARowMatches)
{
	const char* steps[] = { "BCryptOpenAlgorithmProvider", "BCryptCreateHash", "BCryptHashData", "BCryptGetProperty", "BCryptFinishHash" };
	for (const auto* step : steps) {
		Relayout("F4SE", "1.10.980.0");
		Write("version-1-10-980-0.bin", Raw({ { 1, 0x10 } }));
		FakeOS::FailCalls(step);
		const auto fatal = ExpectFatal([] { const IDDB db; });
		EXPECT_EQ(fatal.message, "Failed to hash Address Library file!\nPath: " + PathText("version-1-10-980-0.bin")) << step;
		// Whatever the hash service opened is closed again.
		EXPECT_EQ(FakeOS::OpenHandles(), 0) << step;
	}
}

TEST_F(IDDBLoad, LookupsInTheSortedTable)
{
	Write("version-1-2-3-4.bin", Raw({ { 5, 0x500 }, { 9, 0x900 }, { 12, 0xC00 } }));
	const IDDB db;
	EXPECT_EQ(db.offset(5), 0x500u);
	EXPECT_EQ(db.offset(9), 0x900u);
	EXPECT_EQ(db.offset(12), 0xC00u);
	for (const std::uint64_t id : { 0ull, 4ull, 10ull, 13ull, ~0ull }) {
		const auto fatal = ExpectFatal([&] { (void)db.offset(id); });
		EXPECT_EQ(fatal.message, fmt::format("Failed to find offset for Address Library ID!\nInvalid ID: {}\nGame Version: 1.2.3.4", id));
	}
}

TEST_F(IDDBLoad, LookupsInATableOfOneEntry)
{
	Write("version-1-2-3-4.bin", Raw({ { 7, 0x70 } }));
	const IDDB db;
	EXPECT_EQ(db.offset(7), 0x70u);
	for (const std::uint64_t id : { 6ull, 8ull }) {
		const auto fatal = ExpectFatal([&] { (void)db.offset(id); });
		EXPECT_TRUE(fatal.message.starts_with("Failed to find offset for Address Library ID!\nInvalid ID: " + std::to_string(id))) << id;
	}
}

TEST_F(IDDBLoad, LookupsInTheFlatArray)
{
	SetPlugin("SKSE");
	Write("versionlib-1-2-3-4.bin", V5(9, { 0, 0, 0, 0, 0, 0, 0, 0x1234, 0 }));
	const IDDB db;
	EXPECT_EQ(db.format(), 5);
	EXPECT_EQ(db.offset(7), 0x1234u);
	// 8 holds 0; 9 and beyond lie past the array (and past the file).
	for (const std::uint64_t id : { 8ull, 9ull, 1000000ull, ~0ull }) {
		const auto fatal = ExpectFatal([&] { (void)db.offset(id); });
		EXPECT_EQ(fatal.message, fmt::format("Failed to find offset for Address Library ID!\nInvalid ID: {}\nGame Version: 1.2.3.4", id)) << id;
	}
}

// A file without entries loads in every format (format 2 makes no region for it) and
// its lookups say so with the path.
TEST_F(IDDBLoad, EmptyTablesReportThatNothingIsLoaded)
{
	const struct
	{
		const char* folder;
		const char* file;
		Bytes       bytes;
	} cases[] = {
		{ "F4SE", "version-1-2-3-4.bin", Raw({}) },
		{ "SKSE", "versionlib-1-2-3-4.bin", V5(0, {}) },
		{ "SKSE", "versionlib-1-2-3-4.bin", V2{ .count = 0 }.Build() },
	};
	for (const auto& c : cases) {
		Relayout(c.folder);
		Write(c.file, c.bytes);
		const IDDB db;
		const auto fatal = ExpectFatal([&] { (void)db.offset(0); });
		EXPECT_EQ(fatal.message, "No Address Library has been loaded!\nPath: " + PathText(c.file)) << c.folder;
	}
}

TEST_F(IDDBLoad, ResolveIdAddsTheGameBaseAndBuildsOnceForConcurrentCallers)
{
	Write("version-1-2-3-4.bin", Raw({ { 5, 0x500 }, { 9, 0x900 } }));
	std::uint64_t first = 0;
	std::uint64_t second = 0;
	std::thread   a([&] { first = REL::ResolveID(5); });
	std::thread   b([&] { second = REL::ResolveID(9); });
	a.join();
	b.join();
	const auto base = reinterpret_cast<std::uint64_t>(kGame);
	EXPECT_EQ(first, base + 0x500);
	EXPECT_EQ(second, base + 0x900);
	EXPECT_EQ(FakeOS::CallCount("CreateFileW"), 1);
	EXPECT_EQ(REL::ResolveID(5), first);
	EXPECT_EQ(FakeOS::CallCount("CreateFileW"), 1);
}

// A database for another game version hands out offsets of that game. One that lands
// past the running image is refused before anything can be written or called there; the
// message names what the player needs to tell the two files apart.
TEST_F(IDDBLoad, ResolveIdRefusesOffsetsOutsideTheGameImage)
{
	const struct
	{
		std::uint64_t id;
		std::uint64_t offset;
		bool          inside;
	} cases[] = {
		{ 1, 0, true },                   // the image's first byte
		{ 2, kGameImageSize - 1, true },  // its last byte
		{ 3, kGameImageSize, false },     // one past the end
		{ 4, 0x2E8F5D0, false },          // an offset of a larger game
		{ 5, 0xFFFFFFFF00000000, false }, // far beyond
	};
	Write("version-1-2-3-4.bin", Raw({ { 1, cases[0].offset }, { 2, cases[1].offset }, { 3, cases[2].offset }, { 4, cases[3].offset }, { 5, cases[4].offset } }));
	const auto base = reinterpret_cast<std::uint64_t>(kGame);
	for (const auto& c : cases) {
		if (c.inside) {
			EXPECT_EQ(REL::ResolveID(c.id), base + c.offset) << c.id;
			continue;
		}
		const auto boxes = FakeOS::MessageBoxes().size();
		const auto fatal = ExpectFatal([&] { (void)REL::ResolveID(c.id); });
		EXPECT_EQ(FakeOS::MessageBoxes().size(), boxes + 1);
		EXPECT_EQ(fatal.message, fmt::format("Address Library offset lies outside the game!\nID: {}\nOffset: 0x{:X}\nImage Size: 0x{:X}\nPath: {}\n\n"
		                                     "This Address Library file does not belong to game version 1.2.3.4. Install the Address Library for this game version.",
		                                     c.id, c.offset, kGameImageSize, PathText("version-1-2-3-4.bin")))
		    << c.id;
	}
}

TEST(IDDBHash, Sha512HexGivesUpperCaseDigests)
{
	FakeOS::Reset();
	const struct
	{
		std::string_view input;
		const char*      digest;
	} cases[] = {
		{ "", "CF83E1357EEFB8BDF1542850D66D8007D620E4050B5715DC83F4A921D36CE9CE47D0D13C5D85F2B0FF8318D2877EEC2F63B931BD47417A81A538327AF927DA3E" },
		{ "abc", "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F" },
	};
	for (const auto& c : cases) {
		EXPECT_EQ(REL::sha512_hex(c.input.data(), c.input.size()), c.digest) << c.input;
	}
	EXPECT_EQ(FakeOS::OpenHandles(), 0);
}
