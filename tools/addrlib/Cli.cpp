#include "Cli.h"

#include <algorithm>
#include <fstream>
#include <istream>
#include <new>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "Check.h"
#include "Database.h"
#include "Pairs.h"

namespace
{
	// The detail under the option lists of "addrlib --help": what each command does and
	// what the formats are.
	constexpr const char* kManual = R"(
Commands:
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
      by a file name of the form version-*.bin (in any case).

  addrlib find <file.bin> <id> [--raw]
      Prints the offset of one id as 0x-hexadecimal, or "not found".

  addrlib check <file.bin> <Fallout4.exe> [--raw]
      Tells, without starting the game, whether Quellstone can run on it: the game's
      version (its executable's product version) beside the database's (its header,
      or a raw file's name), refused when they differ; then for each game function
      it patches, whether the database has its id, whether the offset
      lies in the executable's code, and whether the patch would be accepted on the
      bytes there (and how many it would move) or why it would be refused. Exit code
      0 when both functions can be patched, 1 when not.

  addrlib <command> --help
      Shows the options of one command.

Exit codes: 0 success, 1 id not found (check: a function cannot be patched, or the
versions differ), 2 wrong usage, 3 unreadable or invalid file (also one too large for
the memory there is).
Progress of long tables is shown on standard error.)";

	constexpr int kNotFound = 1;
	constexpr int kUsage = 2;
	constexpr int kBadFile = 3;

	// A command's operands: the database, and what goes with it (write: the pairs; find:
	// the id; check: the game's executable).
	struct Arguments
	{
		std::string                file;
		std::string                operand;
		std::optional<std::string> format;
		std::optional<std::string> gameVersion;
		std::optional<std::string> pointerSize;
		std::optional<std::string> name;
		bool                       raw{ false };
	};

	// Wrong usage that shows only in a value (a version, a number) once the command line
	// has been parsed.
	struct UsageError : std::runtime_error
	{
		using std::runtime_error::runtime_error;
	};

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
	AddrLib::Progress ProgressOn(std::ostream& a_err, std::string_view a_what)
	{
		return [&a_err, what = std::string(a_what), last = -1](std::uint64_t a_done, std::uint64_t a_total) mutable {
			if (a_total < 100000) {
				return;
			}
			const auto percent = static_cast<int>(a_done * 100 / a_total);
			if (percent != last) {
				last = percent;
				a_err << '\r' << what << ": " << percent << '%' << (a_done == a_total ? "\n" : "") << std::flush;
			}
		};
	}

	int Write(const Arguments& a_arguments, std::istream& a_in, std::ostream& a_err)
	{
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

		const auto& source = a_arguments.operand;
		if (source == "-") {
			database.entries = AddrLib::ParsePairs(a_in);
		} else {
			std::ifstream in(AddrLib::PathFromUtf8(source));
			if (!in) {
				throw UsageError(fmt::format("cannot read {}", source));
			}
			database.entries = AddrLib::ParsePairs(in);
		}

		const auto    bytes = AddrLib::Encode(database, ProgressOn(a_err, "encoding"));
		std::ofstream out(AddrLib::PathFromUtf8(a_arguments.file), std::ios::binary | std::ios::trunc);
		out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
		out.close();
		if (!out) {
			a_err << "addrlib: cannot write " << a_arguments.file << '\n';
			return kBadFile;
		}
		return 0;
	}

	AddrLib::Database Load(const Arguments& a_arguments, std::ostream& a_err)
	{
		const auto path = AddrLib::PathFromUtf8(a_arguments.file);
		return AddrLib::Read(path, a_arguments.raw || AddrLib::IsRawFileName(path), ProgressOn(a_err, "decoding"));
	}

	int Dump(const Arguments& a_arguments, std::ostream& a_out, std::ostream& a_err)
	{
		a_out << AddrLib::FormatDump(Load(a_arguments, a_err));
		return 0;
	}

	int Find(const Arguments& a_arguments, std::ostream& a_out, std::ostream& a_err)
	{
		const auto id = AddrLib::ParseNumber(a_arguments.operand);
		if (!id) {
			throw UsageError(fmt::format("id \"{}\" is not a number", a_arguments.operand));
		}
		const auto database = Load(a_arguments, a_err);
		// The same search the game's loader runs over the same sorted table.
		const auto offset = REL::IDDBCodec::Find(database.entries, *id);
		if (!offset) {
			a_out << "not found\n";
			return kNotFound;
		}
		a_out << fmt::format("0x{:X}\n", *offset);
		return 0;
	}

	int Check(const Arguments& a_arguments, std::ostream& a_out, std::ostream& a_err)
	{
		const auto database = Load(a_arguments, a_err);
		const auto gamePath = AddrLib::PathFromUtf8(a_arguments.operand);
		const auto game = [&] {
			try {
				return PeImage::Read(gamePath);
			} catch (const PeImage::BadImage& e) {
				throw AddrLib::BadFile(fmt::format("{}: {}", a_arguments.operand, e.what()));
			} catch (const std::bad_alloc&) {
				throw AddrLib::BadFile(fmt::format("{}: not enough memory to read it", a_arguments.operand));
			}
		}();
		if (game.Machine() != PeImage::kMachineAmd64) {
			throw AddrLib::BadFile(fmt::format("{}: not an x86-64 executable", a_arguments.operand));
		}
		const auto versions = AddrLib::CheckVersions(database, AddrLib::PathFromUtf8(a_arguments.file), game);
		const auto checks = AddrLib::CheckGame(database, game);
		a_out << AddrLib::FormatCheck(versions, checks);
		return AddrLib::CanRun(versions, checks) ? 0 : kNotFound;
	}
} // namespace

namespace
{
	// The short answer to wrong usage: what is wrong, and where the full story is.
	int ReportUsageError(std::string_view a_problem, const CLI::App& a_app, std::ostream& a_err)
	{
		const auto commands = a_app.get_subcommands();
		const auto help = commands.empty() ? std::string{ "addrlib --help" } : "addrlib " + commands.front()->get_name() + " --help";
		a_err << "addrlib: " << a_problem << "\nRun \"" << help << "\" for usage.\n";
		return kUsage;
	}

	// The command's work; every failure it raises is turned into a message and an exit code
	// by the caller.
	int RunCommand(const CLI::App& a_app, const Arguments& a_arguments, std::istream& a_in, std::ostream& a_out, std::ostream& a_err)
	{
		const auto& command = a_app.get_subcommands().front()->get_name();
		if (command == "write") {
			return Write(a_arguments, a_in, a_err);
		}
		if (command == "dump") {
			return Dump(a_arguments, a_out, a_err);
		}
		if (command == "find") {
			return Find(a_arguments, a_out, a_err);
		}
		return Check(a_arguments, a_out, a_err);
	}
} // namespace

namespace
{
	int ParseAndRun(const std::vector<std::string>& a_args, std::istream& a_in, std::ostream& a_out, std::ostream& a_err)
	{
		CLI::App app{ "addrlib - write, dump and query Address Library databases", "addrlib" };
		app.require_subcommand(1);
		// Options are spelt "--name" on every system: a path that begins with "/" (Wine's
		// view of a Unix path) is a value, not a Windows-style "/option".
		app.allow_windows_style_options(false);

		Arguments  arguments;
		const auto addRaw = [&](CLI::App* a_command) {
			a_command->add_flag("--raw", arguments.raw, "read the file as the raw layout, whatever its name");
		};

		auto* write = app.add_subcommand("write", "write a database from id/offset pairs");
		write->add_option("out", arguments.file, "the database to write")->required();
		write->add_option("pairs", arguments.operand, "\"id offset\" lines; - for standard input")->required();
		write->add_option("--format", arguments.format, "raw, 1, 2 or 5")->required();
		write->add_option("--game-version", arguments.gameVersion, "A.B.C.D")->required();
		write->add_option("--pointer-size", arguments.pointerSize, "the packed formats' offset scale (default 8)");
		write->add_option("--name", arguments.name, "the name in the header of formats 1 and 2");

		auto* dump = app.add_subcommand("dump", "print a database's header and entries");
		dump->add_option("file", arguments.file, "the database")->required();
		addRaw(dump);

		auto* find = app.add_subcommand("find", "print the offset of one id");
		find->add_option("file", arguments.file, "the database")->required();
		find->add_option("id", arguments.operand, "decimal or 0x-hexadecimal")->required();
		addRaw(find);

		auto* check = app.add_subcommand("check", "tell whether Quellstone can patch a game");
		check->add_option("file", arguments.file, "the database")->required();
		check->add_option("game", arguments.operand, "the game's executable")->required();
		addRaw(check);

		// Set last, so that the commands' own help does not repeat it.
		app.footer(kManual);

		try {
			// CLI11 takes the arguments last first.
			app.parse(std::vector<std::string>(a_args.rbegin(), a_args.rend()));
		} catch (const CLI::ParseError& e) {
			// --help (and help) end here with exit code 0, the help on standard output.
			if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
				return app.exit(e, a_out, a_err);
			}
			if (app.get_subcommands().empty() && !a_args.empty()) {
				return ReportUsageError(fmt::format("{} {}", a_args[0].starts_with('-') ? "unknown option" : "unknown command", a_args[0]), app, a_err);
			}
			return ReportUsageError(e.what(), app, a_err);
		}

		try {
			return RunCommand(app, arguments, a_in, a_out, a_err);
		} catch (const UsageError& e) {
			return ReportUsageError(e.what(), app, a_err);
		}
	}
} // namespace

int AddrLib::RunCommandLine(const std::vector<std::string>& a_args, std::istream& a_in, std::ostream& a_out, std::ostream& a_err)
{
	try {
		return ParseAndRun(a_args, a_in, a_out, a_err);
	} catch (const std::invalid_argument& e) {
		a_err << "addrlib: " << e.what() << '\n';
		return kUsage;
	} catch (const AddrLib::BadFile& e) {
		a_err << "addrlib: " << e.what() << '\n';
		return kBadFile;
	} catch (const std::bad_alloc&) {
		a_err << "addrlib: not enough memory to finish: the file asks for more than there is\n";
		return kBadFile;
	} catch (const std::exception& e) {
		// Whatever else a file can provoke still ends in a message, never in terminate.
		a_err << "addrlib: " << e.what() << '\n';
		return kBadFile;
	}
}
