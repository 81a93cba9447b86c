#pragma once

// The Address Library: a database file beside the plugin that maps stable numeric ids
// to offsets in the game executable for one exact game version. REL::IDDB finds the
// file for the running game and loader, loads it into a searchable table (shared with
// every other plugin of the logon session through a named region), refuses files known
// to be broken, and answers lookups. REL::ResolveID is the way in for the rest of the
// library and the plugin.

#include <chrono>
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
		// Without a name the view is private to this process.
		class MEMORY_MAP
		{
		public:
			// The step at which the last open or create failed, with the platform's error.
			enum class STEP
			{
				None,
				OpenFile,
				FileSize,
				Mapping,
				View,
			};

			MEMORY_MAP() = default;
			MEMORY_MAP(const MEMORY_MAP&) = delete;
			MEMORY_MAP& operator=(const MEMORY_MAP&) = delete;
			~MEMORY_MAP() { close(); }

			// Opens the mapping object of that name if it exists, else creates it over the
			// held file (none: the paging file); maps a_size bytes of it. When the named
			// object cannot be made or mapped, the view is private.
			bool create(bool a_writable, std::string_view a_name, std::uint64_t a_size);
			// Opens the file, then does what create does over it. A size with all bits
			// set maps the whole file. A named object that another loader made over
			// another file is used only when it holds this file's bytes; otherwise the
			// file is mapped privately.
			bool open(bool a_writable, const std::filesystem::path& a_path, std::string_view a_name, std::uint64_t a_size);
			void close() noexcept;

			[[nodiscard]] void*         data() const noexcept { return _view; }
			[[nodiscard]] std::uint64_t size() const noexcept { return _size; }
			// True when this process made the mapping object rather than finding it.
			[[nodiscard]] bool created() const noexcept { return _created; }
			// True when the view is of the named object, seen by every loader of the session.
			[[nodiscard]] bool           shared() const noexcept { return _shared; }
			[[nodiscard]] STEP           failed_step() const noexcept { return _failedStep; }
			[[nodiscard]] REX::OS::DWORD failed_error() const noexcept { return _failedError; }

			[[nodiscard]] std::span<const std::byte> bytes() const noexcept
			{
				return { static_cast<const std::byte*>(_view), static_cast<std::size_t>(_size) };
			}

		private:
			bool               map(bool a_writable, std::string_view a_name, std::uint64_t a_size);
			bool               map_named(bool a_writable, const std::string& a_name, std::uint64_t a_size);
			bool               map_private(bool a_writable, std::uint64_t a_size);
			bool               map_view(bool a_writable, std::uint64_t a_size);
			[[nodiscard]] bool holds_own_file(bool a_writable) const;
			void               release_view() noexcept;
			bool               fail(STEP a_step) noexcept;

			REX::OS::HANDLE _file{ REX::OS::kInvalidHandleValue };
			REX::OS::HANDLE _mapping{ nullptr };
			void*           _view{ nullptr };
			std::uint64_t   _size{ 0 };
			bool            _created{ false };
			bool            _shared{ false };
			STEP            _failedStep{ STEP::None };
			REX::OS::DWORD  _failedError{ 0 };
		};

		// Where a load of formats 1 and 2 meets other loaders in the shared region.
		enum class LOAD_STAGE
		{
			Decoding,          // this loader made the region and is about to fill it
			WaitingForCreator, // this loader found a region whose table is not yet complete
		};

		// A seam for tests only: a function called at each stage, so a test can hold a
		// loader there while another process meets it, and how long an opener waits for
		// the region's creator to finish. The library never sets it.
		struct LOAD_PROBE
		{
			void (*atStage)(LOAD_STAGE){ nullptr };
			std::chrono::milliseconds creatorWait{ 5000 };
		};
		static void SetLoadProbe(const LOAD_PROBE& a_probe) noexcept;

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
		void unpack_file(std::span<const std::byte> a_packed, const HEADER_V2& a_header);
		bool load_shared_v2(const HEADER_V2& a_header, std::span<const std::byte> a_packed);
		void load_private_v2(const HEADER_V2& a_header, std::span<const std::byte> a_packed);
		void map_file();
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
