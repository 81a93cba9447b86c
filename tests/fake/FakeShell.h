#pragma once

// Fake known folders (the documents folder) and the shell's task memory.
// (Scripting hooks for tests are added here by the log set-up's tests.)

#include "FakeOS.h"
