#include "FakeDebugger.h"

#include <mutex>

namespace FakeOS
{
	namespace
	{
		struct Data
		{
			bool                      attached{ false };
			std::vector<std::wstring> output;
		};

		struct State : Data
		{
			std::mutex lock;
		};

		State& GetState()
		{
			return SharedState<State, Data>();
		}
	} // namespace

	void SetDebuggerAttached(const bool a_attached)
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.attached = a_attached;
	}

	std::vector<std::wstring> DebugOutput()
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		return s.output;
	}
} // namespace FakeOS

namespace REX::OS
{
	bool IsDebuggerPresent()
	{
		FakeOS::CountCall("IsDebuggerPresent");
		auto&                  s = FakeOS::GetState();
		const std::scoped_lock guard(s.lock);
		return s.attached;
	}

	void OutputDebugStringW(const wchar_t* a_outputString)
	{
		FakeOS::CountCall("OutputDebugStringW");
		auto&                  s = FakeOS::GetState();
		const std::scoped_lock guard(s.lock);
		s.output.emplace_back(a_outputString ? a_outputString : L"");
	}
} // namespace REX::OS
