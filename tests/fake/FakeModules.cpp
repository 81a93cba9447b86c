#include "FakeModules.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>

#include "REX/Text.h"

namespace FakeOS
{
	namespace
	{
		struct Module
		{
			std::string                  path;
			std::map<std::string, void*> exports;
		};

		struct Data
		{
			std::map<HMODULE, Module>                                 modules;
			HMODULE                                                   processModule{ nullptr };
			HMODULE                                                   thisImageBase{ nullptr };
			std::map<std::string, std::map<std::string, std::string>> versions; // path -> sub-block -> text
			std::vector<MessageBoxShown>                              boxes;
			std::vector<UINT>                                         terminations;
		};

		struct State : Data
		{
			std::mutex lock;
		};

		State& GetState()
		{
			return SharedState<State, Data>();
		}

		// The version block as the fake hands it out: a magic word ("QSVI" for the narrow
		// calls, "QSVW" for the wide ones), then pairs of zero-terminated sub-block path and
		// value in that width; an empty key ends the list.
		template <class Char>
		constexpr std::basic_string_view<Char> BlobMagic()
		{
			if constexpr (sizeof(Char) == 1) {
				return "QSVI";
			} else {
				return L"QSVW";
			}
		}

		template <class Char>
		std::basic_string<Char> Widen(const std::string& a_text)
		{
			return std::basic_string<Char>(a_text.begin(), a_text.end());
		}

		template <class Char>
		std::string SerializeVersion(const std::map<std::string, std::string>& a_entries)
		{
			std::basic_string<Char> blob{ BlobMagic<Char>() };
			for (const auto& [key, value] : a_entries) {
				blob += Widen<Char>(key);
				blob.push_back(Char{ 0 });
				blob += Widen<Char>(value);
				blob.push_back(Char{ 0 });
			}
			blob.push_back(Char{ 0 });
			return std::string(reinterpret_cast<const char*>(blob.data()), blob.size() * sizeof(Char));
		}

		// Version resources are registered under UTF-8 paths; the wide calls look them up
		// by the same text.
		std::string PathKey(const char* a_fileName)
		{
			return a_fileName ? a_fileName : "";
		}
		std::string PathKey(const wchar_t* a_fileName)
		{
			return REX::Utf8FromWide(a_fileName ? a_fileName : L"");
		}

		template <class Char>
		REX::OS::DWORD VersionInfoSize(const Char* a_fileName, REX::OS::DWORD* a_handle)
		{
			if (a_handle) {
				*a_handle = 0;
			}
			auto&                  s = GetState();
			const std::scoped_lock guard(s.lock);
			const auto             it = s.versions.find(PathKey(a_fileName));
			if (it == s.versions.end()) {
				SetLastError(1813); // ERROR_RESOURCE_TYPE_NOT_FOUND
				return 0;
			}
			return static_cast<REX::OS::DWORD>(SerializeVersion<Char>(it->second).size());
		}

		template <class Char>
		bool VersionInfo(const Char* a_fileName, REX::OS::DWORD a_size, void* a_data)
		{
			auto&                  s = GetState();
			const std::scoped_lock guard(s.lock);
			const auto             it = s.versions.find(PathKey(a_fileName));
			if (it == s.versions.end()) {
				SetLastError(1813);
				return false;
			}
			const auto blob = SerializeVersion<Char>(it->second);
			std::memcpy(a_data, blob.data(), std::min<std::size_t>(blob.size(), a_size));
			return blob.size() <= a_size;
		}

		template <class Char>
		bool QueryValue(const void* a_block, const Char* a_subBlock, void** a_buffer, REX::OS::UINT* a_length)
		{
			const auto  magic = BlobMagic<Char>();
			const auto* cursor = static_cast<const Char*>(a_block);
			if (std::basic_string_view<Char>{ cursor, magic.size() } != magic) {
				return false;
			}
			cursor += magic.size();
			const std::basic_string_view<Char> wanted{ a_subBlock };
			// The blob ends where a key would start with an empty name.
			while (*cursor != Char{ 0 }) {
				const std::basic_string_view<Char> key{ cursor };
				cursor += key.size() + 1;
				const std::basic_string_view<Char> value{ cursor };
				if (key == wanted) {
					// Windows counts the terminating zero in a string value's length.
					*a_buffer = const_cast<Char*>(cursor);
					*a_length = static_cast<REX::OS::UINT>(value.size() + 1);
					return true;
				}
				cursor += value.size() + 1;
			}
			return false;
		}

		template <class Char>
		REX::OS::DWORD CopyModulePath(HMODULE a_module, Char* a_buffer, REX::OS::DWORD a_size)
		{
			auto&                  s = GetState();
			const std::scoped_lock guard(s.lock);
			const auto             it = s.modules.find(a_module);
			if (it == s.modules.end() || it->second.path.empty()) {
				SetLastError(126); // ERROR_MOD_NOT_FOUND
				return 0;
			}
			if (a_size == 0) {
				SetLastError(122); // ERROR_INSUFFICIENT_BUFFER
				return 0;
			}
			// Paths are registered as UTF-8; the wide call hands out their UTF-16 form.
			const auto path = [&] {
				if constexpr (sizeof(Char) == 1) {
					return it->second.path;
				} else {
					return REX::WideFromUtf8(it->second.path);
				}
			}();
			// Like Windows: a path that does not fit is cut to size - 1 characters,
			// terminated, and the full buffer size is returned.
			const auto copied = std::min<std::size_t>(path.size(), a_size - 1);
			std::copy_n(path.begin(), copied, a_buffer);
			a_buffer[copied] = Char{ 0 };
			if (path.size() >= a_size) {
				SetLastError(122);
				return a_size;
			}
			return static_cast<REX::OS::DWORD>(copied);
		}
	} // namespace

	void AddModule(HMODULE a_handle, std::string a_path)
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.modules[a_handle].path = std::move(a_path);
	}

	void SetExport(HMODULE a_handle, std::string a_name, void* a_address)
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.modules[a_handle].exports[std::move(a_name)] = a_address;
	}

	void SetProcessModule(HMODULE a_handle)
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.processModule = a_handle;
	}

	void SetThisImageBase(HMODULE a_handle)
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.thisImageBase = a_handle;
	}

	void SetProductVersion(std::string a_path, std::string a_version, std::string a_block)
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.versions[std::move(a_path)]["\\StringFileInfo\\" + a_block + "\\ProductVersion"] = std::move(a_version);
	}

	const std::vector<MessageBoxShown>& MessageBoxes()
	{
		return GetState().boxes;
	}
	const std::vector<UINT>& Terminations()
	{
		return GetState().terminations;
	}
} // namespace FakeOS

namespace REX::OS
{
	using FakeOS::ConsumeFailure;
	using FakeOS::CountCall;
	using FakeOS::GetState;

	DWORD GetModuleFileNameA(HMODULE a_module, char* a_fileName, DWORD a_size)
	{
		CountCall("GetModuleFileNameA");
		if (ConsumeFailure("GetModuleFileNameA")) {
			return 0;
		}
		return FakeOS::CopyModulePath(a_module, a_fileName, a_size);
	}

	DWORD GetModuleFileNameW(HMODULE a_module, wchar_t* a_fileName, DWORD a_size)
	{
		CountCall("GetModuleFileNameW");
		if (ConsumeFailure("GetModuleFileNameW")) {
			return 0;
		}
		return FakeOS::CopyModulePath(a_module, a_fileName, a_size);
	}

	HMODULE GetModuleHandleA(const char* a_moduleName)
	{
		CountCall("GetModuleHandleA");
		if (ConsumeFailure("GetModuleHandleA") || a_moduleName != nullptr) {
			return nullptr;
		}
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		return s.processModule;
	}

	FARPROC GetProcAddress(HMODULE a_module, const char* a_procName)
	{
		CountCall("GetProcAddress");
		if (ConsumeFailure("GetProcAddress")) {
			return nullptr;
		}
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		const auto             module = s.modules.find(a_module);
		if (module == s.modules.end()) {
			FakeOS::SetLastError(126);
			return nullptr;
		}
		const auto symbol = module->second.exports.find(a_procName);
		if (symbol == module->second.exports.end()) {
			FakeOS::SetLastError(127); // ERROR_PROC_NOT_FOUND
			return nullptr;
		}
		return reinterpret_cast<FARPROC>(symbol->second);
	}

	HMODULE GetThisImageBase() noexcept
	{
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		return s.thisImageBase;
	}

	DWORD GetFileVersionInfoSizeA(const char* a_fileName, DWORD* a_handle)
	{
		CountCall("GetFileVersionInfoSizeA");
		if (ConsumeFailure("GetFileVersionInfoSizeA")) {
			return 0;
		}
		return FakeOS::VersionInfoSize(a_fileName, a_handle);
	}

	DWORD GetFileVersionInfoSizeW(const wchar_t* a_fileName, DWORD* a_handle)
	{
		CountCall("GetFileVersionInfoSizeW");
		if (ConsumeFailure("GetFileVersionInfoSizeW")) {
			return 0;
		}
		return FakeOS::VersionInfoSize(a_fileName, a_handle);
	}

	bool GetFileVersionInfoA(const char* a_fileName, DWORD, DWORD a_size, void* a_data)
	{
		CountCall("GetFileVersionInfoA");
		if (ConsumeFailure("GetFileVersionInfoA")) {
			return false;
		}
		return FakeOS::VersionInfo(a_fileName, a_size, a_data);
	}

	bool GetFileVersionInfoW(const wchar_t* a_fileName, DWORD, DWORD a_size, void* a_data)
	{
		CountCall("GetFileVersionInfoW");
		if (ConsumeFailure("GetFileVersionInfoW")) {
			return false;
		}
		return FakeOS::VersionInfo(a_fileName, a_size, a_data);
	}

	bool VerQueryValueA(const void* a_block, const char* a_subBlock, void** a_buffer, UINT* a_length)
	{
		CountCall("VerQueryValueA");
		if (ConsumeFailure("VerQueryValueA")) {
			return false;
		}
		return FakeOS::QueryValue(a_block, a_subBlock, a_buffer, a_length);
	}

	bool VerQueryValueW(const void* a_block, const wchar_t* a_subBlock, void** a_buffer, UINT* a_length)
	{
		CountCall("VerQueryValueW");
		if (ConsumeFailure("VerQueryValueW")) {
			return false;
		}
		return FakeOS::QueryValue(a_block, a_subBlock, a_buffer, a_length);
	}

	int MessageBoxA(HWND, const char* a_text, const char* a_caption, UINT a_type)
	{
		CountCall("MessageBoxA");
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		const std::string      text = a_text ? a_text : "";
		const std::string      caption = a_caption ? a_caption : "";
		s.boxes.push_back({ std::wstring(text.begin(), text.end()), std::wstring(caption.begin(), caption.end()), a_caption == nullptr, false, a_type });
		return 1; // IDOK
	}

	int MessageBoxW(HWND, const wchar_t* a_text, const wchar_t* a_caption, UINT a_type)
	{
		CountCall("MessageBoxW");
		auto&                  s = GetState();
		const std::scoped_lock guard(s.lock);
		s.boxes.push_back({ a_text ? a_text : L"", a_caption ? a_caption : L"", a_caption == nullptr, true, a_type });
		return 1;
	}

	HANDLE GetCurrentProcess()
	{
		CountCall("GetCurrentProcess");
		return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
	}

	bool TerminateProcess(HANDLE, UINT a_exitCode)
	{
		CountCall("TerminateProcess");
		{
			auto&                  s = GetState();
			const std::scoped_lock guard(s.lock);
			s.terminations.push_back(a_exitCode);
		}
		throw FakeOS::ProcessTerminated{ a_exitCode };
	}
} // namespace REX::OS
