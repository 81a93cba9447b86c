#pragma once

// The host library's link to the host: initialisation, the interface table and the
// plugin's identity.

#include "F4SE/Interfaces.h"

namespace F4SE
{
	// The plugin's own exported version record, or null when the plugin exports none.
	[[nodiscard]] const PluginVersionData* FindPluginVersionRecord() noexcept;
}
