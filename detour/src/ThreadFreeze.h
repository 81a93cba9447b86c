#pragma once

// The detour's seam to the operating system's threads: holding every other thread of
// the process still while the detour rewrites code one of them may be running, and
// moving a held thread's instruction pointer.
//
// A ThreadFreeze suspends, for its lifetime, each thread the process has when it is
// made, except the calling one. InlineHook writes the jump and the stolen bytes under
// one, so that no thread runs half-written bytes, and moves a thread that stands among
// the bytes it rewrites to the matching place (see InlineHook.cpp).
//
// A held thread may own the heap's lock, the logger's or any other. So the freeze
// allocates everything before it suspends the first thread, and from then until it
// ends neither it nor its caller may allocate, log or take a lock (a lock taken before
// the freeze may be held through it). Freezes are serialised process-wide: two threads
// suspending each other would both stop for good.
//
// A thread that cannot be opened or suspended (it has exited meanwhile) is left out.
// So is one created after the freeze listed the threads: it starts at its own entry
// point, not inside a function's first bytes, and can only meet a rewrite in progress
// if it reaches the function within the few instructions the write takes.
//
// ThreadFreezeWindows.cpp walks the process's own threads with ntdll's NtGetNextThread
// (the system-wide toolhelp snapshot where ntdll lacks it) and calls SuspendThread,
// GetThreadContext and SetThreadContext. ThreadFreezePosix.cpp freezes
// nothing: a Linux process cannot suspend one of its own threads and rewrite its
// registers without signals or ptrace, so the native build runs the detour with the
// other threads running, and the freeze is proven in the Windows build under Wine.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace Detour
{
	// How a freeze finds the process's threads. The walk asks the kernel for each thread
	// of this process in turn and gets an open handle straight away: one short call a
	// thread, and a handle that cannot name another process's thread. The snapshot lists
	// every thread of the system, then each id of ours is opened: far slower (under Wine
	// a millisecond or more for the list alone), and an id may have been reused by the
	// time it is opened. The walk is taken wherever the system offers it.
	enum class ThreadListing
	{
		ProcessWalk,
		SystemSnapshot,
	};

	class ThreadFreeze
	{
	public:
		// Suspends the process's other threads.
		ThreadFreeze();
		// Resumes them.
		~ThreadFreeze();
		ThreadFreeze(const ThreadFreeze&) = delete;
		ThreadFreeze& operator=(const ThreadFreeze&) = delete;

		// How many threads are held.
		[[nodiscard]] std::size_t Count() const noexcept;

		// The ids of the threads a freeze made now would hold (every thread of the process
		// but the calling one), found through a_listing; false when that listing is not
		// available here. Empty where a freeze holds nothing.
		[[nodiscard]] static bool OtherThreadIds(ThreadListing a_listing, std::vector<std::uint32_t>& a_ids);

		// Calls a_move(ip) for each held thread whose instruction pointer is known; where
		// it returns another address, the thread resumes there. False when such a thread
		// could not be moved. a_move runs while the threads are held: it may not
		// allocate, log or lock.
		template <class Move>
		bool MoveInstructionPointers(Move&& a_move) noexcept
		{
			bool allMoved = true;
			for (Thread& thread : _threads) {
				if (!thread.suspended || thread.instructionPointer == 0) {
					continue;
				}
				const std::uintptr_t moved = a_move(thread.instructionPointer);
				if (moved != thread.instructionPointer && !SetInstructionPointer(thread, moved)) {
					allMoved = false;
				}
			}
			return allMoved;
		}

	private:
		// Closes a platform thread handle (CloseHandle on Windows).
		struct HandleCloser
		{
			void operator()(void* a_handle) const noexcept;
		};

		struct Thread
		{
			std::unique_ptr<void, HandleCloser> handle;
			std::uintptr_t                      instructionPointer{ 0 }; // 0 = could not be read
			bool                                suspended{ false };
		};

		static bool SetInstructionPointer(Thread& a_thread, std::uintptr_t a_address) noexcept;

		// Opens the process's other threads through a_listing; false when that listing is
		// not available here.
		static bool OpenOtherThreads(ThreadListing a_listing, std::vector<Thread>& a_threads);

		// Held from before the first suspension until after the last resumption; declared
		// first so that it is let go last.
		std::unique_lock<std::mutex> _serial;
		std::vector<Thread>          _threads;
	};
} // namespace Detour
