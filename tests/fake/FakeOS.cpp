#include "FakeOS.h"

#include <map>
#include <mutex>
#include <vector>

namespace FakeOS
{
	namespace
	{
		struct Failure
		{
			DWORD lastError;
			int   remaining; // negative: always
		};

		struct Core
		{
			std::mutex                                  lock;
			std::vector<std::function<void()>>          resets;
			std::map<std::string, Failure, std::less<>> failures;
			std::map<std::string, int, std::less<>>     calls;
		};

		Core& GetCore()
		{
			static Core core;
			return core;
		}

		thread_local DWORD lastError = 0;
	} // namespace

	void Reset()
	{
		auto&                              core = GetCore();
		std::vector<std::function<void()>> resets;
		{
			const std::scoped_lock guard(core.lock);
			core.failures.clear();
			core.calls.clear();
			resets = core.resets;
		}
		for (const auto& reset : resets) {
			reset();
		}
		lastError = 0;
	}

	void RegisterReset(std::function<void()> a_reset)
	{
		auto&                  core = GetCore();
		const std::scoped_lock guard(core.lock);
		core.resets.push_back(std::move(a_reset));
	}

	void FailCalls(std::string_view a_function, DWORD a_lastError, int a_count)
	{
		auto&                  core = GetCore();
		const std::scoped_lock guard(core.lock);
		core.failures.insert_or_assign(std::string(a_function), Failure{ a_lastError, a_count });
	}

	bool ConsumeFailure(std::string_view a_function)
	{
		auto&                  core = GetCore();
		const std::scoped_lock guard(core.lock);
		const auto             it = core.failures.find(a_function);
		if (it == core.failures.end() || it->second.remaining == 0) {
			return false;
		}
		if (it->second.remaining > 0) {
			--it->second.remaining;
		}
		lastError = it->second.lastError;
		return true;
	}

	void SetLastError(DWORD a_error)
	{
		lastError = a_error;
	}
	DWORD LastError()
	{
		return lastError;
	}

	int CallCount(std::string_view a_function)
	{
		auto&                  core = GetCore();
		const std::scoped_lock guard(core.lock);
		const auto             it = core.calls.find(a_function);
		return it == core.calls.end() ? 0 : it->second;
	}

	void CountCall(std::string_view a_function)
	{
		auto&                  core = GetCore();
		const std::scoped_lock guard(core.lock);
		++core.calls[std::string(a_function)];
	}
} // namespace FakeOS

namespace REX::OS
{
	DWORD GetLastError()
	{
		FakeOS::CountCall("GetLastError");
		return FakeOS::LastError();
	}
} // namespace REX::OS
