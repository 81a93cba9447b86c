// The host stand-in seen from plugins: it reads their records from their files before any
// of their code runs, tells them who it is, and sends its messages to their listeners
// once every load entry has run. Plugins of the tests' own (ListenerPlugin.cpp) write what
// happens to them into events.txt beside them.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "GameFolder.h"
#include "GameLayout.h"
#include "Host.h"

namespace
{
	class HostStandIn : public ::testing::Test
	{
	protected:
		void SetUp() override
		{
			caseName = ::testing::UnitTest::GetInstance()->current_test_info()->name();
			std::filesystem::remove_all(Sandbox::PluginLogPath(caseName, "f4se").parent_path());
			const Sandbox::BuiltFiles files{ Sandbox::FromBuildPath(QS_GAME_EXE), Sandbox::FromBuildPath(QS_LISTENER_DLL), Sandbox::FromBuildPath(QS_ADDRLIB_EXE) };
			game.emplace(Sandbox::FromBuildPath(QS_CASES_DIR) / caseName, files);
		}

		void AddPlugin(const std::filesystem::path& a_built, const std::string& a_asName) const
		{
			std::filesystem::copy_file(a_built, game->PluginFolder() / a_asName);
		}

		[[nodiscard]] Sandbox::ProcessResult RunGame() const
		{
			std::ofstream{ game->Root() / "script.txt" };
			return game->RunGame({ "--my-games", caseName, "--script", "script.txt" });
		}

		[[nodiscard]] std::vector<std::string> Events() const { return Sandbox::ReadLines(game->PluginFolder() / "events.txt"); }
		[[nodiscard]] std::vector<std::string> HostLog() const { return Sandbox::ReadLines(Sandbox::PluginLogPath(caseName, "f4se")); }

		// The host's line for the plugin file a_file, or "<no line>".
		[[nodiscard]] std::string HostLine(const std::string& a_file) const
		{
			const auto lines = HostLog();
			const auto found = std::ranges::find_if(lines, [&](const std::string& a_line) { return a_line.starts_with("plugin " + a_file + " "); });
			return found == lines.end() ? "<no line>" : *found;
		}

		std::string                        caseName;
		std::optional<Sandbox::GameFolder> game;
	};

	TEST_F(HostStandIn, ReadsTheRecordFromTheFileBeforeAnyOfThePluginsCodeRuns)
	{
		ASSERT_TRUE(game->WriteAddressLibrary({}));
		AddPlugin(Sandbox::FromBuildPath(QS_LATE_RECORD_DLL), "LateRecord.dll");
		std::ofstream{ game->PluginFolder() / "NotAPlugin.dll", std::ios::binary } << "text, not a program";

		ASSERT_EQ(RunGame().exitCode, 0u);

		// Filled in when the DLL starts, the record is zeros in the file: the DLL is never
		// loaded, so it notes nothing.
		EXPECT_EQ(HostLine("LateRecord.dll"), "plugin LateRecord.dll (00000000  00000000) disabled, no version data");
		EXPECT_EQ(HostLine("NotAPlugin.dll"), "plugin NotAPlugin.dll disabled, no version data");
		EXPECT_TRUE(HostLine("Listener.dll").starts_with("plugin Listener.dll (00000001 Listener 01000000) loaded correctly (handle ")) << HostLine("Listener.dll");
		for (const auto& event : Events()) {
			EXPECT_TRUE(event.starts_with("Listener.dll: ")) << event;
		}
	}

	TEST_F(HostStandIn, ReportsItsVersionAndSendsPostLoadThenPostPostLoadAfterEveryLoadEntry)
	{
		ASSERT_TRUE(game->WriteAddressLibrary({}));
		AddPlugin(Sandbox::FromBuildPath(QS_LISTENER_DLL), "Listener2.dll");

		ASSERT_EQ(RunGame().exitCode, 0u);

		// Both load entries, in whichever order the folder lists the files, before the
		// first message; then each message to both listeners, PostLoad first.
		const auto events = Events();
		ASSERT_EQ(events.size(), 8u);
		const auto               loadEntry = fmt::format("load entry: host 00070080, release 32, game {:08X}", GameLayout::kRuntimeVersionPacked);
		std::vector<std::string> loads(events.begin(), events.begin() + 4);
		std::ranges::sort(loads);
		EXPECT_EQ(loads, (std::vector<std::string>{ "Listener.dll: listening", "Listener.dll: " + loadEntry, "Listener2.dll: listening", "Listener2.dll: " + loadEntry }));
		std::vector<std::string> messages(events.begin() + 4, events.end());
		for (auto& message : messages) {
			message = message.substr(message.find(": ") + 2);
		}
		EXPECT_EQ(messages, (std::vector<std::string>{ "message 0 from F4SE", "message 0 from F4SE", "message 1 from F4SE", "message 1 from F4SE" }));
	}
} // namespace
