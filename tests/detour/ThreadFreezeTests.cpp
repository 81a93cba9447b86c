// Holding the process's other threads while code is rewritten: the Windows build,
// under Wine (the native build holds no thread; see ThreadFreeze.h).

#include "ThreadFreeze.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <thread>

TEST(ThreadFreeze, HoldsEveryOtherThreadStillAndLetsItGo)
{
	std::atomic<bool>          stop{ false };
	std::atomic<std::uint64_t> count{ 0 };
	std::thread                spinner([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            count.fetch_add(1, std::memory_order_relaxed);
        }
    });
	while (count.load() == 0) {
		std::this_thread::yield();
	}
	std::size_t   held = 0;
	std::uint64_t before = 0;
	std::uint64_t after = 0;
	{
		Detour::ThreadFreeze freeze;
		held = freeze.Count();
		before = count.load();
		::Sleep(50);
		after = count.load();
	}
	bool movedOn = false;
	for (int waited = 0; waited < 5000 && !movedOn; ++waited) {
		movedOn = count.load() > after;
		::Sleep(1);
	}
	stop = true;
	spinner.join();
	EXPECT_GE(held, 1u);
	EXPECT_EQ(after, before) << "the spinning thread stood still while held";
	EXPECT_TRUE(movedOn) << "and went on once let go";
}
