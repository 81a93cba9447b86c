// Other threads of the process while a detour is installed and restored: the Windows
// build, under Wine (the native build holds no thread; see ThreadFreeze.h).
//
// A worker thread is started in the middle of a function, or of its trampoline, by
// setting its registers: eax as the instructions before that point would have left it,
// and a return into qs_StoreResult, which hands eax to the test. Install and Restore
// must move the thread so that it computes what the original function would.

#include "CodePages.h"
#include "Detour/InlineHook.h"
#include "TargetFunctions.h"
#include "ThreadFreeze.h"
#include "TrampolinePool.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace
{
	constexpr int kReplaced = 100000;
	constexpr int kUnset = -1;   // qs_StoredResult before the worker returns
	constexpr int kFaulted = -2; // the worker's result when it faulted

	int Marked(int a_value)
	{
		return kReplaced + a_value;
	}

	struct HandleCloser
	{
		void operator()(HANDLE a_handle) const noexcept { ::CloseHandle(a_handle); }
	};
	using Handle = std::unique_ptr<void, HandleCloser>;

	struct HandlerRemover
	{
		void operator()(void* a_handler) const noexcept { ::RemoveVectoredExceptionHandler(a_handler); }
	};

	std::atomic<DWORD> g_workerId{ 0 };

	// A worker that runs into unmapped or torn code reports kFaulted instead of taking
	// the test program down with it.
	LONG CALLBACK CatchWorkerFault(EXCEPTION_POINTERS* a_exception)
	{
		if (::GetCurrentThreadId() != g_workerId.load()) {
			return EXCEPTION_CONTINUE_SEARCH;
		}
		a_exception->ContextRecord->Rax = static_cast<std::uint32_t>(kFaulted);
		a_exception->ContextRecord->Rip = reinterpret_cast<DWORD64>(qs_StoreResult);
		return EXCEPTION_CONTINUE_EXECUTION;
	}

	DWORD WINAPI NeverRuns(void*)
	{
		return 0;
	}

	std::atomic_ref<int> StoredResult()
	{
		return std::atomic_ref<int>(qs_StoredResult);
	}

	// A thread created suspended with its registers set to start at a_at, eax and ecx
	// a_value, returning into qs_StoreResult.
	class ParkedThread
	{
	public:
		ParkedThread(std::uintptr_t a_at, std::uint32_t a_value) :
		    _faults(::AddVectoredExceptionHandler(1, &CatchWorkerFault))
		{
			StoredResult().store(kUnset);
			DWORD id = 0;
			_thread.reset(::CreateThread(nullptr, 0, &NeverRuns, nullptr, CREATE_SUSPENDED, &id));
			if (!_thread) {
				return;
			}
			g_workerId = id;
			CONTEXT context{};
			context.ContextFlags = CONTEXT_FULL;
			if (::GetThreadContext(_thread.get(), &context) == FALSE) {
				return;
			}
			// On the thread's own stack (Wine brings the process down when a new thread
			// starts on one it did not give it), as at a function's entry: the return address 8 bytes below a 16-byte boundary, the
			// caller's 32-byte home area above it.
			const DWORD64 entry = ((context.Rsp - 0x100) & ~DWORD64{ 15 }) - 8;
			*reinterpret_cast<std::uint64_t*>(entry) = reinterpret_cast<std::uint64_t>(qs_StoreResult);
			context.Rsp = entry;
			context.Rip = a_at;
			context.Rax = a_value;
			context.Rcx = a_value;
			_parked = ::SetThreadContext(_thread.get(), &context) != FALSE;
		}

		ParkedThread(const ParkedThread&) = delete;
		ParkedThread& operator=(const ParkedThread&) = delete;

		~ParkedThread()
		{
			if (_thread) {
				::TerminateThread(_thread.get(), 0);
				::WaitForSingleObject(_thread.get(), 5000);
			}
			g_workerId = 0;
		}

		explicit operator bool() const noexcept { return _parked; }

		// Lets the thread run: its result, or none when it stored nothing within seconds.
		std::optional<int> Run()
		{
			::ResumeThread(_thread.get());
			for (int waited = 0; waited < 5000; ++waited) {
				if (const int result = StoredResult().load(); result != kUnset) {
					return result;
				}
				::Sleep(1);
			}
			return std::nullopt;
		}

	private:
		std::unique_ptr<void, HandlerRemover> _faults;
		Handle                                _thread;
		bool                                  _parked{ false };
	};

	enum class Moment
	{
		Install, // the thread stands in the function when the detour is installed
		Restore  // it stands in the trampoline or relay when the detour is restored
	};

	// Where the thread stands: the function's instruction at this offset, or that
	// instruction's copy in the trampoline; stolenLength there is the trampoline's
	// closing jump.
	constexpr int kAtRelay = -1;

	std::uintptr_t PlaceInSlot(const Detour::InlineHook& a_hook, int a_offset)
	{
		const auto trampoline = reinterpret_cast<std::uintptr_t>(a_hook.trampolineAddress);
		if (a_offset == kAtRelay) {
			return reinterpret_cast<std::uintptr_t>(a_hook.relayAddress);
		}
		if (static_cast<std::uint64_t>(a_offset) == a_hook.stolenLength) {
			return trampoline + a_hook.trampoline.size() - a_hook.returnJumpSize;
		}
		for (const Detour::StolenInstruction& instruction : a_hook.instructions) {
			if (instruction.offset == a_offset) {
				return trampoline + instruction.trampolineOffset;
			}
		}
		return 0;
	}
} // namespace

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

TEST(ThreadFreeze, BothListingsFindEveryOtherThreadOfTheProcessAndNotTheCaller)
{
	// Parked on a Windows event rather than a std::latch: MinGW's C++ library waits on
	// its own fallback here, and a latch built without optimisation was seen to hang.
	constexpr int kStarted = 3;
	const Handle  release{ ::CreateEventW(nullptr, TRUE, FALSE, nullptr) };
	ASSERT_TRUE(release);
	std::atomic<int>           running{ 0 };
	std::vector<std::uint32_t> started(kStarted);
	std::vector<std::jthread>  parked;
	for (int i = 0; i < kStarted; ++i) {
		parked.emplace_back([&, i] {
			started[static_cast<std::size_t>(i)] = ::GetCurrentThreadId();
			running.fetch_add(1);
			::WaitForSingleObject(release.get(), INFINITE);
		});
	}
	while (running.load() < kStarted) {
		std::this_thread::yield();
	}

	std::vector<std::uint32_t> walked;
	std::vector<std::uint32_t> snapshot;
	const bool                 walkListed = Detour::ThreadFreeze::OtherThreadIds(Detour::ThreadListing::ProcessWalk, walked);
	const bool                 snapshotListed = Detour::ThreadFreeze::OtherThreadIds(Detour::ThreadListing::SystemSnapshot, snapshot);
	::SetEvent(release.get()); // before any assertion can leave: the threads are joined on the way out
	ASSERT_TRUE(walkListed) << "ntdll has no NtGetNextThread";
	ASSERT_TRUE(snapshotListed);

	std::ranges::sort(walked);
	std::ranges::sort(snapshot);
	EXPECT_EQ(walked, snapshot);
	for (const std::uint32_t id : started) {
		EXPECT_TRUE(std::ranges::binary_search(walked, id)) << "thread " << id;
	}
	EXPECT_FALSE(std::ranges::binary_search(walked, static_cast<std::uint32_t>(::GetCurrentThreadId())));
}

TEST(ThreadFreeze, AThreadAmongTheRewrittenBytesGoesOnAsTheOriginalWould)
{
	CodePages farPage = CodePages::FarFrom(qs_SmallSteps);
	ASSERT_TRUE(farPage) << "no free page more than 4 GiB from the test program";
	farPage.Write(0, { 0x8D, 0x81, 0xE8, 0x03, 0x00, 0x00, 0xC3 }); // lea eax, [rcx+1000]; ret

	struct Case
	{
		const char*   what;
		Moment        moment;
		std::uint8_t* function;
		bool          farReplacement;
		int           offset;
		int           expected; // eax and ecx start at 100
		bool          slotKept; // Restore leaves the trampoline's page to a thread it could not move out
	};
	const Case cases[] = {
		{ "install: at inc eax, moved to its copy", Moment::Install, qs_SmallSteps, false, 2, 107, false },
		{ "install: at add eax, 2, moved to its copy", Moment::Install, qs_SmallSteps, false, 4, 106, false },
		{ "install (relay): at inc eax", Moment::Install, qs_SmallSteps, true, 2, 107, false },
		{ "install: at a rip-relative add, moved to its rewritten copy", Moment::Install, qs_RipRelativeSecond, false, 2, 1100, false },
		{ "install: at the entry, stays and takes the detour", Moment::Install, qs_SmallSteps, false, 0, kReplaced + 100, false },
		{ "restore: at the copy of the first instruction", Moment::Restore, qs_SmallSteps, false, 0, 107, false },
		{ "restore: at the copy of inc eax", Moment::Restore, qs_SmallSteps, false, 2, 107, false },
		{ "restore: at the copy of add eax, 2", Moment::Restore, qs_SmallSteps, false, 4, 106, false },
		{ "restore: at the trampoline's closing jump", Moment::Restore, qs_SmallSteps, false, 7, 104, false },
		{ "restore: at the rewritten rip-relative add", Moment::Restore, qs_RipRelativeSecond, false, 2, 1100, false },
		{ "restore: in the relay, whose slot must stay", Moment::Restore, qs_SmallSteps, true, kAtRelay, 1100, true },
	};
	for (const Case& c : cases) {
		const void* const               replacement = c.farReplacement ? static_cast<const void*>(farPage.data()) : reinterpret_cast<const void*>(&Marked);
		const std::vector<std::uint8_t> original(c.function, c.function + 16);
		const int                       direct = qs_CallTarget(c.function, 1);
		const std::size_t               pages = Detour::TrampolinePool::Instance().PageCount();
		Detour::InlineHook              hook;
		std::unique_ptr<ParkedThread>   worker;
		if (c.moment == Moment::Install) {
			worker = std::make_unique<ParkedThread>(reinterpret_cast<std::uintptr_t>(c.function) + static_cast<std::uintptr_t>(c.offset), 100);
			ASSERT_TRUE(*worker) << c.what << ": the worker's registers could not be set";
			ASSERT_TRUE(hook.Install(c.function, replacement)) << c.what;
		} else {
			ASSERT_TRUE(hook.Install(c.function, replacement)) << c.what;
			const std::uintptr_t at = PlaceInSlot(hook, c.offset);
			ASSERT_NE(at, 0u) << c.what;
			worker = std::make_unique<ParkedThread>(at, 100);
			ASSERT_TRUE(*worker) << c.what << ": the worker's registers could not be set";
			hook.Restore();
		}
		const std::optional<int> result = worker->Run();
		ASSERT_TRUE(result.has_value()) << c.what << ": the worker never returned";
		EXPECT_EQ(*result, c.expected) << c.what << (*result == kFaulted ? ": the worker faulted" : "");
		worker.reset();
		hook.Restore();
		EXPECT_EQ(std::vector<std::uint8_t>(c.function, c.function + 16), original) << c.what;
		EXPECT_EQ(qs_CallTarget(c.function, 1), direct) << c.what;
		EXPECT_EQ(Detour::TrampolinePool::Instance().PageCount(), pages + (c.slotKept ? 1 : 0)) << c.what << ": the trampoline's page";
	}
}

TEST(ThreadFreeze, ACallerInATightLoopAlwaysGetsTheRightAnswerWhileTheDetourComesAndGoes)
{
	std::atomic<bool> stop{ false };
	std::atomic<int>  calls{ 0 };
	std::atomic<int>  wrong{ 0 };
	std::thread       caller([&] {
        for (int i = 0; !stop.load(std::memory_order_relaxed); i = (i + 1) % 1000) {
            const int result = qs_CallTarget(qs_Pausing, i);
            wrong += result != i + 7 && result != kReplaced + i ? 1 : 0;
            ++calls;
        }
    });
	while (calls.load() == 0) {
		std::this_thread::yield();
	}
	// Listing the threads costs Wine milliseconds (toolhelp walks every process's
	// threads), so the rounds are few; the parked-thread cases above are the proof.
	constexpr int kRounds = 60;
	int           installs = 0;
	for (int round = 0; round < kRounds; ++round) {
		Detour::InlineHook hook;
		installs += hook.Install(qs_Pausing, &Marked) ? 1 : 0;
	}
	stop = true;
	caller.join();
	EXPECT_EQ(installs, kRounds);
	EXPECT_EQ(wrong.load(), 0);
	EXPECT_GT(calls.load(), 0);
}
