#pragma once

// Fake modules: loaded images with file names and exports, version resources by file
// path, the image that counts as "this" module, message boxes and process termination.

#include <optional>
#include <string>
#include <vector>

#include "FakeOS.h"

namespace FakeOS
{
	using REX::OS::HMODULE;
	using REX::OS::UINT;

	// Registers a loaded module under its handle with the path that
	// GetModuleFileNameA/W report (an empty path makes those calls fail).
	void AddModule(HMODULE a_handle, std::string a_path);
	void SetExport(HMODULE a_handle, std::string a_name, void* a_address);

	// What GetModuleHandleA(nullptr) returns: the process's main executable.
	void SetProcessModule(HMODULE a_handle);
	// What the layer reports as the start of the library's own image.
	void SetThisImageBase(HMODULE a_handle);

	// Gives the file at a path a version resource holding, in block a_block (default
	// 040904B0), the string "ProductVersion". A file without any entry has no version
	// information at all.
	void SetProductVersion(std::string a_path, std::string a_version, std::string a_block = "040904B0");

	struct MessageBoxShown
	{
		std::wstring text; // wide boxes as given; narrow boxes widened byte by byte
		std::wstring caption;
		bool         captionNull{ false };
		bool         wide{ false };
		UINT         type{ 0 };
	};
	[[nodiscard]] const std::vector<MessageBoxShown>& MessageBoxes();

	// Exit codes passed to TerminateProcess, in order.
	[[nodiscard]] const std::vector<UINT>& Terminations();
} // namespace FakeOS
