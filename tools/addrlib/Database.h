#pragma once

// An Address Library database as the tool sees it: format, header fields and the
// id/offset entries, read from and written to any of the four layouts. Reading goes
// through the host library's own decoder (REL::IDDBCodec), so a file that the tool
// accepts is a file that the game accepts, and a refusal reads the same.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "REL/IDDBCodec.h"

namespace AddrLib
{
	using REL::IDDBCodec::Entry;

	struct Database
	{
		std::int32_t                format{ 0 }; // 0 raw, 1, 2 or 5
		std::array<std::int32_t, 4> version{};
		std::int32_t                pointerSize{ 8 };
		std::string                 name;
		std::vector<Entry>          entries; // sorted by id
	};

	// A file that cannot be read as a database; what() is the message shown.
	class BadFile : public std::runtime_error
	{
	public:
		using std::runtime_error::runtime_error;
	};

	// Called with (done, total) while a long table is decoded or encoded.
	using Progress = std::function<void(std::uint64_t, std::uint64_t)>;

	// Reads a database. The raw layout has no format field, so the caller says whether
	// the file is raw. Raises BadFile, also when the file needs more memory than there is.
	[[nodiscard]] Database Read(const std::filesystem::path& a_path, bool a_raw, const Progress& a_progress = {});

	// The file's bytes for a database in its format. Raises std::invalid_argument when the
	// entries cannot be stored in that format (an id repeated, or for format 5 an id or
	// offset that does not fit, or an offset of 0).
	[[nodiscard]] std::vector<std::byte> Encode(const Database& a_database, const Progress& a_progress = {});

	// The dump text: the header as "#" comment lines, then one "id 0xoffset" line per
	// entry, so that it reads back as a pairs list.
	[[nodiscard]] std::string FormatDump(const Database& a_database);

	// True for the file names that the F4SE loader reads as raw: "version-*.bin", in any
	// case, since Windows finds the file for the plugin whatever the case of its name.
	[[nodiscard]] bool IsRawFileName(const std::filesystem::path& a_path);

	// The game version a raw file is for, as its name tells it ("version-1-11-221-0.bin"):
	// the plugin picks the file by that name. Nothing for a name of another form.
	[[nodiscard]] std::optional<std::array<std::int32_t, 4>> RawFileVersion(const std::filesystem::path& a_path);

	// "1.11.221.0" (or with another separator, "1-11-221-0" as in file names). The host
	// library's VersionNumber::ToString lives beside platform calls the tool does not link.
	[[nodiscard]] std::string FormatVersion(const REL::VersionNumber& a_version, char a_separator = '.');

	// Command lines and messages are UTF-8 on every system; a path is made from and shown
	// as UTF-8, so that a folder named outside the Windows ANSI code page survives both ways.
	[[nodiscard]] std::filesystem::path PathFromUtf8(std::string_view a_text);
	[[nodiscard]] std::string           Utf8FromPath(const std::filesystem::path& a_path);
} // namespace AddrLib
