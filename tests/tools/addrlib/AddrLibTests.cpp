#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "Database.h"
#include "Packer.h"
#include "Pairs.h"
#include "ScratchFolder.h"

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
