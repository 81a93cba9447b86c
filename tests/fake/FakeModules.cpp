#include "FakeModules.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace FakeOS
{
	namespace
	{
		struct Module
		{
			std::string                  path;
			std::map<std::string, void*> exports;
		};

		struct State
		{
			std::mutex                                                     lock;
			std::map<HMODULE, Module>                                      modules;
			HMODULE                                                        processModule{ nullptr };
			HMODULE                                                        thisImageBase{ nullptr };
			std::map<std::string, std::map<std::string, std::string>>      versions;  // path -> sub-block -> text
			std::vector<MessageBoxShown>                                   boxes;
			std::vector<UINT>                                              terminations;
		};

		State& GetState()
		{
			static State state;
			return state;
		}

		const bool registered = [] {
			RegisterReset([] {
				auto& s = GetState();
				const std::scoped_lock guard(s.lock);
				s.modules.clear();
				s.processModule = nullptr;
				s.thisImageBase = nullptr;
				s.versions.clear();
				s.boxes.clear();
				s.terminations.clear();
			});
			return true;
		}();

		// The version block as the fake hands it out: "QSVI", then pairs of
		// zero-terminated sub-block path and value.
		constexpr char kBlobMagic[] = "QSVI";

		std::string SerializeVersion(const std::map<std::string, std::string>& a_entries)
		{
			std::string blob(kBlobMagic, 4);
			for (const auto& [key, value] : a_entries) {
				blob += key;
				blob.push_back('\0');
				blob += value;
				blob.push_back('\0');
			}
			blob.push_back('\0');  // an empty key ends the list
			return blob;
		}

		template <class Char>
		REX::OS::DWORD CopyModulePath(HMODULE a_module, Char* a_buffer, REX::OS::DWORD a_size)
		{
			auto& s = GetState();
			const std::scoped_lock guard(s.lock);
			const auto it = s.modules.find(a_module);
			if (it == s.modules.end() || it->second.path.empty()) {
				SetLastError(126);  // ERROR_MOD_NOT_FOUND
				return 0;
			}
			if (a_size == 0) {
				SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
				return 0;
			}
			const auto& path = it->second.path;
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
	}

	void AddModule(HMODULE a_handle, std::string a_path)
	{
		auto& s = GetState();
		const std::scoped_lock guard(s.lock);
		s.modules[a_handle].path = std::move(a_path);
	}

	void SetExport(HMODULE a_handle, std::string a_name, void* a_address)
	{
		auto& s = GetState();
		const std::scoped_lock guard(s.lock);
		s.modules[a_handle].exports[std::move(a_name)] = a_address;
	}

	void SetProcessModule(HMODULE a_handle)
	{
		auto& s = GetState();
		const std::scoped_lock guard(s.lock);
		s.processModule = a_handle;
	}

	void SetThisImageBase(HMODULE a_handle)
	{
		auto& s = GetState();
		const std::scoped_lock guard(s.lock);
		s.thisImageBase = a_handle;
	}

	void SetProductVersion(std::string a_path, std::string a_version, std::string a_block)
	{
		auto& s = GetState();
		const std::scoped_lock guard(s.lock);
		s.versions[std::move(a_path)]["\\StringFileInfo\\" + a_block + "\\ProductVersion"] = std::move(a_version);
	}

	const std::vector<MessageBoxShown>& MessageBoxes() { return GetState().boxes; }
	const std::vector<UINT>&            Terminations() { return GetState().terminations; }
}

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
		auto& s = GetState();
		const std::scoped_lock guard(s.lock);
		return s.processModule;
	}

	FARPROC GetProcAddress(HMODULE a_module, const char* a_procName)
	{
		CountCall("GetProcAddress");
		if (ConsumeFailure("GetProcAddress")) {
			return nullptr;
		}
		auto& s = GetState();
		const std::scoped_lock guard(s.lock);
		const auto module = s.modules.find(a_module);
		if (module == s.modules.end()) {
			FakeOS::SetLastError(126);
			return nullptr;
		}
		const auto symbol = module->second.exports.find(a_procName);
		if (symbol == module->second.exports.end()) {
			FakeOS::SetLastError(127);  // ERROR_PROC_NOT_FOUND
			return nullptr;
		}
		return reinterpret_cast<FARPROC>(symbol->second);
	}

	HMODULE GetThisImageBase() noexcept
	{
		auto& s = GetState();
		const std::scoped_lock guard(s.lock);
		return s.thisImageBase;
	}

	DWORD GetFileVersionInfoSizeA(const char* a_fileName, DWORD* a_handle)
	{
		CountCall("GetFileVersionInfoSizeA");
		if (a_handle) {
			*a_handle = 0;
		}
		if (ConsumeFailure("GetFileVersionInfoSizeA")) {
			return 0;
		}
		auto& s = GetState();
		const std::scoped_lock guard(s.lock);
		const auto it = s.versions.find(a_fileName);
		if (it == s.versions.end()) {
			FakeOS::SetLastError(1813);  // ERROR_RESOURCE_TYPE_NOT_FOUND
			return 0;
		}
		return static_cast<DWORD>(FakeOS::SerializeVersion(it->second).size());
	}

	bool GetFileVersionInfoA(const char* a_fileName, DWORD, DWORD a_size, void* a_data)
	{
		CountCall("GetFileVersionInfoA");
		if (ConsumeFailure("GetFileVersionInfoA")) {
			return false;
		}
		auto& s = GetState();
		const std::scoped_lock guard(s.lock);
		const auto it = s.versions.find(a_fileName);
		if (it == s.versions.end()) {
			FakeOS::SetLastError(1813);
			return false;
		}
		const auto blob = FakeOS::SerializeVersion(it->second);
		std::memcpy(a_data, blob.data(), std::min<std::size_t>(blob.size(), a_size));
		return blob.size() <= a_size;
	}

	bool VerQueryValueA(const void* a_block, const char* a_subBlock, void** a_buffer, UINT* a_length)
	{
		CountCall("VerQueryValueA");
		if (ConsumeFailure("VerQueryValueA")) {
			return false;
		}
		const auto* cursor = static_cast<const char*>(a_block);
		if (std::memcmp(cursor, FakeOS::kBlobMagic, 4) != 0) {
			return false;
		}
		cursor += 4;
		// The blob ends where a key would start with an empty name.
		while (*cursor != '\0') {
			const std::string_view key{ cursor };
			cursor += key.size() + 1;
			const std::string_view value{ cursor };
			if (key == a_subBlock) {
				// Windows counts the terminating zero in a string value's length.
				*a_buffer = const_cast<char*>(cursor);
				*a_length = static_cast<UINT>(value.size() + 1);
				return true;
			}
			cursor += value.size() + 1;
		}
		return false;
	}

	int MessageBoxA(HWND, const char* a_text, const char* a_caption, UINT a_type)
	{
		CountCall("MessageBoxA");
		auto& s = GetState();
		const std::scoped_lock guard(s.lock);
		const std::string text = a_text ? a_text : "";
		const std::string caption = a_caption ? a_caption : "";
		s.boxes.push_back({ std::wstring(text.begin(), text.end()), std::wstring(caption.begin(), caption.end()), a_caption == nullptr, false, a_type });
		return 1;  // IDOK
	}

	int MessageBoxW(HWND, const wchar_t* a_text, const wchar_t* a_caption, UINT a_type)
	{
		CountCall("MessageBoxW");
		auto& s = GetState();
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
			auto& s = GetState();
			const std::scoped_lock guard(s.lock);
			s.terminations.push_back(a_exitCode);
		}
		throw FakeOS::ProcessTerminated{ a_exitCode };
	}
}
