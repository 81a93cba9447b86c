#pragma once

// Runs of the game with several threads: the demo a newcomer watches, the hammering the
// concurrency tests count, and the timing loops of the benchmark.

#include <cstdint>
#include <functional>
#include <iosfwd>

#include "Script.h"

namespace Sandbox
{
	struct ScenarioTally
	{
		std::uint64_t requests{ 0 };            // InvalidatesPreCalcDataForCell calls
		std::uint64_t gameSaidInvalidates{ 0 }; // of those, the game's own code answered true
		std::uint64_t blocked{ 0 };             // answered true by the game, false to the caller
		std::uint64_t clearRequests{ 0 };       // ClearPreCalcedData calls
		std::uint64_t clearsRun{ 0 };           // of those, the game's own clear ran
	};

	// Game threads place references into the cells they look after; a placement in a cell
	// with precombined data makes the game ask whether it invalidates that data, and now
	// and then the game clears a cell, early (still loading) or late (set up).
	[[nodiscard]] ScenarioTally RunDemo(const GameCalls& a_calls, unsigned a_threads, unsigned a_placementsPerThread);

	// Every thread asks about, and clears early, cells shared by all threads; the game
	// answers "invalidates" every time. Cells have form IDs 0x00010000 + index.
	[[nodiscard]] ScenarioTally RunHammer(const GameCalls& a_calls, unsigned a_threads, unsigned a_iterationsPerThread, unsigned a_cells);

	// Nanoseconds per InvalidatesPreCalcDataForCell call, each thread asking a_calls
	// times about the same cell with the game answering a_gameAnswer.
	[[nodiscard]] double TimeInvalidates(const GameCalls& a_calls, unsigned a_threads, std::uint64_t a_callsPerThread, bool a_gameAnswer);

	// What the game threads did while the host loaded the plugins under them, split by
	// whether a call began before the load had ended or after. requests counts the calls
	// made, gameSaidInvalidates and clearsRun what the game's own code ran.
	struct LoadTally
	{
		ScenarioTally duringLoad;
		ScenarioTally afterLoad;
	};

	// Game threads ask about, and clear, cells of their own without pause (set up, so the
	// game answers "invalidates" and every clear is a late one), from before a_load runs
	// until each has made as many calls again after it has returned: a_load is the host
	// loading the plugins, which put their detours into the functions those threads run.
	[[nodiscard]] LoadTally RunThroughLoad(const GameCalls& a_calls, unsigned a_threads, const std::function<void()>& a_load);

	void PrintTally(std::ostream& a_out, const ScenarioTally& a_tally);
	void PrintTally(std::ostream& a_out, const LoadTally& a_tally);
} // namespace Sandbox
