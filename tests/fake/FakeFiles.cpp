#include "FakeFiles.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include <fcntl.h>
#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace FakeOS
{
	namespace
	{
		using namespace REX::OS;

		constexpr DWORD    kErrorAccessDenied = 5;
		constexpr DWORD    kErrorNotEnoughMemory = 8;
		constexpr DWORD    kErrorInvalidHandle = 6;
		constexpr DWORD    kErrorInvalidParameter = 87;
		constexpr DWORD    kErrorFileInvalid = 1006;
		constexpr NTSTATUS kStatusUnsuccessful = static_cast<NTSTATUS>(0xC0000001);
		constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000225);
		constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
		constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);

		// SHA-512 round constants and initial hash value.
		constexpr std::uint64_t kRound[80] = {
			0x428A2F98D728AE22,
			0x7137449123EF65CD,
			0xB5C0FBCFEC4D3B2F,
			0xE9B5DBA58189DBBC,
			0x3956C25BF348B538,
			0x59F111F1B605D019,
			0x923F82A4AF194F9B,
			0xAB1C5ED5DA6D8118,
			0xD807AA98A3030242,
			0x12835B0145706FBE,
			0x243185BE4EE4B28C,
			0x550C7DC3D5FFB4E2,
			0x72BE5D74F27B896F,
			0x80DEB1FE3B1696B1,
			0x9BDC06A725C71235,
			0xC19BF174CF692694,
			0xE49B69C19EF14AD2,
			0xEFBE4786384F25E3,
			0x0FC19DC68B8CD5B5,
			0x240CA1CC77AC9C65,
			0x2DE92C6F592B0275,
			0x4A7484AA6EA6E483,
			0x5CB0A9DCBD41FBD4,
			0x76F988DA831153B5,
			0x983E5152EE66DFAB,
			0xA831C66D2DB43210,
			0xB00327C898FB213F,
			0xBF597FC7BEEF0EE4,
			0xC6E00BF33DA88FC2,
			0xD5A79147930AA725,
			0x06CA6351E003826F,
			0x142929670A0E6E70,
			0x27B70A8546D22FFC,
			0x2E1B21385C26C926,
			0x4D2C6DFC5AC42AED,
			0x53380D139D95B3DF,
			0x650A73548BAF63DE,
			0x766A0ABB3C77B2A8,
			0x81C2C92E47EDAEE6,
			0x92722C851482353B,
			0xA2BFE8A14CF10364,
			0xA81A664BBC423001,
			0xC24B8B70D0F89791,
			0xC76C51A30654BE30,
			0xD192E819D6EF5218,
			0xD69906245565A910,
			0xF40E35855771202A,
			0x106AA07032BBD1B8,
			0x19A4C116B8D2D0C8,
			0x1E376C085141AB53,
			0x2748774CDF8EEB99,
			0x34B0BCB5E19B48A8,
			0x391C0CB3C5C95A63,
			0x4ED8AA4AE3418ACB,
			0x5B9CCA4F7763E373,
			0x682E6FF3D6B2B8A3,
			0x748F82EE5DEFB2FC,
			0x78A5636F43172F60,
			0x84C87814A1F0AB72,
			0x8CC702081A6439EC,
			0x90BEFFFA23631E28,
			0xA4506CEBDE82BDE9,
			0xBEF9A3F7B2C67915,
			0xC67178F2E372532B,
			0xCA273ECEEA26619C,
			0xD186B8C721C0C207,
			0xEADA7DD6CDE0EB1E,
			0xF57D4F7FEE6ED178,
			0x06F067AA72176FBA,
			0x0A637DC5A2C898A6,
			0x113F9804BEF90DAE,
			0x1B710B35131C471B,
			0x28DB77F523047D84,
			0x32CAAB7B40C72493,
			0x3C9EBE0A15C9BEBC,
			0x431D67C49C100D4C,
			0x4CC5D4BECB3E42B6,
			0x597F299CFC657E2A,
			0x5FCB6FAB3AD6FAEC,
			0x6C44198C4A475817,
		};
		constexpr std::uint64_t kInitial[8] = {
			0x6A09E667F3BCC908,
			0xBB67AE8584CAA73B,
			0x3C6EF372FE94F82B,
			0xA54FF53A5F1D36F1,
			0x510E527FADE682D1,
			0x9B05688C2B3E6C1F,
			0x1F83D9ABFB41BD6B,
			0x5BE0CD19137E2179,
		};

		class Sha512State
		{
		public:
			void Update(const std::uint8_t* a_data, std::size_t a_size)
			{
				_length += a_size;
				while (a_size > 0) {
					const auto take = std::min(a_size, sizeof(_block) - _used);
					std::memcpy(_block + _used, a_data, take);
					_used += take;
					a_data += take;
					a_size -= take;
					if (_used == sizeof(_block)) {
						Compress();
						_used = 0;
					}
				}
			}

			std::array<std::uint8_t, 64> Finish()
			{
				const std::uint64_t bits = _length * 8;
				const std::uint8_t  one = 0x80;
				Update(&one, 1);
				const std::uint8_t zero = 0;
				while (_used != 112) {
					Update(&zero, 1);
				}
				std::uint8_t tail[16]{};
				for (int i = 0; i < 8; ++i) {
					tail[15 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
				}
				Update(tail, sizeof(tail));
				std::array<std::uint8_t, 64> digest{};
				for (int i = 0; i < 8; ++i) {
					for (int j = 0; j < 8; ++j) {
						digest[i * 8 + j] = static_cast<std::uint8_t>(_state[i] >> (56 - 8 * j));
					}
				}
				return digest;
			}

		private:
			static std::uint64_t Rotr(std::uint64_t a_x, int a_n) { return (a_x >> a_n) | (a_x << (64 - a_n)); }

			void Compress()
			{
				std::uint64_t w[80];
				for (int i = 0; i < 16; ++i) {
					w[i] = 0;
					for (int j = 0; j < 8; ++j) {
						w[i] = (w[i] << 8) | _block[i * 8 + j];
					}
				}
				for (int i = 16; i < 80; ++i) {
					const auto s0 = Rotr(w[i - 15], 1) ^ Rotr(w[i - 15], 8) ^ (w[i - 15] >> 7);
					const auto s1 = Rotr(w[i - 2], 19) ^ Rotr(w[i - 2], 61) ^ (w[i - 2] >> 6);
					w[i] = w[i - 16] + s0 + w[i - 7] + s1;
				}
				auto v = _state;
				for (int i = 0; i < 80; ++i) {
					const auto s1 = Rotr(v[4], 14) ^ Rotr(v[4], 18) ^ Rotr(v[4], 41);
					const auto ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
					const auto t1 = v[7] + s1 + ch + kRound[i] + w[i];
					const auto s0 = Rotr(v[0], 28) ^ Rotr(v[0], 34) ^ Rotr(v[0], 39);
					const auto maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
					const auto t2 = s0 + maj;
					v[7] = v[6];
					v[6] = v[5];
					v[5] = v[4];
					v[4] = v[3] + t1;
					v[3] = v[2];
					v[2] = v[1];
					v[1] = v[0];
					v[0] = t1 + t2;
				}
				for (int i = 0; i < 8; ++i) {
					_state[i] += v[i];
				}
			}

			static std::array<std::uint64_t, 8> Initial()
			{
				std::array<std::uint64_t, 8> state{};
				std::copy(std::begin(kInitial), std::end(kInitial), state.begin());
				return state;
			}

			std::array<std::uint64_t, 8> _state{ Initial() };
			std::uint8_t                 _block[128]{};
			std::size_t                  _used{ 0 };
			std::uint64_t                _length{ 0 };
		};

		// The bytes behind a mapping object: an exact-size heap block, or a POSIX mapping
		// of a file in the benchmarks' mode.
		struct Mapping
		{
			std::string                  name;
			std::unique_ptr<std::byte[]> heap;
			void*                        mapped{ nullptr };
			std::size_t                  size{ 0 };
			bool                         writable{ false };

			std::byte* Data() { return mapped ? static_cast<std::byte*>(mapped) : heap.get(); }

			~Mapping()
			{
#if !defined(_WIN32)
				if (mapped) {
					::munmap(mapped, size);
				}
#endif
			}
		};

		struct File
		{
			std::filesystem::path path;
			bool                  writable{ false };
		};

		struct Hash
		{
			Sha512State state;
			std::string input; // kept only while digests are scripted
		};

		struct Algorithm
		{
		};

		struct Data
		{
			std::map<HANDLE, File>                                            files;
			std::map<HANDLE, std::shared_ptr<Mapping>>                        mappingHandles;
			std::map<std::string, std::weak_ptr<Mapping>, std::less<>>        named;
			std::map<const void*, std::pair<std::shared_ptr<Mapping>, int>>   views;
			std::map<HANDLE, Algorithm>                                       algorithms;
			std::map<HANDLE, Hash>                                            hashes;
			std::vector<std::pair<std::string, std::array<std::uint8_t, 64>>> digests;
			bool                                                              mappedViews{ false };
		};

		struct State : Data
		{
			std::mutex lock;
			// Handles are never handed out twice in a process, across resets too.
			std::uintptr_t nextHandle{ 0x1000 };

			HANDLE NewHandle()
			{
				nextHandle += 4;
				return reinterpret_cast<HANDLE>(nextHandle);
			}
		};

		State& GetState()
		{
			return SharedState<State, Data>();
		}

		std::shared_ptr<Mapping> FindNamed(State& a_state, std::string_view a_name)
		{
			const auto it = a_state.named.find(a_name);
			return it == a_state.named.end() ? nullptr : it->second.lock();
		}

		bool ReadFileInto(const std::filesystem::path& a_path, std::byte* a_target, std::size_t a_size)
		{
			std::ifstream in(a_path, std::ios::binary);
			in.read(reinterpret_cast<char*>(a_target), static_cast<std::streamsize>(a_size));
			return static_cast<std::size_t>(in.gcount()) == a_size;
		}

		void* MapFile([[maybe_unused]] const std::filesystem::path& a_path, [[maybe_unused]] std::size_t a_size)
		{
#if !defined(_WIN32)
			const int fd = ::open(a_path.c_str(), O_RDONLY);
			if (fd < 0) {
				return nullptr;
			}
			void* view = ::mmap(nullptr, a_size, PROT_READ, MAP_PRIVATE, fd, 0);
			::close(fd);
			return view == MAP_FAILED ? nullptr : view;
#else
			return nullptr;
#endif
		}
	} // namespace

	void SetFileViewsMapped(bool a_mapped)
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.mappedViews = a_mapped;
	}

	bool MappingExists(std::string_view a_name)
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		return FindNamed(s, a_name) != nullptr;
	}

	int OpenHandles()
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		return static_cast<int>(s.files.size() + s.mappingHandles.size() + s.algorithms.size() + s.hashes.size());
	}

	int OpenViews()
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		int                    count = 0;
		for (const auto& [view, entry] : s.views) {
			count += entry.second;
		}
		return count;
	}

	void SetDigestFor(std::string a_content, const std::array<std::uint8_t, 64>& a_digest)
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.digests.emplace_back(std::move(a_content), a_digest);
	}

	std::array<std::uint8_t, 64> Sha512(std::string_view a_data)
	{
		Sha512State state;
		state.Update(reinterpret_cast<const std::uint8_t*>(a_data.data()), a_data.size());
		return state.Finish();
	}
} // namespace FakeOS

namespace REX::OS
{
	using FakeOS::GetState;

	HANDLE CreateFileW(const wchar_t* a_fileName, DWORD a_desiredAccess, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE)
	{
		FakeOS::CountCall("CreateFileW");
		if (FakeOS::ConsumeFailure("CreateFileW")) {
			return kInvalidHandleValue;
		}
		const std::filesystem::path path{ std::wstring(a_fileName) };
		std::error_code             error;
		const auto                  status = std::filesystem::status(path, error);
		if (!std::filesystem::exists(status)) {
			const bool folderThere = std::filesystem::is_directory(path.parent_path(), error);
			FakeOS::SetLastError(folderThere ? kErrorFileNotFound : kErrorPathNotFound);
			return kInvalidHandleValue;
		}
		if (!std::filesystem::is_regular_file(status)) {
			// A folder opens only with backup semantics, which no caller here asks for.
			FakeOS::SetLastError(FakeOS::kErrorAccessDenied);
			return kInvalidHandleValue;
		}
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		const auto             handle = s.NewHandle();
		s.files.emplace(handle, FakeOS::File{ path, (a_desiredAccess & kGenericWrite) != 0 });
		return handle;
	}

	bool GetFileSizeEx(HANDLE a_file, LARGE_INTEGER* a_size)
	{
		FakeOS::CountCall("GetFileSizeEx");
		if (FakeOS::ConsumeFailure("GetFileSizeEx")) {
			return false;
		}
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		const auto             it = s.files.find(a_file);
		std::error_code        error;
		const auto             size = it == s.files.end() ? 0 : std::filesystem::file_size(it->second.path, error);
		if (it == s.files.end() || error) {
			FakeOS::SetLastError(FakeOS::kErrorInvalidHandle);
			return false;
		}
		a_size->QuadPart = static_cast<std::int64_t>(size);
		return true;
	}

	HANDLE OpenFileMappingA(DWORD a_desiredAccess, bool, const char* a_name)
	{
		FakeOS::CountCall("OpenFileMappingA");
		if (FakeOS::ConsumeFailure("OpenFileMappingA")) {
			return nullptr;
		}
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		auto                   mapping = FakeOS::FindNamed(s, a_name ? a_name : "");
		if (!mapping) {
			FakeOS::SetLastError(kErrorFileNotFound);
			return nullptr;
		}
		if ((a_desiredAccess & kFileMapWrite) && !mapping->writable) {
			FakeOS::SetLastError(FakeOS::kErrorAccessDenied);
			return nullptr;
		}
		const auto handle = s.NewHandle();
		s.mappingHandles.emplace(handle, std::move(mapping));
		return handle;
	}

	HANDLE CreateFileMappingA(HANDLE a_file, SECURITY_ATTRIBUTES*, DWORD a_protect, DWORD a_maximumSizeHigh, DWORD a_maximumSizeLow, const char* a_name)
	{
		FakeOS::CountCall("CreateFileMappingA");
		if (FakeOS::ConsumeFailure("CreateFileMappingA")) {
			return nullptr;
		}
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		const std::string      name = a_name ? a_name : "";
		// Like Windows: a name already in use hands out the existing object and says so.
		if (auto existing = name.empty() ? nullptr : FakeOS::FindNamed(s, name)) {
			const auto handle = s.NewHandle();
			s.mappingHandles.emplace(handle, std::move(existing));
			FakeOS::SetLastError(kErrorAlreadyExists);
			return handle;
		}

		auto mapping = std::make_shared<FakeOS::Mapping>();
		mapping->name = name;
		mapping->writable = a_protect == kPageReadWrite || a_protect == kPageExecuteReadWrite;
		auto size = (static_cast<std::uint64_t>(a_maximumSizeHigh) << 32) | a_maximumSizeLow;

		if (a_file == kInvalidHandleValue) {
			// Backed by the paging file: the size must be given; the pages start zeroed.
			if (size == 0) {
				FakeOS::SetLastError(FakeOS::kErrorInvalidParameter);
				return nullptr;
			}
			// Asked for without raising: an allocator that refuses (a capped test program)
			// gives null, and the call fails as Windows fails it without the memory.
			mapping->heap.reset(new (std::nothrow) std::byte[static_cast<std::size_t>(size)]());
			if (!mapping->heap) {
				FakeOS::SetLastError(FakeOS::kErrorNotEnoughMemory);
				return nullptr;
			}
		} else {
			const auto file = s.files.find(a_file);
			if (file == s.files.end()) {
				FakeOS::SetLastError(FakeOS::kErrorInvalidHandle);
				return nullptr;
			}
			std::error_code error;
			const auto      fileSize = std::filesystem::file_size(file->second.path, error);
			if (size == 0) {
				size = fileSize;
			}
			// An empty file cannot be mapped; a read-only mapping cannot outgrow its file.
			if (error || size == 0) {
				FakeOS::SetLastError(FakeOS::kErrorFileInvalid);
				return nullptr;
			}
			if (size > fileSize && !mapping->writable) {
				FakeOS::SetLastError(FakeOS::kErrorNotEnoughMemory);
				return nullptr;
			}
			if (s.mappedViews && !mapping->writable) {
				mapping->mapped = FakeOS::MapFile(file->second.path, static_cast<std::size_t>(size));
			} else {
				mapping->heap = std::make_unique<std::byte[]>(static_cast<std::size_t>(size));
				FakeOS::ReadFileInto(file->second.path, mapping->heap.get(), static_cast<std::size_t>(std::min(size, fileSize)));
			}
			if (!mapping->Data()) {
				FakeOS::SetLastError(FakeOS::kErrorNotEnoughMemory);
				return nullptr;
			}
		}
		mapping->size = static_cast<std::size_t>(size);
		if (!name.empty()) {
			s.named.insert_or_assign(name, mapping);
		}
		const auto handle = s.NewHandle();
		s.mappingHandles.emplace(handle, std::move(mapping));
		FakeOS::SetLastError(0);
		return handle;
	}

	void* MapViewOfFile(HANDLE a_mapping, DWORD a_desiredAccess, DWORD a_offsetHigh, DWORD a_offsetLow, SIZE_T a_size)
	{
		FakeOS::CountCall("MapViewOfFile");
		if (FakeOS::ConsumeFailure("MapViewOfFile")) {
			return nullptr;
		}
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		const auto             it = s.mappingHandles.find(a_mapping);
		if (it == s.mappingHandles.end()) {
			FakeOS::SetLastError(FakeOS::kErrorInvalidHandle);
			return nullptr;
		}
		const auto& mapping = it->second;
		// Only whole views from the start are used by the library; a view larger than
		// the object is refused as Windows refuses it.
		if (a_offsetHigh != 0 || a_offsetLow != 0 || a_size > mapping->size || ((a_desiredAccess & kFileMapWrite) && !mapping->writable)) {
			FakeOS::SetLastError(FakeOS::kErrorAccessDenied);
			return nullptr;
		}
		void* view = mapping->Data();
		auto& entry = s.views[view];
		entry.first = mapping;
		++entry.second;
		return view;
	}

	bool UnmapViewOfFile(const void* a_baseAddress)
	{
		FakeOS::CountCall("UnmapViewOfFile");
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		const auto             it = s.views.find(a_baseAddress);
		if (it == s.views.end()) {
			FakeOS::SetLastError(FakeOS::kErrorInvalidParameter);
			return false;
		}
		if (--it->second.second == 0) {
			s.views.erase(it);
		}
		return true;
	}

	bool CloseHandle(HANDLE a_handle)
	{
		FakeOS::CountCall("CloseHandle");
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		if (s.files.erase(a_handle) || s.mappingHandles.erase(a_handle)) {
			return true;
		}
		FakeOS::SetLastError(FakeOS::kErrorInvalidHandle);
		return false;
	}

	NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* a_algorithm, const wchar_t* a_algorithmId, const wchar_t*, ULONG)
	{
		FakeOS::CountCall("BCryptOpenAlgorithmProvider");
		if (FakeOS::ConsumeFailure("BCryptOpenAlgorithmProvider")) {
			return FakeOS::kStatusUnsuccessful;
		}
		if (!a_algorithm || !a_algorithmId || std::wstring_view{ a_algorithmId } != L"SHA512") {
			return FakeOS::kStatusNotFound;
		}
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		*a_algorithm = s.NewHandle();
		s.algorithms.emplace(*a_algorithm, FakeOS::Algorithm{});
		return 0;
	}

	NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE a_algorithm, BCRYPT_HASH_HANDLE* a_hash, UCHAR*, ULONG, UCHAR*, ULONG, ULONG)
	{
		FakeOS::CountCall("BCryptCreateHash");
		if (FakeOS::ConsumeFailure("BCryptCreateHash")) {
			return FakeOS::kStatusUnsuccessful;
		}
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		if (!s.algorithms.contains(a_algorithm) || !a_hash) {
			return FakeOS::kStatusInvalidParameter;
		}
		*a_hash = s.NewHandle();
		s.hashes.emplace(*a_hash, FakeOS::Hash{});
		return 0;
	}

	NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE a_hash, UCHAR* a_input, ULONG a_inputSize, ULONG)
	{
		FakeOS::CountCall("BCryptHashData");
		if (FakeOS::ConsumeFailure("BCryptHashData")) {
			return FakeOS::kStatusUnsuccessful;
		}
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		const auto             it = s.hashes.find(a_hash);
		if (it == s.hashes.end()) {
			return FakeOS::kStatusInvalidParameter;
		}
		it->second.state.Update(a_input, a_inputSize);
		if (!s.digests.empty() && a_inputSize > 0) {
			it->second.input.append(reinterpret_cast<const char*>(a_input), a_inputSize);
		}
		return 0;
	}

	NTSTATUS BCryptGetProperty(BCRYPT_HANDLE a_object, const wchar_t* a_property, UCHAR* a_output, ULONG a_outputSize, ULONG* a_result, ULONG)
	{
		FakeOS::CountCall("BCryptGetProperty");
		if (FakeOS::ConsumeFailure("BCryptGetProperty")) {
			return FakeOS::kStatusUnsuccessful;
		}
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		if ((!s.hashes.contains(a_object) && !s.algorithms.contains(a_object)) || !a_property || std::wstring_view{ a_property } != L"HashDigestLength") {
			return FakeOS::kStatusNotFound;
		}
		if (a_outputSize < sizeof(DWORD)) {
			return FakeOS::kStatusBufferTooSmall;
		}
		const DWORD length = 64;
		std::memcpy(a_output, &length, sizeof(length));
		if (a_result) {
			*a_result = sizeof(length);
		}
		return 0;
	}

	NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE a_hash, UCHAR* a_output, ULONG a_outputSize, ULONG)
	{
		FakeOS::CountCall("BCryptFinishHash");
		if (FakeOS::ConsumeFailure("BCryptFinishHash")) {
			return FakeOS::kStatusUnsuccessful;
		}
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		const auto             it = s.hashes.find(a_hash);
		if (it == s.hashes.end() || a_outputSize != 64) {
			return FakeOS::kStatusInvalidParameter;
		}
		auto digest = it->second.state.Finish();
		for (const auto& [content, scripted] : s.digests) {
			if (content == it->second.input) {
				digest = scripted;
			}
		}
		std::memcpy(a_output, digest.data(), digest.size());
		return 0;
	}

	NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE a_hash)
	{
		FakeOS::CountCall("BCryptDestroyHash");
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		return s.hashes.erase(a_hash) ? 0 : FakeOS::kStatusInvalidParameter;
	}

	NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE a_algorithm, ULONG)
	{
		FakeOS::CountCall("BCryptCloseAlgorithmProvider");
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		return s.algorithms.erase(a_algorithm) ? 0 : FakeOS::kStatusInvalidParameter;
	}
} // namespace REX::OS
