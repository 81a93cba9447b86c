// ThreadFreeze on Windows: NtGetNextThread (or, without it, the toolhelp snapshot and
// OpenThread) finds the threads, SuspendThread and ResumeThread hold and release them,
// Get/SetThreadContext read and move their instruction pointers.

#include "ThreadFreeze.h"

#include <windows.h>

#include <tlhelp32.h>

namespace Detour
{
	namespace
	{
		// Suspend, read and move; and ask which process and thread a handle names.
		constexpr DWORD kThreadAccess = THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT | THREAD_QUERY_LIMITED_INFORMATION;

		// ntdll's walk over a process's threads: given one of its threads (or none, to
		// begin), opens the next with the access asked for. Exported by every 64-bit
		// ntdll since Windows Vista and by Wine's; not in the SDK's import libraries.
		using NtGetNextThreadFunction = LONG(NTAPI*)(HANDLE a_process, HANDLE a_thread, ACCESS_MASK a_access, ULONG a_attributes, ULONG a_flags, HANDLE* a_next);

		NtGetNextThreadFunction NtGetNextThread()
		{
			static const auto function = [] {
				const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
				const FARPROC address = ntdll != nullptr ? ::GetProcAddress(ntdll, "NtGetNextThread") : nullptr;
				// Through void (*)(), which the compiler lets stand for any function type.
				return reinterpret_cast<NtGetNextThreadFunction>(reinterpret_cast<void (*)()>(address));
			}();
			return function;
		}

		std::mutex& FreezeLock()
		{
			static std::mutex lock;
			return lock;
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

	bool ThreadFreeze::OpenOtherThreads(ThreadListing a_listing, std::vector<Thread>& a_threads)
	{
		a_threads.clear();
		const DWORD self = ::GetCurrentThreadId();
		if (a_listing == ThreadListing::ProcessWalk) {
			const NtGetNextThreadFunction next = NtGetNextThread();
			if (next == nullptr) {
				return false;
			}
			// Each handle is kept (the walk goes on from it) and so owned from the start.
			std::vector<std::unique_ptr<void, HandleCloser>> walked;
			HANDLE                                           current = nullptr;
			HANDLE                                           following = nullptr;
			while (next(::GetCurrentProcess(), current, kThreadAccess, 0, 0, &following) >= 0 && following != nullptr) {
				walked.emplace_back(following);
				current = following;
				following = nullptr;
			}
			a_threads.reserve(walked.size());
			for (auto& handle : walked) {
				if (::GetThreadId(handle.get()) != self) {
					a_threads.push_back(Thread{ std::move(handle) });
				}
			}
			return true;
		}

		const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
		if (snapshot == INVALID_HANDLE_VALUE) {
			return false;
		}
		const std::unique_ptr<void, HandleCloser> owned{ snapshot };
		const DWORD                               process = ::GetCurrentProcessId();
		THREADENTRY32                             entry{};
		entry.dwSize = sizeof entry;
		for (BOOL more = ::Thread32First(snapshot, &entry); more != FALSE; more = ::Thread32Next(snapshot, &entry)) {
			if (entry.th32OwnerProcessID == process && entry.th32ThreadID != self) {
				Thread thread;
				thread.handle.reset(::OpenThread(kThreadAccess, FALSE, entry.th32ThreadID));
				// The id of a thread that exited since the snapshot may belong to another
				// process's thread by now.
				if (thread.handle && ::GetProcessIdOfThread(thread.handle.get()) == process) {
					a_threads.push_back(std::move(thread));
				}
			}
			entry.dwSize = sizeof entry;
		}
		return true;
	}

	bool ThreadFreeze::OtherThreadIds(ThreadListing a_listing, std::vector<std::uint32_t>& a_ids)
	{
		a_ids.clear();
		std::vector<Thread> threads;
		if (!OpenOtherThreads(a_listing, threads)) {
			return false;
		}
		for (const Thread& thread : threads) {
			a_ids.push_back(::GetThreadId(thread.handle.get()));
		}
		return true;
	}

	ThreadFreeze::ThreadFreeze() :
	    _serial(FreezeLock())
	{
		// Everything is allocated here, before the first thread stops.
		if (!OpenOtherThreads(ThreadListing::ProcessWalk, _threads)) {
			OpenOtherThreads(ThreadListing::SystemSnapshot, _threads);
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
