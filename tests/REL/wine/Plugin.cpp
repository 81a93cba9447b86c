// A stand-in plugin: what a real plugin built on the host library does with the
// Address Library, exported so that a test game can call it. Placed in a loader's
// Plugins folder, it finds its database the way every plugin does.

#include <cstdint>

#include "REL/IDDB.h"

extern "C" __declspec(dllexport) std::uint64_t QS_ResolveID(std::uint64_t a_id)
{
	return REL::ResolveID(a_id);
}
