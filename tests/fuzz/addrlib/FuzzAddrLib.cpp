// The addrlib tool over arbitrary files, through its own command line: as the game's
// executable for `check` (the PE reader, the function table, the version resource, the
// detour's dry run), or as a database for `dump`, `find` and `check`, once under a raw
// file's name and once under a name whose format field decides. Every run must end in
// an exit code the tool documents, and every refusal (exit code 3) in a message; the
// sanitizers watch everything else.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "Cli.h"
#include "Database.h"
#include "PeBuilder.h"

namespace
{
	struct Folder
	{
		std::filesystem::path root{ std::filesystem::temp_directory_path() / ("qs_fuzz_addrlib_" + std::to_string(::getpid())) };
		std::string           game;     // a small executable the plugin could patch
		std::string           database; // a format-2 database for it

		Folder()
		{
			std::filesystem::create_directories(root);
			game = AddrLib::Utf8FromPath(root / "Fallout4.exe");
			database = AddrLib::Utf8FromPath(root / "fixed.bin");
			const auto image = TestSupport::PeBuilder::FunctionImage(4, 2, false);
			std::ofstream(root / "Fallout4.exe", std::ios::binary).write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
			std::istringstream pairs("2201029 0x1000\n2200368 0x1010\n");
			std::ostringstream ignored;
			if (AddrLib::RunCommandLine({ "write", database, "--format", "2", "--game-version", "1.11.221.0", "-" }, pairs, ignored, ignored) != 0) {
				std::abort();
			}
		}
		~Folder()
		{
			std::error_code error;
			std::filesystem::remove_all(root, error);
		}
	};

	const Folder& GetFolder()
	{
		static const Folder folder;
		return folder;
	}

	std::string WriteInput(const std::string& a_name, const std::uint8_t* a_data, std::size_t a_size)
	{
		const auto path = GetFolder().root / a_name;
		std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(a_data), static_cast<std::streamsize>(a_size));
		return AddrLib::Utf8FromPath(path);
	}

	// One run of the tool; anything but a documented outcome stops the fuzzer.
	void Run(const std::vector<std::string>& a_args)
	{
		std::istringstream in;
		std::ostringstream out;
		std::ostringstream err;
		const int          exitCode = AddrLib::RunCommandLine(a_args, in, out, err);
		const bool         refusedWithMessage = exitCode == 3 && err.str().starts_with("addrlib: ") && err.str().size() > 10;
		const bool         answered = (exitCode == 0 || exitCode == 1) && !out.str().empty();
		if (!refusedWithMessage && !answered) {
			std::fprintf(stderr, "addrlib %s: exit code %d\nout: %s\nerr: %s\n", a_args[0].c_str(), exitCode, out.str().c_str(), err.str().c_str());
			std::abort();
		}
	}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* a_data, std::size_t a_size)
{
	const auto& folder = GetFolder();
#ifdef QS_FUZZ_ADDRLIB_CHECK
	Run({ "check", folder.database, WriteInput("game.exe", a_data, a_size) });
#else
	for (const char* name : { "version-1-11-221-0.bin", "versionlib.bin" }) {
		const auto database = WriteInput(name, a_data, a_size);
		Run({ "dump", database });
		Run({ "find", database, "2201029" });
		Run({ "check", database, folder.game });
	}
#endif
	return 0;
}
