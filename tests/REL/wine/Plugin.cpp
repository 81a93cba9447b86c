// A stand-in plugin: what a real plugin built on the host library does with the
// Address Library, exported so that a test game can call it. Placed in a loader's
// Plugins folder, it finds its database the way every plugin does.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "REL/IDDB.h"

namespace
{
	void (*g_atStage)(int) = nullptr;

	void ForwardStage(REL::IDDB::LOAD_STAGE a_stage)
	{
		g_atStage(static_cast<int>(a_stage));
	}
} // namespace

extern "C" __declspec(dllexport) std::uint64_t QS_ResolveID(std::uint64_t a_id)
{
	return REL::ResolveID(a_id);
}

// Loads the database on its own (not the process-wide instance) and finds one id: the
// offset through a_offset, and 1 when the table was the shared region's, 0 when private.
extern "C" __declspec(dllexport) int QS_LoadAndFind(std::uint64_t a_id, std::uint64_t* a_offset)
{
	const REL::IDDB database;
	*a_offset = database.offset(a_id);
	return database.map().shared() ? 1 : 0;
}

// Holds loads at their meeting points: a_atStage gets 0 before a creator decodes, 1 when an
// opener starts to wait for its creator; an opener waits at most a_waitMs.
extern "C" __declspec(dllexport) void QS_SetLoadProbe(void (*a_atStage)(int), std::uint32_t a_waitMs)
{
	g_atStage = a_atStage;
	REL::IDDB::SetLoadProbe({ .atStage = a_atStage ? &ForwardStage : nullptr, .creatorWait = std::chrono::milliseconds{ a_waitMs } });
}

// Sends the log to a file, written through at every line: a fatal error ends the process
// right after its line, which the test then reads.
extern "C" __declspec(dllexport) void QS_LogTo(const char* a_path)
{
	// The Windows build opens log files by wide names.
	const spdlog::filename_t name = std::filesystem::path{ a_path }.wstring();
	auto                     logger = std::make_shared<spdlog::logger>("file", std::make_shared<spdlog::sinks::basic_file_sink_mt>(name, true));
	logger->flush_on(spdlog::level::trace);
	spdlog::set_default_logger(std::move(logger));
}
