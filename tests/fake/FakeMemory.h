#pragma once

// Fake system information and virtual address space.
// (Scripting hooks for tests are added here by the branch trampoline's tests.)

#include "FakeOS.h"
