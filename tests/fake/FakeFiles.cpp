#include "FakeFiles.h"

// Placeholder behaviour: every call fails as the platform's would for a missing file
// or an unavailable service. The Address Library's tests replace this with files,
// mappings and a real SHA-512.

namespace REX::OS
{
	NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE*, const wchar_t*, const wchar_t*, ULONG) { return -1; }
	NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, UCHAR*, ULONG, UCHAR*, ULONG, ULONG) { return -1; }
	NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE, UCHAR*, ULONG, ULONG) { return -1; }
	NTSTATUS BCryptGetProperty(BCRYPT_HANDLE, const wchar_t*, UCHAR*, ULONG, ULONG*, ULONG) { return -1; }
	NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE, UCHAR*, ULONG, ULONG) { return -1; }
	NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE) { return 0; }
	NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE, ULONG) { return 0; }
	bool     CloseHandle(HANDLE) { return true; }
	HANDLE   CreateFileMappingA(HANDLE, SECURITY_ATTRIBUTES*, DWORD, DWORD, DWORD, const char*) { return nullptr; }
	HANDLE   CreateFileW(const wchar_t*, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE) { return kInvalidHandleValue; }
	bool     GetFileSizeEx(HANDLE, LARGE_INTEGER*) { return false; }
	void*    MapViewOfFile(HANDLE, DWORD, DWORD, DWORD, SIZE_T) { return nullptr; }
	HANDLE   OpenFileMappingA(DWORD, bool, const char*) { return nullptr; }
	bool     UnmapViewOfFile(const void*) { return false; }
}
