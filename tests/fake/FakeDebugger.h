#pragma once

// A fake debugger: whether one is attached, as IsDebuggerPresent reports it (no, by
// default), and what the process handed to OutputDebugStringW, in order.

#include <string>
#include <vector>

#include "FakeOS.h"

namespace FakeOS
{
	void SetDebuggerAttached(bool a_attached);

	// Each OutputDebugStringW call's text, as given.
	[[nodiscard]] std::vector<std::wstring> DebugOutput();
} // namespace FakeOS
