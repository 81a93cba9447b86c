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
#include "REX/Text.h"

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

		// The folder name that selects each loader, and the name that messages show.
		constexpr std::array<LoaderName, 4> kLoaderNames{ {
			{ LOADER::SKSE, "SKSE", L"SKSE" },
			{ LOADER::F4SE, "F4SE", L"F4SE" },
			{ LOADER::SFSE, "SFSE", L"SFSE" },
			{ LOADER::OBSE, "OBSE", L"OBSE" },
		} };

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

		// The hash service's handles, each released by its own call: the hash object is
		// destroyed before the provider that made it is closed (declared after it).
		struct CloseAlgorithmProvider
		{
			void operator()(REX::OS::BCRYPT_ALG_HANDLE a_algorithm) const noexcept { REX::OS::BCryptCloseAlgorithmProvider(a_algorithm, 0); }
		};
		struct DestroyHash
		{
			void operator()(REX::OS::BCRYPT_HASH_HANDLE a_hash) const noexcept { REX::OS::BCryptDestroyHash(a_hash); }
		};
		using AlgorithmProvider = std::unique_ptr<void, CloseAlgorithmProvider>;
		using HashObject = std::unique_ptr<void, DestroyHash>;

		VersionNumber GameVersion()
		{
			return REX::FModule::ProcessModule().GetProductVersion();
		}

		// The one way out of the Address Library: every failure ends the process here,
		// reported from the place that found it. Messages that name the file are wide, so
		// that a path in any script reaches the box and the log whole; the others are narrow.
		[[noreturn]] void Fail(std::string_view a_message, const std::source_location a_where = std::source_location::current())
		{
			REX::FatalError(a_where, a_message);
		}

		[[noreturn]] void Fail(std::wstring_view a_message, const std::source_location a_where = std::source_location::current())
		{
			REX::FatalError(a_where, a_message);
		}

		std::wstring OpenFailed(const std::filesystem::path& a_path)
		{
			return fmt::format(L"Failed to open Address Library file!\nPath: {}", a_path.wstring());
		}

		std::wstring InvalidFile(IDDBCodec::Defect a_defect, const std::filesystem::path& a_path)
		{
			return fmt::format(L"Invalid Address Library file!\n{}\nPath: {}", REX::WideFromUtf8(IDDBCodec::Describe(a_defect)), a_path.wstring());
		}

		// The game has already taken most of the address space when plugins load; a large
		// database can then not be decoded, and saying so beats ending without a word.
		std::wstring OutOfMemory(const std::filesystem::path& a_path)
		{
			return fmt::format(L"Not enough memory to load the Address Library file!\nPath: {}", a_path.wstring());
		}

		std::wstring MemoryMapFailed(const std::filesystem::path& a_path)
		{
			return fmt::format(L"Failed to create Address Library MemoryMap!\nError: {}\nPath: {}", REX::OS::GetLastError(), a_path.wstring());
		}

		// Absent is only what the platform reports as a missing file or folder, a missing
		// network path or an invalid name; anything else (a denied or too long path, a
		// failing disk) is reported rather than taken as a reason to try the next name.
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
			Fail(fmt::format(L"Failed to check for Address Library file!\nError: {}\nPath: {}", error.value(), a_path.wstring()));
		}

		void CheckVersion(const std::array<std::int32_t, 4>& a_version, const VersionNumber& a_expected)
		{
			const auto actual = IDDBCodec::ToVersion(a_version);
			if (a_expected != actual) {
				Fail(fmt::format(IDDBCodec::kVersionMismatch, a_expected.ToString("."), actual.ToString(".")));
			}
		}

		// The loader is named by the folder that holds "Plugins": Data\F4SE\Plugins\x.dll.
		LOADER FindLoader(const std::filesystem::path& a_plugin)
		{
			auto folder = a_plugin.parent_path().parent_path().filename().wstring();
			std::transform(folder.begin(), folder.end(), folder.begin(), [](wchar_t a_c) { return static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(a_c))); });
			const auto name = std::find_if(kLoaderNames.begin(), kLoaderNames.end(), [&](const LoaderName& a_name) { return folder == a_name.wideName; });
			if (name == kLoaderNames.end()) {
				Fail(std::string{ "Failed to determine Address Library loader!" });
			}
			return name->loader;
		}

		std::string_view LoaderText(LOADER a_loader)
		{
			const auto name = std::find_if(kLoaderNames.begin(), kLoaderNames.end(), [&](const LoaderName& a_name) { return a_name.loader == a_loader; });
			return name == kLoaderNames.end() ? std::string_view{} : name->name;
		}

		struct FoundFile
		{
			std::filesystem::path path;
			bool                  raw;
		};

		// The loader's database for the running game, beside the plugin: the first of its
		// file names that exists.
		FoundFile FindFile(const std::filesystem::path& a_folder, LOADER a_loader, const VersionNumber& a_gameVersion)
		{
			// File name prefixes in the order they are tried.
			const std::array<LoaderPrefixes, 4> prefixes{ {
				{ LOADER::SKSE, { L"versionlib", L"version" } },
				{ LOADER::F4SE, { L"version" } },
				{ LOADER::SFSE, { L"versionlib" } },
				{ LOADER::OBSE, { L"versionlib" } },
			} };

			const auto  version = a_gameVersion.ToWideString(L"-");
			const auto& candidates = std::find_if(prefixes.begin(), prefixes.end(), [&](const LoaderPrefixes& a_row) { return a_row.loader == a_loader; })->prefixes;
			for (const auto prefix : candidates) {
				auto candidate = a_folder / fmt::format(L"{}-{}.bin", prefix, version);
				if (Exists(candidate)) {
					// The F4SE loader's "version" files predate the format field: they are raw.
					return { std::move(candidate), a_loader == LOADER::F4SE && prefix == L"version" };
				}
			}
			Fail(fmt::format("Failed to determine Address Library path!\nLoader: {}", LoaderText(a_loader)));
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
			Fail(OpenFailed(a_path));
		}
		exceptions(std::ios::badbit | std::ios::failbit | std::ios::eofbit);
	}

	IDDB::IDDB()
	{
		// Read whole, however long and in whatever script the player's folders are named.
		const std::filesystem::path plugin{ REX::FModule::ThisModule().GetFileNameW() };
		_loader = FindLoader(plugin);
		// Read once here: the version resource is parsed from the game's file each time,
		// and every step below picks names and checks files by this same version.
		_gameVersion = GameVersion();
		auto file = FindFile(plugin.parent_path(), _loader, _gameVersion);
		_path = std::move(file.path);
		if (file.raw) {
			_format = 0;
		}
		load();
	}

	void IDDB::load()
	{
		if (_format == 0) {
			load_v0();
			return;
		}

		STREAM stream{ _path, std::ios::in | std::ios::binary };
		// Every stream read raises when the file fails or ends early; such a file is as
		// unreadable as one that did not open.
		try {
			const auto format = IDDBCodec::ReadFormat(stream);
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
					Fail(fmt::format(IDDBCodec::kUnsupportedFormat, format));
			}
		} catch (const std::system_error&) {
			// Also std::ios_base::failure, which is what the stream reads raise.
			Fail(OpenFailed(_path));
		} catch (const std::bad_alloc&) {
			Fail(OutOfMemory(_path));
		}
	}

	std::string IDDB::region_name(const VersionNumber& a_version)
	{
		return fmt::format("HOSTLIB_IDDB_OFFSETS_{}", a_version.ToString("_"));
	}

	void IDDB::load_v0()
	{
		const auto name = region_name(_gameVersion);
		if (!_map.open(false, _path, name, static_cast<std::uint64_t>(-1))) {
			Fail(MemoryMapFailed(_path));
		}
		validate_file();
		// The raw table is searched where it lies, so its count must fit the file and its
		// ids must already ascend: one read-only pass, no copy.
		const auto raw = IDDBCodec::ViewRaw(_map.bytes());
		if (raw.defect != IDDBCodec::Defect::None) {
			Fail(InvalidFile(raw.defect, _path));
		}
		_table = raw.entries.data();
		_tableCount = raw.count;
	}

	void IDDB::load_v2(STREAM& a_stream)
	{
		const auto header = IDDBCodec::ReadHeaderV2(a_stream);
		CheckVersion(header.version, _gameVersion);
		if (header.addressCount < 0) {
			Fail(InvalidFile(IDDBCodec::Defect::NegativeCount, _path));
		}
		const auto count = static_cast<std::uint64_t>(static_cast<std::int64_t>(header.addressCount));
		// Every packed entry takes at least its type byte; a count beyond that would only
		// reserve a region that the file can never fill.
		if (count > IDDBCodec::MinimumPackedSize(RemainingBytes(a_stream))) {
			Fail(InvalidFile(IDDBCodec::Defect::CountBeyondFile, _path));
		}

		const auto name = region_name(_gameVersion);
		if (!_map.create(true, name, count * sizeof(ENTRY))) {
			Fail(fmt::format("Failed to create Address Library MemoryMap!\nError: {}", REX::OS::GetLastError()));
		}
		validate_file();
		_table = static_cast<const ENTRY*>(_map.data());
		_tableCount = count;

		// Only the region's creator decodes; everyone after it reads the finished table.
		if (_map.created()) {
			unpack_file(a_stream, header);
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
			Fail(OutOfMemory(_path));
		}
		a_stream.read(reinterpret_cast<char*>(packed.get()), static_cast<std::streamsize>(size));

		const std::span table{ static_cast<ENTRY*>(_map.data()), count };
		const auto      result = IDDBCodec::Unpack({ packed.get(), size }, a_header.pointerSize, table);
		switch (result.defect) {
			case IDDBCodec::Defect::None:
				break;
			case IDDBCodec::Defect::Truncated:
				// A file that ends inside its entries is reported as the unreadable file it is.
				Fail(OpenFailed(_path));
			case IDDBCodec::Defect::UnhandledType:
				Fail(std::string{ IDDBCodec::kUnhandledType });
			default:
				Fail(InvalidFile(result.defect, _path));
		}
		if (!result.sorted) {
			std::sort(table.begin(), table.end(), [](const ENTRY& a_lhs, const ENTRY& a_rhs) { return a_lhs.id < a_rhs.id; });
		}
	}

	void IDDB::load_v5(STREAM& a_stream)
	{
		const auto header = IDDBCodec::ReadHeaderV5(a_stream);
		CheckVersion(header.version, _gameVersion);

		const auto name = region_name(_gameVersion);
		if (!_map.open(false, _path, name, static_cast<std::uint64_t>(-1))) {
			Fail(MemoryMapFailed(_path));
		}
		validate_file();
		// The count comes from the mapped header, so it is checked against the very bytes
		// that lookups will read.
		const auto flat = IDDBCodec::ViewFlat(_map.bytes());
		if (flat.defect != IDDBCodec::Defect::None) {
			Fail(InvalidFile(flat.defect, _path));
		}
		_flatTable = flat.offsets.data();
		_flatCount = static_cast<std::uint64_t>(flat.count);
	}

	void IDDB::validate_file() const
	{
		for (const auto& row : KnownBadFiles(_loader)) {
			if (row.version != _gameVersion) {
				continue;
			}
			const auto digest = sha512_hex(_map.data(), static_cast<std::size_t>(_map.size()));
			if (!digest) {
				Fail(fmt::format(L"Failed to hash Address Library file!\nPath: {}", _path.wstring()));
			}
			if (*digest == row.digest) {
				Fail(fmt::format("Invalid Address Library loaded!\n\nRedownload Address Library for your game version.\nGame Version: {}", _gameVersion.ToString(".")));
			}
		}
	}

	std::uint64_t IDDB::offset(std::uint64_t a_id) const
	{
		std::optional<std::uint64_t> found;
		if (_format >= 5) {
			if (_flatCount == 0) {
				Fail(std::string{ "No Address Library has been loaded!" });
			}
			found = IDDBCodec::FindFlat(flat_table(), a_id);
		} else {
			if (_tableCount == 0) {
				Fail(std::string{ "No Address Library has been loaded!" });
			}
			found = IDDBCodec::Find(table(), a_id);
		}
		if (!found) {
			Fail(fmt::format("Failed to find offset for Address Library ID!\nInvalid ID: {}\nGame Version: {}", a_id, _gameVersion.ToString(".")));
		}
		return *found;
	}

	std::optional<std::string> sha512_hex(const void* a_data, std::size_t a_size)
	{
		using namespace REX::OS;
		if (a_size > 0xFFFFFFFFu) {
			return std::nullopt;
		}
		BCRYPT_ALG_HANDLE opened = nullptr;
		if (BCryptOpenAlgorithmProvider(&opened, L"SHA512", nullptr, 0) < 0) {
			return std::nullopt;
		}
		const AlgorithmProvider algorithm{ opened };
		BCRYPT_HASH_HANDLE      created = nullptr;
		if (BCryptCreateHash(algorithm.get(), &created, nullptr, 0, nullptr, 0, 0) < 0) {
			return std::nullopt;
		}
		const HashObject hash{ created };
		// The service takes the range as writable bytes but only reads them.
		auto* const input = static_cast<UCHAR*>(const_cast<void*>(a_data));
		if (BCryptHashData(hash.get(), input, static_cast<ULONG>(a_size), 0) < 0) {
			return std::nullopt;
		}
		DWORD length = 0;
		ULONG written = 0;
		if (BCryptGetProperty(hash.get(), L"HashDigestLength", reinterpret_cast<UCHAR*>(&length), sizeof(length), &written, 0) < 0) {
			return std::nullopt;
		}
		std::vector<UCHAR> digest(length, 0);
		if (BCryptFinishHash(hash.get(), digest.data(), length, 0) < 0) {
			return std::nullopt;
		}
		std::string text;
		text.reserve(digest.size() * 2);
		for (const auto byte : digest) {
			fmt::format_to(std::back_inserter(text), "{:02X}", byte);
		}
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
				Fail(std::string{ "Not enough memory to load the Address Library!" });
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
			Fail(fmt::format(L"Address Library offset lies outside the game!\nID: {}\nOffset: 0x{:X}\nImage Size: 0x{:X}\nPath: {}\n\n"
			                 L"This Address Library file does not belong to game version {}. Install the Address Library for this game version.",
			                 a_id, offset, imageSize, database.path().wstring(), GameVersion().ToWideString(L".")));
		}
		return game.GetBase() + offset;
	}
} // namespace REL
