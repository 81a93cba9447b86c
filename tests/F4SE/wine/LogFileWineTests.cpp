// The log file on the real platform calls, under Wine. Each case starts the host
// stand-in as a separate process, once per simulated start of the game, and reads what
// it left in the documents folder.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <shlobj.h>
#include <windows.h>

#include "ChildProcess.h"
#include "TextFile.h"

namespace
{
	namespace fs = std::filesystem;

	fs::path DocumentsFolder()
	{
		PWSTR path = nullptr;
		if (::SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &path) != S_OK) {
			::CoTaskMemFree(path);
			return {};
		}
		fs::path result{ path };
		::CoTaskMemFree(path);
		return result;
	}

	// Every case but the first writes under a game folder of its own, so that the first
	// can remove "Fallout4" while the others run alongside it.
	constexpr auto kOtherGame = "QuellstoneTests";

	fs::path LogFolder(const char* a_game = kOtherGame)
	{
		return DocumentsFolder() / "My Games" / a_game / "F4SE";
	}

	using Run = TestSupport::ChildRun;

	// Starts the stand-in with the arguments and waits for it, collecting what it writes.
	Run StartHost(const std::vector<std::string>& a_arguments)
	{
		std::wstring commandLine = L"\"" + (TestSupport::ThisProgramFolder() / "f4se_host_standin.exe").wstring() + L"\"";
		for (const auto& argument : a_arguments) {
			commandLine += L" \"" + fs::path{ argument }.wstring() + L"\"";
		}
		return TestSupport::RunChild(std::move(commandLine), true);
	}

	Run StartOtherGame(std::vector<std::string> a_arguments)
	{
		a_arguments.push_back(std::string{ "folder=" } + kOtherGame);
		return StartHost(a_arguments);
	}

	// A log's last line, or "<no line>" when the file is missing or empty.
	std::string LastLine(const fs::path& a_path)
	{
		const auto lines = TestSupport::ReadLines(a_path);
		return lines.empty() ? "<no line>" : lines.back();
	}

	// Removes every file of a stem from earlier runs, rotated copies included.
	void RemoveLogs(const std::string& a_stem)
	{
		std::error_code ignored;
		for (const auto& entry : fs::directory_iterator{ LogFolder(), ignored }) {
			if (entry.path().filename().string().starts_with(a_stem + ".")) {
				fs::remove(entry.path(), ignored);
			}
		}
	}

	TEST(LogFileWineTest, DefaultLogIsCreatedWithMissingFoldersAndEmptiedAtEveryStart)
	{
		ASSERT_FALSE(DocumentsFolder().empty());
		std::error_code ignored;
		fs::remove_all(DocumentsFolder() / "My Games" / "Fallout4", ignored);

		ASSERT_EQ(StartHost({ "run=1" }).exitCode, 0u);
		ASSERT_EQ(StartHost({ "run=2" }).exitCode, 0u);

		const auto lines = TestSupport::ReadLines(LogFolder("Fallout4") / "Quellstone.log");
		ASSERT_EQ(lines.size(), 2u);
		EXPECT_TRUE(std::regex_match(lines[0], std::regex{ R"(\[\d\d:\d\d:\d\d\.\d{3}\] \[ *\d+ *\] \[I\] Quellstone v1\.0\.0\.0)" })) << lines[0];
		EXPECT_TRUE(lines[1].ends_with("[E] run 2")) << lines[1];
	}

	TEST(LogFileWineTest, StemAndPatternComeFromTheOptions)
	{
		RemoveLogs("Custom");
		ASSERT_EQ(StartOtherGame({ "stem=Custom", "pattern=%l:%v", "run=7" }).exitCode, 0u);
		EXPECT_EQ(TestSupport::ReadLines(LogFolder() / "Custom.log"), (std::vector<std::string>{ "info:Quellstone v1.0.0.0", "error:run 7" }));
	}

	TEST(LogFileWineTest, LevelFiltersTheFile)
	{
		const struct
		{
			const char*              level;
			std::vector<std::string> lines;
		} cases[] = {
			{ "4", { "error:run 4" } },
			{ "6", {} },
		};
		for (const auto& c : cases) {
			const std::string stem = std::string{ "Level" } + c.level;
			RemoveLogs(stem);
			ASSERT_EQ(StartOtherGame({ "stem=" + stem, "pattern=%l:%v", std::string{ "level=" } + c.level, "run=4" }).exitCode, 0u);
			EXPECT_TRUE(fs::exists(LogFolder() / (stem + ".log"))) << stem;
			EXPECT_EQ(TestSupport::ReadLines(LogFolder() / (stem + ".log")), c.lines) << stem;
		}
	}

	TEST(LogFileWineTest, RotatingLogKeepsAtMostTheConfiguredOlderFiles)
	{
		RemoveLogs("Rotating");
		for (int run = 1; run <= 5; ++run) {
			ASSERT_EQ(StartOtherGame({ "stem=Rotating", "pattern=%v", "rotate=3", "run=" + std::to_string(run) }).exitCode, 0u);
		}
		const auto folder = LogFolder();
		EXPECT_EQ(LastLine(folder / "Rotating.log"), "run 5");
		EXPECT_EQ(LastLine(folder / "Rotating.1.log"), "run 4");
		EXPECT_EQ(LastLine(folder / "Rotating.3.log"), "run 2");
		EXPECT_FALSE(fs::exists(folder / "Rotating.4.log"));

		// A run that writes nothing leaves an empty file, which the next run writes on
		// instead of rotating it away.
		ASSERT_EQ(StartOtherGame({ "stem=Rotating", "pattern=%v", "rotate=3", "level=6" }).exitCode, 0u);
		EXPECT_EQ(fs::file_size(folder / "Rotating.log"), 0u);
		ASSERT_EQ(StartOtherGame({ "stem=Rotating", "pattern=%v", "rotate=3", "run=7" }).exitCode, 0u);
		EXPECT_EQ(TestSupport::ReadLines(folder / "Rotating.log"), (std::vector<std::string>{ "Quellstone v1.0.0.0", "run 7" }));
		EXPECT_EQ(LastLine(folder / "Rotating.1.log"), "run 5");
	}

	TEST(LogFileWineTest, LogThatCannotBeSetUpDoesNotStopThePlugin)
	{
		RemoveLogs("TooMany");
		const auto run = StartOtherGame({ "stem=TooMany", "rotate=200001", "run=9" });
		EXPECT_EQ(run.exitCode, 0u);
		EXPECT_NE(run.output.find("host initialisation: setting up the log file failed"), std::string::npos) << run.output;
		EXPECT_NE(run.output.find("run 9"), std::string::npos) << run.output;
		EXPECT_FALSE(fs::exists(LogFolder() / "TooMany.log"));
	}
} // namespace
