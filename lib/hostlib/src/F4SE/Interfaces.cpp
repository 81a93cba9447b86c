#include "F4SE/Interfaces.h"

#include "F4SE/API.h"

namespace F4SE
{
	void* TrampolineInterface::AllocateFromBranchPool(const std::uint64_t a_size) const
	{
		// A host that lists the interface without filling its slot hands out nothing,
		// which is a refusal like any other.
		auto* const memory = allocateFromBranchPool ? allocateFromBranchPool(OwnPluginHandle(), a_size) : nullptr;
		if (!memory) {
			REX::LogError("failed to allocate from branch pool");
		}
		return memory;
	}
} // namespace F4SE
