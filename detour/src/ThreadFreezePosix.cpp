// ThreadFreeze on Linux: holds no thread. Suspending a thread of one's own process and
// rewriting its registers takes signals or ptrace, neither of which the native tests'
// detour may use; there the other threads keep running (see ThreadFreeze.h).

#include "ThreadFreeze.h"

namespace Detour
{
	void ThreadFreeze::HandleCloser::operator()(void*) const noexcept {}

	ThreadFreeze::ThreadFreeze() = default;

	ThreadFreeze::~ThreadFreeze() = default;

	std::size_t ThreadFreeze::Count() const noexcept
	{
		return 0;
	}

	bool ThreadFreeze::SetInstructionPointer(Thread&, std::uintptr_t) noexcept
	{
		return false;
	}

	bool ThreadFreeze::OpenOtherThreads(ThreadListing, std::vector<Thread>& a_threads)
	{
		a_threads.clear();
		return true;
	}

	bool ThreadFreeze::OtherThreadIds(ThreadListing, std::vector<std::uint32_t>& a_ids)
	{
		a_ids.clear();
		return true;
	}
} // namespace Detour
