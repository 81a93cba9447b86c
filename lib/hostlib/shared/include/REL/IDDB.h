#pragma once

// The Address Library: a database file beside the plugin that maps stable numeric ids
// to offsets in the game executable for one exact game version. REL::IDDB finds the
// file for the running game and loader, loads it into a searchable table (shared with
// every other plugin of the logon session through a named region), refuses files known
// to be broken, and answers lookups. REL::ResolveID is the way in for the rest of the
// library and the plugin.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "REL/IDDBCodec.h"
#include "REX/OS.h"

namespace REL
{
	// The absolute address of an Address Library id in the running game: the game
	// module's base plus the id's offset. The first call builds the single database.
	[[nodiscard]] std::uint64_t ResolveID(std::uint64_t a_id);

	// SHA-512 of a byte range as 128 upper-case hexadecimal characters, through the
	// platform's hash service; nothing when the service fails or the range is 4 GiB or
	// longer (the service takes a 32-bit length).
	[[nodiscard]] std::optional<std::string> sha512_hex(const void* a_data, std::size_t a_size);

	class IDDB
	{
	public:
		enum class LOADER : std::int32_t
		{
			None = 0,
			SKSE = 1,
			F4SE = 2,
			SFSE = 3,
			OBSE = 4,
		};

		using ENTRY = IDDBCodec::Entry;
		using HEADER_V2 = IDDBCodec::HeaderV2;
		using HEADER_V5 = IDDBCodec::HeaderV5;

		// A binary input stream over the database file. Opening it either succeeds or
		// ends the process; once open, a read that fails or hits the end raises.
		class STREAM : public std::ifstream
		{
		public:
			STREAM(const std::filesystem::path a_path, const int a_mode);
		};

		// A view of a named file-mapping object: the database file itself (raw and
		// format 5, read-only) or a region backed by the paging file (formats 1 and 2).
		class MEMORY_MAP
		{
		public:
			MEMORY_MAP() = default;
			MEMORY_MAP(const MEMORY_MAP&) = delete;
			MEMORY_MAP& operator=(const MEMORY_MAP&) = delete;
			~MEMORY_MAP() { close(); }

			// Opens the mapping object of that name if it exists, else creates it over the
			// held file (none: the paging file); maps a_size bytes of it.
			bool create(bool a_writable, std::string_view a_name, std::uint64_t a_size);
			// Opens the file, then does what create does over it. A size with all bits
			// set maps the whole file.
			bool open(bool a_writable, const std::filesystem::path& a_path, std::string_view a_name, std::uint64_t a_size);
			void close() noexcept;

			[[nodiscard]] void*         data() const noexcept { return _view; }
			[[nodiscard]] std::uint64_t size() const noexcept { return _size; }
			// True when this process made the mapping object rather than finding it.
			[[nodiscard]] bool created() const noexcept { return _created; }

			[[nodiscard]] std::span<const std::byte> bytes() const noexcept
			{
				return { static_cast<const std::byte*>(_view), static_cast<std::size_t>(_size) };
			}

		private:
			bool map(bool a_writable, std::string_view a_name, std::uint64_t a_size);

			REX::OS::HANDLE _file{ REX::OS::kInvalidHandleValue };
			REX::OS::HANDLE _mapping{ nullptr };
			void*           _view{ nullptr };
			std::uint64_t   _size{ 0 };
			bool            _created{ false };
		};

		IDDB();
		IDDB(const IDDB&) = delete;
		IDDB& operator=(const IDDB&) = delete;
		~IDDB() = default;

		// Offset of an id relative to the game module's base. Ends the process when the
		// id has no offset.
		[[nodiscard]] std::uint64_t offset(std::uint64_t a_id) const;

		[[nodiscard]] const std::filesystem::path&   path() const noexcept { return _path; }
		[[nodiscard]] LOADER                         loader() const noexcept { return _loader; }
		[[nodiscard]] std::int32_t                   format() const noexcept { return _format; }
		[[nodiscard]] const MEMORY_MAP&              map() const noexcept { return _map; }
		[[nodiscard]] std::span<const ENTRY>         table() const noexcept { return { _table, static_cast<std::size_t>(_tableCount) }; }
		[[nodiscard]] std::span<const std::uint32_t> flat_table() const noexcept { return { _flatTable, static_cast<std::size_t>(_flatCount) }; }

		// The shared region's name for a game version: "HOSTLIB_IDDB_OFFSETS_1_2_3_4".
		[[nodiscard]] static std::string region_name(const VersionNumber& a_version);

	private:
		// Reads the chosen file: raw in place, or by the format number it starts with.
		void load();
		void load_v0();
		void load_v2(STREAM& a_stream);
		void load_v5(STREAM& a_stream);
		void unpack_file(STREAM& a_stream, const HEADER_V2& a_header);
		void validate_file() const;

		std::filesystem::path _path;
		LOADER                _loader{ LOADER::None };
		VersionNumber         _gameVersion; // the running game's, read once by the constructor
		std::int32_t          _format{ 2147483647 };
		MEMORY_MAP            _map;
		const ENTRY*          _table{ nullptr };
		std::uint64_t         _tableCount{ 0 };
		const std::uint32_t*  _flatTable{ nullptr };
		std::uint64_t         _flatCount{ 0 };
	};
} // namespace REL
