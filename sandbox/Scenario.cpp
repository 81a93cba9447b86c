#include "Scenario.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "GameLayout.h"
#include "GameWorld.h"

namespace Sandbox
{
	namespace
	{
		constexpr std::array kPlaces{ "SanctuaryHillsExt", "RedRocketExt", "ConcordExt", "LexingtonExt",
			                          "DiamondCityExt", "GoodneighborExt", "CambridgeExt", "SpectacleIslandExt" };
		constexpr std::array kObjects{ "Workbench", "Wooden Chair", "Concrete Wall", "Water Pump",
			                           "Power Conduit", "Flower Pot", "Guard Post" };

		// The cell states the scenarios set: one still loading, where clearing the cell's
		// precomputed data is not yet safe, and one set up, where it is.
		constexpr std::uint8_t kLoadingState = 3;
		constexpr std::uint8_t kSetUpState = 7;
		static_assert(kLoadingState < GameLayout::kCellStateDataReady && kSetUpState >= GameLayout::kCellStateDataReady);

		// A small deterministic generator, so that every run of the demo tells the same story.
		struct Lcg
		{
			std::uint64_t state;
			std::uint32_t Next() noexcept
			{
				state = state * 6364136223846793005ULL + 1442695040888963407ULL;
				return static_cast<std::uint32_t>(state >> 33);
			}
		};

		void Add(ScenarioTally& a_total, const ScenarioTally& a_part) noexcept
		{
			a_total.requests += a_part.requests;
			a_total.gameSaidInvalidates += a_part.gameSaidInvalidates;
			a_total.blocked += a_part.blocked;
			a_total.clearsRun += a_part.clearsRun;
			a_total.clearRequests += a_part.clearRequests;
		}

		template <class Work>
		ScenarioTally RunThreads(unsigned a_threads, Work a_work)
		{
			std::vector<ScenarioTally> parts(a_threads);
			{
				std::vector<std::jthread> threads;
				for (unsigned t = 0; t < a_threads; ++t) {
					threads.emplace_back([&, t] {
						const auto before = ThreadCounters();
						a_work(t, parts[t]);
						parts[t].gameSaidInvalidates = ThreadCounters().answeredInvalidates - before.answeredInvalidates;
						parts[t].clearsRun = ThreadCounters().clearsRun - before.clearsRun;
					});
				}
			}
			ScenarioTally total;
			for (const auto& part : parts) {
				Add(total, part);
			}
			return total;
		}
	} // namespace

	ScenarioTally RunDemo(const GameCalls& a_calls, unsigned a_threads, unsigned a_placementsPerThread)
	{
		// Each thread looks after its own cells, as the game's cell loaders do, so no cell
		// is cleared by one thread while another reads it.
		constexpr unsigned     kCellsPerThread = 4;
		GameWorld              cellWorld;
		std::vector<GameCell*> cells;
		for (unsigned i = 0; i < a_threads * kCellsPerThread; ++i) {
			auto& cell = cellWorld.AddCell(0x0001F000 + i * 0x11, std::string{ kPlaces[i % kPlaces.size()] });
			// A quarter of the cells are still loading (state 3), the rest are set up.
			GameWorld::SetUp(cell, i % 4 == 0 ? kLoadingState : kSetUpState, true, true);
			cells.push_back(&cell);
		}

		return RunThreads(a_threads, [&](unsigned a_thread, ScenarioTally& a_tally) {
			GameWorld references;
			Lcg       random{ 0x5EED + a_thread };
			for (unsigned i = 0; i < a_placementsPerThread; ++i) {
				auto&      cell = *cells[a_thread * kCellsPerThread + random.Next() % kCellsPerThread];
				const auto formID = 0xFF000000u + a_thread * 0x100000u + i;
				auto&      reference = references.AddReference(formID, std::string{ kObjects[random.Next() % kObjects.size()] });

				// Placing into a cell that has precombined meshes breaks them, says the game.
				const bool gameAnswer = cell.precombinedData != nullptr;
				SetGameAnswer(gameAnswer);
				const bool answer = a_calls.invalidates(&reference, &cell);
				++a_tally.requests;
				if (gameAnswer && !answer) {
					++a_tally.blocked;
				}

				if (i % 8 == 7) {
					a_calls.clear(&cell);
					++a_tally.clearRequests;
				}
				if (i % 64 == 63) {
					// The player walks away and back: the thread's cells load again, with
					// their precombined and previs data.
					for (unsigned c = 0; c < kCellsPerThread; ++c) {
						auto& reloaded = *cells[a_thread * kCellsPerThread + c];
						GameWorld::SetUp(reloaded, reloaded.state, true, true);
					}
				}
			}
		});
	}

	ScenarioTally RunHammer(const GameCalls& a_calls, unsigned a_threads, unsigned a_iterationsPerThread, unsigned a_cells)
	{
		GameWorld              world;
		std::vector<GameCell*> cells;
		for (unsigned i = 0; i < a_cells; ++i) {
			auto& cell = world.AddCell(0x00010000 + i, "Cell" + std::to_string(i));
			// Still loading: every clear of these is an early one.
			GameWorld::SetUp(cell, 3, true, true);
			cells.push_back(&cell);
		}
		std::vector<GameReference*> references;
		for (unsigned t = 0; t < a_threads; ++t) {
			references.push_back(&world.AddReference(0xFF000000 + t, "Ref" + std::to_string(t)));
		}

		return RunThreads(a_threads, [&](unsigned a_thread, ScenarioTally& a_tally) {
			SetGameAnswer(true);
			for (unsigned i = 0; i < a_iterationsPerThread; ++i) {
				auto& cell = *cells[(i * 7 + a_thread * 13) % cells.size()];
				if (!a_calls.invalidates(references[a_thread], &cell)) {
					++a_tally.blocked;
				}
				++a_tally.requests;
				a_calls.clear(&cell);
				++a_tally.clearRequests;
			}
		});
	}

	double TimeInvalidates(const GameCalls& a_calls, unsigned a_threads, std::uint64_t a_callsPerThread, bool a_gameAnswer)
	{
		GameWorld world;
		auto&     cell = world.AddCell(0x0001F00D, std::string{ "BenchCell" });
		auto&     reference = world.AddReference(0xFF00BEEF, std::string{ "BenchRef" });
		GameWorld::SetUp(cell, 7, true, true);

		std::atomic<unsigned> ready{ 0 };
		std::atomic<bool>     go{ false };
		std::vector<double>   seconds(a_threads);
		{
			std::vector<std::jthread> threads;
			for (unsigned t = 0; t < a_threads; ++t) {
				threads.emplace_back([&, t] {
					SetGameAnswer(a_gameAnswer);
					// Warm up: the first call of an issues-only run logs; the timed ones
					// find the cell already reported.
					for (int i = 0; i < 1000; ++i) {
						a_calls.invalidates(&reference, &cell);
					}
					++ready;
					while (!go.load()) {
						std::this_thread::yield();
					}
					const auto start = std::chrono::steady_clock::now();
					for (std::uint64_t i = 0; i < a_callsPerThread; ++i) {
						a_calls.invalidates(&reference, &cell);
					}
					seconds[t] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
				});
			}
			while (ready.load() != a_threads) {
				std::this_thread::yield();
			}
			go = true;
		}
		double total = 0;
		for (const auto s : seconds) {
			total += s;
		}
		return total / a_threads / static_cast<double>(a_callsPerThread) * 1e9;
	}

	LoadTally RunThroughLoad(const GameCalls& a_calls, unsigned a_threads, const std::function<void()>& a_load)
	{
		// Calls each thread makes before the load begins, and again after it has ended.
		constexpr std::uint64_t     kCallsOnEachSide = 20'000;
		GameWorld                   world;
		std::vector<GameCell*>      cells;
		std::vector<GameReference*> references;
		for (unsigned t = 0; t < a_threads; ++t) {
			auto& cell = world.AddCell(0x00020000 + t, "LoadCell" + std::to_string(t));
			GameWorld::SetUp(cell, kSetUpState, true, true);
			cells.push_back(&cell);
			references.push_back(&world.AddReference(0xFF020000 + t, "LoadRef" + std::to_string(t)));
		}

		// Each thread's calls so far; a call counts as after the load when it began after
		// loaded was set, which happens once a_load has returned.
		std::vector<std::atomic<std::uint64_t>> made(a_threads);
		std::atomic<bool>                       loaded{ false };
		std::atomic<bool>                       stop{ false };
		std::vector<LoadTally>                  parts(a_threads);
		const auto                              allMade = [&](std::uint64_t a_least) {
            for (const auto& count : made) {
                if (count.load() < a_least) {
                    return false;
                }
            }
            return true;
		};
		{
			std::vector<std::jthread> threads;
			for (unsigned t = 0; t < a_threads; ++t) {
				threads.emplace_back([&, t] {
					SetGameAnswer(true);
					GameCell&      cell = *cells[t];
					GameReference& reference = *references[t];
					while (!stop.load()) {
						const bool     after = loaded.load();
						ScenarioTally& tally = after ? parts[t].afterLoad : parts[t].duringLoad;
						const auto     before = ThreadCounters();
						const bool     answer = a_calls.invalidates(&reference, &cell);
						a_calls.clear(&cell);
						const auto& counted = ThreadCounters();
						++tally.requests;
						++tally.clearRequests;
						tally.blocked += answer ? 0 : 1;
						tally.gameSaidInvalidates += counted.answeredInvalidates - before.answeredInvalidates;
						tally.clearsRun += counted.clearsRun - before.clearsRun;
						// The game loads the cell again: set up, both data blocks present.
						GameWorld::SetUp(cell, kSetUpState, true, true);
						made[t].fetch_add(1);
					}
				});
			}
			while (!allMade(kCallsOnEachSide)) {
				std::this_thread::yield();
			}
			a_load();
			const std::uint64_t atLoad = [&] {
				std::uint64_t most = 0;
				for (const auto& count : made) {
					most = std::max(most, count.load());
				}
				return most;
			}();
			loaded = true;
			while (!allMade(atLoad + kCallsOnEachSide)) {
				std::this_thread::yield();
			}
			stop = true;
		}

		LoadTally total;
		for (const auto& part : parts) {
			Add(total.duringLoad, part.duringLoad);
			Add(total.afterLoad, part.afterLoad);
		}
		return total;
	}

	void PrintTally(std::ostream& a_out, const LoadTally& a_tally)
	{
		a_out << "Calls begun before the load had ended:\n";
		PrintTally(a_out, a_tally.duringLoad);
		a_out << "Calls begun after it:\n";
		PrintTally(a_out, a_tally.afterLoad);
	}

	void PrintTally(std::ostream& a_out, const ScenarioTally& a_tally)
	{
		a_out << "  invalidation requests:             " << a_tally.requests << '\n'
		      << "  answered \"invalidates\" by the game: " << a_tally.gameSaidInvalidates << '\n'
		      << "  blocked by the plugin:             " << a_tally.blocked << '\n'
		      << "  clear requests:                    " << a_tally.clearRequests << '\n'
		      << "  clears run:                        " << a_tally.clearsRun << '\n'
		      << "  clears skipped:                    " << (a_tally.clearRequests - a_tally.clearsRun) << '\n';
	}
} // namespace Sandbox
