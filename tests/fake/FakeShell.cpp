#include "FakeShell.h"

#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>

namespace FakeOS
{
	namespace
	{
		// HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND): what the shell reports for a folder
		// that does not exist.
		constexpr REX::OS::HRESULT kFolderNotFound = static_cast<REX::OS::HRESULT>(0x80070002);

		struct Data
		{
			std::optional<std::wstring>                 documents;
			bool                                        nullOnSuccess{ false };
			std::map<void*, std::unique_ptr<wchar_t[]>> taskMemory;
		};

		struct State : Data
		{
			std::mutex lock;
		};

		State& GetState()
		{
			return SharedState<State, Data>();
		}

		[[nodiscard]] bool SameGuid(const REX::OS::GUID& a_left, const REX::OS::GUID& a_right) noexcept
		{
			return std::memcmp(&a_left, &a_right, sizeof(REX::OS::GUID)) == 0;
		}
	} // namespace

	void SetDocumentsFolder(std::optional<std::wstring> a_path)
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.documents = std::move(a_path);
	}

	void SetDocumentsFolderNullOnSuccess(const bool a_null)
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.nullOnSuccess = a_null;
	}

	int OutstandingTaskMemory()
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		return static_cast<int>(s.taskMemory.size());
	}
} // namespace FakeOS

namespace REX::OS
{
	HRESULT SHGetKnownFolderPath(const GUID& a_folderId, DWORD, HANDLE, wchar_t** a_path)
	{
		FakeOS::CountCall("SHGetKnownFolderPath");
		auto&                  s = FakeOS::GetState();
		const std::scoped_lock guard(s.lock);
		*a_path = nullptr;
		if (FakeOS::ConsumeFailure("SHGetKnownFolderPath") || !s.documents || !FakeOS::SameGuid(a_folderId, kFolderIdDocuments)) {
			return FakeOS::kFolderNotFound;
		}
		if (s.nullOnSuccess) {
			return 0;
		}
		auto text = std::make_unique<wchar_t[]>(s.documents->size() + 1);
		std::wmemcpy(text.get(), s.documents->c_str(), s.documents->size() + 1);
		*a_path = text.get();
		s.taskMemory.emplace(text.get(), std::move(text));
		return 0;
	}

	void CoTaskMemFree(void* a_memory)
	{
		FakeOS::CountCall("CoTaskMemFree");
		auto&                  s = FakeOS::GetState();
		const std::scoped_lock guard(s.lock);
		s.taskMemory.erase(a_memory);
	}
} // namespace REX::OS
