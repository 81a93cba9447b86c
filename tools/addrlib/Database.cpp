#include "Database.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>

#include <fmt/format.h>

#include "Packer.h"

namespace AddrLib
{
	namespace
	{
		namespace Codec = REL::IDDBCodec;

		constexpr std::size_t kChunk = 1 << 16;

		[[noreturn]] void Refuse(std::string_view a_message, const std::filesystem::path& a_path)
		{
			throw BadFile(fmt::format("{}\nPath: {}", a_message, Utf8FromPath(a_path)));
		}

		[[noreturn]] void OpenFailed(const std::filesystem::path& a_path)
		{
			Refuse("Failed to open Address Library file!", a_path);
		}

		// The whole file, in storage aligned for the 8-byte fields that the raw and
		// format-5 tables are read through.
		std::vector<std::uint64_t> Slurp(const std::filesystem::path& a_path, std::size_t& a_size)
		{
			std::ifstream in(a_path, std::ios::binary);
			if (!in) {
				OpenFailed(a_path);
			}
			in.seekg(0, std::ios::end);
			const auto end = in.tellg();
			if (end < 0) {
				OpenFailed(a_path); // a folder, or a file that cannot be measured
			}
			a_size = static_cast<std::size_t>(end);
			in.seekg(0);
			std::vector<std::uint64_t> words((a_size + 7) / 8);
			in.read(reinterpret_cast<char*>(words.data()), static_cast<std::streamsize>(a_size));
			if (!in) {
				OpenFailed(a_path);
			}
			return words;
		}

		Database ReadRaw(const std::filesystem::path& a_path)
		{
			std::size_t size = 0;
			const auto  words = Slurp(a_path, size);
			const auto  raw = Codec::ViewRaw({ reinterpret_cast<const std::byte*>(words.data()), size });
			if (raw.defect != Codec::Defect::None) {
				Refuse(fmt::format("Invalid Address Library file!\n{}", Codec::Describe(raw.defect)), a_path);
			}
			Database database;
			database.entries.assign(raw.entries.begin(), raw.entries.end());
			return database;
		}

		Database ReadPacked(std::ifstream& a_in, std::int32_t a_format, const std::filesystem::path& a_path, const Progress& a_progress)
		{
			const auto header = Codec::ReadHeaderV2(a_in);
			Database   database;
			database.format = a_format;
			database.version = header.version;
			database.pointerSize = header.pointerSize;
			database.name = header.name;
			if (header.addressCount < 0) {
				Refuse(fmt::format("Invalid Address Library file!\n{}", Codec::Describe(Codec::Defect::NegativeCount)), a_path);
			}
			const auto start = a_in.tellg();
			a_in.seekg(0, std::ios::end);
			const auto rest = static_cast<std::uint64_t>(a_in.tellg() - start);
			a_in.seekg(start);
			const auto count = static_cast<std::uint64_t>(header.addressCount);
			if (count > Codec::MinimumPackedSize(rest)) {
				Refuse(fmt::format("Invalid Address Library file!\n{}", Codec::Describe(Codec::Defect::CountBeyondFile)), a_path);
			}

			std::vector<std::byte> packed(static_cast<std::size_t>(std::min<std::uint64_t>(rest, count * 17)));
			a_in.read(reinterpret_cast<char*>(packed.data()), static_cast<std::streamsize>(packed.size()));

			database.entries.resize(static_cast<std::size_t>(count));
			std::span<const std::byte> stream{ packed };
			Entry                      previous{ 0, 0 };
			bool                       sorted = true;
			for (std::size_t done = 0; done < database.entries.size();) {
				const auto chunk = std::min(kChunk, database.entries.size() - done);
				const auto result = Codec::Unpack(stream, header.pointerSize, std::span{ database.entries }.subspan(done, chunk), previous);
				if (result.defect == Codec::Defect::Truncated) {
					OpenFailed(a_path);
				}
				if (result.defect != Codec::Defect::None) {
					Refuse(result.defect == Codec::Defect::UnhandledType ? std::string(Codec::kUnhandledType) : fmt::format("Invalid Address Library file!\n{}", Codec::Describe(result.defect)),
					       a_path);
				}
				sorted = sorted && result.sorted;
				previous = result.last;
				stream = stream.subspan(result.consumed);
				done += chunk;
				if (a_progress) {
					a_progress(done, count);
				}
			}
			// The game sees the table sorted; so does the dump.
			if (!sorted) {
				std::stable_sort(database.entries.begin(), database.entries.end(), [](const Entry& a_lhs, const Entry& a_rhs) { return a_lhs.id < a_rhs.id; });
			}
			return database;
		}

		Database ReadFlat(const std::filesystem::path& a_path)
		{
			std::size_t     size = 0;
			const auto      words = Slurp(a_path, size);
			const std::span bytes{ reinterpret_cast<const std::byte*>(words.data()), size };
			const auto      flat = Codec::ViewFlat(bytes);
			if (flat.defect == Codec::Defect::ShorterThanHeader) {
				OpenFailed(a_path);
			}
			if (flat.defect != Codec::Defect::None) {
				Refuse(fmt::format("Invalid Address Library file!\n{}", Codec::Describe(flat.defect)), a_path);
			}
			Codec::HeaderV5 header{};
			std::memcpy(&header, bytes.data(), sizeof(header));
			Database database;
			database.format = 5;
			database.version = header.version;
			database.pointerSize = header.unknown1;
			database.name.assign(header.name, strnlen(header.name, sizeof(header.name)));
			for (std::size_t id = 0; id < flat.offsets.size(); ++id) {
				if (flat.offsets[id] != 0) {
					database.entries.push_back({ id, flat.offsets[id] });
				}
			}
			return database;
		}

		template <class T>
		void Put(std::vector<std::byte>& a_out, const T& a_value)
		{
			const auto* bytes = reinterpret_cast<const std::byte*>(&a_value);
			a_out.insert(a_out.end(), bytes, bytes + sizeof(T));
		}

		Database ReadTable(const std::filesystem::path& a_path, bool a_raw, const Progress& a_progress)
		{
			if (a_raw) {
				return ReadRaw(a_path);
			}
			std::ifstream in(a_path, std::ios::binary);
			if (!in) {
				OpenFailed(a_path);
			}
			try {
				const auto format = Codec::ReadFormat(in);
				switch (format) {
					case 1:
					case 2:
						return ReadPacked(in, format, a_path, a_progress);
					case 5:
						return ReadFlat(a_path);
					default:
						Refuse(fmt::format(fmt::runtime(Codec::kUnsupportedFormat), format), a_path);
				}
			} catch (const std::ios_base::failure&) {
				OpenFailed(a_path);
			}
		}
	} // namespace

	Database Read(const std::filesystem::path& a_path, bool a_raw, const Progress& a_progress)
	{
		// A table is held whole in memory: a file of hundreds of megabytes may not fit.
		try {
			return ReadTable(a_path, a_raw, a_progress);
		} catch (const std::bad_alloc&) {
			Refuse("Not enough memory to read Address Library file!", a_path);
		} catch (const std::length_error&) {
			Refuse("Not enough memory to read Address Library file!", a_path);
		}
	}

	std::vector<std::byte> Encode(const Database& a_database, const Progress& a_progress)
	{
		auto entries = a_database.entries;
		std::stable_sort(entries.begin(), entries.end(), [](const Entry& a_lhs, const Entry& a_rhs) { return a_lhs.id < a_rhs.id; });
		const auto repeated = std::adjacent_find(entries.begin(), entries.end(), [](const Entry& a_lhs, const Entry& a_rhs) { return a_lhs.id == a_rhs.id; });
		if (repeated != entries.end()) {
			throw std::invalid_argument(fmt::format("id {} is listed twice", repeated->id));
		}

		std::vector<std::byte> out;
		switch (a_database.format) {
			case 0:
				out.reserve(8 + entries.size() * sizeof(Entry));
				Put(out, static_cast<std::uint64_t>(entries.size()));
				for (const auto& entry : entries) {
					Put(out, entry);
				}
				break;
			case 1:
			case 2: {
				if (entries.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
					throw std::invalid_argument("too many entries for a 32-bit address count");
				}
				Put(out, a_database.format);
				Put(out, a_database.version);
				Put(out, static_cast<std::uint32_t>(a_database.name.size()));
				for (const auto c : a_database.name) {
					out.push_back(static_cast<std::byte>(c));
				}
				Put(out, a_database.pointerSize);
				Put(out, static_cast<std::int32_t>(entries.size()));
				const auto packed = Pack(entries, a_database.pointerSize);
				out.insert(out.end(), packed.begin(), packed.end());
				break;
			}
			case 5: {
				// The array runs to the largest id; that id is checked before the count is
				// formed from it, since id + 1 wraps to 0 for the largest 64-bit id.
				constexpr std::uint64_t kLargestId = std::numeric_limits<std::int32_t>::max() / 4 - 1;
				if (!entries.empty() && entries.back().id > kLargestId) {
					throw std::invalid_argument(fmt::format("id {} is too large for format 5 (at most {})", entries.back().id, kLargestId));
				}
				const std::uint64_t count = entries.empty() ? 0 : entries.back().id + 1;
				Codec::HeaderV5     header{};
				header.format = 5;
				header.version = a_database.version;
				a_database.name.copy(header.name, sizeof(header.name) - 1);
				header.unknown1 = a_database.pointerSize;
				header.addressCount = static_cast<std::int32_t>(count);
				Put(out, header);
				std::vector<std::uint32_t> flat(static_cast<std::size_t>(count), 0);
				for (const auto& entry : entries) {
					if (entry.offset == 0 || entry.offset > 0xFFFFFFFF) {
						throw std::invalid_argument(fmt::format("offset 0x{:X} of id {} cannot be stored in format 5 (1 to 0xFFFFFFFF)", entry.offset, entry.id));
					}
					flat[static_cast<std::size_t>(entry.id)] = static_cast<std::uint32_t>(entry.offset);
				}
				const auto* bytes = reinterpret_cast<const std::byte*>(flat.data());
				out.insert(out.end(), bytes, bytes + flat.size() * sizeof(std::uint32_t));
				break;
			}
			default:
				throw std::invalid_argument(fmt::format("format {} cannot be written", a_database.format));
		}
		if (a_progress) {
			a_progress(entries.size(), entries.size());
		}
		return out;
	}

	std::string FormatDump(const Database& a_database)
	{
		std::string text;
		if (a_database.format == 0) {
			text += "# format: raw\n";
		} else {
			text += fmt::format("# format: {}\n# game version: {}\n# name: {}\n# pointer size: {}\n", a_database.format,
			                    FormatVersion(Codec::ToVersion(a_database.version)), a_database.name, a_database.pointerSize);
		}
		text += fmt::format("# entries: {}\n", a_database.entries.size());
		for (const auto& entry : a_database.entries) {
			fmt::format_to(std::back_inserter(text), "{} 0x{:X}\n", entry.id, entry.offset);
		}
		return text;
	}

	bool IsRawFileName(const std::filesystem::path& a_path)
	{
		auto name = Utf8FromPath(a_path.filename());
		std::ranges::transform(name, name.begin(), [](char a_c) { return a_c >= 'A' && a_c <= 'Z' ? static_cast<char>(a_c - 'A' + 'a') : a_c; });
		return name.starts_with("version-") && name.ends_with(".bin");
	}

	std::optional<std::array<std::int32_t, 4>> RawFileVersion(const std::filesystem::path& a_path)
	{
		if (!IsRawFileName(a_path)) {
			return std::nullopt;
		}
		const auto name = Utf8FromPath(a_path.filename());
		// Between "version-" and ".bin": four numbers as the plugin writes them into the
		// name it looks for (decimal, no leading zeros).
		const std::string_view      middle = std::string_view{ name }.substr(8, name.size() - 12);
		std::array<std::int32_t, 4> version{};
		std::size_t                 at = 0;
		for (std::size_t i = 0; i < version.size(); ++i) {
			const auto end = i + 1 < version.size() ? middle.find('-', at) : middle.size();
			if (end == std::string_view::npos) {
				return std::nullopt;
			}
			std::uint32_t value = 0;
			const auto    digits = middle.substr(at, end - at);
			const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
			if (digits.empty() || error != std::errc{} || stop != digits.data() + digits.size() || value > 0xFFFF || (digits.size() > 1 && digits[0] == '0')) {
				return std::nullopt;
			}
			version[i] = static_cast<std::int32_t>(value);
			at = end + 1;
		}
		return version;
	}

	std::string FormatVersion(const REL::VersionNumber& a_version, char a_separator)
	{
		return fmt::format("{1}{0}{2}{0}{3}{0}{4}", a_separator, a_version.major, a_version.minor, a_version.patch, a_version.build);
	}

	std::filesystem::path PathFromUtf8(std::string_view a_text)
	{
		return std::filesystem::path{ std::u8string{ a_text.begin(), a_text.end() } };
	}

	std::string Utf8FromPath(const std::filesystem::path& a_path)
	{
		const auto text = a_path.u8string();
		return { text.begin(), text.end() };
	}
} // namespace AddrLib
