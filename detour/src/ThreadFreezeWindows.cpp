// ThreadFreeze on Windows: CreateToolhelp32Snapshot lists the threads, OpenThread,
// SuspendThread and ResumeThread hold and release them, Get/SetThreadContext read and
// move their instruction pointers.

#include "ThreadFreeze.h"

#include <windows.h>

#include <tlhelp32.h>

namespace Detour
{
	namespace
	{
		// Suspend, read and move; and ask which process the thread belongs to.
		constexpr DWORD kThreadAccess = THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT | THREAD_QUERY_LIMITED_INFORMATION;

		std::mutex& FreezeLock()
		{
			static std::mutex lock;
			return lock;
		}

		// The ids of the process's threads but the calling one.
		std::vector<DWORD> OtherThreadIds()
		{
			std::vector<DWORD> ids;
			const HANDLE       snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
			if (snapshot == INVALID_HANDLE_VALUE) {
				return ids;
			}
			const std::unique_ptr<void, decltype(&::CloseHandle)> owned{ snapshot, &::CloseHandle };
			const DWORD                                           process = ::GetCurrentProcessId();
			const DWORD                                           self = ::GetCurrentThreadId();
			THREADENTRY32                                         entry{};
			entry.dwSize = sizeof entry;
			for (BOOL more = ::Thread32First(snapshot, &entry); more != FALSE; more = ::Thread32Next(snapshot, &entry)) {
				if (entry.th32OwnerProcessID == process && entry.th32ThreadID != self) {
					ids.push_back(entry.th32ThreadID);
				}
				entry.dwSize = sizeof entry;
			}
			return ids;
		}

		bool ReadControl(HANDLE a_thread, CONTEXT& a_context)
		{
			a_context.ContextFlags = CONTEXT_CONTROL;
			return ::GetThreadContext(a_thread, &a_context) != FALSE;
		}
	} // namespace

	void ThreadFreeze::HandleCloser::operator()(void* a_handle) const noexcept
	{
		::CloseHandle(a_handle);
	}

	ThreadFreeze::ThreadFreeze() :
	    _serial(FreezeLock())
	{
		// Everything is allocated here, before the first thread stops.
		const std::vector<DWORD> ids = OtherThreadIds();
		_threads.reserve(ids.size());
		const DWORD process = ::GetCurrentProcessId();
		for (const DWORD id : ids) {
			Thread thread;
			thread.handle.reset(::OpenThread(kThreadAccess, FALSE, id));
			// The id of a thread that exited since the snapshot may belong to another
			// process's thread by now.
			if (thread.handle && ::GetProcessIdOfThread(thread.handle.get()) == process) {
				_threads.push_back(std::move(thread));
			}
		}

		// From here on nothing allocates until the destructor has resumed every thread.
		for (Thread& thread : _threads) {
			if (::SuspendThread(thread.handle.get()) == static_cast<DWORD>(-1)) {
				continue;
			}
			thread.suspended = true;
			// SuspendThread only asks the thread to stop; reading its context waits until
			// it has, so no thread still runs once the constructor returns.
			CONTEXT context{};
			if (ReadControl(thread.handle.get(), context)) {
				thread.instructionPointer = context.Rip;
			}
		}
	}

	ThreadFreeze::~ThreadFreeze()
	{
		for (Thread& thread : _threads) {
			if (thread.suspended) {
				::ResumeThread(thread.handle.get());
			}
		}
	}

	std::size_t ThreadFreeze::Count() const noexcept
	{
		std::size_t count = 0;
		for (const Thread& thread : _threads) {
			count += thread.suspended ? 1 : 0;
		}
		return count;
	}

	bool ThreadFreeze::SetInstructionPointer(Thread& a_thread, std::uintptr_t a_address) noexcept
	{
		CONTEXT context{};
		if (!ReadControl(a_thread.handle.get(), context)) {
			return false;
		}
		context.Rip = a_address;
		if (::SetThreadContext(a_thread.handle.get(), &context) == FALSE) {
			return false;
		}
		a_thread.instructionPointer = a_address;
		return true;
	}
} // namespace Detour
