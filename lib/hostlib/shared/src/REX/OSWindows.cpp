// The Windows side of the platform call layer: each function hands its arguments to
// the Windows function of the same name. The layer's records mirror the Windows
// ones, so pointers to them are passed through unchanged.

#include "REX/OS.h"

#include <windows.h>

#include <bcrypt.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace REX::OS
{
	static_assert(sizeof(SYSTEM_INFO) == sizeof(::SYSTEM_INFO));
	static_assert(sizeof(MEMORY_BASIC_INFORMATION) == sizeof(::MEMORY_BASIC_INFORMATION));
	static_assert(sizeof(GUID) == sizeof(::GUID));
	static_assert(sizeof(LARGE_INTEGER) == sizeof(::LARGE_INTEGER));
	static_assert(sizeof(DWORD) == sizeof(::DWORD) && sizeof(ULONG) == sizeof(::ULONG));

	NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* a_algorithm, const wchar_t* a_algorithmId, const wchar_t* a_implementation, ULONG a_flags)
	{
		return ::BCryptOpenAlgorithmProvider(a_algorithm, a_algorithmId, a_implementation, a_flags);
	}

	NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE a_algorithm, BCRYPT_HASH_HANDLE* a_hash, UCHAR* a_hashObject, ULONG a_hashObjectSize, UCHAR* a_secret, ULONG a_secretSize, ULONG a_flags)
	{
		return ::BCryptCreateHash(a_algorithm, a_hash, a_hashObject, a_hashObjectSize, a_secret, a_secretSize, a_flags);
	}

	NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE a_hash, UCHAR* a_input, ULONG a_inputSize, ULONG a_flags)
	{
		return ::BCryptHashData(a_hash, a_input, a_inputSize, a_flags);
	}

	NTSTATUS BCryptGetProperty(BCRYPT_HANDLE a_object, const wchar_t* a_property, UCHAR* a_output, ULONG a_outputSize, ULONG* a_result, ULONG a_flags)
	{
		return ::BCryptGetProperty(a_object, a_property, a_output, a_outputSize, reinterpret_cast<::ULONG*>(a_result), a_flags);
	}

	NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE a_hash, UCHAR* a_output, ULONG a_outputSize, ULONG a_flags)
	{
		return ::BCryptFinishHash(a_hash, a_output, a_outputSize, a_flags);
	}

	NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE a_hash)
	{
		return ::BCryptDestroyHash(a_hash);
	}

	NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE a_algorithm, ULONG a_flags)
	{
		return ::BCryptCloseAlgorithmProvider(a_algorithm, a_flags);
	}

	bool CloseHandle(HANDLE a_handle)
	{
		return ::CloseHandle(a_handle) != FALSE;
	}

	void CoTaskMemFree(void* a_memory)
	{
		::CoTaskMemFree(a_memory);
	}

	HANDLE CreateFileMappingA(HANDLE a_file, SECURITY_ATTRIBUTES* a_attributes, DWORD a_protect, DWORD a_maximumSizeHigh, DWORD a_maximumSizeLow, const char* a_name)
	{
		return ::CreateFileMappingA(a_file, reinterpret_cast<::LPSECURITY_ATTRIBUTES>(a_attributes), a_protect, a_maximumSizeHigh, a_maximumSizeLow, a_name);
	}

	HANDLE CreateFileW(const wchar_t* a_fileName, DWORD a_desiredAccess, DWORD a_shareMode, SECURITY_ATTRIBUTES* a_attributes, DWORD a_creationDisposition, DWORD a_flagsAndAttributes, HANDLE a_templateFile)
	{
		return ::CreateFileW(a_fileName, a_desiredAccess, a_shareMode, reinterpret_cast<::LPSECURITY_ATTRIBUTES>(a_attributes), a_creationDisposition, a_flagsAndAttributes, a_templateFile);
	}

	HANDLE GetCurrentProcess()
	{
		return ::GetCurrentProcess();
	}

	bool GetFileSizeEx(HANDLE a_file, LARGE_INTEGER* a_size)
	{
		return ::GetFileSizeEx(a_file, reinterpret_cast<::PLARGE_INTEGER>(a_size)) != FALSE;
	}

	bool GetFileVersionInfoA(const char* a_fileName, DWORD a_handle, DWORD a_size, void* a_data)
	{
		return ::GetFileVersionInfoA(a_fileName, a_handle, a_size, a_data) != FALSE;
	}

	DWORD GetFileVersionInfoSizeA(const char* a_fileName, DWORD* a_handle)
	{
		return ::GetFileVersionInfoSizeA(a_fileName, reinterpret_cast<::LPDWORD>(a_handle));
	}

	bool GetFileVersionInfoW(const wchar_t* a_fileName, DWORD a_handle, DWORD a_size, void* a_data)
	{
		return ::GetFileVersionInfoW(a_fileName, a_handle, a_size, a_data) != FALSE;
	}

	DWORD GetFileVersionInfoSizeW(const wchar_t* a_fileName, DWORD* a_handle)
	{
		return ::GetFileVersionInfoSizeW(a_fileName, reinterpret_cast<::LPDWORD>(a_handle));
	}

	DWORD GetLastError()
	{
		return ::GetLastError();
	}

	DWORD GetModuleFileNameA(HMODULE a_module, char* a_fileName, DWORD a_size)
	{
		return ::GetModuleFileNameA(static_cast<::HMODULE>(a_module), a_fileName, a_size);
	}

	DWORD GetModuleFileNameW(HMODULE a_module, wchar_t* a_fileName, DWORD a_size)
	{
		return ::GetModuleFileNameW(static_cast<::HMODULE>(a_module), a_fileName, a_size);
	}

	HMODULE GetModuleHandleA(const char* a_moduleName)
	{
		return ::GetModuleHandleA(a_moduleName);
	}

	FARPROC GetProcAddress(HMODULE a_module, const char* a_procName)
	{
		return reinterpret_cast<FARPROC>(::GetProcAddress(static_cast<::HMODULE>(a_module), a_procName));
	}

	void GetSystemInfo(SYSTEM_INFO* a_systemInfo)
	{
		::GetSystemInfo(reinterpret_cast<::LPSYSTEM_INFO>(a_systemInfo));
	}

	bool IsDebuggerPresent()
	{
		return ::IsDebuggerPresent() != FALSE;
	}

	void* MapViewOfFile(HANDLE a_mapping, DWORD a_desiredAccess, DWORD a_offsetHigh, DWORD a_offsetLow, SIZE_T a_size)
	{
		return ::MapViewOfFile(a_mapping, a_desiredAccess, a_offsetHigh, a_offsetLow, a_size);
	}

	int MessageBoxA(HWND a_owner, const char* a_text, const char* a_caption, UINT a_type)
	{
		return ::MessageBoxA(static_cast<::HWND>(a_owner), a_text, a_caption, a_type);
	}

	int MessageBoxW(HWND a_owner, const wchar_t* a_text, const wchar_t* a_caption, UINT a_type)
	{
		return ::MessageBoxW(static_cast<::HWND>(a_owner), a_text, a_caption, a_type);
	}

	HANDLE OpenFileMappingA(DWORD a_desiredAccess, bool a_inheritHandle, const char* a_name)
	{
		return ::OpenFileMappingA(a_desiredAccess, a_inheritHandle ? TRUE : FALSE, a_name);
	}

	void OutputDebugStringW(const wchar_t* a_outputString)
	{
		::OutputDebugStringW(a_outputString);
	}

	HRESULT SHGetKnownFolderPath(const GUID& a_folderId, DWORD a_flags, HANDLE a_token, wchar_t** a_path)
	{
		return ::SHGetKnownFolderPath(reinterpret_cast<const ::GUID&>(a_folderId), a_flags, a_token, a_path);
	}

	bool TerminateProcess(HANDLE a_process, UINT a_exitCode)
	{
		return ::TerminateProcess(a_process, a_exitCode) != FALSE;
	}

	bool UnmapViewOfFile(const void* a_baseAddress)
	{
		return ::UnmapViewOfFile(a_baseAddress) != FALSE;
	}

	bool VerQueryValueA(const void* a_block, const char* a_subBlock, void** a_buffer, UINT* a_length)
	{
		return ::VerQueryValueA(a_block, a_subBlock, a_buffer, reinterpret_cast<::PUINT>(a_length)) != FALSE;
	}

	bool VerQueryValueW(const void* a_block, const wchar_t* a_subBlock, void** a_buffer, UINT* a_length)
	{
		return ::VerQueryValueW(a_block, a_subBlock, a_buffer, reinterpret_cast<::PUINT>(a_length)) != FALSE;
	}

	void* VirtualAlloc(void* a_address, SIZE_T a_size, DWORD a_allocationType, DWORD a_protect)
	{
		return ::VirtualAlloc(a_address, a_size, a_allocationType, a_protect);
	}

	bool VirtualFree(void* a_address, SIZE_T a_size, DWORD a_freeType)
	{
		return ::VirtualFree(a_address, a_size, a_freeType) != FALSE;
	}

	SIZE_T VirtualQuery(const void* a_address, MEMORY_BASIC_INFORMATION* a_buffer, SIZE_T a_length)
	{
		return ::VirtualQuery(a_address, reinterpret_cast<::PMEMORY_BASIC_INFORMATION>(a_buffer), a_length);
	}

	HMODULE GetThisImageBase() noexcept
	{
		return &__ImageBase;
	}
} // namespace REX::OS
