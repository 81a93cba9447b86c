#include "REL/IDDB.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cwctype>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
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

		// A file that opened but could not be read to its end: damaged or cut short.
		std::wstring OpenFailed(const std::filesystem::path& a_path)
		{
			return fmt::format(L"Failed to open Address Library file!\nPath: {}", a_path.wstring());
		}

		// The platform's error number and, for the failures that players meet, what it means.
		std::wstring ErrorText(REX::OS::DWORD a_error)
		{
			const wchar_t* meaning = nullptr;
			switch (a_error) {
				case 2:
					meaning = L"the file was not found";
					break;
				case 3:
					meaning = L"the folder was not found";
					break;
				case 5:
					meaning = L"access is denied";
					break;
				case 8:
				case 14:
					meaning = L"not enough memory";
					break;
				case 32:
					meaning = L"the file is in use by another program";
					break;
				case 33:
					meaning = L"another program has locked a part of the file";
					break;
				case 225:
					meaning = L"an antivirus program blocked the file";
					break;
				case 1455:
					meaning = L"the paging file is too small";
					break;
				default:
					break;
			}
			return meaning ? fmt::format(L"{} ({})", a_error, meaning) : fmt::format(L"{}", a_error);
		}

		// The platform refused to open the file: the reason says whether it is permissions,
		// another program or something else.
		std::wstring OpenRefused(const std::filesystem::path& a_path, REX::OS::DWORD a_error)
		{
			return fmt::format(L"Failed to open Address Library file!\nError: {}\nPath: {}", ErrorText(a_error), a_path.wstring());
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

		std::wstring MemoryMapFailed(const std::filesystem::path& a_path, REX::OS::DWORD a_error)
		{
			return fmt::format(L"Failed to create Address Library MemoryMap!\nError: {}\nPath: {}", ErrorText(a_error), a_path.wstring());
		}

		// A map that could not be made: refused at the file's opening, or at the mapping.
		[[noreturn]] void FailMapping(const IDDB::MEMORY_MAP& a_map, const std::filesystem::path& a_path, const std::source_location a_where = std::source_location::current())
		{
			if (a_map.failed_step() == IDDB::MEMORY_MAP::STEP::OpenFile) {
				Fail(OpenRefused(a_path, a_map.failed_error()), a_where);
			}
			Fail(MemoryMapFailed(a_path, a_map.failed_error()), a_where);
		}

		// Why the platform refuses to open a file that the stream could not open; asked only
		// once the stream has failed, so a good file is opened once.
		REX::OS::DWORD OpenError(const std::filesystem::path& a_path)
		{
			using namespace REX::OS;
			const auto file = CreateFileW(a_path.wstring().c_str(), kGenericRead, kFileShareRead | kFileShareWrite, nullptr, kOpenExisting, kFileAttributeReadOnly, nullptr);
			if (file == kInvalidHandleValue) {
				return GetLastError();
			}
			CloseHandle(file);
			return 0;
		}

		// a_count elements of a_size bytes plus a_extra bytes, or nothing when that does
		// not fit 64 bits: a count from a file never becomes a size that wraps.
		std::optional<std::uint64_t> CheckedSize(std::uint64_t a_count, std::uint64_t a_size, std::uint64_t a_extra = 0)
		{
			constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
			if (a_size != 0 && a_count > kMax / a_size) {
				return std::nullopt;
			}
			const auto product = a_count * a_size;
			if (a_extra > kMax - product) {
				return std::nullopt;
			}
			return product + a_extra;
		}

		// What the creator of a region for formats 1 and 2 leaves behind the table: the
		// packed stream it decodes (a copy follows this record) and whether it has finished.
		// A loader of this library uses the table only when its own file holds the same
		// stream and the table is complete; loaders that know nothing of the record read the
		// table in front of it as before.
		struct RegionMark
		{
			std::uint32_t state; // written last, with release order: kMarkDecoding, then kMarkComplete
			std::int32_t  pointerSize;
			std::uint64_t count;
			std::uint64_t packedSize;
		};
		static_assert(sizeof(RegionMark) == 24);
		constexpr std::uint32_t kMarkDecoding = 0x31445351; // "QSD1"
		constexpr std::uint32_t kMarkComplete = 0x32445351; // "QSD2"

		IDDB::LOAD_PROBE& Probe()
		{
			static IDDB::LOAD_PROBE probe;
			return probe;
		}

		void AtStage(IDDB::LOAD_STAGE a_stage)
		{
			if (const auto atStage = Probe().atStage) {
				atStage(a_stage);
			}
		}

		std::uint32_t MarkState(RegionMark& a_mark)
		{
			return std::atomic_ref<std::uint32_t>{ a_mark.state }.load(std::memory_order_acquire);
		}

		void SetMarkState(RegionMark& a_mark, std::uint32_t a_state)
		{
			std::atomic_ref<std::uint32_t>{ a_mark.state }.store(a_state, std::memory_order_release);
		}

		bool SameSource(const RegionMark& a_mark, const IDDB::HEADER_V2& a_header, std::span<const std::byte> a_packed)
		{
			const auto* const stored = reinterpret_cast<const std::byte*>(&a_mark + 1);
			return a_mark.pointerSize == a_header.pointerSize && a_mark.count == static_cast<std::uint64_t>(a_header.addressCount) &&
			       a_mark.packedSize == a_packed.size() && std::memcmp(stored, a_packed.data(), a_packed.size()) == 0;
		}

		// True once the region's creator has finished a table decoded from the same packed
		// stream as this loader's file; false for another stream, for a region this library
		// did not make, or when the creator has not finished within the wait.
		bool AwaitCreator(RegionMark& a_mark, const IDDB::HEADER_V2& a_header, std::span<const std::byte> a_packed)
		{
			const auto deadline = std::chrono::steady_clock::now() + Probe().creatorWait;
			bool       compared = false;
			bool       announced = false;
			for (;;) {
				const auto state = MarkState(a_mark);
				if (state == kMarkDecoding || state == kMarkComplete) {
					if (!compared && !SameSource(a_mark, a_header, a_packed)) {
						return false;
					}
					compared = true;
					if (state == kMarkComplete) {
						return true;
					}
				}
				if (std::chrono::steady_clock::now() >= deadline) {
					return false;
				}
				if (!announced) {
					AtStage(IDDB::LOAD_STAGE::WaitingForCreator);
					announced = true;
				}
				std::this_thread::sleep_for(std::chrono::milliseconds{ 1 });
			}
		}

		// A file whose table holds no entries, in any format.
		std::wstring NothingLoaded(const std::filesystem::path& a_path)
		{
			return fmt::format(L"No Address Library has been loaded!\nPath: {}", a_path.wstring());
		}

		// Absent is only what the platform reports as a missing file or folder, a missing
		// network path or an invalid name; anything else (a denied or too long path, a
		// failing disk) is reported rather than taken as a reason to try the next name.
		std::optional<std::filesystem::file_status> Exists(const std::filesystem::path& a_path)
		{
			std::error_code error;
			const auto      status = std::filesystem::status(a_path, error);
			if (!error) {
				return std::filesystem::exists(status) ? std::optional{ status } : std::nullopt;
			}
			if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
				return std::nullopt;
			}
			if (error.category() == std::system_category()) {
				switch (error.value()) {
					case 2:   // file not found
					case 3:   // path not found
					case 53:  // bad network path
					case 123: // invalid name
						return std::nullopt;
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
			bool                  folder;
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
				if (const auto status = Exists(candidate)) {
					// The F4SE loader's "version" files predate the format field: they are raw.
					return { std::move(candidate), a_loader == LOADER::F4SE && prefix == L"version", std::filesystem::is_directory(*status) };
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
			Fail(OpenRefused(a_path, OpenError(a_path)));
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
		// A name that is taken by a folder, or a file with nothing in it, is told apart
		// before the platform's refusals to open or map them could hide what is wrong.
		if (file.folder) {
			Fail(fmt::format(L"Address Library path is a folder!\nPath: {}", _path.wstring()));
		}
		if (std::error_code error; std::filesystem::file_size(_path, error) == 0 && !error) {
			Fail(fmt::format(L"Address Library file is empty!\nPath: {}", _path.wstring()));
		}
		load();
	}

	void IDDB::SetLoadProbe(const LOAD_PROBE& a_probe) noexcept
	{
		Probe() = a_probe;
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

	void IDDB::map_file()
	{
		if (!_map.open(false, _path, region_name(_gameVersion), static_cast<std::uint64_t>(-1))) {
			FailMapping(_map, _path);
		}
	}

	void IDDB::load_v0()
	{
		map_file();
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
		const auto available = RemainingBytes(a_stream);
		if (count > IDDBCodec::MinimumPackedSize(available)) {
			Fail(InvalidFile(IDDBCodec::Defect::CountBeyondFile, _path));
		}

		// At most a type byte and two 8-byte operands per entry: read no more than that,
		// in one go, and decode from memory.
		const auto longest = CheckedSize(count, 17);
		const auto size = static_cast<std::size_t>(std::min(available, longest.value_or(available)));
		// The one allocation that grows with the file: asked for without raising, so that a
		// refusal is reported here with the file's path.
		const std::unique_ptr<std::byte[]> packed{ new (std::nothrow) std::byte[size] };
		if (!packed) {
			Fail(OutOfMemory(_path));
		}
		a_stream.read(reinterpret_cast<char*>(packed.get()), static_cast<std::streamsize>(size));

		// A file without entries has nothing to share; its lookups say that nothing is loaded.
		if (count == 0) {
			return;
		}
		const std::span<const std::byte> stream{ packed.get(), size };
		if (!load_shared_v2(header, stream)) {
			load_private_v2(header, stream);
		}
	}

	bool IDDB::load_shared_v2(const HEADER_V2& a_header, std::span<const std::byte> a_packed)
	{
		const auto count = static_cast<std::uint64_t>(a_header.addressCount);
		const auto tableSize = count * sizeof(ENTRY);
		const auto size = CheckedSize(count, sizeof(ENTRY), sizeof(RegionMark) + a_packed.size());
		if (!size) {
			Fail(InvalidFile(IDDBCodec::Defect::CountBeyondFile, _path));
		}
		if (!_map.create(true, region_name(_gameVersion), *size)) {
			FailMapping(_map, _path);
		}
		if (!_map.shared()) {
			return false;
		}
		auto& mark = *reinterpret_cast<RegionMark*>(static_cast<std::byte*>(_map.data()) + tableSize);
		if (_map.created()) {
			validate_file();
			// The stream goes in before the mark says so: an opener that sees the mark can
			// compare its own file at once and need not wait for a table it will not use.
			mark.pointerSize = a_header.pointerSize;
			mark.count = count;
			mark.packedSize = a_packed.size();
			std::memcpy(&mark + 1, a_packed.data(), a_packed.size());
			SetMarkState(mark, kMarkDecoding);
			AtStage(LOAD_STAGE::Decoding);
			unpack_file(a_packed, a_header);
			SetMarkState(mark, kMarkComplete);
			return true;
		}
		if (!AwaitCreator(mark, a_header, a_packed)) {
			_map.close();
			return false;
		}
		validate_file();
		_table = static_cast<const ENTRY*>(_map.data());
		_tableCount = count;
		return true;
	}

	void IDDB::load_private_v2(const HEADER_V2& a_header, std::span<const std::byte> a_packed)
	{
		if (!_map.create(true, {}, static_cast<std::uint64_t>(a_header.addressCount) * sizeof(ENTRY))) {
			FailMapping(_map, _path);
		}
		validate_file();
		unpack_file(a_packed, a_header);
	}

	void IDDB::unpack_file(std::span<const std::byte> a_packed, const HEADER_V2& a_header)
	{
		const auto      count = static_cast<std::size_t>(a_header.addressCount);
		const std::span table{ static_cast<ENTRY*>(_map.data()), count };
		const auto      result = IDDBCodec::Unpack(a_packed, a_header.pointerSize, table);
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
		_table = table.data();
		_tableCount = count;
	}

	void IDDB::load_v5(STREAM& a_stream)
	{
		const auto header = IDDBCodec::ReadHeaderV5(a_stream);
		CheckVersion(header.version, _gameVersion);
		map_file();
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
				Fail(NothingLoaded(_path));
			}
			found = IDDBCodec::FindFlat(flat_table(), a_id);
		} else {
			if (_tableCount == 0) {
				Fail(NothingLoaded(_path));
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
