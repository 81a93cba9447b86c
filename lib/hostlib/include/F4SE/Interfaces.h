#pragma once

// Records that the host (the script extender) and a plugin exchange, laid out as the
// host lays them out.

#include <cstddef>
#include <cstdint>

namespace F4SE
{
	// The plugin's exported version record "F4SEPlugin_Version". The host reads it before
	// it loads the plugin; every byte not named here is zero.
	struct PluginVersionData
	{
		static constexpr std::uint32_t kVersion = 1;

		std::uint32_t dataVersion{ kVersion };     // 0
		std::uint32_t pluginVersion{ 0 };          // 4, packed as in REL::VersionNumber
		char          pluginName[256]{};           // 8
		char          author[256]{};               // 264
		std::uint32_t addressIndependence{ 0 };    // 520
		std::uint32_t structureIndependence{ 0 };  // 524
		std::uint32_t compatibleVersions[16]{};    // 528, zero ends the list
		std::uint32_t seVersionRequired{ 0 };      // 592
		std::uint32_t reservedNonBreaking{ 0 };    // 596
		std::uint32_t reservedBreaking{ 0 };       // 600
		std::uint8_t  reserved[1 + 3]{};           // 604
	};
	static_assert(offsetof(PluginVersionData, pluginName) == 8);
	static_assert(offsetof(PluginVersionData, author) == 264);
	static_assert(offsetof(PluginVersionData, addressIndependence) == 520);
	static_assert(offsetof(PluginVersionData, structureIndependence) == 524);
	static_assert(offsetof(PluginVersionData, compatibleVersions) == 528);
	static_assert(offsetof(PluginVersionData, seVersionRequired) == 592);
}
