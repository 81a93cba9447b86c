#include "REL/IDDB.h"

#include <algorithm>
#include <array>
#include <cwctype>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

#include "REX/FModule.h"
#include "REX/FatalError.h"

namespace REL
{
	namespace
	{
		using LOADER = IDDB::LOADER;

		struct LoaderName
		{
			LOADER            loader;
			std::string_view  name;
			std::wstring_view wideName;
		};

		struct LoaderPrefixes
		{
			LOADER                         loader;
			std::vector<std::wstring_view> prefixes;
		};

		struct KnownBadFile
		{
			VersionNumber    version;
			std::string_view digest;
		};

		// Files published for these game versions were broken; their users must fetch
		// them again rather than crash in the game later on.
		const std::vector<KnownBadFile>& KnownBadFiles(LOADER a_loader)
		{
			static const std::vector<KnownBadFile> none;
			static const std::vector<KnownBadFile> f4se{
				{ VersionNumber{ 1, 10, 980, 0 }, "2AD60B95388F1B6E77A6F86F17BEB51D043CF95A341E91ECB2E911A393E45FE8156D585D2562F7B14434483D6E6652E2373B91589013507CABAE596C26A343F1" },
				{ VersionNumber{ 1, 11, 159, 0 }, "686D40387F638ED75AD43BB76CA14170576F1A30E91144F280987D13A3012B1CA6A4E04E6BE7A5B99E46C50332C49BE40C3D9448038E17D3D31C40E72A90AE26" },
			};
			return a_loader == LOADER::F4SE ? f4se : none;
		}

		VersionNumber GameVersion()
		{
			return REX::FModule::ProcessModule().GetProductVersion();
		}

		std::wstring Widen(std::string_view a_text)
		{
			return std::wstring(a_text.begin(), a_text.end());
		}

		// Absent is only what the platform reports as a missing file or folder, a missing
		// network path or an invalid name; anything else (a denied or too long path, a
		// failing disk) is an error to report rather than a reason to try the next name.
		bool Exists(const std::filesystem::path& a_path)
		{
			std::error_code error;
			const auto      status = std::filesystem::status(a_path, error);
			if (!error) {
				return std::filesystem::exists(status);
			}
			if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
				return false;
			}
			if (error.category() == std::system_category()) {
				switch (error.value()) {
					case 2:   // file not found
					case 3:   // path not found
					case 53:  // bad network path
					case 123: // invalid name
						return false;
					default:
						break;
				}
			}
			throw std::filesystem::filesystem_error("exists", a_path, error);
		}

		void CheckVersion(const std::array<std::int32_t, 4>& a_version)
		{
			const auto expected = GameVersion();
			const auto actual = IDDBCodec::ToVersion(a_version);
			if (expected != actual) {
				REX::Fatal(IDDBCodec::kVersionMismatch, expected.ToString("."), actual.ToString("."));
			}
		}

		[[noreturn]] void InvalidFile(IDDBCodec::Defect a_defect, const std::filesystem::path& a_path,
		                              std::source_location a_location = std::source_location::current())
		{
			REX::FatalError(a_location, std::wstring_view{ fmt::format(L"Invalid Address Library file!\n{}\nPath: {}", Widen(IDDBCodec::Describe(a_defect)), a_path.wstring()) });
		}

		[[noreturn]] void OpenFailed(const std::filesystem::path& a_path,
		                             std::source_location         a_location = std::source_location::current())
		{
			REX::FatalError(a_location, std::wstring_view{ fmt::format(L"Failed to open Address Library file!\nPath: {}", a_path.wstring()) });
		}

		// The game has already taken most of the address space when plugins load; a large
		// database can then not be decoded, and saying so beats ending without a word.
		[[noreturn]] void OutOfMemory(const std::filesystem::path& a_path,
		                              std::source_location         a_location = std::source_location::current())
		{
			REX::FatalError(a_location, std::wstring_view{ fmt::format(L"Not enough memory to load the Address Library file!\nPath: {}", a_path.wstring()) });
		}

		std::uint64_t RemainingBytes(IDDB::STREAM& a_stream)
		{
			const auto position = a_stream.tellg();
			a_stream.seekg(0, std::ios::end);
			const auto end = a_stream.tellg();
			a_stream.seekg(position);
			return static_cast<std::uint64_t>(end - position);
		}
	} // namespace

	IDDB::STREAM::STREAM(const std::filesystem::path a_path, const int a_mode) :
	    std::ifstream(a_path, std::ios::in | std::ios::binary | static_cast<std::ios::openmode>(a_mode))
	{
		if (!is_open()) {
			REX::FatalW(L"Failed to open Address Library file!\nPath: {}", a_path.wstring());
		}
		exceptions(std::ios::badbit | std::ios::failbit | std::ios::eofbit);
	}

	IDDB::IDDB()
	{
		// The folder name that selects each loader, and the name that messages show.
		static constexpr std::array<LoaderName, 4> names{ {
			{ LOADER::SKSE, "SKSE", L"SKSE" },
			{ LOADER::F4SE, "F4SE", L"F4SE" },
			{ LOADER::SFSE, "SFSE", L"SFSE" },
			{ LOADER::OBSE, "OBSE", L"OBSE" },
		} };

		// File name prefixes in the order they are tried.
		const std::array<LoaderPrefixes, 4> prefixes{ {
			{ LOADER::SKSE, { L"versionlib", L"version" } },
			{ LOADER::F4SE, { L"version" } },
			{ LOADER::SFSE, { L"versionlib" } },
			{ LOADER::OBSE, { L"versionlib" } },
		} };

		// Read whole, however long and in whatever script the player's folders are named.
		const std::filesystem::path plugin{ REX::FModule::ThisModule().GetFileNameW() };

		// The loader is named by the folder that holds "Plugins": Data\F4SE\Plugins\x.dll.
		auto folder = plugin.parent_path().parent_path().filename().wstring();
		std::transform(folder.begin(), folder.end(), folder.begin(), [](wchar_t a_c) { return static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(a_c))); });
		const auto name = std::find_if(names.begin(), names.end(), [&](const LoaderName& a_name) { return folder == a_name.wideName; });
		if (name == names.end()) {
			REX::Fatal("Failed to determine Address Library loader!");
		}
		_loader = name->loader;

		const auto  version = GameVersion().ToWideString(L"-");
		const auto& candidates = std::find_if(prefixes.begin(), prefixes.end(), [&](const LoaderPrefixes& a_row) { return a_row.loader == _loader; })->prefixes;
		for (const auto prefix : candidates) {
			auto candidate = plugin.parent_path() / fmt::format(L"{}-{}.bin", prefix, version);
			bool present = false;
			try {
				present = Exists(candidate);
			} catch (const std::filesystem::filesystem_error& e) {
				REX::FatalW(L"Failed to check for Address Library file!\nError: {}\nPath: {}", e.code().value(), candidate.wstring());
			}
			if (present) {
				// The F4SE loader's "version" files predate the format field: they are raw.
				if (_loader == LOADER::F4SE && prefix == L"version") {
					_format = 0;
				}
				_path = std::move(candidate);
				break;
			}
		}
		if (_path.empty()) {
			REX::Fatal("Failed to determine Address Library path!\nLoader: {}", name->name);
		}

		if (_format == 0) {
			load_v0();
			return;
		}

		STREAM       stream{ _path, std::ios::in | std::ios::binary };
		std::int32_t format = 0;
		try {
			format = IDDBCodec::ReadFormat(stream);
		} catch (const std::ios_base::failure&) {
			// Shorter than its own format field: as unreadable as a file that did not open.
			OpenFailed(_path);
		}
		switch (format) {
			case 1:
			case 2:
				_format = format;
				load_v2(stream);
				break;
			case 5:
				_format = format;
				load_v5(stream);
				break;
			default:
				REX::Fatal(IDDBCodec::kUnsupportedFormat, format);
		}
	}

	std::string IDDB::region_name(const VersionNumber& a_version)
	{
		return fmt::format("HOSTLIB_IDDB_OFFSETS_{}", a_version.ToString("_"));
	}

	void IDDB::load_v0()
	{
		const auto name = region_name(GameVersion());
		if (!_map.open(false, _path, name, static_cast<std::uint64_t>(-1))) {
			REX::FatalW(L"Failed to create Address Library MemoryMap!\nError: {}\nPath: {}", REX::OS::GetLastError(), _path.wstring());
		}
		validate_file();
		// The raw table is searched where it lies, so its count must fit the file and its
		// ids must already ascend: one read-only pass, no copy.
		const auto raw = IDDBCodec::ViewRaw(_map.bytes());
		if (raw.defect != IDDBCodec::Defect::None) {
			InvalidFile(raw.defect, _path);
		}
		_table = raw.entries.data();
		_tableCount = raw.count;
	}

	void IDDB::load_v2(STREAM& a_stream)
	{
		try {
			const auto header = IDDBCodec::ReadHeaderV2(a_stream);
			CheckVersion(header.version);
			if (header.addressCount < 0) {
				InvalidFile(IDDBCodec::Defect::NegativeCount, _path);
			}
			const auto count = static_cast<std::uint64_t>(static_cast<std::int64_t>(header.addressCount));
			// Every packed entry takes at least its type byte; a count beyond that would
			// only reserve a region that the file can never fill.
			if (count > IDDBCodec::MinimumPackedSize(RemainingBytes(a_stream))) {
				InvalidFile(IDDBCodec::Defect::CountBeyondFile, _path);
			}

			const auto name = region_name(GameVersion());
			if (!_map.create(true, name, count * sizeof(ENTRY))) {
				REX::Fatal("Failed to create Address Library MemoryMap!\nError: {}", REX::OS::GetLastError());
			}
			validate_file();
			_table = static_cast<const ENTRY*>(_map.data());
			_tableCount = count;

			// Only the region's creator decodes; everyone after it reads the finished table.
			if (_map.created()) {
				unpack_file(a_stream, header);
			}
		} catch (const std::ios_base::failure&) {
			OpenFailed(_path);
		} catch (const std::system_error&) {
			OpenFailed(_path);
		} catch (const std::bad_alloc&) {
			OutOfMemory(_path);
		}
	}

	void IDDB::unpack_file(STREAM& a_stream, const HEADER_V2& a_header)
	{
		const auto count = static_cast<std::size_t>(_tableCount);
		// At most a type byte and two 8-byte operands per entry: read no more than that,
		// in one go, and decode from memory.
		const auto available = RemainingBytes(a_stream);
		const auto wanted = std::min<std::uint64_t>(available, static_cast<std::uint64_t>(count) * 17);
		const auto size = static_cast<std::size_t>(wanted);
		// The one allocation that grows with the file: asked for without raising, so that a
		// refusal is reported here with the file's path.
		const std::unique_ptr<std::byte[]> packed{ new (std::nothrow) std::byte[size] };
		if (!packed) {
			OutOfMemory(_path);
		}
		a_stream.read(reinterpret_cast<char*>(packed.get()), static_cast<std::streamsize>(size));

		const std::span table{ static_cast<ENTRY*>(_map.data()), count };
		const auto      result = IDDBCodec::Unpack({ packed.get(), size }, a_header.pointerSize, table);
		switch (result.defect) {
			case IDDBCodec::Defect::None:
				break;
			case IDDBCodec::Defect::Truncated:
				throw std::ios_base::failure("Address Library file ends inside its entries");
			case IDDBCodec::Defect::UnhandledType:
				REX::Fatal(std::string_view{ IDDBCodec::kUnhandledType });
			default:
				InvalidFile(result.defect, _path);
		}
		if (!result.sorted) {
			std::sort(table.begin(), table.end(), [](const ENTRY& a_lhs, const ENTRY& a_rhs) { return a_lhs.id < a_rhs.id; });
		}
	}

	void IDDB::load_v5(STREAM& a_stream)
	{
		try {
			const auto header = IDDBCodec::ReadHeaderV5(a_stream);
			CheckVersion(header.version);

			const auto name = region_name(GameVersion());
			if (!_map.open(false, _path, name, static_cast<std::uint64_t>(-1))) {
				REX::FatalW(L"Failed to create Address Library MemoryMap!\nError: {}\nPath: {}", REX::OS::GetLastError(), _path.wstring());
			}
			validate_file();
			// The count comes from the mapped header, so it is checked against the very
			// bytes that lookups will read.
			const auto flat = IDDBCodec::ViewFlat(_map.bytes());
			if (flat.defect != IDDBCodec::Defect::None) {
				InvalidFile(flat.defect, _path);
			}
			_flatTable = flat.offsets.data();
			_flatCount = static_cast<std::uint64_t>(flat.count);
		} catch (const std::ios_base::failure&) {
			OpenFailed(_path);
		} catch (const std::system_error&) {
			OpenFailed(_path);
		} catch (const std::bad_alloc&) {
			OutOfMemory(_path);
		}
	}

	void IDDB::validate_file() const
	{
		const auto version = GameVersion();
		for (const auto& row : KnownBadFiles(_loader)) {
			if (row.version != version) {
				continue;
			}
			const auto digest = sha512_hex(_map.data(), static_cast<std::size_t>(_map.size()));
			if (!digest) {
				REX::FatalW(L"Failed to hash Address Library file!\nPath: {}", _path.wstring());
			}
			if (*digest == row.digest) {
				REX::Fatal("Invalid Address Library loaded!\n\nRedownload Address Library for your game version.\nGame Version: {}", version.ToString("."));
			}
		}
	}

	std::uint64_t IDDB::offset(std::uint64_t a_id) const
	{
		std::optional<std::uint64_t> found;
		if (_format >= 5) {
			if (_flatCount == 0) {
				REX::Fatal("No Address Library has been loaded!");
			}
			found = IDDBCodec::FindFlat(flat_table(), a_id);
		} else {
			if (_tableCount == 0) {
				REX::Fatal("No Address Library has been loaded!");
			}
			found = IDDBCodec::Find(table(), a_id);
		}
		if (!found) {
			REX::Fatal("Failed to find offset for Address Library ID!\nInvalid ID: {}\nGame Version: {}", a_id, GameVersion().ToString("."));
		}
		return *found;
	}

	std::optional<std::string> sha512_hex(const void* a_data, std::size_t a_size)
	{
		using namespace REX::OS;
		if (a_size > 0xFFFFFFFFu) {
			return std::nullopt;
		}
		BCRYPT_ALG_HANDLE algorithm = nullptr;
		if (BCryptOpenAlgorithmProvider(&algorithm, L"SHA512", nullptr, 0) < 0) {
			return std::nullopt;
		}
		BCRYPT_HASH_HANDLE hash = nullptr;
		if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) < 0) {
			BCryptCloseAlgorithmProvider(algorithm, 0);
			return std::nullopt;
		}
		const auto release = [&] {
			BCryptDestroyHash(hash);
			BCryptCloseAlgorithmProvider(algorithm, 0);
		};
		// The service takes the range as writable bytes but only reads them.
		auto* const input = static_cast<UCHAR*>(const_cast<void*>(a_data));
		if (BCryptHashData(hash, input, static_cast<ULONG>(a_size), 0) < 0) {
			release();
			return std::nullopt;
		}
		DWORD length = 0;
		ULONG written = 0;
		if (BCryptGetProperty(hash, L"HashDigestLength", reinterpret_cast<UCHAR*>(&length), sizeof(length), &written, 0) < 0) {
			release();
			return std::nullopt;
		}
		std::vector<UCHAR> digest(length, 0);
		if (BCryptFinishHash(hash, digest.data(), length, 0) < 0) {
			release();
			return std::nullopt;
		}
		std::string text;
		text.reserve(digest.size() * 2);
		for (const auto byte : digest) {
			fmt::format_to(std::back_inserter(text), "{:02X}", byte);
		}
		release();
		return text;
	}

	namespace
	{
		const IDDB& Database()
		{
			// Built on first use; concurrent first callers wait for the one construction, and
			// one that ends by raising leaves nothing behind, so the next call tries again.
			try {
				static const IDDB database;
				return database;
			} catch (const std::bad_alloc&) {
				REX::Fatal("Not enough memory to load the Address Library!");
			}
		}
	} // namespace

	std::uint64_t ResolveID(std::uint64_t a_id)
	{
		const auto  game = REX::FModule::ProcessModule();
		const auto& database = Database();
		const auto  offset = database.offset(a_id);
		// The raw format names no game version: a file for another runtime, renamed, loads
		// fine and hands out offsets of that runtime. One that points past the running
		// image would be written to or jumped into as if it were the game's code.
		if (const auto imageSize = game.GetImageSize(); offset >= imageSize) {
			REX::FatalW(L"Address Library offset lies outside the game!\nID: {}\nOffset: 0x{:X}\nImage Size: 0x{:X}\nPath: {}\n\n"
			            L"This Address Library file does not belong to game version {}. Install the Address Library for this game version.",
			            a_id, offset, imageSize, database.path().wstring(), GameVersion().ToWideString(L"."));
		}
		return game.GetBase() + offset;
	}
} // namespace REL
