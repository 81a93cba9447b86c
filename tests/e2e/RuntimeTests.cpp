// Quellstone under the host's rules for the game that runs: the host loads it on any
// runtime whose Address Library is installed, and refuses it itself, before any of its
// code runs, when that file is missing.

#include <filesystem>
#include <string>
#include <vector>

#include "GameLayout.h"
#include "Host.h"
#include "SandboxCase.h"

namespace E2E
{
	namespace
	{
		constexpr REL::VersionNumber kOtherRuntime{ QS_OTHER_GAME_VERSION_PARTS };
	} // namespace

	class Runtime : public SandboxCase
	{
	protected:
		// The game stand-in reporting a_version: the one the plugin is built for, or the
		// other one the build makes.
		Sandbox::GameFolder& MakeGameOf(const REL::VersionNumber& a_version)
		{
			auto files = Built();
			if (a_version == kOtherRuntime) {
				files.game = Sandbox::FromBuildPath(QS_OTHER_GAME_EXE);
			}
			files.gameVersion = a_version;
			game.emplace(CasesFolder() / caseName, files);
			return *game;
		}

		[[nodiscard]] std::vector<std::string> HostLog() const { return Sandbox::ReadLines(Sandbox::PluginLogPath(caseName, "f4se")); }
	};

	TEST_F(Runtime, AnotherRuntimeWithItsDatabaseLoadsAndProtects)
	{
		ASSERT_NE(kOtherRuntime, GameLayout::kRuntimeVersion);
		ASSERT_TRUE(MakeGameOf(kOtherRuntime).WriteAddressLibrary({}));
		game->WriteIni(Ini(1, 1, 0));

		const auto result = Play(kBlockScript);

		EXPECT_EQ(result.exitCode, 0u);
		EXPECT_EQ(Lines(result.output), kBlockedOutput);
		const auto lines = PluginLines();
		ASSERT_GE(lines.size(), 2u);
		EXPECT_EQ(lines[0], kStartup);
		EXPECT_EQ(lines[1], kEnabled);
		const auto host = HostLog();
		ASSERT_GE(host.size(), 2u);
		EXPECT_EQ(host[0], "F4SE runtime: version 0.7.8.0 (release 32), game " + kOtherRuntime.ToString("."));
		EXPECT_TRUE(host[1].starts_with("plugin Quellstone.dll (00000001 Quellstone 01000000) loaded correctly")) << host[1];
	}

	// The player installed no database, or the one of another runtime: the host refuses
	// Quellstone with its own line, Quellstone writes no log, and the game runs on untouched.
	TEST_F(Runtime, WithoutItsDatabaseTheHostRefusesThePluginItself)
	{
		const struct
		{
			REL::VersionNumber runtime;
			const char*        database; // the name the database is installed under, if any
		} cases[] = {
			{ GameLayout::kRuntimeVersion, nullptr },
			{ kOtherRuntime, nullptr },
			{ kOtherRuntime, QS_ADDRESS_LIBRARY_FILE }, // the one for the runtime Quellstone was built for
		};
		for (const auto& c : cases) {
			const auto shown = c.runtime.ToString(".") + " with " + (c.database ? c.database : "no database");
			auto&      folder = MakeGameOf(c.runtime);
			if (c.database) {
				ASSERT_TRUE(folder.WriteAddressLibrary({})) << shown;
				std::filesystem::rename(folder.PluginFolder() / ("version-" + c.runtime.ToString("-") + ".bin"), folder.PluginFolder() / c.database);
			}
			const auto result = Play(kBlockScript);

			EXPECT_EQ(result.exitCode, 0u) << shown;
			EXPECT_EQ(Lines(result.output), kUnhookedOutput) << shown;
			EXPECT_TRUE(AllLogLines().empty()) << shown;
			const auto host = HostLog();
			ASSERT_EQ(host.size(), 4u) << shown;
			EXPECT_EQ(host[1], "plugin Quellstone.dll (00000001 Quellstone 01000000) disabled, address library needs to be updated") << shown;
		}
	}
} // namespace E2E
