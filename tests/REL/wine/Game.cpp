// A test game: its version resource names the game version, and it loads a plugin
// from a path and resolves ids through it, as the script extender's game would.
//
//   game resolve <plugin.dll> <id> <offset>
//       exit 0 when the id resolves to base + offset; a fatal error exits with 1.
//   game share <plugin.dll> <id> <offset> <database> <replacement>
//       resolves (making the shared region), replaces the database file, then runs
//       "resolve" in a second process while this one keeps the region alive; exits
//       with the second process's code.

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ChildProcess.h"

namespace
{
	using Resolve = std::uint64_t (*)(std::uint64_t);

	int ResolveThrough(const char* a_plugin, std::uint64_t a_id, std::uint64_t a_offset)
	{
		const HMODULE plugin = ::LoadLibraryA(a_plugin);
		if (!plugin) {
			std::printf("cannot load %s (%lu)\n", a_plugin, ::GetLastError());
			return 3;
		}
		const auto resolve = reinterpret_cast<Resolve>(reinterpret_cast<void*>(::GetProcAddress(plugin, "QS_ResolveID")));
		const auto base = reinterpret_cast<std::uint64_t>(::GetModuleHandleA(nullptr));
		const auto address = resolve(a_id);
		std::printf("id %llu -> base + 0x%llX\n", static_cast<unsigned long long>(a_id), static_cast<unsigned long long>(address - base));
		return address - base == a_offset ? 0 : 2;
	}

	int RunChild(const std::string& a_commandLine)
	{
		const auto run = TestSupport::RunChild(a_commandLine);
		return run.started ? static_cast<int>(run.exitCode) : 4;
	}
} // namespace

int main(int a_argc, char** a_argv)
{
	if (a_argc < 5) {
		return 6;
	}
	const std::string   mode = a_argv[1];
	const std::uint64_t id = std::strtoull(a_argv[3], nullptr, 0);
	const std::uint64_t offset = std::strtoull(a_argv[4], nullptr, 0);
	if (mode == "resolve") {
		return ResolveThrough(a_argv[2], id, offset);
	}
	if (mode == "share" && a_argc == 7) {
		if (const auto code = ResolveThrough(a_argv[2], id, offset); code != 0) {
			return code;
		}
		if (!::CopyFileA(a_argv[6], a_argv[5], FALSE)) {
			return 7;
		}
		char self[MAX_PATH]{};
		::GetModuleFileNameA(nullptr, self, MAX_PATH);
		return RunChild(std::string("\"") + self + "\" resolve \"" + a_argv[2] + "\" " + a_argv[3] + " " + a_argv[4]);
	}
	return 6;
}
