// addrlib: writes, dumps and queries Address Library databases in every layout that the
// host library reads (raw, 1, 2, 5).

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "Check.h"
#include "Database.h"
#include "Pairs.h"

namespace
{
	constexpr std::string_view kHelp = R"(addrlib - write, dump and query Address Library databases

Usage:
  addrlib write <out.bin> --format raw|1|2|5 --game-version A.B.C.D
                [--pointer-size N] [--name TEXT] <pairs.txt|->
      Writes a database from a list of id/offset pairs (a file, or "-" for standard
      input): one "id offset" pair per line, each number decimal or 0x-hexadecimal,
      "#" starts a comment. Entries are stored sorted by id; an id listed twice is
      refused.
        raw  the F4SE loader's version-*.bin layout: entry count, then 16-byte
             id/offset pairs. Carries no game version (the file name does).
        1, 2 header with game version, name and pointer size, then the packed entry
             stream; each entry takes its shortest encoding, scaled by the pointer
             size (default 8) where that is shorter.
        5    header, then a flat array of 32-bit offsets indexed by id (0 = no
             offset): ids must be small and offsets 1 to 0xFFFFFFFF.

  addrlib dump <file.bin> [--raw]
      Prints the header (as "#" comment lines) and every entry as "id 0xoffset",
      sorted by id, as the game's loader sees them; the output can be fed back to
      "addrlib write". The raw layout has no format field: it is chosen by --raw or
      by a file name of the form version-*.bin.

  addrlib find <file.bin> <id> [--raw]
      Prints the offset of one id as 0x-hexadecimal, or "not found".

  addrlib check <file.bin> <Fallout4.exe> [--raw]
      Tells, without starting the game, whether Quellstone can run on it: for each
      game function it patches, whether the database has its id, whether the offset
      lies in the executable's code, and whether the patch would be accepted on the
      bytes there (and how many it would move) or why it would be refused. Exit code
      0 when both functions can be patched, 1 when not.

  addrlib --help
      Shows this text.

Exit codes: 0 success, 1 id not found (check: a function cannot be patched), 2 wrong
usage, 3 unreadable or invalid file.
Progress of long tables is shown on standard error.
)";

	constexpr int kNotFound = 1;
	constexpr int kUsage = 2;
	constexpr int kBadFile = 3;

	struct Arguments
	{
		std::vector<std::string>   positional;
		std::optional<std::string> format;
		std::optional<std::string> gameVersion;
		std::optional<std::string> pointerSize;
		std::optional<std::string> name;
		bool                       raw{ false };
	};

	struct UsageError : std::runtime_error
	{
		using std::runtime_error::runtime_error;
	};

	Arguments ParseArguments(int a_argc, char** a_argv)
	{
		Arguments arguments;
		for (int i = 2; i < a_argc; ++i) {
			const std::string_view argument{ a_argv[i] };
			auto                   value = [&](std::optional<std::string>& a_target) {
                if (i + 1 >= a_argc) {
                    throw UsageError(fmt::format("{} needs a value", argument));
                }
                a_target = a_argv[++i];
			};
			if (argument == "--format") {
				value(arguments.format);
			} else if (argument == "--game-version") {
				value(arguments.gameVersion);
			} else if (argument == "--pointer-size") {
				value(arguments.pointerSize);
			} else if (argument == "--name") {
				value(arguments.name);
			} else if (argument == "--raw") {
				arguments.raw = true;
			} else if (argument.size() > 1 && argument.starts_with("--")) {
				throw UsageError(fmt::format("unknown option {}", argument));
			} else {
				arguments.positional.emplace_back(argument);
			}
		}
		return arguments;
	}

	std::array<std::int32_t, 4> ParseVersion(const std::string& a_text)
	{
		std::array<std::int32_t, 4> parts{};
		std::size_t                 at = 0;
		for (std::size_t i = 0; i < parts.size(); ++i) {
			const auto end = i + 1 < parts.size() ? a_text.find('.', at) : a_text.size();
			const auto number = end == std::string::npos ? std::nullopt : AddrLib::ParseNumber(std::string_view{ a_text }.substr(at, end - at));
			if (!number || *number > 0xFFFF) {
				throw UsageError(fmt::format("game version \"{}\" is not A.B.C.D with every number from 0 to 65535", a_text));
			}
			parts[i] = static_cast<std::int32_t>(*number);
			at = end + 1;
		}
		return parts;
	}

	// A percentage on standard error for tables long enough to make the user wait.
	AddrLib::Progress ProgressOnStderr(std::string_view a_what)
	{
		return [what = std::string(a_what), last = -1](std::uint64_t a_done, std::uint64_t a_total) mutable {
			if (a_total < 100000) {
				return;
			}
			const auto percent = static_cast<int>(a_done * 100 / a_total);
			if (percent != last) {
				last = percent;
				std::fprintf(stderr, "\r%s: %d%%%s", what.c_str(), percent, a_done == a_total ? "\n" : "");
			}
		};
	}

	int Write(const Arguments& a_arguments)
	{
		if (a_arguments.positional.size() != 2 || !a_arguments.format || !a_arguments.gameVersion) {
			throw UsageError("write needs <out.bin>, --format, --game-version and <pairs.txt|->");
		}
		AddrLib::Database database;
		const auto&       format = *a_arguments.format;
		if (format == "raw") {
			database.format = 0;
		} else if (format == "1" || format == "2" || format == "5") {
			database.format = format[0] - '0';
		} else {
			throw UsageError(fmt::format("format \"{}\" is none of raw, 1, 2, 5", format));
		}
		database.version = ParseVersion(*a_arguments.gameVersion);
		if (a_arguments.pointerSize) {
			const auto size = AddrLib::ParseNumber(*a_arguments.pointerSize);
			if (!size || *size > 0x7FFFFFFF) {
				throw UsageError(fmt::format("pointer size \"{}\" is not a number", *a_arguments.pointerSize));
			}
			database.pointerSize = static_cast<std::int32_t>(*size);
		}
		database.name = a_arguments.name.value_or("");

		const auto& source = a_arguments.positional[1];
		if (source == "-") {
			database.entries = AddrLib::ParsePairs(std::cin);
		} else {
			std::ifstream in(source);
			if (!in) {
				throw UsageError(fmt::format("cannot read {}", source));
			}
			database.entries = AddrLib::ParsePairs(in);
		}

		const auto    bytes = AddrLib::Encode(database, ProgressOnStderr("encoding"));
		std::ofstream out(a_arguments.positional[0], std::ios::binary | std::ios::trunc);
		out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
		out.close();
		if (!out) {
			std::fprintf(stderr, "addrlib: cannot write %s\n", a_arguments.positional[0].c_str());
			return kBadFile;
		}
		return 0;
	}

	AddrLib::Database Load(const Arguments& a_arguments)
	{
		const std::filesystem::path path{ a_arguments.positional[0] };
		return AddrLib::Read(path, a_arguments.raw || AddrLib::IsRawFileName(path), ProgressOnStderr("decoding"));
	}

	int Dump(const Arguments& a_arguments)
	{
		if (a_arguments.positional.size() != 1) {
			throw UsageError("dump needs <file.bin>");
		}
		const auto text = AddrLib::FormatDump(Load(a_arguments));
		std::fwrite(text.data(), 1, text.size(), stdout);
		return 0;
	}

	int Find(const Arguments& a_arguments)
	{
		if (a_arguments.positional.size() != 2) {
			throw UsageError("find needs <file.bin> and <id>");
		}
		const auto id = AddrLib::ParseNumber(a_arguments.positional[1]);
		if (!id) {
			throw UsageError(fmt::format("id \"{}\" is not a number", a_arguments.positional[1]));
		}
		const auto database = Load(a_arguments);
		// The same search the game's loader runs over the same sorted table.
		const auto offset = REL::IDDBCodec::Find(database.entries, *id);
		if (!offset) {
			std::puts("not found");
			return kNotFound;
		}
		std::printf("%s\n", fmt::format("0x{:X}", *offset).c_str());
		return 0;
	}

	int Check(const Arguments& a_arguments)
	{
		if (a_arguments.positional.size() != 2) {
			throw UsageError("check needs <file.bin> and <Fallout4.exe>");
		}
		const auto                  database = Load(a_arguments);
		const std::filesystem::path gamePath{ a_arguments.positional[1] };
		const auto                  game = [&] {
            try {
                return PeImage::Read(gamePath);
            } catch (const PeImage::BadImage& e) {
                throw AddrLib::BadFile(fmt::format("{}: {}", gamePath.string(), e.what()));
            }
		}();
		if (game.Machine() != PeImage::kMachineAmd64) {
			throw AddrLib::BadFile(fmt::format("{}: not an x86-64 executable", gamePath.string()));
		}
		const auto checks = AddrLib::CheckGame(database, game);
		const auto text = AddrLib::FormatCheck(checks);
		std::fwrite(text.data(), 1, text.size(), stdout);
		const bool accepted = std::ranges::all_of(checks, [](const AddrLib::FunctionCheck& a_check) {
			return a_check.verdict == AddrLib::FunctionCheck::Verdict::Accepted;
		});
		return accepted ? 0 : kNotFound;
	}
} // namespace

int main(int a_argc, char** a_argv)
{
	const std::string_view command = a_argc > 1 ? a_argv[1] : "";
	if (command == "--help" || command == "-h" || command == "help") {
		std::fwrite(kHelp.data(), 1, kHelp.size(), stdout);
		return 0;
	}
	try {
		const auto arguments = ParseArguments(a_argc, a_argv);
		if (command == "write") {
			return Write(arguments);
		}
		if (command == "dump") {
			return Dump(arguments);
		}
		if (command == "find") {
			return Find(arguments);
		}
		if (command == "check") {
			return Check(arguments);
		}
		throw UsageError(command.empty() ? "no command given" : fmt::format("unknown command {}", command));
	} catch (const UsageError& e) {
		std::fprintf(stderr, "addrlib: %s\nRun \"addrlib --help\" for usage.\n", e.what());
		return kUsage;
	} catch (const std::invalid_argument& e) {
		std::fprintf(stderr, "addrlib: %s\n", e.what());
		return kUsage;
	} catch (const AddrLib::BadFile& e) {
		std::fprintf(stderr, "addrlib: %s\n", e.what());
		return kBadFile;
	}
}
