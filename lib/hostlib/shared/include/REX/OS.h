#pragma once

// The host library's one door to the operating system.
//
// Every Windows call that the host library makes goes through a function here that
// carries the Windows function's own name and arguments and returns its result. The
// layer adds nothing, except that its true/false results are plain bools and the
// inherit flag of OpenFileMappingA is a bool. Keeping the calls behind this seam lets
// the library's logic run against a scripted replacement on a machine without Windows.
//
// The types below mirror the Windows records byte for byte, so that the Windows
// implementation can hand them straight through, but this header never includes
// <windows.h>. Constants use their own names (kMemFree, not MEM_FREE) so that a file
// that also includes <windows.h> is not broken by its macros.

#include <cstddef>
#include <cstdint>

namespace REX::OS
{
	using BOOL = std::int32_t;
	using BYTE = std::uint8_t;
	using WORD = std::uint16_t;
	using DWORD = std::uint32_t;
	using LONG = std::int32_t;
	using ULONG = std::uint32_t;
	using UINT = std::uint32_t;
	using UCHAR = std::uint8_t;
	using SIZE_T = std::size_t;
	using NTSTATUS = std::int32_t;
	using HRESULT = std::int32_t;

	using HANDLE = void*;
	using HMODULE = void*;
	using HWND = void*;
	using BCRYPT_HANDLE = void*;
	using BCRYPT_ALG_HANDLE = void*;
	using BCRYPT_HASH_HANDLE = void*;
	using FARPROC = std::intptr_t (*)();

	struct GUID
	{
		std::uint32_t Data1;
		std::uint16_t Data2;
		std::uint16_t Data3;
		std::uint8_t  Data4[8];
	};
	static_assert(sizeof(GUID) == 16);

	struct LARGE_INTEGER
	{
		std::int64_t QuadPart;
	};

	struct SECURITY_ATTRIBUTES;

	struct SYSTEM_INFO
	{
		WORD           wProcessorArchitecture;
		WORD           wReserved;
		DWORD          dwPageSize;
		void*          lpMinimumApplicationAddress;
		void*          lpMaximumApplicationAddress;
		std::uintptr_t dwActiveProcessorMask;
		DWORD          dwNumberOfProcessors;
		DWORD          dwProcessorType;
		DWORD          dwAllocationGranularity;
		WORD           wProcessorLevel;
		WORD           wProcessorRevision;
	};
	static_assert(sizeof(SYSTEM_INFO) == 48);

	struct MEMORY_BASIC_INFORMATION
	{
		void*  BaseAddress;
		void*  AllocationBase;
		DWORD  AllocationProtect;
		WORD   PartitionId;
		SIZE_T RegionSize;
		DWORD  State;
		DWORD  Protect;
		DWORD  Type;
	};
	static_assert(sizeof(MEMORY_BASIC_INFORMATION) == 48);

	// Values of the Windows constants that the library passes or compares.
	inline const HANDLE kInvalidHandleValue = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

	inline constexpr DWORD kGenericRead = 0x80000000;
	inline constexpr DWORD kGenericWrite = 0x40000000;
	inline constexpr DWORD kFileShareRead = 0x1;
	inline constexpr DWORD kFileShareWrite = 0x2;
	inline constexpr DWORD kOpenExisting = 3;
	inline constexpr DWORD kFileAttributeReadOnly = 0x1;

	inline constexpr DWORD kPageReadOnly = 0x02;
	inline constexpr DWORD kPageReadWrite = 0x04;
	inline constexpr DWORD kPageExecuteReadWrite = 0x40;
	inline constexpr DWORD kFileMapWrite = 0x2;
	inline constexpr DWORD kFileMapRead = 0x4;

	inline constexpr DWORD kMemCommit = 0x1000;
	inline constexpr DWORD kMemReserve = 0x2000;
	inline constexpr DWORD kMemRelease = 0x8000;
	inline constexpr DWORD kMemFree = 0x10000;

	inline constexpr UINT kMbOk = 0;

	inline constexpr DWORD kErrorFileNotFound = 2;
	inline constexpr DWORD kErrorPathNotFound = 3;
	inline constexpr DWORD kErrorAlreadyExists = 183;

	// {FDD39AD0-238F-46AF-ADB4-6C85480369C7}
	inline constexpr GUID kFolderIdDocuments{ 0xFDD39AD0, 0x238F, 0x46AF, { 0xAD, 0xB4, 0x6C, 0x85, 0x48, 0x03, 0x69, 0xC7 } };

	NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* a_algorithm, const wchar_t* a_algorithmId, const wchar_t* a_implementation, ULONG a_flags);
	NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE a_algorithm, BCRYPT_HASH_HANDLE* a_hash, UCHAR* a_hashObject, ULONG a_hashObjectSize, UCHAR* a_secret, ULONG a_secretSize, ULONG a_flags);
	NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE a_hash, UCHAR* a_input, ULONG a_inputSize, ULONG a_flags);
	NTSTATUS BCryptGetProperty(BCRYPT_HANDLE a_object, const wchar_t* a_property, UCHAR* a_output, ULONG a_outputSize, ULONG* a_result, ULONG a_flags);
	NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE a_hash, UCHAR* a_output, ULONG a_outputSize, ULONG a_flags);
	NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE a_hash);
	NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE a_algorithm, ULONG a_flags);
	bool     CloseHandle(HANDLE a_handle);
	void     CoTaskMemFree(void* a_memory);
	HANDLE   CreateFileMappingA(HANDLE a_file, SECURITY_ATTRIBUTES* a_attributes, DWORD a_protect, DWORD a_maximumSizeHigh, DWORD a_maximumSizeLow, const char* a_name);
	HANDLE   CreateFileW(const wchar_t* a_fileName, DWORD a_desiredAccess, DWORD a_shareMode, SECURITY_ATTRIBUTES* a_attributes, DWORD a_creationDisposition, DWORD a_flagsAndAttributes, HANDLE a_templateFile);
	HANDLE   GetCurrentProcess();
	bool     GetFileSizeEx(HANDLE a_file, LARGE_INTEGER* a_size);
	bool     GetFileVersionInfoA(const char* a_fileName, DWORD a_handle, DWORD a_size, void* a_data);
	DWORD    GetFileVersionInfoSizeA(const char* a_fileName, DWORD* a_handle);
	bool     GetFileVersionInfoW(const wchar_t* a_fileName, DWORD a_handle, DWORD a_size, void* a_data);
	DWORD    GetFileVersionInfoSizeW(const wchar_t* a_fileName, DWORD* a_handle);
	DWORD    GetLastError();
	DWORD    GetModuleFileNameA(HMODULE a_module, char* a_fileName, DWORD a_size);
	DWORD    GetModuleFileNameW(HMODULE a_module, wchar_t* a_fileName, DWORD a_size);
	HMODULE  GetModuleHandleA(const char* a_moduleName);
	FARPROC  GetProcAddress(HMODULE a_module, const char* a_procName);
	void     GetSystemInfo(SYSTEM_INFO* a_systemInfo);
	bool     IsDebuggerPresent();
	void*    MapViewOfFile(HANDLE a_mapping, DWORD a_desiredAccess, DWORD a_offsetHigh, DWORD a_offsetLow, SIZE_T a_size);
	int      MessageBoxA(HWND a_owner, const char* a_text, const char* a_caption, UINT a_type);
	int      MessageBoxW(HWND a_owner, const wchar_t* a_text, const wchar_t* a_caption, UINT a_type);
	HANDLE   OpenFileMappingA(DWORD a_desiredAccess, bool a_inheritHandle, const char* a_name);
	void     OutputDebugStringW(const wchar_t* a_outputString);
	HRESULT  SHGetKnownFolderPath(const GUID& a_folderId, DWORD a_flags, HANDLE a_token, wchar_t** a_path);
	bool     TerminateProcess(HANDLE a_process, UINT a_exitCode);
	bool     UnmapViewOfFile(const void* a_baseAddress);
	bool     VerQueryValueA(const void* a_block, const char* a_subBlock, void** a_buffer, UINT* a_length);
	bool     VerQueryValueW(const void* a_block, const wchar_t* a_subBlock, void** a_buffer, UINT* a_length);
	void*    VirtualAlloc(void* a_address, SIZE_T a_size, DWORD a_allocationType, DWORD a_protect);
	bool     VirtualFree(void* a_address, SIZE_T a_size, DWORD a_freeType);
	SIZE_T   VirtualQuery(const void* a_address, MEMORY_BASIC_INFORMATION* a_buffer, SIZE_T a_length);

	// The start of the image that holds the host library (the plugin's own module), as
	// the linker placed it. No platform call is made.
	HMODULE GetThisImageBase() noexcept;
} // namespace REX::OS
