#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "FakeModules.h"
#include "LogCapture.h"
#include "REX/FModule.h"
#include "TestImage.h"

namespace
{
	using TestSupport::MakeImage;

	class FModuleTest : public ::testing::Test
	{
	protected:
		void SetUp() override { FakeOS::Reset(); }
	};
} // namespace

TEST_F(FModuleTest, FindSectionMatchesTheWholeName)
{
	// ".textbss" stands first: ".text" must not take it for itself.
	auto       image = MakeImage({ { ".data", 0x100, 0x3000 }, { ".textbss", 0x10, 0x2000 }, { ".text", 0x500, 0x1000 }, { ".rdata123", 0x20, 0x4000 } });
	const auto module = REX::FModule{ image.data() };
	const auto base = reinterpret_cast<std::uintptr_t>(image.data());

	const struct
	{
		const char*   name;
		std::uint64_t rva;
		std::uint64_t size;
	} cases[] = {
		{ ".text", 0x1000, 0x500 },
		{ ".textbss", 0x2000, 0x10 },
		{ ".data", 0x3000, 0x100 },
		{ ".rdata1234567", 0x4000, 0x20 }, // only the first 8 bytes take part
	};
	for (const auto& c : cases) {
		const auto section = module.FindSection(c.name);
		EXPECT_EQ(section.module, base) << c.name;
		EXPECT_EQ(section.start, base + c.rva) << c.name;
		EXPECT_EQ(section.size, c.size) << c.name;
	}

	// A name that only begins a section's name, or a name no section has, finds nothing.
	for (const char* name : { ".reloc", ".t", ".tex", ".textb" }) {
		const auto missing = module.FindSection(name);
		EXPECT_EQ(missing.module, 0u) << name;
		EXPECT_EQ(missing.start, 0u) << name;
		EXPECT_EQ(missing.size, 0u) << name;
	}
}

TEST_F(FModuleTest, FindSectionHonoursTheOptionalHeaderSize)
{
	auto       image = MakeImage({ { ".text", 0x40, 0x1000 } }, 0x70);
	const auto section = REX::FModule{ image.data() }.FindSection(".text");
	EXPECT_EQ(section.start, reinterpret_cast<std::uintptr_t>(image.data()) + 0x1000);
	EXPECT_EQ(section.size, 0x40u);
}

TEST_F(FModuleTest, GetFileNameReadsPathsLongerThan260Whole)
{
	const auto        handle = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x140000000 });
	const std::string longPath = "C:\\" + std::string(600, 'x') + "\\Fallout4.exe";
	FakeOS::AddModule(handle, longPath);
	EXPECT_EQ(REX::FModule{ handle }.GetFileName(), longPath);
	FakeOS::AddModule(handle, "C:\\Games\\Fallout4.exe");
	EXPECT_EQ(REX::FModule{ handle }.GetFileName(), "C:\\Games\\Fallout4.exe");
}

// Players' folders: a user name in Latin letters outside ASCII, a game folder in Greek
// and Chinese, and a path longer than the old 260-character buffer. The wide read hands
// back every character, the narrow form is its UTF-8, and the version resource is found
// under that very path.
TEST_F(FModuleTest, PathsOutsideTheAnsiCodePageAreReadWholeWithTheirVersion)
{
	const auto game = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x140000000 });
	const struct
	{
		std::wstring wide;
		std::string  utf8;
	} cases[] = {
		{ L"C:\\Users\\J\u00F6s\u00E9\\Fallout4.exe", "C:\\Users\\J\xC3\xB6s\xC3\xA9\\Fallout4.exe" },
		{ L"Z:\\\u03A9\u03BC\u03AD\u03B3\u03B1 \u6E38\u620F\\Fallout4.exe", "Z:\\\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\xB8\xB8\xE6\x88\x8F\\Fallout4.exe" },
		{ L"D:\\" + std::wstring(300, L'\u6E38') + L"\\Fallout4.exe", "D:\\" + [] { std::string s; for (int i = 0; i < 300; ++i) s += "\xE6\xB8\xB8"; return s; }() + "\\Fallout4.exe" },
	};
	for (const auto& c : cases) {
		FakeOS::Reset();
		FakeOS::AddModule(game, c.utf8);
		FakeOS::SetProductVersion(c.utf8, "1.11.221.0");
		const REX::FModule module{ game };
		EXPECT_EQ(module.GetFileNameW(), c.wide) << c.utf8;
		EXPECT_EQ(module.GetFileName(), c.utf8);
		EXPECT_EQ(module.GetProductVersion(), REL::VersionNumber(1, 11, 221, 0)) << c.utf8;
		EXPECT_EQ(FakeOS::CallCount("GetModuleFileNameA"), 0) << "the narrow call cuts and mangles such paths";
		EXPECT_EQ(FakeOS::CallCount("GetFileVersionInfoSizeA"), 0);
	}
}

TEST_F(FModuleTest, AVersionThatCannotBeReadNamesThePathWithItsOwnCharacters)
{
	const auto game = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x140000000 });
	FakeOS::AddModule(game, "Z:\\\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\xB8\xB8\xE6\x88\x8F\\Fallout4.exe");
	TestSupport::LogCapture capture;
	EXPECT_THROW((void)REX::FModule{ game }.GetProductVersion(), FakeOS::ProcessTerminated);
	ASSERT_EQ(capture.Lines().size(), 1u);
	EXPECT_EQ(capture.Lines()[0].message, "Failed to read the product version of Z:\\\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\xB8\xB8\xE6\x88\x8F\\Fallout4.exe: it has no ProductVersion in block 040904B0");
	ASSERT_EQ(FakeOS::MessageBoxes().size(), 1u);
	EXPECT_TRUE(FakeOS::MessageBoxes()[0].wide);
	EXPECT_NE(FakeOS::MessageBoxes()[0].text.find(L"\u03A9\u03BC\u03AD\u03B3\u03B1 \u6E38\u620F"), std::wstring::npos);
}

TEST_F(FModuleTest, ImageSizeComesFromTheOptionalHeader)
{
	for (const std::uint32_t size : { 0x1000u, 0x2A000u, 0x7FFFF000u }) {
		auto image = MakeImage({ { ".text", 0x40, 0x1000 } }, 0xF0, size);
		EXPECT_EQ(REX::FModule{ image.data() }.GetImageSize(), size);
	}
	EXPECT_EQ(REX::FModule{}.GetImageSize(), 0u);
}

TEST_F(FModuleTest, GetFileNameWithoutAPathIsFatal)
{
	TestSupport::LogCapture capture;
	const auto              handle = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x140000000 });
	EXPECT_THROW((void)REX::FModule{ handle }.GetFileName(), FakeOS::ProcessTerminated);
	ASSERT_EQ(capture.Lines().size(), 1u);
	EXPECT_EQ(capture.Lines()[0].message, "failed to obtain module file name");
	EXPECT_EQ(FakeOS::Terminations(), std::vector<REX::OS::UINT>{ 1 });
}

TEST_F(FModuleTest, GetProductVersionOfTheGame)
{
	const auto game = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x140000000 });
	FakeOS::AddModule(game, "C:\\Games\\Fallout4.exe");
	FakeOS::SetProcessModule(game);
	FakeOS::SetProductVersion("C:\\Games\\Fallout4.exe", "1.11.221.0");
	const auto module = REX::FModule::ProcessModule();
	EXPECT_EQ(module.GetBase(), 0x140000000u);
	EXPECT_EQ(module.GetProductVersion(), REL::VersionNumber(1, 11, 221, 0));
}

TEST_F(FModuleTest, UnreadableProductVersionIsFatalAndNamesTheExecutable)
{
	const auto game = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x140000000 });
	FakeOS::AddModule(game, "C:\\Games\\Fallout4.exe");
	const struct
	{
		const char* version; // null: no version resource at all
		const char* expected;
	} cases[] = {
		{ nullptr, "Failed to read the product version of C:\\Games\\Fallout4.exe: it has no ProductVersion in block 040904B0" },
		{ "1.eleven", "Failed to read the product version of C:\\Games\\Fallout4.exe: stoi" },
		{ "1.99999999999", "Failed to read the product version of C:\\Games\\Fallout4.exe: stoi" },
	};
	for (const auto& c : cases) {
		FakeOS::Reset();
		FakeOS::AddModule(game, "C:\\Games\\Fallout4.exe");
		if (c.version) {
			FakeOS::SetProductVersion("C:\\Games\\Fallout4.exe", c.version);
		}
		TestSupport::LogCapture capture;
		EXPECT_THROW((void)REX::FModule{ game }.GetProductVersion(), FakeOS::ProcessTerminated);
		ASSERT_EQ(capture.Lines().size(), 1u);
		EXPECT_EQ(capture.Lines()[0].message.rfind(c.expected, 0), 0u) << capture.Lines()[0].message;
		EXPECT_EQ(FakeOS::Terminations(), std::vector<REX::OS::UINT>{ 1 });
	}
}
