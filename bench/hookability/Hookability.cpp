// Hookability: how many real function entries the detour accepts.
//
// For every primary function entry in the function table (.pdata) of real x86-64 PE
// binaries, the detour's plan is run on the entry's bytes from the file (after the
// leading jumps an install follows, as `addrlib check` finds them), with the function's
// size from the table, as an install would run it on live code:
//   after, near page     the replacement far away (as a plugin DLL is from the game), a
//                        page for trampoline and relay assumed within reach of the target
//   after, no near page  the same replacement, no page within reach: the fallback
//   as a live install    as "near page", but with the size a live install finds: the
//                        table entry that begins at the patch site, extended over the
//                        chained fragments that continue it in place (the rule the
//                        install runs on the system's lookup); entries it accepts that
//                        "near page" refuses are counted as "missed"
//   before               the rules of the detour before relocation: a 14-byte absolute
//                        jump for a far replacement, and every rip-relative operand or
//                        relative branch among the stolen bytes refused
// and prints, per corpus, the share accepted and each refusal class, as markdown tables;
// and, for the plans accepted with a near page, how often the decoder walks from the
// stolen bytes to the function's end (as far as its bytes are read), the walk in which
// the plan looks for the function's own branches back into the bytes it takes.
//
//   bench_hookability [--examples N] [LABEL=]PATH...
// Each PATH (a file, or a folder searched recursively) is one corpus; identical files
// count once. Without a PATH: Wine's x86-64 DLLs.

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Check.h"
#include "Detour/DetourPlan.h"
#include "Detour/InstructionLengthDecoder.h"
#include "JumpReader.h"
#include "PeImage.h"
#include "PlanReader.h"

namespace
{
	constexpr const char*    kWineDlls = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
	constexpr std::uint32_t  kSmallestCounted = 16;
	constexpr std::uintptr_t kFar = std::uintptr_t{ 64 } << 30; // where a plugin DLL may lie from the game

	using Branch = Detour::InstructionInfo::Branch;

	// The detour's acceptance rules before it relocated anything: a far replacement takes
	// the 14-byte absolute jump; whole instructions are stolen until it fits; refused are
	// an undecodable instruction, a rip-relative operand, a relative branch, int3, and a
	// return or unconditional jump before the jump fits. Gives the failure and the stolen
	// length.
	std::pair<Detour::DetourFailure, std::size_t> BeforeRelocation(std::span<const std::uint8_t> a_code)
	{
		constexpr std::size_t kAbsoluteJump = 14;
		std::size_t           length = 0;
		while (length < kAbsoluteJump) {
			if (length >= a_code.size()) {
				return { Detour::DetourFailure::CodeTooShort, length };
			}
			const Detour::InstructionInfo info = TestSupport::Decode(a_code.subspan(length));
			if (info.length < 0) {
				return { Detour::DetourFailure::Undecodable, length };
			}
			if (info.relative == Detour::InstructionInfo::Relative::Memory) {
				return { Detour::DetourFailure::RipRelative, length };
			}
			if (info.relative == Detour::InstructionInfo::Relative::Branch) {
				return { Detour::DetourFailure::RelativeBranch, length };
			}
			length += static_cast<std::size_t>(info.length);
			if (info.branch == Branch::Breakpoint || (info.EndsFlow() && length < kAbsoluteJump)) {
				return { Detour::DetourFailure::FunctionEnds, length - static_cast<std::size_t>(info.length) };
			}
		}
		return { Detour::DetourFailure::None, length };
	}

	struct Example
	{
		std::string               file;
		std::uint32_t             rva{ 0 };
		std::size_t               failedAt{ 0 };
		std::uint32_t             size{ 0 };
		std::vector<std::uint8_t> bytes;
	};

	// One way of installing, over one corpus.
	// What the scan for branches back into the stolen bytes stopped at, short of the
	// function's end.
	std::string ScanStop(std::span<const std::uint8_t> a_code, std::size_t a_at)
	{
		if (a_at >= a_code.size()) {
			return "the bytes given end";
		}
		const auto info = TestSupport::Decode(a_code.subspan(a_at));
		if (info.length >= 0) {
			return "an instruction over the function's end";
		}
		// Past legacy and REX prefixes: C4/C5 (VEX), 62 (EVEX), 8F with a map 8-10 (XOP).
		std::size_t at = a_at;
		while (at < a_code.size() && (a_code[at] == 0x66 || a_code[at] == 0x67 || a_code[at] == 0xF2 || a_code[at] == 0xF3 || (a_code[at] & 0xF0) == 0x40)) {
			++at;
		}
		const bool avx = at < a_code.size() && (a_code[at] == 0xC4 || a_code[at] == 0xC5 || a_code[at] == 0x62 ||
		                                        (a_code[at] == 0x8F && at + 1 < a_code.size() && (a_code[at + 1] & 0x1F) >= 8));
		return avx ? "a VEX, EVEX or XOP instruction the decoder refuses" : "another instruction the decoder refuses";
	}

	struct Column
	{
		std::uint64_t                                         accepted{ 0 };
		std::uint64_t                                         misrelocated{ 0 }; // accepted, but a copy does not do what its original did
		std::uint64_t                                         pastEnd{ 0 };      // accepted, yet stealing past the function's end
		std::map<Detour::DetourFailure, std::uint64_t>        refusals;
		std::map<Detour::DetourFailure, std::vector<Example>> examples;

		void Count(Detour::DetourFailure a_failure, std::size_t a_stolen, std::size_t a_failedAt, const std::string& a_file, const AddrLib::PatchSite& a_site,
		           std::size_t a_maxExamples)
		{
			if (a_failure == Detour::DetourFailure::None) {
				++accepted;
				pastEnd += a_site.functionSize != 0 && a_stolen > a_site.functionSize ? 1 : 0;
				return;
			}
			++refusals[a_failure];
			Keep(examples[a_failure], a_failedAt, a_file, a_site, a_maxExamples);
		}

		// Counts an accepted plan and reads its bytes back.
		void Count(const Detour::DetourPlan& a_plan, const std::string& a_file, const AddrLib::PatchSite& a_site, std::size_t a_maxExamples)
		{
			Count(a_plan.failure, a_plan.stolenLength, a_plan.failedAt, a_file, a_site, a_maxExamples);
			if (a_plan.failure == Detour::DetourFailure::RestOfFunctionUnchecked) {
				const std::string stop = ScanStop(a_site.code, a_plan.failedAt);
				if (++scanStops[stop] <= a_maxExamples) {
					const auto at = a_site.code.subspan(std::min(a_plan.failedAt, a_site.code.size()));
					scanStopExamples[stop].push_back(fmt::format("{} +0x{:X}, at +{} of {}: {}", a_file, a_site.rva, a_plan.failedAt, a_site.functionSize,
					                                             AddrLib::FormatBytes(at.first(std::min<std::size_t>(at.size(), 12)))));
				}
			}
			if (a_plan.ok()) {
				for (const auto& instruction : a_plan.instructions) {
					++relocations[instruction.relocation];
				}
			}
			if (a_plan.ok() && !TestSupport::PlanReader(a_plan).Verify(a_site.code)) {
				++misrelocated;
				Keep(misrelocatedExamples, 0, a_file, a_site, a_maxExamples);
			}
		}

		std::vector<Example>                            misrelocatedExamples;
		std::map<Detour::Relocation, std::uint64_t>     relocations;      // stolen instructions of accepted plans, by how they were carried
		std::map<std::string, std::uint64_t>            scanStops;        // refused because the scan stopped short, by what it stopped at
		std::map<std::string, std::vector<std::string>> scanStopExamples; // the bytes it stopped at

	private:
		static void Keep(std::vector<Example>& a_list, std::size_t a_failedAt, const std::string& a_file, const AddrLib::PatchSite& a_site, std::size_t a_maxExamples)
		{
			if (a_list.size() < a_maxExamples) {
				const auto shown = std::min<std::size_t>(a_site.code.size(), 24);
				a_list.push_back({ a_file, a_site.rva, a_failedAt, a_site.functionSize, { a_site.code.begin(), a_site.code.begin() + static_cast<std::ptrdiff_t>(shown) } });
			}
		}
	};

	struct Corpus
	{
		std::string   label;
		std::uint64_t files{ 0 };
		std::uint64_t entries{ 0 };      // primary entries of 16 bytes or more
		std::uint64_t small{ 0 };        // primary entries below 16 bytes, not counted
		std::uint64_t smallPastEnd{ 0 }; // of those, accepted past their end when planned without the size
		std::uint64_t fragments{ 0 };    // chained fragments, counted into their functions
		std::uint64_t followed{ 0 };     // entries that begin with a jump an install follows
		std::uint64_t leftTable{ 0 };    // of those, the jump leaves every function of the table
		Column        before;
		Column        near;
		Column        noNear;
		Column        live;
		std::uint64_t missed{ 0 }; // accepted as a live install, refused with the whole function known
	};

	std::uint64_t Fingerprint(const std::vector<std::uint8_t>& a_bytes)
	{
		std::uint64_t hash = 0xCBF29CE484222325; // FNV-1a
		for (const auto byte : a_bytes) {
			hash = (hash ^ byte) * 0x100000001B3;
		}
		return hash ^ a_bytes.size();
	}

	void Measure(const std::filesystem::path& a_file, Corpus& a_corpus, std::set<std::uint64_t>& a_seen, std::size_t a_maxExamples)
	{
		try {
			auto bytes = PeImage::ReadFileBytes(a_file);
			if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z' || !a_seen.insert(Fingerprint(bytes)).second) {
				return;
			}
			const auto image = PeImage::Parse(std::move(bytes));
			if (image.Machine() != PeImage::kMachineAmd64 || image.RuntimeFunctions().empty()) {
				return;
			}
			++a_corpus.files;
			const auto name = a_file.filename().string();
			const auto functions = image.Functions();
			for (const auto& function : functions) {
				a_corpus.fragments += function.fragments;
				if (function.Size() < kSmallestCounted) {
					// Not counted; but a live install, which does not know the size, must
					// not run past a small function's end either.
					++a_corpus.small;
					const auto code = image.BytesAt(function.begin, 64);
					const auto live = Detour::DryRunDetour(code, image.ImageBase() + function.begin, 0);
					a_corpus.smallPastEnd += live.ok() && live.stolenLength > function.Size() ? 1 : 0;
					continue;
				}
				const auto site = AddrLib::FindPatchSite(image, functions, function.begin);
				if (site.code.empty()) {
					continue; // not stored in the file: nothing to plan on
				}
				++a_corpus.entries;
				a_corpus.followed += site.jumpsFollowed != 0 ? 1 : 0;
				a_corpus.leftTable += site.functionSize == 0 ? 1 : 0;
				const std::uintptr_t target = image.ImageBase() + site.rva;

				const auto [failure, stolen] = BeforeRelocation(site.code);
				a_corpus.before.Count(failure, stolen, stolen, name, site, a_maxExamples);

				const auto near = Detour::DryRunDetour(site.code, target, site.functionSize, image.ImageBase());
				a_corpus.near.Count(near, name, site, a_maxExamples);
				a_corpus.noNear.Count(Detour::PlanDetour(site.code, target, target + kFar, target + 2 * kFar, 0, site.functionSize, image.ImageBase()), name, site, a_maxExamples);
				const auto live = AddrLib::PlanAsInstalled(site, target);
				a_corpus.live.Count(live, name, site, a_maxExamples);
				if (live.ok() && !near.ok()) {
					++a_corpus.missed;
				}
			}
		} catch (const PeImage::BadImage&) {
			// Unreadable, or not a PE image after all (a resource file with an MZ stub): not
			// part of the corpus.
		}
	}

	Corpus MeasureCorpus(const std::string& a_argument, std::size_t a_maxExamples)
	{
		Corpus                corpus;
		const auto            equals = a_argument.find('=');
		std::filesystem::path path = equals == std::string::npos ? a_argument : a_argument.substr(equals + 1);
		corpus.label = equals == std::string::npos ? path.filename().string() : a_argument.substr(0, equals);
		std::set<std::uint64_t>            seen;
		std::vector<std::filesystem::path> files;
		if (std::filesystem::is_directory(path)) {
			for (const auto& entry : std::filesystem::recursive_directory_iterator(path, std::filesystem::directory_options::skip_permission_denied)) {
				if (entry.is_regular_file()) {
					files.push_back(entry.path());
				}
			}
		} else {
			files.push_back(path);
		}
		std::ranges::sort(files);
		for (const auto& file : files) {
			Measure(file, corpus, seen, a_maxExamples);
		}
		return corpus;
	}

	std::string Percent(std::uint64_t a_part, std::uint64_t a_whole)
	{
		return a_whole == 0 ? std::string{ "-" } : fmt::format("{:.3f}%", 100.0 * static_cast<double>(a_part) / static_cast<double>(a_whole));
	}

	// Entries the plan refused because the back-branch scan could not reach the function's end.
	std::uint64_t ScanRefusals(const Column& a_column)
	{
		const auto found = a_column.refusals.find(Detour::DetourFailure::RestOfFunctionUnchecked);
		return found == a_column.refusals.end() ? 0 : found->second;
	}

	void Print(const std::vector<Corpus>& a_corpora)
	{
		fmt::print("| corpus | files | entries of 16+ bytes | before: accepted | after, near page: accepted | after, no near page: accepted | as a live install: accepted "
		           "| accepted past the function's end (before / near / no near / live) | accepted but relocated wrongly (near / no near / live) | live accepts, near refuses "
		           "| near page: the scan reached the function's end |\n");
		fmt::print("|---|---|---|---|---|---|---|---|---|---|---|\n");
		for (const auto& corpus : a_corpora) {
			fmt::print("| {} | {} | {} | {} | {} | {} | {} | {} / {} / {} / {} | {} / {} / {} | {} | {} |\n", corpus.label, corpus.files, corpus.entries,
			           Percent(corpus.before.accepted, corpus.entries), Percent(corpus.near.accepted, corpus.entries),
			           Percent(corpus.noNear.accepted, corpus.entries), Percent(corpus.live.accepted, corpus.entries), corpus.before.pastEnd,
			           corpus.near.pastEnd, corpus.noNear.pastEnd, corpus.live.pastEnd, corpus.near.misrelocated, corpus.noNear.misrelocated,
			           corpus.live.misrelocated, corpus.missed, Percent(corpus.entries - ScanRefusals(corpus.near), corpus.entries));
		}
		for (const auto& corpus : a_corpora) {
			fmt::print("\n{}: {} entries of 16+ bytes ({} smaller ones not counted, of which {} would be accepted past their end if planned "
			           "without their size; {} chained fragments counted into their functions; {} begin with a jump that is followed, {} of them "
			           "out of every listed function)\n\n",
			           corpus.label, corpus.entries, corpus.small, corpus.smallPastEnd, corpus.fragments, corpus.followed, corpus.leftTable);
			fmt::print("| refused because | before | after, near page | after, no near page | as a live install |\n|---|---|---|---|---|\n");
			std::set<Detour::DetourFailure> classes;
			for (const Column* column : { &corpus.before, &corpus.near, &corpus.noNear, &corpus.live }) {
				for (const auto& [failure, count] : column->refusals) {
					classes.insert(failure);
				}
			}
			auto count = [](const Column& a_column, Detour::DetourFailure a_failure) {
				const auto found = a_column.refusals.find(a_failure);
				return found == a_column.refusals.end() ? std::uint64_t{ 0 } : found->second;
			};
			for (const auto failure : classes) {
				fmt::print("| {} | {} | {} | {} | {} |\n", Detour::DescribeFailure(failure), count(corpus.before, failure), count(corpus.near, failure),
				           count(corpus.noNear, failure), count(corpus.live, failure));
			}
			for (const auto& [stop, stops] : corpus.near.scanStops) {
				fmt::print("{}the scan stopped short of the function's end, with a near page, at {}: {}\n", stop == corpus.near.scanStops.begin()->first ? "\n" : "", stop, stops);
				if (const auto examples = corpus.near.scanStopExamples.find(stop); examples != corpus.near.scanStopExamples.end()) {
					for (const auto& example : examples->second) {
						fmt::print("  {}\n", example);
					}
				}
			}
			fmt::print("\nStolen instructions of the plans accepted with a near page (each read back and checked):");
			constexpr std::pair<Detour::Relocation, const char*> kKinds[] = { { Detour::Relocation::Copied, "copied" }, { Detour::Relocation::RipDisplacement, "rip-relative" }, { Detour::Relocation::Jump, "jmp" }, { Detour::Relocation::Call, "call" }, { Detour::Relocation::ConditionalJump, "Jcc" }, { Detour::Relocation::Loop, "loop/jrcxz" } };
			for (const auto& [kind, label] : kKinds) {
				const auto found = corpus.near.relocations.find(kind);
				fmt::print(" {} {}", label, found == corpus.near.relocations.end() ? 0 : found->second);
			}
			fmt::print("\n");
			for (const auto& example : corpus.near.misrelocatedExamples) {
				fmt::print("\nRelocated wrongly with a near page: {} +0x{:X}: {}\n", example.file, example.rva, AddrLib::FormatBytes(example.bytes));
			}
			const auto printExamples = [](const std::vector<Example>& a_examples) {
				for (const auto& example : a_examples) {
					fmt::print("  {} +0x{:X} ({} bytes to the function's end; failed at +{}): {}\n", example.file, example.rva, example.size, example.failedAt,
					           AddrLib::FormatBytes(example.bytes));
				}
			};
			for (const auto& [failure, examples] : corpus.live.examples) {
				if (corpus.near.examples.contains(failure)) {
					continue;
				}
				fmt::print("\nRefused as a live install only, {}:\n", Detour::DescribeFailure(failure));
				printExamples(examples);
			}
			for (const auto& [failure, examples] : corpus.near.examples) {
				fmt::print("\nRefused with a near page, {}:\n", Detour::DescribeFailure(failure));
				printExamples(examples);
			}
		}
	}
} // namespace

int main(int a_argc, char** a_argv)
{
	std::size_t              maxExamples = 3;
	std::vector<std::string> arguments;
	for (int i = 1; i < a_argc; ++i) {
		const std::string argument{ a_argv[i] };
		if (argument == "--examples" && i + 1 < a_argc) {
			const std::string_view count{ a_argv[++i] };
			const auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), maxExamples);
			if (error != std::errc{} || end != count.data() + count.size()) {
				std::fprintf(stderr, "bench_hookability: --examples needs a count, not \"%s\"\nusage: bench_hookability [--examples N] [LABEL=]PATH...\n", a_argv[i]);
				return 2;
			}
		} else if (argument.starts_with("--")) {
			std::fprintf(stderr, "usage: bench_hookability [--examples N] [LABEL=]PATH...\n");
			return 2;
		} else {
			arguments.push_back(argument);
		}
	}
	if (arguments.empty()) {
		arguments.push_back(std::string{ "Wine's DLLs (MinGW)=" } + kWineDlls);
	}
	std::vector<Corpus> corpora;
	for (const auto& argument : arguments) {
		corpora.push_back(MeasureCorpus(argument, maxExamples));
	}
	Print(corpora);
	return 0;
}
