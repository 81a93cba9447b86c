#pragma once

// How the script extender decides whether to load a plugin. It reads the plugin's version
// record from the DLL's file before loading it, so none of the plugin's code has run
// yet: a record filled in at run time is zeros to it. From the record alone, what it
// knows of itself and of the running game, it accepts the plugin or refuses it with a
// line of its own log.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace Sandbox
{
	// The host copies this many bytes from the exported record, whatever size the plugin
	// declared it with.
	inline constexpr std::size_t kVersionRecordSize = 1116;
	using VersionRecord = std::array<std::uint8_t, kVersionRecordSize>;

	// The fields the host reads, by offset.
	struct VersionRecordLayout
	{
		static constexpr std::size_t kRecordVersion = 0;
		static constexpr std::size_t kPluginVersion = 4;
		static constexpr std::size_t kName = 8;
		static constexpr std::size_t kAuthor = 264;
		static constexpr std::size_t kTextSize = 256;
		static constexpr std::size_t kAddressFlags = 520;
		static constexpr std::size_t kStructureFlags = 524;
		static constexpr std::size_t kCompatibleVersions = 528;
		static constexpr std::size_t kCompatibleVersionCount = 16;
		static constexpr std::size_t kMinimumHostVersion = 592;
		// Bit 2 in both flag words: the plugin finds its addresses through the Address
		// Library and uses the record layouts of the current runtimes.
		static constexpr std::uint32_t kAddressLibraryFlag = 1u << 2;
	};

	// The plugin's record as the loader would map it, read from the DLL's file at the
	// address its "F4SEPlugin_Version" export names. Nullopt when the file is no PE image,
	// exports no record, or the record would run past the image.
	[[nodiscard]] std::optional<VersionRecord> ReadVersionRecord(const std::filesystem::path& a_dll);

	[[nodiscard]] std::uint32_t RecordWord(const VersionRecord& a_record, std::size_t a_offset) noexcept;
	// The plugin's name: the text at its offset up to the first zero.
	[[nodiscard]] std::string RecordName(const VersionRecord& a_record);

	// What the host knows when it decides.
	struct HostSituation
	{
		std::uint32_t hostVersion{ 0 };        // its own, packed like a game version
		std::uint32_t runtimeVersion{ 0 };     // the running game's, packed
		bool          addressLibraryPresent{}; // "version-<runtime>.bin" sits in the plugin folder
	};

	// Why the host refuses a plugin with this record, as its log words it; nullopt when it
	// accepts the plugin and goes on to load it.
	[[nodiscard]] std::optional<std::string> Refusal(const VersionRecord& a_record, const HostSituation& a_situation);
} // namespace Sandbox
