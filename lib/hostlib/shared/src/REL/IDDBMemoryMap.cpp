#include "REL/IDDB.h"

#include <cstring>

namespace REL
{
	namespace
	{
		struct Access
		{
			REX::OS::DWORD fileAccess;
			REX::OS::DWORD fileSharing;
			REX::OS::DWORD pageProtection;
			REX::OS::DWORD viewAccess;
		};

		Access AccessFor(bool a_writable)
		{
			using namespace REX::OS;
			if (a_writable) {
				return { kGenericRead | kGenericWrite, kFileShareRead | kFileShareWrite, kPageReadWrite, kFileMapRead | kFileMapWrite };
			}
			return { kGenericRead, kFileShareRead, kPageReadOnly, kFileMapRead };
		}
	} // namespace

	bool IDDB::MEMORY_MAP::create(bool a_writable, std::string_view a_name, std::uint64_t a_size)
	{
		close();
		return map(a_writable, a_name, a_size);
	}

	bool IDDB::MEMORY_MAP::open(bool a_writable, const std::filesystem::path& a_path, std::string_view a_name, std::uint64_t a_size)
	{
		close();
		const auto access = AccessFor(a_writable);
		_file = REX::OS::CreateFileW(a_path.wstring().c_str(), access.fileAccess, access.fileSharing, nullptr,
		                             REX::OS::kOpenExisting, REX::OS::kFileAttributeReadOnly, nullptr);
		if (_file == REX::OS::kInvalidHandleValue) {
			return fail(STEP::OpenFile);
		}
		return map(a_writable, a_name, a_size);
	}

	bool IDDB::MEMORY_MAP::map(bool a_writable, std::string_view a_name, std::uint64_t a_size)
	{
		auto size = a_size;
		if (size == static_cast<std::uint64_t>(-1)) {
			REX::OS::LARGE_INTEGER fileSize{};
			if (_file == REX::OS::kInvalidHandleValue || !REX::OS::GetFileSizeEx(_file, &fileSize) || fileSize.QuadPart < 0) {
				return fail(STEP::FileSize);
			}
			size = static_cast<std::uint64_t>(fileSize.QuadPart);
		}
		if (!a_name.empty() && map_named(a_writable, std::string{ a_name }, size)) {
			// A region over the paging file is checked by its caller, who knows what its
			// table must hold; a mapped file is checked here, byte for byte.
			if (_created || _file == REX::OS::kInvalidHandleValue || holds_own_file(a_writable)) {
				_shared = true;
				return true;
			}
			release_view();
		}
		// No name, or a named object that cannot be made, mapped or trusted: this loader
		// keeps a view of its own, which no other loader sees.
		return map_private(a_writable, size);
	}

	bool IDDB::MEMORY_MAP::map_named(bool a_writable, const std::string& a_name, std::uint64_t a_size)
	{
		const auto access = AccessFor(a_writable);
		_mapping = REX::OS::OpenFileMappingA(access.viewAccess, false, a_name.c_str());
		if (!_mapping) {
			_mapping = REX::OS::CreateFileMappingA(_file, nullptr, access.pageProtection,
			                                       static_cast<REX::OS::DWORD>(a_size >> 32), static_cast<REX::OS::DWORD>(a_size & 0xFFFFFFFF), a_name.c_str());
			if (!_mapping) {
				return false;
			}
			// Another loader may have made the object since the open above; the platform then
			// hands out that object and says so, and its table must not be decoded again.
			_created = REX::OS::GetLastError() != REX::OS::kErrorAlreadyExists;
		}
		// An object made by another loader for a smaller table or file refuses a larger view.
		if (!map_view(a_writable, a_size)) {
			release_view();
			return false;
		}
		return true;
	}

	bool IDDB::MEMORY_MAP::map_private(bool a_writable, std::uint64_t a_size)
	{
		const auto access = AccessFor(a_writable);
		_mapping = REX::OS::CreateFileMappingA(_file, nullptr, access.pageProtection,
		                                       static_cast<REX::OS::DWORD>(a_size >> 32), static_cast<REX::OS::DWORD>(a_size & 0xFFFFFFFF), nullptr);
		if (!_mapping) {
			return fail(STEP::Mapping);
		}
		_created = true;
		if (!map_view(a_writable, a_size)) {
			return fail(STEP::View);
		}
		return true;
	}

	bool IDDB::MEMORY_MAP::map_view(bool a_writable, std::uint64_t a_size)
	{
		_view = REX::OS::MapViewOfFile(_mapping, AccessFor(a_writable).viewAccess, 0, 0, static_cast<REX::OS::SIZE_T>(a_size));
		if (!_view) {
			return false;
		}
		_size = a_size;
		return true;
	}

	bool IDDB::MEMORY_MAP::holds_own_file(bool a_writable) const
	{
		const auto access = AccessFor(a_writable);
		const auto mapping = REX::OS::CreateFileMappingA(_file, nullptr, access.pageProtection,
		                                                 static_cast<REX::OS::DWORD>(_size >> 32), static_cast<REX::OS::DWORD>(_size & 0xFFFFFFFF), nullptr);
		if (!mapping) {
			return false;
		}
		const auto* const own = REX::OS::MapViewOfFile(mapping, access.viewAccess, 0, 0, static_cast<REX::OS::SIZE_T>(_size));
		// The whole file, compared where both lie: the same bytes give the same table,
		// whoever mapped them first.
		const bool same = own && std::memcmp(own, _view, static_cast<std::size_t>(_size)) == 0;
		if (own) {
			REX::OS::UnmapViewOfFile(own);
		}
		REX::OS::CloseHandle(mapping);
		return same;
	}

	void IDDB::MEMORY_MAP::release_view() noexcept
	{
		if (_view) {
			REX::OS::UnmapViewOfFile(_view);
			_view = nullptr;
		}
		if (_mapping) {
			REX::OS::CloseHandle(_mapping);
			_mapping = nullptr;
		}
		_size = 0;
		_created = false;
		_shared = false;
	}

	bool IDDB::MEMORY_MAP::fail(STEP a_step) noexcept
	{
		// Taken before anything is released, so that the number is the failing call's.
		const auto error = REX::OS::GetLastError();
		close();
		_failedStep = a_step;
		_failedError = error;
		return false;
	}

	void IDDB::MEMORY_MAP::close() noexcept
	{
		release_view();
		if (_file != REX::OS::kInvalidHandleValue) {
			REX::OS::CloseHandle(_file);
			_file = REX::OS::kInvalidHandleValue;
		}
		_failedStep = STEP::None;
		_failedError = 0;
	}
} // namespace REL
