#pragma once

// Records that the host (the script extender) and a plugin exchange, laid out as the
// host lays them out.

#include <cstddef>
#include <cstdint>

#include "REX/LOG.h"

namespace F4SE
{
	// The plugin's exported version record "F4SEPlugin_Version". The host reads it before
	// it loads the plugin; every byte not named here is zero.
	struct PluginVersionData
	{
		static constexpr std::uint32_t kVersion = 1;

		std::uint32_t dataVersion{ kVersion };    // 0
		std::uint32_t pluginVersion{ 0 };         // 4, packed as in REL::VersionNumber
		char          pluginName[256]{};          // 8
		char          author[256]{};              // 264
		std::uint32_t addressIndependence{ 0 };   // 520
		std::uint32_t structureIndependence{ 0 }; // 524
		std::uint32_t compatibleVersions[16]{};   // 528, zero ends the list
		std::uint32_t seVersionRequired{ 0 };     // 592, the oldest host the plugin runs under
		std::uint32_t reservedNonBreaking{ 0 };   // 596
		std::uint32_t reservedBreaking{ 0 };      // 600
		std::uint8_t  reserved[512]{};            // 604
	};
	// The host copies this many bytes from the export whatever the plugin declared: a
	// shorter record would hand it whatever the linker placed after it.
	static_assert(sizeof(PluginVersionData) == 1116);
	static_assert(offsetof(PluginVersionData, pluginName) == 8);
	static_assert(offsetof(PluginVersionData, author) == 264);
	static_assert(offsetof(PluginVersionData, addressIndependence) == 520);
	static_assert(offsetof(PluginVersionData, structureIndependence) == 524);
	static_assert(offsetof(PluginVersionData, compatibleVersions) == 528);
	static_assert(offsetof(PluginVersionData, seVersionRequired) == 592);

	// The service interfaces the host hands out. Each record starts with its interface
	// version; a host newer than this library may hand out a newer layout, which is then
	// used as far as this library knows it. Only the fields named here are read.
	struct MessagingInterface
	{
		static constexpr std::uint32_t kId = 1;
		static constexpr std::uint32_t kNewestVersion = 1;
		std::uint32_t                  interfaceVersion;
	};

	struct ScaleformInterface
	{
		static constexpr std::uint32_t kId = 2;
		static constexpr std::uint32_t kNewestVersion = 1;
		std::uint32_t                  interfaceVersion;
	};

	struct PapyrusInterface
	{
		static constexpr std::uint32_t kId = 3;
		static constexpr std::uint32_t kNewestVersion = 2;
		std::uint32_t                  interfaceVersion;
	};

	struct SerializationInterface
	{
		static constexpr std::uint32_t kId = 4;
		static constexpr std::uint32_t kNewestVersion = 1;
		std::uint32_t                  interfaceVersion;
	};

	struct TaskInterface
	{
		static constexpr std::uint32_t kId = 5;
		static constexpr std::uint32_t kNewestVersion = 2;
		std::uint32_t                  interfaceVersion;
	};

	struct ObjectInterface
	{
		static constexpr std::uint32_t kId = 6;
		static constexpr std::uint32_t kNewestVersion = 1;
		std::uint32_t                  interfaceVersion;
	};

	// The host's branch pool: memory near the game's code that the host hands out to
	// plugins, so that several plugins need not each reserve their own.
	struct TrampolineInterface
	{
		static constexpr std::uint32_t kId = 7;
		static constexpr std::uint32_t kNewestVersion = 1;

		using AllocateFn = void* (*)(std::uint32_t a_pluginHandle, std::uint64_t a_size);

		std::uint32_t interfaceVersion;                  // 0
		AllocateFn    allocateFromBranchPool{ nullptr }; // 8

		// Memory from the host's branch pool for this plugin, or null (with an error line)
		// when the host gives none.
		[[nodiscard]] void* AllocateFromBranchPool(std::uint64_t a_size) const;
	};
	static_assert(offsetof(TrampolineInterface, allocateFromBranchPool) == 8);

	// The record the host passes to the plugin's load entry. Every slot holds a plain
	// function that receives only the arguments named (no pointer to the record).
	struct LoadInterface
	{
		using QueryInterfaceFn = void* (*)(std::uint32_t a_id);
		using PluginHandleFn = std::uint32_t (*)();
		using HostWordFn = std::uint32_t (*)();
		using LookupFn = const void* (*)(const char* a_name);
		using FolderNameFn = const char* (*)();

		std::uint32_t    hostVersion;                  // 0, packed as in REL::VersionNumber
		std::uint32_t    unread[3];                    // 4
		QueryInterfaceFn queryInterface{ nullptr };    // 16
		PluginHandleFn   getPluginHandle{ nullptr };   // 24
		HostWordFn       getHostWord{ nullptr };       // 32
		LookupFn         lookup{ nullptr };            // 40, may be null
		FolderNameFn     getGameFolderName{ nullptr }; // 48

		// Asks the host for the interface with T's id. A record newer than this library
		// knows is reported once and used anyway: its known fields keep their meaning.
		template <class T>
		[[nodiscard]] T* QueryInterface() const
		{
			if (!queryInterface) {
				return nullptr;
			}
			auto* const result = static_cast<T*>(queryInterface(T::kId));
			if (result && result->interfaceVersion > T::kNewestVersion) {
				REX::LogError("interface definition is out of date");
			}
			return result;
		}
	};
	static_assert(offsetof(LoadInterface, queryInterface) == 16);
	static_assert(offsetof(LoadInterface, getPluginHandle) == 24);
	static_assert(offsetof(LoadInterface, getHostWord) == 32);
	static_assert(offsetof(LoadInterface, lookup) == 40);
	static_assert(offsetof(LoadInterface, getGameFolderName) == 48);
} // namespace F4SE
