#pragma once

// A scriptable stand-in for the platform call layer REX::OS. The host library's unit
// tests link it instead of the Windows implementation, on both builds, so that every
// path (including the platform's failures) can be driven from a test.
//
// The fake is split by area, one header and source each:
//   FakeModules  modules, file names, exports, version resources, message boxes,
//                process termination, the image base of "this" module
//   FakeFiles    files, named mappings and views, the SHA-512 hash service
//   FakeMemory   system information and the virtual address space
//   FakeShell    the documents known folder
//   FakeDebugger whether a debugger is attached, and the debug output
// This header holds what they share: reset, failure injection and the last error.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "REX/OS.h"

namespace FakeOS
{
	using REX::OS::DWORD;

	// Puts every area back to its empty starting state and clears all injected failures.
	void Reset();

	// Each area registers how it resets itself (SharedState does it for every area).
	void RegisterReset(std::function<void()> a_reset);

	// The state of one area: one instance for the process. `State` derives from `Data`
	// and adds its lock (and whatever must outlive a reset); Reset puts the `Data` part
	// back to its defaults under that lock, so no field added later can be missed.
	template <class State, class Data>
	State& SharedState()
	{
		static State      state;
		static const bool registered = [] {
			RegisterReset([] {
				const std::scoped_lock guard(state.lock);
				static_cast<Data&>(state) = Data{};
			});
			return true;
		}();
		static_cast<void>(registered);
		return state;
	}

	// Makes calls of the named REX::OS function fail: the next `a_count` calls, or every
	// call when a_count is negative. A failing call sets the last error to a_lastError
	// and returns the function's failure value.
	void FailCalls(std::string_view a_function, DWORD a_lastError = 0, int a_count = -1);

	// Used inside the fake: true when this call of the named function must fail; it
	// then also sets the last error.
	[[nodiscard]] bool ConsumeFailure(std::string_view a_function);

	void  SetLastError(DWORD a_error);
	DWORD LastError();

	// How many times each REX::OS function has been called since the last Reset.
	[[nodiscard]] int CallCount(std::string_view a_function);
	void              CountCall(std::string_view a_function);

	// TerminateProcess records its exit code and throws this, so that a test can watch a
	// fatal error end "the process" and assert what happened before.
	struct ProcessTerminated
	{
		REX::OS::UINT exitCode;
	};
} // namespace FakeOS
