// FModule, version reading and fatal errors against the real Windows calls (under Wine).

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "REX/FModule.h"

namespace
{
	std::filesystem::path OwnFolder()
	{
		wchar_t    buffer[MAX_PATH]{};
		const auto length = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
		return std::filesystem::path(std::wstring(buffer, length)).parent_path();
	}
} // namespace

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

TEST(WindowsModule, FatalErrorEndsTheProcessWithExitCode1AfterLoggingTheLine)
{
	const auto folder = OwnFolder();
	const auto log = folder / "fatal_child.log";
	std::filesystem::remove(log);
	std::wstring command = L"\"" + (folder / "fatal_child.exe").wstring() + L"\" \"" + log.wstring() + L"\"";

	STARTUPINFOW startup{};
	startup.cb = sizeof(startup);
	PROCESS_INFORMATION process{};
	ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
	ASSERT_EQ(::WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
	DWORD exitCode = 0;
	::GetExitCodeProcess(process.hProcess, &exitCode);
	::CloseHandle(process.hThread);
	::CloseHandle(process.hProcess);
	EXPECT_EQ(exitCode, 1u);

	std::ifstream      in(log);
	std::ostringstream text;
	text << in.rdbuf();
	const auto content = text.str();
	EXPECT_NE(content.find("[info] before the fatal error"), std::string::npos) << content;
	EXPECT_NE(content.find("[critical] child fatal 42"), std::string::npos) << content;
}
