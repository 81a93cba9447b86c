#include "Check.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "Detour/InlineHook.h"

namespace AddrLib
{
	namespace
	{
		// Enough for any stolen run: at most 13 bytes before the last instruction, which is
		// at most 15 bytes long.
		constexpr std::size_t kCodeBytes = 32;
		constexpr std::size_t kShownBytes = 16;

		// The most of a function the plan is given to scan, as an install gives it.
		constexpr std::size_t kLongestScannedFunction = 0x10000;

		// The function of the table holding a_rva, or null.
		const PeImage::Function* FunctionAt(std::span<const PeImage::Function> a_functions, std::uint32_t a_rva)
		{
			const auto after = std::ranges::upper_bound(a_functions, a_rva, {}, &PeImage::Function::begin);
			if (after == a_functions.begin()) {
				return nullptr;
			}
			const auto& function = *(after - 1);
			return a_rva < function.end ? &function : nullptr;
		}
	} // namespace

	std::string FormatBytes(std::span<const std::uint8_t> a_bytes)
	{
		std::string text;
		for (const auto byte : a_bytes) {
			text += fmt::format("{}{:02X}", text.empty() ? "" : " ", byte);
		}
		return text;
	}

	Detour::DetourPlan PlanAsInstalled(const PatchSite& a_site, std::uintptr_t a_target)
	{
		if (a_site.insideFunction) {
			Detour::DetourPlan plan;
			plan.failure = Detour::DetourFailure::InsideFunction;
			plan.target = a_target;
			return plan;
		}
		const auto window = std::clamp<std::size_t>(a_site.liveSize, kCodeBytes, kLongestScannedFunction);
		return Detour::DryRunDetour(a_site.code.first(std::min(a_site.code.size(), window)), a_target, a_site.liveSize, a_target - a_site.rva);
	}

	PatchSite FindPatchSite(const PeImage& a_image, std::span<const PeImage::Function> a_functions, std::uint32_t a_entry)
	{
		PatchSite site;
		site.rva = a_entry;
		for (; site.jumpsFollowed < Detour::InlineHook::kMaxJumpsFollowed; ++site.jumpsFollowed) {
			const auto   jump = a_image.BytesAt(site.rva, 5);
			std::int64_t destination = 0;
			if (jump.size() >= 5 && jump[0] == 0xE9) {
				std::int32_t displacement;
				std::memcpy(&displacement, jump.data() + 1, sizeof displacement);
				destination = std::int64_t{ site.rva } + 5 + displacement;
			} else if (jump.size() >= 2 && jump[0] == 0xEB && jump[1] != 0x00 && jump[1] != 0x80) {
				destination = std::int64_t{ site.rva } + 2 + static_cast<std::int8_t>(jump[1]);
			} else {
				break;
			}
			if (destination < 0 || destination > 0xFFFFFFFF) {
				break; // out of the image: the jump itself is where an install would look
			}
			site.rva = static_cast<std::uint32_t>(destination);
		}
		if (const auto* function = FunctionAt(a_functions, site.rva)) {
			site.functionSize = function->end - site.rva;
		}
		// What the install asks of the system's lookup, by the same rule.
		const auto position = a_image.Locate(site.rva);
		site.liveSize = position.size;
		site.insideFunction = position.kind == Detour::FunctionTable::Position::Kind::InsideFunction;
		site.code = a_image.BytesAt(site.rva, std::clamp<std::size_t>(site.functionSize, kCodeBytes, kLongestScannedFunction));
		return site;
	}

	std::vector<FunctionCheck> CheckGame(const Database& a_database, const PeImage& a_game, std::span<const DetouredFunction> a_functions)
	{
		const auto                 functions = a_game.Functions();
		std::vector<FunctionCheck> checks;
		for (const auto& function : a_functions) {
			FunctionCheck& check = checks.emplace_back();
			check.function = function;
			check.offset = REL::IDDBCodec::Find(a_database.entries, function.id);
			if (!check.offset) {
				check.verdict = FunctionCheck::Verdict::MissingId;
				continue;
			}
			const auto* section = *check.offset <= 0xFFFFFFFF ? a_game.SectionAt(static_cast<std::uint32_t>(*check.offset)) : nullptr;
			if (section) {
				check.section = section->name;
			}
			const auto rva = static_cast<std::uint32_t>(*check.offset);
			if (!section || !section->Executable() || a_game.BytesAt(rva, 1).empty()) {
				check.verdict = FunctionCheck::Verdict::OutsideCode;
				continue;
			}
			check.site = FindPatchSite(a_game, functions, rva);
			if (const auto* landing = a_game.SectionAt(check.site.rva); !landing || !landing->Executable() || check.site.code.empty()) {
				check.verdict = FunctionCheck::Verdict::OutsideCode; // a leading jump leads out of the code
				continue;
			}
			const auto code = check.site.code;
			check.bytes.assign(code.begin(), code.begin() + static_cast<std::ptrdiff_t>(std::min(code.size(), kShownBytes)));
			check.plan = PlanAsInstalled(check.site, a_game.ImageBase() + check.site.rva);
			check.verdict = check.plan.ok() ? FunctionCheck::Verdict::Accepted : FunctionCheck::Verdict::Refused;
		}
		return checks;
	}

	std::optional<REL::VersionNumber> ParseProductVersion(std::string_view a_text)
	{
		std::array<std::uint16_t, 4> parts{};
		for (auto& part : parts) {
			if (a_text.empty()) {
				break;
			}
			const auto dot = a_text.find('.');
			auto       piece = a_text.substr(0, dot);
			a_text = dot == std::string_view::npos ? std::string_view{} : a_text.substr(dot + 1);
			while (!piece.empty() && (piece[0] == ' ' || (piece[0] >= '\t' && piece[0] <= '\r'))) {
				piece.remove_prefix(1);
			}
			const bool negative = !piece.empty() && piece[0] == '-';
			if (!piece.empty() && (piece[0] == '-' || piece[0] == '+')) {
				piece.remove_prefix(1);
			}
			std::int64_t value = 0;
			std::size_t  digits = 0;
			for (; digits < piece.size() && piece[digits] >= '0' && piece[digits] <= '9'; ++digits) {
				value = value * 10 + (piece[digits] - '0');
				if (value > std::int64_t{ std::numeric_limits<std::int32_t>::max() } + 1) {
					return std::nullopt;
				}
			}
			value = negative ? -value : value;
			if (digits == 0 || value > std::numeric_limits<std::int32_t>::max()) {
				return std::nullopt;
			}
			part = static_cast<std::uint16_t>(static_cast<std::uint32_t>(value));
		}
		return REL::VersionNumber{ parts[0], parts[1], parts[2], parts[3] };
	}

	VersionCheck CheckVersions(const Database& a_database, const std::filesystem::path& a_databasePath, const PeImage& a_game)
	{
		VersionCheck versions;
		if (const auto text = a_game.ProductVersionText()) {
			versions.game = ParseProductVersion(*text);
		}
		versions.raw = a_database.format == 0;
		if (!versions.raw) {
			versions.database = REL::IDDBCodec::ToVersion(a_database.version);
		} else if (const auto named = RawFileVersion(a_databasePath)) {
			versions.database = REL::IDDBCodec::ToVersion(*named);
		}
		return versions;
	}

	bool CanRun(const VersionCheck& a_versions, std::span<const FunctionCheck> a_checks)
	{
		return a_versions.Matches() &&
		       std::ranges::all_of(a_checks, [](const FunctionCheck& a_check) { return a_check.verdict == FunctionCheck::Verdict::Accepted; });
	}

	namespace
	{
		std::string FormatVersions(const VersionCheck& a_versions)
		{
			std::string text = a_versions.game ? fmt::format("Game version: {}\n", FormatVersion(*a_versions.game))
			                                   : std::string{ "Game version: unreadable (no ProductVersion the plugin can read in the executable's version resource)\n" };
			if (!a_versions.database) {
				text += "Database version: none (a raw database is found by its name, version-A-B-C-D.bin, for the game's version)\n";
			} else if (a_versions.raw) {
				text += fmt::format("Database version: {} (from the file's name)\n", FormatVersion(*a_versions.database));
			} else {
				text += fmt::format("Database version: {}\n", FormatVersion(*a_versions.database));
			}
			if (a_versions.game && a_versions.database && !a_versions.Matches()) {
				text += a_versions.raw ? fmt::format("  the plugin looks for version-{}.bin for this game, not this file\n", FormatVersion(*a_versions.game, '-'))
				                       : std::string{ "  the database is for another game version: the plugin would stop with \"Address Library version mismatch!\"\n" };
			}
			return text;
		}
	} // namespace

	std::string FormatCheck(const VersionCheck& a_versions, const std::vector<FunctionCheck>& a_checks)
	{
		std::string text = FormatVersions(a_versions);
		for (const auto& check : a_checks) {
			text += fmt::format("{} (ID {}): ", check.function.name, check.function.id);
			if (check.offset) {
				text += fmt::format("offset 0x{:X}", *check.offset);
				text += check.section.empty() ? std::string{ ", outside every section" } : fmt::format(" in {}", check.section);
				text += ": ";
			}
			switch (check.verdict) {
				case FunctionCheck::Verdict::Accepted:
					text += fmt::format("detour accepted: {}-byte jump, {} bytes moved to the trampoline", check.plan.jumpSize, check.plan.stolenLength);
					break;
				case FunctionCheck::Verdict::MissingId:
					text += "not in the database";
					break;
				case FunctionCheck::Verdict::OutsideCode:
					text += "not in the executable's code";
					break;
				case FunctionCheck::Verdict::Refused:
					text += fmt::format("detour refused: {} (at +{})", Detour::DescribeFailure(check.plan.failure), check.plan.failedAt);
					break;
			}
			if (check.site.jumpsFollowed != 0) {
				text += fmt::format("\n  after {} leading jump(s), at offset 0x{:X}", check.site.jumpsFollowed, check.site.rva);
			}
			if (!check.bytes.empty()) {
				text += fmt::format("\n  bytes: {}", FormatBytes(check.bytes));
				if (check.site.functionSize != 0) {
					text += fmt::format(" ({} bytes to the function's end", check.site.functionSize);
					if (check.site.liveSize != check.site.functionSize) {
						text += fmt::format(", of which an install in the game learns {} from the function table", check.site.liveSize);
					}
					text += ')';
				}
			}
			text += '\n';
		}
		text += CanRun(a_versions, a_checks) ? "Quellstone can run on this game.\n" : "Quellstone cannot run on this game as it is.\n";
		return text;
	}
} // namespace AddrLib
