#pragma once

// Four-part version numbers (major.minor.patch.build) of the game, the host and the
// plugin, with the packed 32-bit form that the host's records use.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace REL
{
	class VersionNumber
	{
	public:
		constexpr VersionNumber() noexcept = default;
		constexpr VersionNumber(std::uint16_t a_major, std::uint16_t a_minor, std::uint16_t a_patch, std::uint16_t a_build) noexcept :
		    major(a_major), minor(a_minor), patch(a_patch), build(a_build)
		{}

		// Packed: major in bits 24-31, minor 16-23, patch 4-15, build 0-3.
		[[nodiscard]] static constexpr VersionNumber FromPacked(std::uint32_t a_packed) noexcept
		{
			return VersionNumber{
				static_cast<std::uint16_t>(a_packed >> 24),
				static_cast<std::uint16_t>((a_packed >> 16) & 0xFF),
				static_cast<std::uint16_t>((a_packed >> 4) & 0xFFF),
				static_cast<std::uint16_t>(a_packed & 0xF)
			};
		}

		// The packed form of this version; parts wider than their bits are cut to them.
		[[nodiscard]] constexpr std::uint32_t Pack() const noexcept
		{
			return (std::uint32_t{ major } & 0xFF) << 24 | (std::uint32_t{ minor } & 0xFF) << 16 | (std::uint32_t{ patch } & 0xFFF) << 4 |
			       (std::uint32_t{ build } & 0xF);
		}

		// The four parts in decimal, joined by the separator ("." for messages, "-" in
		// Address Library file names, "_" in shared-memory names).
		[[nodiscard]] std::string  ToString(std::string_view a_separator = ".") const;
		[[nodiscard]] std::wstring ToWideString(std::wstring_view a_separator = L".") const;

		friend constexpr bool operator==(const VersionNumber&, const VersionNumber&) noexcept = default;

		std::uint16_t major{ 0 };
		std::uint16_t minor{ 0 };
		std::uint16_t patch{ 0 };
		std::uint16_t build{ 0 };
	};

	// Reads the "ProductVersion" string of block 040904B0 of a file's version resource.
	// Nothing when the file has no such string. A part without digits or outside the
	// 32-bit signed range raises std::invalid_argument or std::out_of_range.
	// The path is wide, as the platform's wide version calls take it.
	[[nodiscard]] std::optional<VersionNumber> ReadProductVersion(const std::wstring& a_path);
} // namespace REL

// "{}" prints the version with "."; fill, alignment and width apply to that text as to a string.
template <>
struct fmt::formatter<REL::VersionNumber> : fmt::formatter<std::string_view>
{
	template <class FormatContext>
	auto format(const REL::VersionNumber& a_version, FormatContext& a_ctx) const
	{
		return fmt::formatter<std::string_view>::format(a_version.ToString("."), a_ctx);
	}
};
