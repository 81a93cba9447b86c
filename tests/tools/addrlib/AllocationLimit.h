#pragma once

#include <cstddef>

// From now on, an allocation larger than a_bytes raises std::bad_alloc (SIZE_MAX: none does).
void SetAllocationLimit(std::size_t a_bytes);
