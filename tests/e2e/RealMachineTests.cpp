// The plugin on a machine as players have it: a Windows account named with letters
// outside ASCII (this program runs in a Wine prefix of its own whose user is "Jösé") and
// the game in a folder named in Greek and Chinese (CasesFolder). The log must reach the
// account's real documents folder, the Address Library must be found beside the plugin,
// and a fatal message must show the path with its own characters.

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "Host.h"
#include "SandboxCase.h"

namespace E2E
{
	namespace
	{
		std::string Utf8(const std::filesystem::path& a_path)
		{
			const auto text = a_path.u8string();
			return std::string(text.begin(), text.end());
		}

		std::filesystem::path UserProfile()
		{
			std::wstring buffer(32768, L'\0');
			buffer.resize(::GetEnvironmentVariableW(L"USERPROFILE", buffer.data(), static_cast<DWORD>(buffer.size())));
			return buffer;
		}

		bool IsAscii(const std::wstring& a_text)
		{
			return std::ranges::all_of(a_text, [](wchar_t a_c) { return a_c < 0x80; });
		}
	} // namespace

	using RealMachine = SandboxCase;

	TEST_F(RealMachine, LogGoesToTheAccountsDocumentsAndBothHooksAreInstalled)
	{
		const auto profile = UserProfile();
		ASSERT_FALSE(IsAscii(profile.filename().wstring())) << "the prefix's account should be named outside ASCII: " << Utf8(profile);
		ASSERT_FALSE(IsAscii(CasesFolder().wstring()));

		MakeGame().WriteIni(Ini(1, 1, 0));
		const auto result = Play(std::string{ kForms } + "cell early 00001111 3 1 1 LoadingCell\n"
		                                                 "invalidate chair sanctuary true\nclear early\n");

		EXPECT_EQ(result.exitCode, 0u);
		EXPECT_EQ(Lines(result.output), (std::vector<std::string>{ "invalidate chair sanctuary -> false", "clear early -> skipped" }));
		// The log is where the account's documents folder is (the known folder, wide), and
		// carries the lines of a run with both detours in place.
		const auto log = Sandbox::PluginLogPath(caseName, "Quellstone");
		EXPECT_TRUE(Utf8(log).starts_with(Utf8(profile))) << Utf8(log);
		EXPECT_EQ(PluginLines(), (std::vector<std::string>{ kStartup, kEnabled,
		                                                    "[info] Blocked precombine invalidation: ref=0001A2B3 (Wooden Chair) [placed reference], cell=0000C0DE (SanctuaryHillsExt)",
		                                                    "[info] Skipped early precombine clear: cell=00001111" }));

		// A narrow open of that path would have made a look-alike profile beside the real
		// one (JÃ¶sÃ© for Jösé): only the account's own folder and Public may be there.
		std::vector<std::wstring> profiles;
		for (const auto& entry : std::filesystem::directory_iterator(profile.parent_path())) {
			profiles.push_back(entry.path().filename().wstring());
		}
		std::ranges::sort(profiles);
		auto expected = std::vector<std::wstring>{ profile.filename().wstring(), L"Public" };
		std::ranges::sort(expected);
		EXPECT_EQ(profiles, expected);
	}

	TEST_F(RealMachine, FatalMessageShowsThePathWithItsOwnCharacters)
	{
		auto& folder = MakeGame({}, "Data/F4SE/Plugins", false);
		ASSERT_TRUE(folder.WriteDatabase("2201029 0x7FFFFFF0\n2200368 0x1000\n"));

		const auto result = RunGame({ "--script", "nonexistent.txt" });

		EXPECT_EQ(result.exitCode, 1u);
		const auto lines = PluginLines();
		ASSERT_GE(lines.size(), 6u);
		EXPECT_EQ(lines[1], "[critical] Address Library offset lies outside the game!");
		// The path as the player's file system names it, in UTF-8 in the log.
		EXPECT_EQ(lines[5], "Path: " + Utf8((folder.PluginFolder() / "version-1-11-221-0.bin").make_preferred()));
	}
} // namespace E2E
