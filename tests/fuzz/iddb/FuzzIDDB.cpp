// Loads an arbitrary file as the Address Library and looks ids up in it, on the fake
// platform layer. Built three times: as the F4SE loader's raw file, and as an SKSE
// versionlib file whose own format field picks the packed or the flat loader. Every
// outcome must be a table or a fatal report; the sanitizers watch for anything read
// past the file's bytes (the fake maps a file as an exact-size copy).

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <spdlog/spdlog.h>
#include <unistd.h>

#include "FakeFiles.h"
#include "FakeModules.h"
#include "REL/IDDB.h"

#ifndef QS_FUZZ_LOADER
#define QS_FUZZ_LOADER "F4SE"
#define QS_FUZZ_FILE "version-1-2-3-4.bin"
#endif

namespace
{
	const auto kGame = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x140000000 });
	const auto kPlugin = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x180000000 });

	struct Folder
	{
		std::filesystem::path root;
		std::filesystem::path plugins;

		Folder() :
		    root(std::filesystem::temp_directory_path() / ("qs_fuzz_iddb_" + std::to_string(::getpid()))),
		    plugins(root / "Data" / QS_FUZZ_LOADER / "Plugins")
		{
			std::filesystem::create_directories(plugins);
			// Fatal reports are expected by the thousand; keep them off the console.
			spdlog::set_default_logger(std::make_shared<spdlog::logger>("fuzz"));
		}
		~Folder()
		{
			std::error_code error;
			std::filesystem::remove_all(root, error);
		}
	};

	Folder& GetFolder()
	{
		static Folder folder;
		return folder;
	}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* a_data, std::size_t a_size)
{
	const auto& folder = GetFolder();
	{
		std::ofstream out(folder.plugins / QS_FUZZ_FILE, std::ios::binary | std::ios::trunc);
		out.write(reinterpret_cast<const char*>(a_data), static_cast<std::streamsize>(a_size));
	}
	FakeOS::Reset();
	// Exact-size copies of the file, so that a read past its end is caught.
	FakeOS::SetFileViewsMapped(false);
	const auto exe = (folder.root / "Fallout4.exe").string();
	FakeOS::AddModule(kGame, exe);
	FakeOS::SetProcessModule(kGame);
	FakeOS::SetProductVersion(exe, "1.2.3.4");
	FakeOS::AddModule(kPlugin, (folder.plugins / "x.dll").string());
	FakeOS::SetThisImageBase(kPlugin);

	try {
		const REL::IDDB database;
		// Ids that the file is likely to hold (taken from its own bytes) and ones at
		// the edges of every table.
		std::uint64_t ids[6] = { 0, 1, 5, 0xFFFFFFFF, ~0ull, 0 };
		if (a_size >= 16) {
			std::memcpy(&ids[5], a_data + a_size - 16, 8);
		}
		for (const auto id : ids) {
			try {
				(void)database.offset(id);
			} catch (const FakeOS::ProcessTerminated&) {
			}
		}
	} catch (const FakeOS::ProcessTerminated&) {
	}
	return 0;
}
