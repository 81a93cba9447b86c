#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "REL/IDDBCodec.h"

namespace Codec = REL::IDDBCodec;

namespace
{
	using Bytes = std::vector<std::uint8_t>;

	// Decodes one entry twice: as the last bytes of a stream (the checked path) and with
	// room after it (the branch-free path for power-of-two pointer sizes); both must agree.
	Codec::UnpackResult UnpackOne(const Bytes& a_packed, Codec::Entry a_previous, Codec::Entry& a_out, std::int32_t a_pointerSize = 8)
	{
		Bytes padded = a_packed;
		padded.resize(a_packed.size() + 17, 0);
		Codec::Entry roomy{};
		const auto   fast = Codec::Unpack(std::as_bytes(std::span{ padded }), a_pointerSize, std::span{ &roomy, 1 }, a_previous);
		const auto   tail = Codec::Unpack(std::as_bytes(std::span{ a_packed }), a_pointerSize, std::span{ &a_out, 1 }, a_previous);
		EXPECT_EQ(fast.defect, tail.defect);
		EXPECT_EQ(fast.consumed, tail.consumed);
		EXPECT_EQ(roomy.id, a_out.id);
		EXPECT_EQ(roomy.offset, a_out.offset);
		return tail;
	}
} // namespace

TEST(IDDBCodec, EveryIdRuleAgainstThePreviousId)
{
	const Codec::Entry previous{ 0x1000, 0x50 };
	const struct
	{
		std::uint8_t  rule;
		Bytes         operand;
		std::uint64_t id;
	} cases[] = {
		{ 0, { 1, 2, 3, 4, 5, 6, 7, 8 }, 0x0807060504030201 },
		{ 1, {}, 0x1001 },
		{ 2, { 0xFF }, 0x10FF },
		{ 3, { 0x01 }, 0x0FFF },
		{ 4, { 0x00, 0x10 }, 0x2000 },
		{ 5, { 0x00, 0x10 }, 0x0000 },
		{ 6, { 0x34, 0x12 }, 0x1234 },
		{ 7, { 0x78, 0x56, 0x34, 0x12 }, 0x12345678 },
	};
	for (const auto& c : cases) {
		Bytes packed{ static_cast<std::uint8_t>(0x10 | c.rule) }; // offset rule 1: +1
		packed.insert(packed.end(), c.operand.begin(), c.operand.end());
		Codec::Entry out{};
		const auto   result = UnpackOne(packed, previous, out);
		EXPECT_EQ(result.defect, Codec::Defect::None) << int{ c.rule };
		EXPECT_EQ(result.consumed, packed.size()) << int{ c.rule };
		EXPECT_EQ(out.id, c.id) << int{ c.rule };
		EXPECT_EQ(out.offset, 0x51u) << int{ c.rule };
	}
}

TEST(IDDBCodec, EveryOffsetRulePlainAndScaled)
{
	const Codec::Entry previous{ 7, 0x1000 };
	const struct
	{
		std::uint8_t  rule;
		Bytes         operand;
		std::uint64_t plain;
		std::uint64_t scaled; // base 0x1000 / 8 = 0x200; result times 8
	} cases[] = {
		{ 0, { 1, 0, 0, 0, 0, 0, 0, 0x80 }, 0x8000000000000001, 0x0000000000000008 },
		{ 1, {}, 0x1001, 0x1008 },
		{ 2, { 3 }, 0x1003, 0x1018 },
		{ 3, { 3 }, 0x0FFD, 0x0FE8 },
		{ 4, { 0x00, 0x01 }, 0x1100, 0x1800 },
		{ 5, { 0x00, 0x01 }, 0x0F00, 0x0800 },
		{ 6, { 0x34, 0x12 }, 0x1234, 0x91A0 },
		{ 7, { 0, 0, 0, 1 }, 0x01000000, 0x08000000 },
	};
	for (const auto& c : cases) {
		for (const bool scaled : { false, true }) {
			Bytes packed{ static_cast<std::uint8_t>((scaled ? 0x80 : 0) | (c.rule << 4) | 1) };
			packed.insert(packed.end(), c.operand.begin(), c.operand.end());
			Codec::Entry out{};
			const auto   result = UnpackOne(packed, previous, out);
			EXPECT_EQ(result.defect, Codec::Defect::None);
			EXPECT_EQ(out.id, 8u);
			EXPECT_EQ(out.offset, scaled ? c.scaled : c.plain) << int{ c.rule } << (scaled ? " scaled" : "");
		}
	}
}

TEST(IDDBCodec, StreamDefectsStopDecoding)
{
	const struct
	{
		const char*   name;
		Bytes         packed;
		std::size_t   count;
		std::int32_t  pointerSize;
		Codec::Defect defect;
		std::size_t   decoded;
	} cases[] = {
		{ "bit 3 of the type byte", { 0x11, 0x08 }, 2, 8, Codec::Defect::UnhandledType, 1 },
		{ "type byte 0x0F", { 0x0F }, 1, 8, Codec::Defect::UnhandledType, 0 },
		{ "operand cut short", { 0x11, 0x77, 1, 2, 3, 4, 5 }, 2, 8, Codec::Defect::Truncated, 1 },
		{ "no bytes left", { 0x11 }, 2, 8, Codec::Defect::Truncated, 1 },
		{ "scaled under pointer size 0", { 0x11, 0x91 }, 2, 0, Codec::Defect::ZeroPointerSize, 1 },
		{ "unscaled under pointer size 0", { 0x11, 0x11 }, 2, 0, Codec::Defect::None, 2 },
	};
	for (const auto& c : cases) {
		std::vector<Codec::Entry> out(c.count);
		const auto                result = Codec::Unpack(std::as_bytes(std::span{ c.packed }), c.pointerSize, out);
		EXPECT_EQ(result.defect, c.defect) << c.name;
		EXPECT_EQ(result.decoded, c.decoded) << c.name;
	}
}

TEST(IDDBCodec, ChunkedDecodingMatchesOnePass)
{
	// ids 1 to 10 with offsets rising by 16, one scaled byte each, then id 5 (10 - 5).
	Bytes packed{ 0x66, 1, 0, 0x10, 0 };
	for (int i = 0; i < 9; ++i) {
		packed.push_back(0x91); // id + 1, offset (base / 16 + 1) * 16
	}
	packed.insert(packed.end(), { 0x63, 5, 0x00, 0x01 });
	std::vector<Codec::Entry> whole(11);
	const auto                one = Codec::Unpack(std::as_bytes(std::span{ packed }), 16, whole);
	ASSERT_EQ(one.defect, Codec::Defect::None);
	EXPECT_FALSE(one.sorted);

	std::vector<Codec::Entry> chunked(11);
	std::span                 rest = std::as_bytes(std::span{ packed });
	Codec::Entry              previous{ 0, 0 };
	for (std::size_t at = 0; at < chunked.size(); at += 4) {
		const auto part = Codec::Unpack(rest, 16, std::span{ chunked }.subspan(at, std::min<std::size_t>(4, chunked.size() - at)), previous);
		ASSERT_EQ(part.defect, Codec::Defect::None);
		rest = rest.subspan(part.consumed);
		previous = part.last;
	}
	for (std::size_t i = 0; i < whole.size(); ++i) {
		EXPECT_EQ(chunked[i].id, whole[i].id) << i;
		EXPECT_EQ(chunked[i].offset, whole[i].offset) << i;
	}
	EXPECT_EQ(whole[1].offset, 0x20u);
	EXPECT_EQ(whole[10].id, 5u);
}

TEST(IDDBCodec, BinarySearchFindsOnlyExactIds)
{
	const std::vector<Codec::Entry> table{ { 2, 20 }, { 4, 40 }, { 6, 60 }, { 8, 80 }, { 10, 100 } };
	for (std::uint64_t id = 0; id <= 12; ++id) {
		const auto found = Codec::Find(table, id);
		if (id % 2 == 0 && id >= 2 && id <= 10) {
			EXPECT_EQ(found, id * 10) << id;
		} else {
			EXPECT_FALSE(found) << id;
		}
	}
	EXPECT_FALSE(Codec::Find({}, 0));
	// Unsigned comparison: the largest id sorts last.
	const std::vector<Codec::Entry> wide{ { 1, 1 }, { 0x8000000000000000, 2 }, { ~0ull, 3 } };
	EXPECT_EQ(Codec::Find(wide, ~0ull), 3u);
	EXPECT_EQ(Codec::Find(wide, 0x8000000000000000), 2u);
}

TEST(IDDBCodec, HeaderV2KeepsAtMost63NameBytes)
{
	for (const std::uint32_t length : { 0u, 5u, 63u, 64u, 200u }) {
		std::string        file;
		const std::int32_t version[4] = { 1, 2, 3, 4 };
		file.append(reinterpret_cast<const char*>(version), sizeof(version));
		file.append(reinterpret_cast<const char*>(&length), 4);
		file.append(std::string(length, 'n'));
		const std::int32_t tail[2] = { 8, 3 };
		file.append(reinterpret_cast<const char*>(tail), sizeof(tail));
		std::istringstream in(file);
		const auto         header = Codec::ReadHeaderV2(in);
		EXPECT_EQ(std::string(header.name), std::string(std::min<std::uint32_t>(length, 63), 'n')) << length;
		EXPECT_EQ(header.version, (std::array<std::int32_t, 4>{ 1, 2, 3, 4 })) << length;
		EXPECT_EQ(header.pointerSize, 8) << length;
		EXPECT_EQ(header.addressCount, 3) << length;
	}
}
