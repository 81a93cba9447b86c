// A test game: its version resource names the game version, and it loads a plugin
// from a path and resolves ids through it, as the script extender's game would.
//
//   game resolve <plugin.dll> <id> <offset> [<log file>]
//       exit 0 when the id resolves to base + offset; a fatal error exits with 1. With a
//       log file, the plugin's log lines go there.
//   game share <plugin.dll> <id> <offset> <database> <replacement> <offset2>
//       resolves (making the shared region), replaces the database file, then runs
//       "resolve" for offset2 in a second process while this one keeps the region
//       alive; exits with the second process's code.
//   game find <plugin.dll> <id> <offset> <shared: 0|1> [<event>]
//       loads the plugin's database and finds the id: exit 0 when the offset is right
//       and the table was (1) or was not (0) the shared region's; 5 when that differs.
//       With an event name, signals that event when the load waits for a creator.
//   game hold <plugin.dll> <id> <offset> <plugin2.dll> <id2> <offset2> <shared>
//       resolves through the first plugin, which keeps the region alive, and runs
//       "find" with the rest in a second process; exits with its code.
//   game race <plugin.dll> <id> <offset>
//       makes the region and holds before decoding it, starts "find ... 1 <event>" in a
//       second process, goes on only once that process waits for the table, then
//       finishes; exits with the second process's code (9: it never waited).

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ChildProcess.h"

namespace
{
	using Resolve = std::uint64_t (*)(std::uint64_t);
	using LoadAndFind = int (*)(std::uint64_t, std::uint64_t*);
	using SetLoadProbe = void (*)(void (*)(int), std::uint32_t);
	using LogTo = void (*)(const char*);

	constexpr int           kDecoding = 0;
	constexpr int           kWaitingForCreator = 1;
	constexpr std::uint32_t kPatientWaitMs = 60000;

	HMODULE LoadPlugin(const char* a_plugin)
	{
		const HMODULE plugin = ::LoadLibraryA(a_plugin);
		if (!plugin) {
			std::printf("cannot load %s (%lu)\n", a_plugin, ::GetLastError());
			std::exit(3);
		}
		return plugin;
	}

	template <class F>
	F Export(HMODULE a_plugin, const char* a_name)
	{
		return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(a_plugin, a_name)));
	}

	int ResolveThrough(const char* a_plugin, std::uint64_t a_id, std::uint64_t a_offset, const char* a_log = nullptr)
	{
		const auto plugin = LoadPlugin(a_plugin);
		if (a_log) {
			Export<LogTo>(plugin, "QS_LogTo")(a_log);
		}
		const auto resolve = Export<Resolve>(plugin, "QS_ResolveID");
		const auto base = reinterpret_cast<std::uint64_t>(::GetModuleHandleA(nullptr));
		const auto address = resolve(a_id);
		std::printf("id %llu -> base + 0x%llX\n", static_cast<unsigned long long>(a_id), static_cast<unsigned long long>(address - base));
		return address - base == a_offset ? 0 : 2;
	}

	int FindThrough(HMODULE a_plugin, std::uint64_t a_id, std::uint64_t a_offset, bool a_shared)
	{
		std::uint64_t offset = 0;
		const bool    shared = Export<LoadAndFind>(a_plugin, "QS_LoadAndFind")(a_id, &offset) == 1;
		std::printf("id %llu -> 0x%llX (%s)\n", static_cast<unsigned long long>(a_id), static_cast<unsigned long long>(offset), shared ? "shared" : "private");
		if (offset != a_offset) {
			return 2;
		}
		return shared == a_shared ? 0 : 5;
	}

	std::string Self()
	{
		char self[MAX_PATH]{};
		::GetModuleFileNameA(nullptr, self, MAX_PATH);
		return self;
	}

	int RunChild(const std::string& a_commandLine)
	{
		const auto run = TestSupport::RunChild(a_commandLine);
		return run.started ? static_cast<int>(run.exitCode) : 4;
	}

	// What the stage functions of "find" and "race" need; the probe takes plain functions.
	struct Race
	{
		HANDLE      waiting{ nullptr };
		std::string opener;
		HANDLE      process{ nullptr };
		bool        openerWaited{ false };
	};
	Race g_race;

	void SignalWaiting(int a_stage)
	{
		if (a_stage == kWaitingForCreator) {
			::SetEvent(g_race.waiting);
		}
	}

	// The creator, before it decodes: start the opener and let it find the half-made region.
	void HoldCreator(int a_stage)
	{
		if (a_stage != kDecoding) {
			return;
		}
		STARTUPINFOA startup{};
		startup.cb = sizeof(startup);
		PROCESS_INFORMATION process{};
		if (!::CreateProcessA(nullptr, g_race.opener.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
			return;
		}
		::CloseHandle(process.hThread);
		g_race.process = process.hProcess;
		g_race.openerWaited = ::WaitForSingleObject(g_race.waiting, kPatientWaitMs) == WAIT_OBJECT_0;
	}

	int RaceThrough(const char* a_plugin, const char* a_id, const char* a_offset)
	{
		const auto event = "QS_IDDB_RACE_" + std::to_string(::GetCurrentProcessId());
		g_race.waiting = ::CreateEventA(nullptr, TRUE, FALSE, event.c_str());
		g_race.opener = "\"" + Self() + "\" find \"" + a_plugin + "\" " + a_id + " " + a_offset + " 1 " + event;
		const auto plugin = LoadPlugin(a_plugin);
		Export<SetLoadProbe>(plugin, "QS_SetLoadProbe")(&HoldCreator, kPatientWaitMs);
		if (const auto code = FindThrough(plugin, std::strtoull(a_id, nullptr, 0), std::strtoull(a_offset, nullptr, 0), true); code != 0) {
			return code;
		}
		if (!g_race.process) {
			return 4;
		}
		::WaitForSingleObject(g_race.process, INFINITE);
		DWORD code = 0;
		::GetExitCodeProcess(g_race.process, &code);
		return g_race.openerWaited ? static_cast<int>(code) : 9;
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
		return ResolveThrough(a_argv[2], id, offset, a_argc == 6 ? a_argv[5] : nullptr);
	}
	if (mode == "share" && a_argc == 8) {
		if (const auto code = ResolveThrough(a_argv[2], id, offset); code != 0) {
			return code;
		}
		if (!::CopyFileA(a_argv[6], a_argv[5], FALSE)) {
			return 7;
		}
		return RunChild("\"" + Self() + "\" resolve \"" + a_argv[2] + "\" " + a_argv[3] + " " + a_argv[7]);
	}
	if (mode == "find" && (a_argc == 6 || a_argc == 7)) {
		const auto plugin = LoadPlugin(a_argv[2]);
		if (a_argc == 7) {
			g_race.waiting = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, a_argv[6]);
			Export<SetLoadProbe>(plugin, "QS_SetLoadProbe")(&SignalWaiting, kPatientWaitMs);
		}
		return FindThrough(plugin, id, offset, std::string_view{ a_argv[5] } == "1");
	}
	if (mode == "hold" && a_argc == 9) {
		if (const auto code = ResolveThrough(a_argv[2], id, offset); code != 0) {
			return code;
		}
		return RunChild("\"" + Self() + "\" find \"" + a_argv[5] + "\" " + a_argv[6] + " " + a_argv[7] + " " + a_argv[8]);
	}
	if (mode == "race") {
		return RaceThrough(a_argv[2], a_argv[3], a_argv[4]);
	}
	return 6;
}
