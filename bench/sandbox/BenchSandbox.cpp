// Nanoseconds per call of the game's InvalidatesPreCalcDataForCell as the game sees it:
// without the detour (protection off) against with it (protection on), and the
// issues-only path for a cell that has already been reported, at one and at eight
// threads. Each figure is the best of several runs of a fresh game process; the
// machines are shared, so only figures from the same run are compared.

#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "GameFolder.h"

namespace
{
	constexpr unsigned kCallsPerThread = 20'000'000;
	constexpr int      kRuns = 5;

	struct Setup
	{
		const char* name;
		const char* ini;
	};

	const Setup kProtectionOff{ "off", "[General]\nbEnablePrecombineProtection=0\n" };
	const Setup kProtectionOn{ "on", "[General]\nbEnablePrecombineProtection=1\n" };
	const Setup kIssuesOnly{ "issues", "[General]\nbEnableLoggingIssues=1\n" };

	double BestNsPerCall(const Setup& a_setup, unsigned a_threads, bool a_gameAnswer)
	{
		const Sandbox::BuiltFiles files{ Sandbox::FromBuildPath(QS_GAME_EXE), Sandbox::FromBuildPath(QS_PLUGIN_DLL),
			                             Sandbox::FromBuildPath(QS_ADDRLIB_EXE) };
		const Sandbox::GameFolder game{ Sandbox::FromBuildPath(QS_BENCH_DIR) / a_setup.name, files };
		game.WriteIni(a_setup.ini);
		if (!game.WriteAddressLibrary({})) {
			std::fprintf(stderr, "could not write the Address Library for %s\n", a_setup.name);
			return std::numeric_limits<double>::quiet_NaN();
		}

		double best = std::numeric_limits<double>::infinity();
		for (int run = 0; run < kRuns; ++run) {
			const auto result = game.RunGame({ "--my-games", "QsBench", "--bench", std::to_string(kCallsPerThread),
			                                   std::to_string(a_threads), a_gameAnswer ? "true" : "false" });
			if (result.exitCode != 0) {
				std::fprintf(stderr, "game run failed (%u): %s\n", result.exitCode, result.output.c_str());
				return std::numeric_limits<double>::quiet_NaN();
			}
			best = std::min(best, std::stod(result.output));
		}
		return best;
	}

	void Row(const char* a_label, double a_ns, double a_baseline)
	{
		std::printf("%-58s %7.2f ns/call  %+6.2f ns  x%.2f\n", a_label, a_ns, a_ns - a_baseline, a_ns / a_baseline);
	}
} // namespace

int main()
{
	const double offTrue = BestNsPerCall(kProtectionOff, 1, true);
	const double offFalse = BestNsPerCall(kProtectionOff, 1, false);
	const double off8 = BestNsPerCall(kProtectionOff, 8, true);
	const double onTrue = BestNsPerCall(kProtectionOn, 1, true);
	const double onFalse = BestNsPerCall(kProtectionOn, 1, false);
	const double issues1 = BestNsPerCall(kIssuesOnly, 1, true);
	const double issues8 = BestNsPerCall(kIssuesOnly, 8, true);

	std::printf("InvalidatesPreCalcDataForCell, best of %d runs of %u calls per thread\n", kRuns, kCallsPerThread);
	std::printf("%-58s %7s          %-9s  %s\n", "", "", "added", "ratio");
	Row("protection off, no detour, game answers true (baseline)", offTrue, offTrue);
	Row("protection off, no detour, game answers false", offFalse, offFalse);
	Row("protection on, logging off, game answers true (blocked)", onTrue, offTrue);
	Row("protection on, logging off, game answers false", onFalse, offFalse);
	Row("issues-only, cell already reported, 1 thread", issues1, offTrue);
	Row("protection off, no detour, 8 threads (baseline)", off8, off8);
	Row("issues-only, cell already reported, 8 threads", issues8, off8);
	return 0;
}
