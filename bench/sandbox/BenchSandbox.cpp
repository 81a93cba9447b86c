// Nanoseconds per call of the game's InvalidatesPreCalcDataForCell as the game sees it:
// without the detour (protection off) against with it (protection on), and the
// issues-only path for a cell that has already been reported, at one and at eight
// threads. Each figure is the best of several runs of a fresh game process; the
// machines are shared, so only figures from the same run are compared.

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "GameFolder.h"

namespace
{
	constexpr unsigned kCallsPerThread = 20'000'000;
	constexpr int      kRounds = 5;

	struct Measure
	{
		const char* label;
		const char* setup; // the game folder it runs in
		unsigned    threads;
		bool        gameAnswer;
		int         baseline; // index of the measure it is compared with
		double      best{ std::numeric_limits<double>::infinity() };
	};

	// Each game folder differs only in its INI.
	const std::map<std::string, std::string> kSetups{
		{ "off", "[General]\nbEnablePrecombineProtection=0\n" },
		{ "on", "[General]\nbEnablePrecombineProtection=1\n" },
		{ "issues", "[General]\nbEnableLoggingIssues=1\n" },
	};
} // namespace

int main()
{
	const Sandbox::BuiltFiles                  files{ Sandbox::FromBuildPath(QS_GAME_EXE), Sandbox::FromBuildPath(QS_PLUGIN_DLL),
                                     Sandbox::FromBuildPath(QS_ADDRLIB_EXE) };
	std::map<std::string, Sandbox::GameFolder> games;
	for (const auto& [name, ini] : kSetups) {
		const auto& game = games.emplace(name, Sandbox::GameFolder{ Sandbox::FromBuildPath(QS_BENCH_DIR) / name, files }).first->second;
		game.WriteIni(ini);
		if (!game.WriteAddressLibrary({})) {
			std::fprintf(stderr, "could not write the Address Library for %s\n", name.c_str());
			return 1;
		}
	}

	std::vector<Measure> measures{
		{ "protection off, no detour, game answers true (baseline)", "off", 1, true, 0 },
		{ "protection on, logging off, game answers true (blocked)", "on", 1, true, 0 },
		{ "protection off, no detour, game answers false (baseline)", "off", 1, false, 2 },
		{ "protection on, logging off, game answers false", "on", 1, false, 2 },
		{ "issues-only, cell already reported, 1 thread", "issues", 1, true, 0 },
		{ "protection off, no detour, 8 threads (baseline)", "off", 8, true, 5 },
		{ "issues-only, cell already reported, 8 threads", "issues", 8, true, 5 },
	};

	// Rounds over all measures rather than all runs of one measure in a row, so that a
	// busy spell on the machine does not fall on one side of a comparison only.
	for (int round = 0; round < kRounds; ++round) {
		for (auto& measure : measures) {
			const auto result = games.at(measure.setup).RunGame({ "--my-games", "QsBench", "--bench", std::to_string(kCallsPerThread), std::to_string(measure.threads), measure.gameAnswer ? "true" : "false" });
			if (result.exitCode != 0) {
				std::fprintf(stderr, "game run failed (%u): %s\n", result.exitCode, result.output.c_str());
				return 1;
			}
			measure.best = std::min(measure.best, std::stod(result.output));
		}
	}

	std::printf("InvalidatesPreCalcDataForCell as the game calls it, best of %d rounds of %u calls per thread\n", kRounds, kCallsPerThread);
	std::printf("%-58s %13s %10s %7s\n", "", "", "added", "ratio");
	for (const auto& measure : measures) {
		const double baseline = measures[measure.baseline].best;
		std::printf("%-58s %7.2f ns/call %+7.2f ns  x%.2f\n", measure.label, measure.best, measure.best - baseline, measure.best / baseline);
	}
	return 0;
}
