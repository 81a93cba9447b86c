#include "GameFolder.h"

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "ChildProcess.h"

namespace Sandbox
{
	namespace
	{
		constexpr DWORD kProcessTimeoutMs = 180'000;

		std::wstring Quote(const std::wstring& a_arg)
		{
			return L"\"" + a_arg + L"\"";
		}

		// The C runtime's file functions stop at 260 characters; the \\?\ form of the
		// Windows calls does not, and a case that tests exactly such paths leaves folders
		// that deep behind.
		void RemoveTree(const std::wstring& a_path)
		{
			WIN32_FIND_DATAW found{};
			const HANDLE     search = ::FindFirstFileW((a_path + L"\\*").c_str(), &found);
			if (search != INVALID_HANDLE_VALUE) {
				do {
					const std::wstring name{ found.cFileName };
					if (name == L"." || name == L"..") {
						continue;
					}
					const auto child = a_path + L"\\" + name;
					if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
						RemoveTree(child);
					} else {
						::DeleteFileW(child.c_str());
					}
				} while (::FindNextFileW(search, &found));
				::FindClose(search);
			}
			::RemoveDirectoryW(a_path.c_str());
		}

		std::string ReadFile(const std::filesystem::path& a_path)
		{
			std::ifstream      in{ a_path, std::ios::binary };
			std::ostringstream text;
			text << in.rdbuf();
			return text.str();
		}
	} // namespace

	std::optional<std::uint32_t> RunProcess(const std::filesystem::path& a_program, const std::vector<std::string>& a_args,
	                                        const std::filesystem::path& a_workingFolder)
	{
		std::wstring commandLine = Quote(a_program.wstring());
		for (const auto& arg : a_args) {
			commandLine += L" " + Quote(std::filesystem::path{ arg }.wstring());
		}
		TestSupport::ChildOptions options;
		options.workingFolder = a_workingFolder;
		options.timeoutMs = kProcessTimeoutMs;
		const auto run = TestSupport::RunChild(std::move(commandLine), options);
		if (!run.ended) {
			return std::nullopt;
		}
		return run.exitCode;
	}

	GameFolder::GameFolder(std::filesystem::path a_root, const BuiltFiles& a_files, std::filesystem::path a_pluginFolder) :
	    root(std::move(a_root)), pluginFolder(std::move(a_pluginFolder)), files(a_files)
	{
		RemoveTree(L"\\\\?\\" + std::filesystem::absolute(root).wstring());
		std::filesystem::create_directories(PluginFolder());
		std::filesystem::copy_file(files.game, root / files.game.filename());
		std::filesystem::copy_file(files.plugin, PluginFolder() / files.plugin.filename());
	}

	void GameFolder::WriteIni(std::string_view a_text) const
	{
		std::ofstream{ PluginFolder() / "Quellstone.ini", std::ios::binary } << a_text;
	}

	bool GameFolder::WriteAddressLibrary(const std::vector<std::string>& a_gameOptions, const std::vector<std::uint64_t>& a_dropIDs) const
	{
		auto args = a_gameOptions;
		args.push_back("--print-offsets");
		const auto offsets = RunGame(args);
		if (offsets.exitCode != 0) {
			return false;
		}

		std::istringstream in{ offsets.output };
		std::ostringstream pairs;
		std::uint64_t      id{};
		std::string        offset;
		while (in >> id >> offset) {
			if (std::find(a_dropIDs.begin(), a_dropIDs.end(), id) == a_dropIDs.end()) {
				pairs << id << ' ' << offset << '\n';
			}
		}
		return WriteDatabase(pairs.str());
	}

	bool GameFolder::WriteDatabase(const std::string& a_pairs) const
	{
		std::ofstream{ root / "offsets.txt", std::ios::binary } << a_pairs;

		const auto& version = files.gameVersion;
		const auto  database = pluginFolder / ("version-" + version.ToString("-") + ".bin");
		const auto  written = RunProcess(files.addrlib,
		                                 { "write", database.generic_string(), "--format", "raw", "--game-version", version.ToString(), "offsets.txt" }, root);
		return written == 0u;
	}

	ProcessResult GameFolder::RunGame(const std::vector<std::string>& a_args) const
	{
		const auto outPath = root / "game-output.txt";
		std::filesystem::remove(outPath);
		auto args = a_args;
		args.insert(args.begin(), { "--out", "game-output.txt" });
		const auto exitCode = RunProcess(root / files.game.filename(), args, root);
		return { exitCode.value_or(0xFFFFFFFF), ReadFile(outPath) };
	}

	std::vector<std::string> ReadLines(const std::filesystem::path& a_path)
	{
		std::vector<std::string> lines;
		std::ifstream            in{ a_path, std::ios::binary };
		for (std::string line; std::getline(in, line);) {
			if (!line.empty() && line.back() == '\r') {
				line.pop_back();
			}
			lines.push_back(std::move(line));
		}
		return lines;
	}

	std::filesystem::path FromBuildPath(std::string_view a_path)
	{
		if (!a_path.starts_with('/')) {
			return std::filesystem::path{ a_path };
		}
		std::string windows{ "Z:" };
		for (const char c : a_path) {
			windows += c == '/' ? '\\' : c;
		}
		return std::filesystem::path{ windows };
	}
} // namespace Sandbox
