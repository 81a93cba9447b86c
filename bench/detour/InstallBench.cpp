// What installing and restoring a detour costs while the process has other threads.
// Each write to the target is made with every other thread held still (so none runs
// half-written code), and holding them means listing, opening and suspending each one:
// the cost grows with the process's threads. The game has its own threads when the
// plugin loads, so this is the load-time price of the two detours. Windows only (the
// native build holds no threads); run under Wine.
//
// Each line times many install-and-restore pairs on the same function, one at a time,
// with that many other threads parked on an event, and gives the median and the 90th
// percentile: under Wine each pair's cost swings with the Wine server's scheduling, so
// a mean or a best would say little. The line without other threads is the baseline of
// the same run.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <windows.h>

#include "Detour/InlineHook.h"
#include "TargetFunctions.h"

namespace
{
	constexpr int kPairs = 100;

	extern "C" int Replacement(int a_value)
	{
		return a_value;
	}

	// Threads that do nothing but wait, as most of a game's threads do at any moment:
	// on a Windows event (MinGW's std::latch, built without optimisation, can hang).
	class ParkedThreads
	{
	public:
		explicit ParkedThreads(unsigned a_count) :
		    _release{ ::CreateEventW(nullptr, TRUE, FALSE, nullptr) }
		{
			_threads.reserve(a_count);
			for (unsigned i = 0; i < a_count; ++i) {
				_threads.emplace_back([this] { ::WaitForSingleObject(_release.get(), INFINITE); });
			}
		}
		~ParkedThreads() { ::SetEvent(_release.get()); }
		ParkedThreads(const ParkedThreads&) = delete;
		ParkedThreads& operator=(const ParkedThreads&) = delete;

	private:
		struct EventCloser
		{
			void operator()(HANDLE a_event) const noexcept { ::CloseHandle(a_event); }
		};
		std::unique_ptr<void, EventCloser> _release;
		std::vector<std::jthread>          _threads; // declared last: joined before the event goes
	};

	struct Timing
	{
		double median; // milliseconds per install-and-restore pair
		double p90;
	};

	// Nothing when an install failed.
	std::optional<Timing> MeasurePairs(unsigned a_otherThreads)
	{
		const ParkedThreads parked{ a_otherThreads };
		std::vector<double> pairs;
		pairs.reserve(kPairs);
		for (int pair = 0; pair < kPairs; ++pair) {
			const auto         start = std::chrono::steady_clock::now();
			Detour::InlineHook hook;
			if (!hook.Install(qs_FiveByte, &Replacement)) {
				return std::nullopt;
			}
			hook.Restore();
			pairs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
		}
		std::ranges::sort(pairs);
		return Timing{ pairs[pairs.size() / 2], pairs[pairs.size() * 9 / 10] };
	}
} // namespace

int main()
{
	constexpr unsigned kThreadCounts[] = { 0, 8, 32, 128 };
	std::printf("Detour install and restore on a 5-byte prologue, %d pairs each\n", kPairs);
	std::printf("%-28s %15s %15s %8s\n", "other threads in the process", "median ms/pair", "90th pct ms", "ratio");
	double baseline = 0.0;
	for (const unsigned threads : kThreadCounts) {
		const auto timing = MeasurePairs(threads);
		if (!timing) {
			std::fprintf(stderr, "the detour could not be installed (%u other threads)\n", threads);
			return 1;
		}
		if (threads == 0) {
			baseline = timing->median;
		}
		std::printf("%-28u %15.3f %15.3f %7.2fx\n", threads, timing->median, timing->p90, timing->median / baseline);
	}
	return 0;
}
