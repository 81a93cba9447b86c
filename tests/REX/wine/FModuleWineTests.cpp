// FModule and version reading against the real Windows calls (under Wine).

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "REX/FModule.h"

TEST(WindowsModule, FindTextSectionAgreesWithThePeHeaders)
{
	const auto*                 base = reinterpret_cast<const std::uint8_t*>(::GetModuleHandleW(nullptr));
	const auto*                 dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
	const auto*                 nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
	const auto*                 section = IMAGE_FIRST_SECTION(nt);
	const IMAGE_SECTION_HEADER* text = nullptr;
	for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
		if (std::memcmp(section[i].Name, ".text", 5) == 0) {
			text = &section[i];
			break;
		}
	}
	ASSERT_NE(text, nullptr);

	const auto module = REX::FModule::ProcessModule();
	EXPECT_EQ(module.GetBase(), reinterpret_cast<std::uintptr_t>(base));
	const auto found = module.FindSection(".text");
	EXPECT_EQ(found.module, reinterpret_cast<std::uintptr_t>(base));
	EXPECT_EQ(found.start, reinterpret_cast<std::uintptr_t>(base) + text->VirtualAddress);
	EXPECT_EQ(found.size, text->Misc.VirtualSize);
	EXPECT_EQ(module.FindSection(".nosuch").start, 0u);
}

TEST(WindowsModule, ThisModuleOfAProgramIsTheProgram)
{
	EXPECT_EQ(REX::FModule::ThisModule().GetHandle(), ::GetModuleHandleW(nullptr));
	char       buffer[MAX_PATH]{};
	const auto length = ::GetModuleFileNameA(nullptr, buffer, MAX_PATH);
	EXPECT_EQ(REX::FModule::ProcessModule().GetFileName(), std::string(buffer, length));
}

TEST(WindowsModule, ReadsTheGameVersionFromTheVersionResource)
{
	EXPECT_EQ(REX::FModule::ProcessModule().GetProductVersion(), REL::VersionNumber(1, 11, 221, 0));
	// A system DLL carries no 040904B0 ProductVersion that names this game.
	const auto kernel = REX::FModule{ ::GetModuleHandleW(L"kernel32.dll") };
	EXPECT_NE(REL::ReadProductVersion(kernel.GetFileNameW()), REL::VersionNumber(1, 11, 221, 0));
}
