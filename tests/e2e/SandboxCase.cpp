#include "SandboxCase.h"

#include <fstream>
#include <sstream>
#include <utility>

#include "Host.h"

namespace E2E
{
	std::string Ini(int a_protection, int a_full, int a_issues)
	{
		return "[General]\nbEnablePrecombineProtection=" + std::to_string(a_protection) +
		       "\nbEnableLoggingFull=" + std::to_string(a_full) +
		       "\nbEnableLoggingIssues=" + std::to_string(a_issues) + "\n";
	}

	std::filesystem::path CasesFolder()
	{
#ifdef QS_E2E_REAL_MACHINE
		// Greek and Chinese in one name: no ANSI code page holds both.
		return Sandbox::FromBuildPath(QS_CASES_DIR) / L"\u03A9\u03BC\u03AD\u03B3\u03B1 \u6E38\u620F";
#else
		return Sandbox::FromBuildPath(QS_CASES_DIR);
#endif
	}

	Sandbox::BuiltFiles Built()
	{
		return { Sandbox::FromBuildPath(QS_GAME_EXE), Sandbox::FromBuildPath(QS_PLUGIN_DLL), Sandbox::FromBuildPath(QS_ADDRLIB_EXE) };
	}

	std::vector<std::string> Lines(const std::string& a_text)
	{
		std::vector<std::string> lines;
		std::istringstream       in{ a_text };
		for (std::string line; std::getline(in, line);) {
			lines.push_back(line);
		}
		return lines;
	}

	std::string EntryBytes(const std::vector<std::string>& a_output, const std::string& a_function)
	{
		const std::string prefix = "entry " + a_function + " ";
		for (const auto& line : a_output) {
			if (line.starts_with(prefix)) {
				return line.substr(prefix.size());
			}
		}
		return "<no entry line>";
	}

	bool StartsWithJump(const std::string& a_bytes)
	{
		return a_bytes.starts_with("E9 ") || a_bytes.starts_with("FF 25 ");
	}

	void SandboxCase::SetUp()
	{
		const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
		caseName = std::string{ info->test_suite_name() } + "." + info->name();
		for (auto& c : caseName) {
			if (c == '/' || c == '\\') {
				c = '_';
			}
		}
		// A log left by an earlier run of this case must not be mistaken for this one's.
		const auto log = Sandbox::PluginLogPath(caseName, "Quellstone");
		std::filesystem::remove_all(log.parent_path().parent_path());
	}

	Sandbox::GameFolder& SandboxCase::MakeGame(const std::vector<std::string>& a_gameOptions, const std::filesystem::path& a_pluginFolder, bool a_withDatabase)
	{
		gameOptions = a_gameOptions;
		game.emplace(CasesFolder() / caseName, Built(), a_pluginFolder);
		if (a_withDatabase) {
			EXPECT_TRUE(game->WriteAddressLibrary(gameOptions));
		}
		return *game;
	}

	Sandbox::ProcessResult SandboxCase::RunGame(std::vector<std::string> a_args)
	{
		auto args = gameOptions;
		args.insert(args.end(), { "--my-games", caseName });
		args.insert(args.end(), a_args.begin(), a_args.end());
		return game->RunGame(args);
	}

	Sandbox::ProcessResult SandboxCase::Play(const std::string& a_script, const std::vector<std::string>& a_gameArgs)
	{
		std::ofstream{ game->Root() / "script.txt", std::ios::binary } << a_script;
		auto args = a_gameArgs;
		args.insert(args.end(), { "--script", "script.txt" });
		return RunGame(std::move(args));
	}

	std::vector<std::string> SandboxCase::AllLogLines() const
	{
		return Sandbox::ReadLines(Sandbox::PluginLogPath(caseName, "Quellstone"));
	}

	std::vector<std::string> SandboxCase::PluginLines() const
	{
		auto lines = AllLogLines();
		if (!lines.empty()) {
			lines.erase(lines.begin());
		}
		return lines;
	}
} // namespace E2E
