#pragma once

// Fake known folders (the documents folder) and the shell's task memory.
//
// SHGetKnownFolderPath answers for the documents folder only: with the path set here,
// or with a failure code when none is set (the default) or FailCalls asks for one. The
// path it returns is task memory that CoTaskMemFree gives back; the fake counts what is
// still outstanding.

#include <optional>
#include <string>

#include "FakeOS.h"

namespace FakeOS
{
	// The documents folder, or nothing for "no such folder".
	void SetDocumentsFolder(std::optional<std::wstring> a_path);
	// Makes the call report success without handing out a path.
	void SetDocumentsFolderNullOnSuccess(bool a_null);

	// Task memory handed out and not yet freed.
	[[nodiscard]] int OutstandingTaskMemory();
} // namespace FakeOS
