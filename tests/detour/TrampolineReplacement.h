#pragma once

// The replacement most detour tests install: it marks its result with kReplaced and
// runs the game's own code through the trampoline of the hook g_hook points at. A test
// points g_hook at its hook before installing it; the target functions and the
// trampolines are called through Call, under their own convention.

#include "Detour/InlineHook.h"
#include "TargetFunctions.h"

namespace TestSupport
{
	inline constexpr int kReplaced = 100000;

	inline const Detour::InlineHook* g_hook = nullptr;

	inline int Call(const void* a_function, int a_argument)
	{
		return qs_CallTarget(a_function, a_argument);
	}

	inline int Replacement(int a_value)
	{
		return kReplaced + Call(g_hook->TrampolineAddress(), a_value);
	}
} // namespace TestSupport
