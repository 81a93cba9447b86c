#pragma once

// Runs of the game with several threads: the demo a newcomer watches, the hammering the
// concurrency tests count, and the timing loops of the benchmark.

#include <cstdint>
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

	void PrintTally(std::ostream& a_out, const ScenarioTally& a_tally);
} // namespace Sandbox
