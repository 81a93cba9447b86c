#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "AllocationLimit.h"
#include "Check.h"
#include "Cli.h"
#include "Database.h"
#include "Packer.h"
#include "Pairs.h"
#include "PeBuilder.h"
#include "ScratchFolder.h"

#ifdef _WIN32
#include "ChildProcess.h"
#endif

using AddrLib::Entry;

namespace
{
	std::vector<Entry> Sample()
	{
		// Mostly what a game's table looks like (ids rising by small steps, offsets on
		// 8- or 16-byte boundaries, sometimes far apart) plus a few extremes.
		std::mt19937_64    random(42);
		std::vector<Entry> entries;
		std::uint64_t      id = 0;
		for (int i = 0; i < 3000; ++i) {
			id += 1 + random() % (i % 7 == 0 ? 70000 : 3);
			const auto offset = (random() % 4 == 0) ? random() % 0xFFFFFFF0 + 1 : 0x1000 + (random() % 0x100000) * 16;
			entries.push_back({ id, offset });
		}
		entries.push_back({ id + 1, 0xFFFFFFFF });
		return entries;
	}

	std::filesystem::path TempFile(const std::string& a_name)
	{
		auto path = TestSupport::ScratchFolder("qs_addrlib");
		path += "_" + a_name;
		return path;
	}

	bool Same(const std::vector<Entry>& a_lhs, const std::vector<Entry>& a_rhs)
	{
		return std::equal(a_lhs.begin(), a_lhs.end(), a_rhs.begin(), a_rhs.end(), [](const Entry& a, const Entry& b) { return a.id == b.id && a.offset == b.offset; });
	}
} // namespace

TEST(AddrLib, EveryFormatRoundTripsThroughWriteDumpAndBack)
{
	const auto entries = Sample();
	for (const std::int32_t format : { 0, 1, 2, 5 }) {
		for (const std::int32_t pointerSize : { 8, 4, 0 }) {
			AddrLib::Database database;
			database.format = format;
			database.version = { 1, 11, 221, 0 };
			database.pointerSize = pointerSize;
			database.name = "round trip";
			database.entries = entries;
			auto shuffled = entries;
			std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(format));
			database.entries = shuffled;

			const auto path = TempFile("rt.bin");
			{
				const auto    bytes = AddrLib::Encode(database);
				std::ofstream out(path, std::ios::binary);
				out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
			}
			const auto read = AddrLib::Read(path, format == 0);
			std::filesystem::remove(path);
			EXPECT_EQ(read.format, format);
			if (format != 0) {
				EXPECT_EQ(read.version, database.version);
				EXPECT_EQ(read.name, "round trip");
				EXPECT_EQ(read.pointerSize, pointerSize);
			}
			std::istringstream dump(AddrLib::FormatDump(read));
			EXPECT_TRUE(Same(AddrLib::ParsePairs(dump), entries)) << "format " << format << " pointer size " << pointerSize;
		}
	}
}

TEST(AddrLib, PackerTakesTheShortestRuleAndScalesWhereItPays)
{
	const struct
	{
		const char*               name;
		std::vector<Entry>        entries;
		std::int32_t              pointerSize;
		std::vector<std::uint8_t> expected;
	} cases[] = {
		{ "next id, next pointer: one scaled byte", { { 1, 8 }, { 2, 16 } }, 8, { 0x91, 0x91 } },
		{ "same step unscaled without a pointer size", { { 1, 8 }, { 2, 16 } }, 0, { 0x21, 8, 0x21, 8 } },
		{ "steps back", { { 300, 0x500 }, { 299, 0x4F0 } }, 1, { 0x44, 0x2C, 0x01, 0x00, 0x05, 0x33, 1, 0x10 } },
		{ "far ids and offsets take the absolute rules", { { 0x123456789, 0x1122334455 } }, 8, { 0x00, 0x89, 0x67, 0x45, 0x23, 0x01, 0, 0, 0, 0x55, 0x44, 0x33, 0x22, 0x11, 0, 0, 0 } },
		{ "a 4-byte offset scaled to 2 bytes", { { 1, 0x80000 } }, 16, { 0xC1, 0x00, 0x80 } },
	};
	for (const auto& c : cases) {
		const auto                packed = AddrLib::Pack(c.entries, c.pointerSize);
		std::vector<std::uint8_t> bytes;
		for (const auto b : packed) {
			bytes.push_back(static_cast<std::uint8_t>(b));
		}
		EXPECT_EQ(bytes, c.expected) << c.name;

		std::vector<Entry> decoded(c.entries.size());
		const auto         result = REL::IDDBCodec::Unpack(packed, c.pointerSize, decoded);
		EXPECT_EQ(result.defect, REL::IDDBCodec::Defect::None) << c.name;
		EXPECT_TRUE(Same(decoded, c.entries)) << c.name;
	}
}

TEST(AddrLib, EncodeRefusesWhatTheFormatCannotHold)
{
	const struct
	{
		const char*        name;
		std::int32_t       format;
		std::vector<Entry> entries;
	} cases[] = {
		{ "an id listed twice", 2, { { 1, 8 }, { 1, 16 } } },
		{ "format 5: offset 0", 5, { { 1, 0 } } },
		{ "format 5: offset beyond 32 bits", 5, { { 1, 0x100000000 } } },
		{ "format 5: id too large for a flat array", 5, { { 0x40000000, 8 } } },
		{ "format 5: the largest 64-bit id, whose table size id + 1 wraps to 0", 5, { { 0xFFFFFFFFFFFFFFFF, 8 } } },
		{ "format 3", 3, { { 1, 8 } } },
	};
	for (const auto& c : cases) {
		AddrLib::Database database;
		database.format = c.format;
		database.entries = c.entries;
		EXPECT_THROW((void)AddrLib::Encode(database), std::invalid_argument) << c.name;
	}
}

TEST(AddrLib, BadFilesAreReportedWithTheLoadersMessages)
{
	const struct
	{
		const char*               name;
		std::vector<std::uint8_t> bytes;
		bool                      raw;
		const char*               message;
	} cases[] = {
		{ "format 6", { 6, 0, 0, 0 }, false, "Unsupported Address Library format: 6\nPath: " },
		{ "shorter than the format field", { 1 }, false, "Failed to open Address Library file!\nPath: " },
		{ "raw count beyond the file", { 9, 0, 0, 0, 0, 0, 0, 0 }, true, "Invalid Address Library file!\nThe entry count is larger than the file can hold.\nPath: " },
		{ "packed type with bit 3", { 2, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 0x08 }, false, "Unhandled type while loading Address Library!\nPath: " },
	};
	for (const auto& c : cases) {
		const auto path = TempFile("bad.bin");
		{
			std::ofstream out(path, std::ios::binary);
			out.write(reinterpret_cast<const char*>(c.bytes.data()), static_cast<std::streamsize>(c.bytes.size()));
		}
		try {
			(void)AddrLib::Read(path, c.raw);
			ADD_FAILURE() << c.name << ": accepted";
		} catch (const AddrLib::BadFile& e) {
			EXPECT_EQ(std::string(e.what()), c.message + path.string()) << c.name;
		}
		std::filesystem::remove(path);
	}
}

TEST(AddrLib, PairsAcceptDecimalHexAndComments)
{
	std::istringstream in("# header\n\n5 0x100\n  0x9\t512 # trailing\n12 4096\r\n");
	const auto         entries = AddrLib::ParsePairs(in);
	EXPECT_TRUE(Same(entries, { { 5, 0x100 }, { 9, 512 }, { 12, 4096 } }));

	for (const char* bad : { "5\n", "5 6 7\n", "x 1\n", "1 0x\n", "-1 5\n", "1 99999999999999999999\n" }) {
		std::istringstream line(bad);
		EXPECT_THROW((void)AddrLib::ParsePairs(line), std::invalid_argument) << bad;
	}
}

TEST(AddrLib, RawFilesAreKnownByNameWhateverItsCase)
{
	using Version = std::optional<std::array<std::int32_t, 4>>;
	const struct
	{
		const char* name;
		bool        raw;
		Version     version;
	} cases[] = {
		{ "version-1-11-221-0.bin", true, std::array{ 1, 11, 221, 0 } },
		{ "Version-1-11-221-0.BIN", true, std::array{ 1, 11, 221, 0 } },
		{ "VERSION-65535-0-0-1.Bin", true, std::array{ 65535, 0, 0, 1 } },
		{ "version-1-11-221.bin", true, std::nullopt },
		{ "version-1-11-221-0-9.bin", true, std::nullopt },
		{ "version-1-011-221-0.bin", true, std::nullopt }, // the plugin never writes a leading zero
		{ "version-1-65536-0-0.bin", true, std::nullopt },
		{ "version-1-x-0-0.bin", true, std::nullopt },
		{ "versionlib-1-11-221-0.bin", false, std::nullopt },
		{ "version-1-11-221-0.bin.txt", false, std::nullopt },
	};
	for (const auto& c : cases) {
		const auto path = std::filesystem::path{ "Data" } / "F4SE" / "Plugins" / c.name;
		EXPECT_EQ(AddrLib::IsRawFileName(path), c.raw) << c.name;
		EXPECT_EQ(AddrLib::RawFileVersion(path), c.version) << c.name;
	}
}

TEST(AddrLib, ProductVersionIsReadAsThePluginReadsIt)
{
	const struct
	{
		const char*                       text;
		std::optional<REL::VersionNumber> version;
	} cases[] = {
		{ "1.11.221.0", REL::VersionNumber{ 1, 11, 221, 0 } },
		{ "1.11", REL::VersionNumber{ 1, 11, 0, 0 } },
		{ " 1.+2.3x.4.5", REL::VersionNumber{ 1, 2, 3, 4 } },
		{ "1.65537.0.0", REL::VersionNumber{ 1, 1, 0, 0 } },
		{ "-1.0.0.0", REL::VersionNumber{ 65535, 0, 0, 0 } },
		{ "", REL::VersionNumber{ 0, 0, 0, 0 } },
		{ "1..2.3", std::nullopt },
		{ "1.x.2.3", std::nullopt },
		{ "2147483648.0.0.0", std::nullopt },
		{ "99999999999999999999.0.0.0", std::nullopt },
	};
	for (const auto& c : cases) {
		EXPECT_EQ(AddrLib::ParseProductVersion(c.text), c.version) << c.text;
	}
}

namespace
{
	struct CommandRun
	{
		int         exitCode;
		std::string out;
		std::string err;
	};

	CommandRun RunTool(const std::vector<std::string>& a_args)
	{
		std::istringstream in;
		std::ostringstream out;
		std::ostringstream err;
		const int          exitCode = AddrLib::RunCommandLine(a_args, in, out, err);
		return { exitCode, out.str(), err.str() };
	}

	std::string Utf8(const std::filesystem::path& a_path)
	{
		return AddrLib::Utf8FromPath(a_path);
	}

	void WriteBytes(const std::filesystem::path& a_path, std::span<const std::uint8_t> a_bytes)
	{
		std::ofstream out(a_path, std::ios::binary);
		out.write(reinterpret_cast<const char*>(a_bytes.data()), static_cast<std::streamsize>(a_bytes.size()));
	}
} // namespace

TEST(AddrLib, CheckSetsTheGamesVersionBesideTheDatabasesAndRefusesAnother)
{
	const auto folder = TestSupport::ScratchFolder("qs_addrlib_versions");
	std::filesystem::create_directories(folder);
	const auto pairs = folder / "pairs.txt";
	std::ofstream(pairs) << "2201029 0x1000\n2200368 0x1010\n";
	const auto game = folder / "Fallout4.exe";
	WriteBytes(game, TestSupport::PeBuilder::FunctionImage(4, 2, false));
	const auto unversioned = folder / "NoVersion.exe";
	WriteBytes(unversioned, TestSupport::PeBuilder::FunctionImage(4, 2, false, u""));

	const struct
	{
		const char* file;
		const char* format;
		const char* version;
		const char* exe;
		int         exitCode;
		const char* lines;
	} cases[] = {
		{ "v2.bin", "2", "1.11.221.0", "Fallout4.exe", 0, "Game version: 1.11.221.0\nDatabase version: 1.11.221.0\n" },
		{ "old.bin", "2", "1.10.163.0", "Fallout4.exe", 1, "Database version: 1.10.163.0\n  the database is for another game version" },
		{ "v5.bin", "5", "1.11.221.1", "Fallout4.exe", 1, "Database version: 1.11.221.1\n" },
		{ "Version-1-11-221-0.BIN", "raw", "9.9.9.9", "Fallout4.exe", 0, "Database version: 1.11.221.0 (from the file's name)\n" },
		{ "version-1-10-163-0.bin", "raw", "1.11.221.0", "Fallout4.exe", 1, "the plugin looks for version-1-11-221-0.bin for this game" },
		{ "v2.bin", "2", "1.11.221.0", "NoVersion.exe", 1, "Game version: unreadable" },
	};
	for (const auto& c : cases) {
		const auto database = Utf8(folder / c.file);
		ASSERT_EQ(RunTool({ "write", database, "--format", c.format, "--game-version", c.version, Utf8(pairs) }).exitCode, 0) << c.file;
		const auto run = RunTool({ "check", database, Utf8(folder / c.exe) });
		EXPECT_EQ(run.exitCode, c.exitCode) << c.file << '\n'
		                                    << run.out << run.err;
		EXPECT_NE(run.out.find(c.lines), std::string::npos) << c.file << '\n'
		                                                    << run.out;
		EXPECT_NE(run.out.find(c.exitCode == 0 ? "Quellstone can run on this game." : "Quellstone cannot run on this game as it is."), std::string::npos) << run.out;
	}
	// A raw file under a name that tells no version: the plugin would never find it.
	const auto other = Utf8(folder / "other.bin");
	ASSERT_EQ(RunTool({ "write", other, "--format", "raw", "--game-version", "1.11.221.0", Utf8(pairs) }).exitCode, 0);
	const auto run = RunTool({ "check", other, Utf8(game), "--raw" });
	EXPECT_EQ(run.exitCode, 1);
	EXPECT_NE(run.out.find("Database version: none"), std::string::npos) << run.out;
	std::filesystem::remove_all(folder);
}

TEST(AddrLib, EveryFailureIsAMessageAndAnExitCodeNeverTerminate)
{
	const auto folder = TestSupport::ScratchFolder("qs_addrlib_failures");
	std::filesystem::create_directories(folder);
	// A format-2 file declaring 2,000,000 entries of one byte each: 2 MB on disk, 32 MB
	// decoded; more than the 8 MB this test lets the program have.
	std::vector<std::uint8_t> packed{ 2, 0, 0, 0, 1, 0, 0, 0, 11, 0, 0, 0, 221, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0 };
	TestSupport::PeBuilder::Put<std::int32_t>(packed, packed.size(), 2'000'000);
	packed.resize(packed.size() + 2'000'000, 0x11);
	const auto big = folder / "big.bin";
	WriteBytes(big, packed);
	// An executable of 5 MB (200,000 functions) against a 1 MB limit, with a small database.
	const auto game = folder / "Fallout4.exe";
	WriteBytes(game, TestSupport::PeBuilder::FunctionImage(4, 200'000, false));
	const auto         small = Utf8(folder / "small.bin");
	std::istringstream pairs("2201029 0x1000\n");
	std::ostringstream ignored;
	ASSERT_EQ(AddrLib::RunCommandLine({ "write", small, "--format", "2", "--game-version", "1.11.221.0", "-" }, pairs, ignored, ignored), 0);

	const struct
	{
		const char*              name;
		std::vector<std::string> args;
		std::size_t              limit;
		int                      exitCode;
		std::string              message;
	} cases[] = {
		{ "a table larger than memory", { "dump", Utf8(big) }, 8 << 20, 3, "addrlib: Not enough memory to read Address Library file!\nPath: " },
		{ "an executable larger than memory", { "check", small, Utf8(game) }, 1 << 20, 3, "addrlib: " + Utf8(game) + ": not enough memory to read it" },
		{ "a folder named like the database", { "dump", Utf8(folder) }, SIZE_MAX, 3, "addrlib: Failed to open Address Library file!\nPath: " },
		{ "the largest id in format 5", { "write", Utf8(folder / "x.bin"), "--format", "5", "--game-version", "1.2.3.4", "-" }, SIZE_MAX, 2, "addrlib: id 18446744073709551615 is too large for format 5" },
	};
	for (const auto& c : cases) {
		std::istringstream in("18446744073709551615 0x1000\n");
		std::ostringstream out;
		std::ostringstream err;
		SetAllocationLimit(c.limit);
		const int exitCode = AddrLib::RunCommandLine(c.args, in, out, err);
		SetAllocationLimit(SIZE_MAX);
		EXPECT_EQ(exitCode, c.exitCode) << c.name << '\n'
		                                << err.str();
		EXPECT_TRUE(err.str().starts_with(c.message)) << c.name << '\n'
		                                              << err.str();
	}
	std::filesystem::remove_all(folder);
}

#ifdef _WIN32
// addrlib.exe on a folder named in Greek, as players name theirs: the wide command line
// reaches the files, and the messages name the path in UTF-8.
TEST(AddrLib, WindowsProgramTakesPathsOutsideTheAnsiCodePage)
{
	// The build names the program by its Unix path; Wine shows that file system as Z:.
	std::wstring program = std::filesystem::path{ QS_ADDRLIB_EXE }.make_preferred().wstring();
	if (program.starts_with(L'\\')) {
		program = L"Z:" + program;
	}
	const auto folder = TestSupport::ScratchFolder("qs_addrlib_wide") / L"Βιβλιοθήκη Διευθύνσεων";
	std::filesystem::create_directories(folder);
	const auto pairs = folder / L"ζεύγη.txt";
	std::ofstream(pairs) << "5 0x100\n9 0x200\n";
	const auto database = folder / L"version-1-11-221-0.bin";
	const auto quoted = [](const std::filesystem::path& a_path) { return L" \"" + a_path.wstring() + L"\""; };

	const auto write = TestSupport::RunChild(L"\"" + program + L"\" write" + quoted(database) + L" --format raw --game-version 1.11.221.0" + quoted(pairs), true);
	EXPECT_EQ(write.exitCode, 0u) << write.output;
	EXPECT_TRUE(std::filesystem::exists(database));

	const auto find = TestSupport::RunChild(L"\"" + program + L"\" find" + quoted(database) + L" 9", true);
	EXPECT_EQ(find.exitCode, 0u) << find.output;
	EXPECT_TRUE(find.output.starts_with("0x200")) << find.output;

	const auto missing = TestSupport::RunChild(L"\"" + program + L"\" dump" + quoted(folder / L"λείπει.bin"), true);
	EXPECT_EQ(missing.exitCode, 3u) << missing.output;
	EXPECT_NE(missing.output.find(AddrLib::Utf8FromPath(folder / L"λείπει.bin")), std::string::npos) << missing.output;
	std::filesystem::remove_all(folder.parent_path());
}
#endif
