#include "REL/IDDB.h"

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
			return false;
		}
		return map(a_writable, a_name, a_size);
	}

	bool IDDB::MEMORY_MAP::map(bool a_writable, std::string_view a_name, std::uint64_t a_size)
	{
		const auto access = AccessFor(a_writable);
		auto       size = a_size;
		if (size == static_cast<std::uint64_t>(-1)) {
			REX::OS::LARGE_INTEGER fileSize{};
			if (_file == REX::OS::kInvalidHandleValue || !REX::OS::GetFileSizeEx(_file, &fileSize)) {
				close();
				return false;
			}
			size = static_cast<std::uint64_t>(fileSize.QuadPart);
		}

		const std::string name{ a_name };
		_mapping = REX::OS::OpenFileMappingA(access.viewAccess, false, name.c_str());
		if (!_mapping) {
			_mapping = REX::OS::CreateFileMappingA(_file, nullptr, access.pageProtection,
			                                       static_cast<REX::OS::DWORD>(size >> 32), static_cast<REX::OS::DWORD>(size & 0xFFFFFFFF), name.c_str());
			if (!_mapping) {
				close();
				return false;
			}
			// Another loader may have made the object since the open above; the platform then
			// hands out that object and says so, and its table must not be decoded again.
			_created = REX::OS::GetLastError() != REX::OS::kErrorAlreadyExists;
		}

		_view = REX::OS::MapViewOfFile(_mapping, access.viewAccess, 0, 0, static_cast<REX::OS::SIZE_T>(size));
		if (!_view) {
			close();
			return false;
		}
		_size = size;
		return true;
	}

	void IDDB::MEMORY_MAP::close() noexcept
	{
		if (_view) {
			REX::OS::UnmapViewOfFile(_view);
			_view = nullptr;
		}
		if (_mapping) {
			REX::OS::CloseHandle(_mapping);
			_mapping = nullptr;
		}
		if (_file != REX::OS::kInvalidHandleValue) {
			REX::OS::CloseHandle(_file);
			_file = REX::OS::kInvalidHandleValue;
		}
		_size = 0;
		_created = false;
	}
} // namespace REL
