#include "F4SE/API.h"

#include "REX/FModule.h"
#include "REX/OS.h"

namespace F4SE
{
	const PluginVersionData* FindPluginVersionRecord() noexcept
	{
		const auto address = REX::OS::GetProcAddress(REX::FModule::ThisModule().GetHandle(), "F4SEPlugin_Version");
		return reinterpret_cast<const PluginVersionData*>(address);
	}
} // namespace F4SE
