#pragma once

// `addrlib check`: whether Quellstone can run on a game, told without starting it. For
// each game function the plugin detours: is its ID in the database, does its offset
// point into the executable's code, and would the detour accept the bytes there? The
// last question is answered by the detour's own plan, run on the file's bytes at the
// address the function would have at the image's preferred base, with the replacement
// far away (as a plugin DLL is from the game), a page for the trampoline near it, and
// the function size the plugin's install finds in the game (PatchSite::liveSize), so
// that the answer is the plugin's.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Database.h"
#include "Detour/DetourPlan.h"
#include "GameLayout.h"
#include "PeImage.h"
#include "REL/Version.h"

namespace AddrLib
{
	// A game function the plugin detours, by the name the plugin's log uses.
	struct DetouredFunction
	{
		std::string_view name;
		std::uint64_t    id;
	};

	// The two game functions Quellstone detours.
	inline constexpr DetouredFunction kQuellstoneFunctions[] = {
		{ "InvalidatesPreCalcDataForCell", GameLayout::kInvalidatesPreCalcDataForCellID },
		{ "ClearPreCalcedData", GameLayout::kClearPreCalcedDataID },
	};

	// Where an install would patch a function of an image that is not loaded: its entry
	// after the leading jumps an install follows (E9, and EB other than EB 00 and EB 80;
	// an FF 25 jump goes through an import slot whose value the file does not hold, so it
	// stays), with the bytes the file holds there (the whole function, up to 64 KiB, so that
	// the plan can look for branches back into the bytes it takes) and the size of the
	// function from there to its end as the function table knows it, chained fragments
	// that continue it included (0 when the table does not cover it).
	struct PatchSite
	{
		std::uint32_t rva{ 0 };
		int           jumpsFollowed{ 0 };
		std::uint32_t functionSize{ 0 };
		// What an install in the game learns from the system's function lookup: the size of
		// the function whose table entry begins here, extended by the same rule
		// (Detour::FunctionTable::FunctionEnd); 0 when no entry begins here.
		std::uint32_t liveSize{ 0 };
		// The function table places the site inside a function, past its start (where an
		// Address Library of another game version points): an install refuses it.
		bool                          insideFunction{ false };
		std::span<const std::uint8_t> code;
	};

	// Bytes as upper-case hexadecimal pairs separated by spaces ("48 8B 05").
	[[nodiscard]] std::string FormatBytes(std::span<const std::uint8_t> a_bytes);

	// The plan an install in the game would make at the site (the image loaded at
	// a_target): refused inside a function, else the dry run on the bytes and with the
	// function size and image base (a_target less the site's RVA) the install learns from
	// the system's lookup.
	[[nodiscard]] Detour::DetourPlan PlanAsInstalled(const PatchSite& a_site, std::uintptr_t a_target);

	// a_functions: a_image.Functions(), sorted by begin.
	[[nodiscard]] PatchSite FindPatchSite(const PeImage& a_image, std::span<const PeImage::Function> a_functions, std::uint32_t a_entry);

	struct FunctionCheck
	{
		enum class Verdict
		{
			Accepted,
			MissingId,   // the database has no offset for the ID
			OutsideCode, // the offset is not inside an executable section of the image
			Refused      // the detour would refuse the bytes there
		};

		DetouredFunction             function;
		Verdict                      verdict{ Verdict::MissingId };
		std::optional<std::uint64_t> offset;
		std::string                  section; // the section the offset lies in, if any
		PatchSite                    site;    // where the detour would go, when in code
		Detour::DetourPlan           plan;    // when the dry run was made
		std::vector<std::uint8_t>    bytes;   // the first bytes at the offset (for the report)
	};

	// The game's version beside the database's: the plugin reads the first from the
	// executable's product version and refuses a database of another version (for the raw
	// format, whose file carries no version, it looks only for the file named after it).
	struct VersionCheck
	{
		std::optional<REL::VersionNumber> game;     // nothing when the executable tells none
		std::optional<REL::VersionNumber> database; // nothing for a raw file of another name
		bool                              raw{ false };

		[[nodiscard]] bool Matches() const noexcept { return game && database && *game == *database; }
	};

	// The product version text read as the plugin reads it: up to four parts split at '.',
	// each from its leading number (blanks and a sign allowed before it) cut to its low 16
	// bits; nothing when a part has no digits or does not fit a 32-bit signed number.
	[[nodiscard]] std::optional<REL::VersionNumber> ParseProductVersion(std::string_view a_text);

	// a_databasePath: where the database was read from; a raw file's name gives its version.
	[[nodiscard]] VersionCheck CheckVersions(const Database& a_database, const std::filesystem::path& a_databasePath, const PeImage& a_game);

	// Checks every function against the database and the image.
	[[nodiscard]] std::vector<FunctionCheck> CheckGame(const Database& a_database, const PeImage& a_game,
	                                                   std::span<const DetouredFunction> a_functions = kQuellstoneFunctions);

	// Whether Quellstone can run on the game: the versions match and the detour accepts
	// every function checked.
	[[nodiscard]] bool CanRun(const VersionCheck& a_versions, std::span<const FunctionCheck> a_checks);

	// The two versions, one line per function, then the verdict; what `addrlib check` prints.
	[[nodiscard]] std::string FormatCheck(const VersionCheck& a_versions, const std::vector<FunctionCheck>& a_checks);
} // namespace AddrLib
