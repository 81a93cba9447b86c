#include <gtest/gtest.h>

#include <stdexcept>

#include "FakeModules.h"
#include "REL/Version.h"

using REL::VersionNumber;

TEST(VersionNumber, FromPackedUnpacksEachFieldAndPackRestoresIt)
{
	const struct
	{
		std::uint32_t packed;
		VersionNumber expected;
	} cases[] = {
		{ 0x010B0DD0, { 1, 11, 221, 0 } },
		{ 0x01000000, { 1, 0, 0, 0 } },
		{ 0xFFFFFFFF, { 255, 255, 4095, 15 } },
		{ 0, {} },
	};
	for (const auto& c : cases) {
		EXPECT_EQ(VersionNumber::FromPacked(c.packed), c.expected) << std::hex << c.packed;
		EXPECT_EQ(c.expected.Pack(), c.packed) << std::hex << c.packed;
	}
}

TEST(VersionNumber, TextWithEachSeparator)
{
	const VersionNumber v{ 1, 11, 221, 0 };
	EXPECT_EQ(v.ToString("."), "1.11.221.0");
	EXPECT_EQ(v.ToString("_"), "1_11_221_0");
	EXPECT_EQ(v.ToWideString(L"-"), L"1-11-221-0");
	EXPECT_EQ(VersionNumber{}.ToString("."), "0.0.0.0");
	EXPECT_EQ(VersionNumber(65535, 0, 7, 65535).ToString("::"), "65535::0::7::65535");
}

TEST(VersionNumber, FormatsAsTextWithWidthAndAlignment)
{
	const VersionNumber v{ 1, 0, 0, 0 };
	EXPECT_EQ(fmt::format("{} v{}", "Quellstone", v), "Quellstone v1.0.0.0");
	EXPECT_EQ(fmt::format("[{:>12}]", v), "[     1.0.0.0]");
	EXPECT_EQ(fmt::format("[{:*<9}]", v), "[1.0.0.0**]");
}

class ReadProductVersionTest : public ::testing::Test
{
protected:
	void SetUp() override { FakeOS::Reset(); }
};

TEST_F(ReadProductVersionTest, ReadsUpToFourPartsAsStoiDoes)
{
	const struct
	{
		const char*   text;
		VersionNumber expected;
	} cases[] = {
		{ "1.10.984.0", { 1, 10, 984, 0 } },
		{ "1.11.221", { 1, 11, 221, 0 } },
		{ "1.11", { 1, 11, 0, 0 } },
		{ "1.11.221.0.7", { 1, 11, 221, 0 } },
		{ "1. 2.3.4", { 1, 2, 3, 4 } },
		{ "1.70000.3.4", { 1, 4464, 3, 4 } }, // low 16 bits
		{ "1.11.221.0 beta", { 1, 11, 221, 0 } },
		{ "1.11.", { 1, 11, 0, 0 } },
	};
	for (const auto& c : cases) {
		FakeOS::Reset();
		FakeOS::SetProductVersion("game.exe", c.text);
		EXPECT_EQ(REL::ReadProductVersion(L"game.exe"), c.expected) << c.text;
	}
}

TEST_F(ReadProductVersionTest, PartsWithoutDigitsOrOutOfRangeRaise)
{
	FakeOS::SetProductVersion("a.exe", "1.x.3.4");
	EXPECT_THROW((void)REL::ReadProductVersion(L"a.exe"), std::invalid_argument);
	FakeOS::SetProductVersion("b.exe", "1..3");
	EXPECT_THROW((void)REL::ReadProductVersion(L"b.exe"), std::invalid_argument);
	FakeOS::SetProductVersion("c.exe", "1.99999999999.0.0");
	EXPECT_THROW((void)REL::ReadProductVersion(L"c.exe"), std::out_of_range);
}

TEST_F(ReadProductVersionTest, GivesNothingWithoutTheEnglishUnicodeBlockOrAnyResource)
{
	EXPECT_EQ(REL::ReadProductVersion(L"none.exe"), std::nullopt);
	FakeOS::SetProductVersion("other.exe", "1.2.3.4", "040704B0");
	EXPECT_EQ(REL::ReadProductVersion(L"other.exe"), std::nullopt);
	FakeOS::SetProductVersion("fail.exe", "1.2.3.4");
	FakeOS::FailCalls("GetFileVersionInfoW");
	EXPECT_EQ(REL::ReadProductVersion(L"fail.exe"), std::nullopt);
}
