#pragma once

// What Quellstone knows about the one game runtime it is built for: the Address Library
// IDs of the two functions it detours, where the game keeps the record fields its hooks
// read, and the runtime's version. The plugin uses these; the sandbox's stand-ins for the
// game and the tools check their own copies against them when they compile, so that a
// change here cannot leave a stand-in describing another game.
//
// The version numbers come from the build (QS_GAME_VERSION in the top CMakeLists.txt),
// which also names the Address Library file and stamps the game stand-in's version
// resource with them; link the `game_layout` target to get them.

#include <cstddef>
#include <cstdint>

#include "REL/Version.h"

#if !defined(QS_GAME_VERSION_MAJOR) || !defined(QS_GAME_VERSION_MINOR) || !defined(QS_GAME_VERSION_BUILD) || !defined(QS_GAME_VERSION_SUB)
#error "GameLayout.h needs the game version from the build: link the game_layout target"
#endif

namespace GameLayout
{
	// Address Library IDs of the two game functions.
	inline constexpr std::uint64_t kInvalidatesPreCalcDataForCellID = 2201029;
	inline constexpr std::uint64_t kClearPreCalcedDataID = 2200368;

	// Every form (placed references and cells among them) starts with its virtual table;
	// its form ID sits at 0x14.
	inline constexpr std::size_t kFormIDOffset = 0x14;
	// The virtual function that returns a form's name text (or null), by slot and by its
	// byte offset into the virtual table.
	inline constexpr std::size_t kNameSlot = 58;
	inline constexpr std::size_t kNameVtableOffset = 0x1D0;
	static_assert(kNameVtableOffset == kNameSlot * 8, "the game's virtual tables hold 8-byte pointers");

	// A cell's load state, and its two precomputed-data blocks (precombined meshes and
	// previs data); a clear is safe only from state kCellStateDataReady on, with both
	// blocks in place.
	inline constexpr std::size_t  kCellStateOffset = 0x44;
	inline constexpr std::size_t  kCellFirstDataOffset = 0x50;
	inline constexpr std::size_t  kCellSecondDataOffset = 0xD0;
	inline constexpr std::uint8_t kCellStateDataReady = 4;

	// The game runtime whose addresses and layouts these are, and its packed form as the
	// host reports it and a plugin's version record names it.
	inline constexpr REL::VersionNumber kRuntimeVersion{ QS_GAME_VERSION_MAJOR, QS_GAME_VERSION_MINOR, QS_GAME_VERSION_BUILD, QS_GAME_VERSION_SUB };
	inline constexpr std::uint32_t      kRuntimeVersionPacked = kRuntimeVersion.Pack();
	static_assert(REL::VersionNumber::FromPacked(kRuntimeVersionPacked) == kRuntimeVersion, "the packed form holds 8.8.12.4 bits");
} // namespace GameLayout
