#include "F4SE/Interfaces.h"

#include <source_location>

#include "F4SE/API.h"

namespace F4SE
{
	void* TrampolineInterface::AllocateFromBranchPool(const std::uint64_t a_size) const
	{
		// A host that lists the interface without filling its slot hands out nothing,
		// which is a refusal like any other.
		auto* const memory = allocateFromBranchPool ? allocateFromBranchPool(OwnPluginHandle(), a_size) : nullptr;
		if (!memory) {
			const auto here = std::source_location::current();
			REX::LogMessage(
			    REX::SourceLocation{ 115, 14, "lib/hostlib/src/F4SE/Interfaces", here.function_name() },
			    REX::ELogLevel::Error,
			    "failed to allocate from branch pool");
		}
		return memory;
	}
} // namespace F4SE
