#include "FakeShell.h"

// Placeholder behaviour until the log set-up's tests script a documents folder.

namespace REX::OS
{
	HRESULT SHGetKnownFolderPath(const GUID&, DWORD, HANDLE, wchar_t** a_path) { *a_path = nullptr; return static_cast<HRESULT>(0x80070002); }
	void    CoTaskMemFree(void*) {}
}
