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
} // namespace Detour
