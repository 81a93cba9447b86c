// The Address Library on the real Windows calls (under Wine): a plugin in a loader's
// Plugins folder resolving ids from databases written by addrlib, the shared region
// seen by a second process, and the hash service through BCrypt.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "ChildProcess.h"
#include "GameFolder.h"
#include "REL/IDDB.h"

namespace
{
	// The build's programs, given as paths of the Linux side; Wine shows them on Z:.
	std::string WindowsPath(const std::string& a_path)
	{
		return Sandbox::FromBuildPath(a_path).string();
	}

	int RunProgram(const std::string& a_commandLine)
	{
		const auto run = TestSupport::RunChild(a_commandLine);
		if (!run.started) {
			ADD_FAILURE() << "cannot start " << a_commandLine << " (" << ::GetLastError() << ")";
			return -1;
		}
		return static_cast<int>(run.exitCode);
	}

	std::string Quote(const std::string& a_text)
	{
		return "\"" + a_text + "\"";
	}

	class IDDBOnWindows : public ::testing::Test
	{
	protected:
		void SetUp() override
		{
			char temp[MAX_PATH]{};
			::GetTempPathA(MAX_PATH, temp);
			root = std::string(temp) + "qs_rel_wine_" + std::to_string(::GetCurrentProcessId());
			std::filesystem::remove_all(root);
		}

		void TearDown() override
		{
			std::error_code error;
			std::filesystem::remove_all(root, error);
		}

		// <install>\Data\<loader>\Plugins with the test plugin in it; returns the plugin's
		// path. A second install of the same game version goes beside the first.
		std::string InstallPlugin(const std::string& a_loader, const std::string& a_install = "")
		{
			plugins = root + (a_install.empty() ? "" : "\\" + a_install) + "\\Data\\" + a_loader + "\\Plugins";
			std::filesystem::create_directories(plugins);
			const auto plugin = plugins + "\\rel_wine_plugin.dll";
			EXPECT_TRUE(::CopyFileA(WindowsPath(QS_PLUGIN_DLL).c_str(), plugin.c_str(), FALSE));
			return plugin;
		}

		// addrlib write <plugins>\<name> --format <format> --game-version <version> <pairs>
		std::string WriteDatabase(const std::string& a_name, const std::string& a_format, const std::string& a_version, const std::string& a_pairs)
		{
			const auto pairs = root + "\\pairs-" + a_name + ".txt";
			std::ofstream(pairs) << a_pairs;
			const auto database = plugins + "\\" + a_name;
			EXPECT_EQ(RunProgram(Quote(WindowsPath(QS_ADDRLIB)) + " write " + Quote(database) + " --format " + a_format + " --game-version " + a_version + " " + Quote(pairs)), 0);
			return database;
		}

		int Resolve(const std::string& a_game, const std::string& a_plugin, const std::string& a_id, const std::string& a_offset)
		{
			return RunProgram(Quote(WindowsPath(a_game)) + " resolve " + Quote(a_plugin) + " " + a_id + " " + a_offset);
		}

		std::string root;
		std::string plugins;
	};
} // namespace

TEST_F(IDDBOnWindows, PluginInTheF4SEFolderResolvesIdsFromARawFileWrittenByAddrlib)
{
	const auto plugin = InstallPlugin("F4SE");
	WriteDatabase("version-1-11-221-0.bin", "raw", "1.11.221.0", "5 0x1000\n9 0x2468\n12 0x3000\n");
	EXPECT_EQ(Resolve(QS_GAME, plugin, "9", "0x2468"), 0);
	EXPECT_EQ(Resolve(QS_GAME, plugin, "12", "0x3000"), 0);
	// A missing id is fatal: the process ends with exit code 1.
	EXPECT_EQ(Resolve(QS_GAME, plugin, "10", "0"), 1);
}

TEST_F(IDDBOnWindows, FormatTwoRegionIsSharedWithASecondProcessOnlyForTheSameFile)
{
	const auto plugin = InstallPlugin("SKSE");
	const auto database = WriteDatabase("versionlib-1-11-221-0.bin", "2", "1.11.221.0", "100 0x5000\n101 0x5008\n200 0x9000\n");
	// The same file: the second process reads the region without decoding.
	EXPECT_EQ(RunProgram(Quote(WindowsPath(QS_GAME)) + " hold " + Quote(plugin) + " 200 0x9000 " + Quote(plugin) + " 200 0x9000 1"), 0);
	// Same ids, other offsets, while the first process holds the region: the second
	// process decodes its own file and never sees the first one's offsets.
	const auto replacement = WriteDatabase("replacement.bin", "2", "1.11.221.0", "100 0x7000\n101 0x7008\n200 0xB000\n");
	EXPECT_EQ(RunProgram(Quote(WindowsPath(QS_GAME)) + " share " + Quote(plugin) + " 200 0x9000 " + Quote(database) + " " + Quote(replacement) + " 0xB000"), 0);
}

// Two installs of the same game version, each with its own database: while a process of
// the first holds the region, a process of the second finds its own offsets, whatever
// the format and however the files differ; only identical files share the region.
TEST_F(IDDBOnWindows, ASecondInstallUsesTheRegionOnlyWhenItsFileIsTheSame)
{
	const std::string first = "100 0x5000\n101 0x5008\n200 0x9000\n";
	const struct
	{
		const char* name;
		const char* loader;
		const char* file;
		const char* format;
		std::string second;
		const char* offset; // of id 200 in the second install
		const char* shared;
	} cases[] = {
		{ "raw, same file", "F4SE", "version-1-11-221-0.bin", "raw", first, "0x9000", "1" },
		{ "raw, other offsets", "F4SE", "version-1-11-221-0.bin", "raw", "100 0x7000\n101 0x7008\n200 0xB000\n", "0xB000", "0" },
		{ "raw, larger file", "F4SE", "version-1-11-221-0.bin", "raw", "100 0x7000\n101 0x7008\n200 0xB000\n300 0xC000\n", "0xB000", "0" },
		{ "format 5, other offsets", "SKSE", "versionlib-1-11-221-0.bin", "5", "100 0x7000\n101 0x7008\n200 0xB000\n", "0xB000", "0" },
		{ "format 2, other offsets", "SKSE", "versionlib-1-11-221-0.bin", "2", "100 0x7000\n101 0x7008\n200 0xB000\n", "0xB000", "0" },
		{ "format 2, larger file", "SKSE", "versionlib-1-11-221-0.bin", "2", "100 0x7000\n101 0x7008\n200 0xB000\n300 0xC000\n", "0xB000", "0" },
	};
	for (const auto& c : cases) {
		std::filesystem::remove_all(root);
		const auto holder = InstallPlugin(c.loader, "First");
		WriteDatabase(c.file, c.format, "1.11.221.0", first);
		const auto second = InstallPlugin(c.loader, "Second");
		WriteDatabase(c.file, c.format, "1.11.221.0", c.second);
		EXPECT_EQ(RunProgram(Quote(WindowsPath(QS_GAME)) + " hold " + Quote(holder) + " 200 0x9000 " + Quote(second) + " 200 " + c.offset + " " + c.shared), 0) << c.name;
	}
}

// The first process holds after it has made the region and before it decodes; the second
// starts then, must wait, and reads the table only once it is complete (exit 9: it never
// waited; 2: it read a wrong offset; 5: it did not use the region).
TEST_F(IDDBOnWindows, ASecondProcessWaitsWhileTheFirstDecodesTheTable)
{
	const auto  plugin = InstallPlugin("SKSE");
	std::string pairs;
	for (int i = 1; i <= 5000; ++i) {
		pairs += std::to_string(i * 3) + " 0x" + std::to_string(1000 + i) + "0\n";
	}
	WriteDatabase("versionlib-1-11-221-0.bin", "2", "1.11.221.0", pairs);
	EXPECT_EQ(RunProgram(Quote(WindowsPath(QS_GAME)) + " race " + Quote(plugin) + " 15000 0x60000"), 0);
}

// Each way the chosen file can fail to be a readable file is named, with the path, in
// what the process writes before it ends (exit code 1).
TEST_F(IDDBOnWindows, EachCauseOfAnUnreadableFileHasItsOwnMessage)
{
	const struct
	{
		const char* name;
		const char* loader;
		const char* file;
		const char* format; // empty: no database written
		bool        folder;
		bool        locked; // held open by this process, shared with nobody
		const char* message;
	} cases[] = {
		{ "a folder of the raw file's name", "F4SE", "version-1-11-221-0.bin", "", true, false, "Address Library path is a folder!" },
		{ "a folder of a formatted file's name", "SKSE", "versionlib-1-11-221-0.bin", "", true, false, "Address Library path is a folder!" },
		{ "an empty file", "F4SE", "version-1-11-221-0.bin", "", false, false, "Address Library file is empty!" },
		{ "a raw file in use", "F4SE", "version-1-11-221-0.bin", "raw", false, true, "Failed to open Address Library file!\nError: 32 (the file is in use by another program)" },
		{ "a format-2 file in use", "SKSE", "versionlib-1-11-221-0.bin", "2", false, true, "Failed to open Address Library file!\nError: 32 (the file is in use by another program)" },
	};
	for (const auto& c : cases) {
		std::filesystem::remove_all(root);
		const auto plugin = InstallPlugin(c.loader);
		const auto path = plugins + "\\" + c.file;
		if (c.folder) {
			std::filesystem::create_directories(path);
		} else if (*c.format == '\0') {
			std::ofstream{ path };
		} else {
			WriteDatabase(c.file, c.format, "1.11.221.0", "1 0x10\n");
		}
		const HANDLE lock = c.locked ? ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) : INVALID_HANDLE_VALUE;
		const auto   log = root + "\\game.log";
		EXPECT_EQ(RunProgram(Quote(WindowsPath(QS_GAME)) + " resolve " + Quote(plugin) + " 1 0x10 " + Quote(log)), 1) << c.name;
		if (lock != INVALID_HANDLE_VALUE) {
			::CloseHandle(lock);
		}
		std::ifstream     in{ log, std::ios::binary };
		const std::string text{ std::istreambuf_iterator<char>{ in }, {} };
		EXPECT_NE(text.find("[critical]"), std::string::npos) << c.name << ":\n"
		                                                      << text;
		EXPECT_NE(text.find(std::string{ "] " } + c.message + "\nPath: " + path + "\r\n"), std::string::npos) << c.name << ":\n"
		                                                                                                      << text;
	}
}

TEST_F(IDDBOnWindows, FormatFiveDatabaseResolvesFromTheFlatArray)
{
	const auto plugin = InstallPlugin("SKSE");
	WriteDatabase("versionlib-1-11-221-0.bin", "5", "1.11.221.0", "3 0x30\n7 0x1234\n");
	EXPECT_EQ(Resolve(QS_GAME, plugin, "7", "0x1234"), 0);
	EXPECT_EQ(Resolve(QS_GAME, plugin, "5", "0"), 1);
	EXPECT_EQ(Resolve(QS_GAME, plugin, "8", "0"), 1);
}

TEST_F(IDDBOnWindows, KnownBadCheckHashesTheFileThroughBCryptAndAcceptsAGoodOne)
{
	// Game 1.10.980.0 has a known-bad row for the F4SE loader, so the file is hashed;
	// a failing hash service would end the process with 1.
	const auto plugin = InstallPlugin("F4SE");
	WriteDatabase("version-1-10-980-0.bin", "raw", "1.10.980.0", "1 0x10\n");
	EXPECT_EQ(Resolve(QS_OLD_GAME, plugin, "1", "0x10"), 0);
}

TEST_F(IDDBOnWindows, Sha512OfAMappedFileThroughBCrypt)
{
	std::filesystem::create_directories(root);
	const auto path = root + "\\abc.bin";
	std::ofstream(path, std::ios::binary) << "abc";

	REL::IDDB::MEMORY_MAP map;
	ASSERT_TRUE(map.open(false, std::filesystem::path(path), "QS_IDDB_WINE_SHA_TEST", static_cast<std::uint64_t>(-1)));
	EXPECT_TRUE(map.created());
	EXPECT_EQ(map.size(), 3u);
	EXPECT_EQ(REL::sha512_hex(map.data(), static_cast<std::size_t>(map.size())),
	          "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49F");

	// A second map of the same name finds the object rather than making one.
	REL::IDDB::MEMORY_MAP again;
	ASSERT_TRUE(again.open(false, std::filesystem::path(path), "QS_IDDB_WINE_SHA_TEST", static_cast<std::uint64_t>(-1)));
	EXPECT_FALSE(again.created());

	EXPECT_EQ(REL::sha512_hex("", 0),
	          "CF83E1357EEFB8BDF1542850D66D8007D620E4050B5715DC83F4A921D36CE9CE47D0D13C5D85F2B0FF8318D2877EEC2F63B931BD47417A81A538327AF927DA3E");
}
