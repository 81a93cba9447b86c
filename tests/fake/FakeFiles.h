#pragma once

// Fake files, named file mappings with their views, and the SHA-512 hash service.
// (Scripting hooks for tests are added here by the Address Library's tests.)

#include "FakeOS.h"
