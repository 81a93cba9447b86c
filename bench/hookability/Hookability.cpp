// Hookability: how many real function entries the detour accepts.
//
// For every primary function entry in the function table (.pdata) of real x86-64 PE
// binaries, the detour's plan is run on the entry's bytes from the file (after the
// leading jumps an install follows, as `addrlib check` finds them), with the function's
// size from the table, as an install would run it on live code:
//   after, near page     the replacement far away (as a plugin DLL is from the game), a
//                        page for trampoline and relay assumed within reach of the target
//   after, no near page  the same replacement, no page within reach: the fallback
//   after, size unknown  as "near page", but without the function's size, as a live
//                        install plans (it has no function table to ask): whether the
//                        plan's own guard keeps the stolen bytes inside the function
//   before               the rules of the detour before relocation: a 14-byte absolute
//                        jump for a far replacement, and every rip-relative operand or
//                        relative branch among the stolen bytes refused
// and prints, per corpus, the share accepted and each refusal class, as markdown tables.
//
//   bench_hookability [--examples N] [LABEL=]PATH...
// Each PATH (a file, or a folder searched recursively) is one corpus; identical files
// count once. Without a PATH: Wine's x86-64 DLLs.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Check.h"
#include "DetourPlan.h"
#include "InstructionLengthDecoder.h"
#include "PeImage.h"

namespace
{
	constexpr const char*    kWineDlls = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
	constexpr std::uint32_t  kSmallestCounted = 16;
	constexpr std::uintptr_t kFar = std::uintptr_t{ 64 } << 30; // where a plugin DLL may lie from the game

	using Branch = InstructionInfo::Branch;

	// The detour's acceptance rules before it relocated anything: a far replacement takes
	// the 14-byte absolute jump; whole instructions are stolen until it fits; refused are
	// an undecodable instruction, a rip-relative operand, a relative branch, int3, and a
	// return or unconditional jump before the jump fits. Gives the failure and the stolen
	// length.
	std::pair<DetourFailure, std::size_t> BeforeRelocation(std::span<const std::uint8_t> a_code)
	{
		constexpr std::size_t kAbsoluteJump = 14;
		std::size_t           length = 0;
		while (length < kAbsoluteJump) {
			std::array<std::uint8_t, 32> padded{};
			padded.fill(0xCC);
			if (length >= a_code.size()) {
				return { DetourFailure::CodeTooShort, length };
			}
			std::copy_n(a_code.begin() + static_cast<std::ptrdiff_t>(length), std::min<std::size_t>(a_code.size() - length, 15), padded.begin());
			const InstructionInfo info = MeasureInstruction(padded.data(), kX86_64Mode);
			if (info.length < 0) {
				return { DetourFailure::Undecodable, length };
			}
			if (info.relative == InstructionInfo::Relative::Memory) {
				return { DetourFailure::RipRelative, length };
			}
			if (info.relative == InstructionInfo::Relative::Branch) {
				return { DetourFailure::RelativeBranch, length };
			}
			length += static_cast<std::size_t>(info.length);
			if (info.branch == Branch::Breakpoint || (info.EndsFlow() && length < kAbsoluteJump)) {
				return { DetourFailure::FunctionEnds, length - static_cast<std::size_t>(info.length) };
			}
		}
		return { DetourFailure::None, length };
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
	struct Column
	{
		std::uint64_t                                 accepted{ 0 };
		std::uint64_t                                 pastEnd{ 0 }; // accepted, yet stealing past the function's end
		std::map<DetourFailure, std::uint64_t>        refusals;
		std::map<DetourFailure, std::vector<Example>> examples;

		void Count(DetourFailure a_failure, std::size_t a_stolen, std::size_t a_failedAt, const std::string& a_file, const AddrLib::PatchSite& a_site,
		           std::size_t a_maxExamples)
		{
			if (a_failure == DetourFailure::None) {
				++accepted;
				pastEnd += a_site.functionSize != 0 && a_stolen > a_site.functionSize ? 1 : 0;
				return;
			}
			++refusals[a_failure];
			auto& list = examples[a_failure];
			if (list.size() < a_maxExamples) {
				const auto shown = std::min<std::size_t>(a_site.code.size(), 24);
				list.push_back({ a_file, a_site.rva, a_failedAt, a_site.functionSize, { a_site.code.begin(), a_site.code.begin() + static_cast<std::ptrdiff_t>(shown) } });
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
		Column        unsized;
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
		std::ifstream             in(a_file, std::ios::binary);
		std::vector<std::uint8_t> bytes{ std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
		if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z' || !a_seen.insert(Fingerprint(bytes)).second) {
			return;
		}
		try {
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
					const auto live = DryRunDetour(code, image.ImageBase() + function.begin, 0);
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

				const auto near = DryRunDetour(site.code, target, site.functionSize);
				a_corpus.near.Count(near.failure, near.stolenLength, near.failedAt, name, site, a_maxExamples);

				const auto noNear = PlanDetour(site.code, target, target + kFar, target + 2 * kFar, 0, site.functionSize);
				a_corpus.noNear.Count(noNear.failure, noNear.stolenLength, noNear.failedAt, name, site, a_maxExamples);

				const auto live = DryRunDetour(site.code, target, 0);
				a_corpus.unsized.Count(live.failure, live.stolenLength, live.failedAt, name, site, a_maxExamples);
			}
		} catch (const PeImage::BadImage&) {
			// Not a PE image after all (a resource file with an MZ stub): not part of the corpus.
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

	void Print(const std::vector<Corpus>& a_corpora)
	{
		fmt::print("| corpus | files | entries of 16+ bytes | before: accepted | after, near page: accepted | after, no near page: accepted | after, size unknown: accepted "
		           "| accepted past the function's end (before / near / no near / size unknown) |\n");
		fmt::print("|---|---|---|---|---|---|---|---|\n");
		for (const auto& corpus : a_corpora) {
			fmt::print("| {} | {} | {} | {} | {} | {} | {} | {} / {} / {} / {} |\n", corpus.label, corpus.files, corpus.entries,
			           Percent(corpus.before.accepted, corpus.entries), Percent(corpus.near.accepted, corpus.entries),
			           Percent(corpus.noNear.accepted, corpus.entries), Percent(corpus.unsized.accepted, corpus.entries), corpus.before.pastEnd,
			           corpus.near.pastEnd, corpus.noNear.pastEnd, corpus.unsized.pastEnd);
		}
		for (const auto& corpus : a_corpora) {
			fmt::print("\n{}: {} entries of 16+ bytes ({} smaller ones not counted, of which {} would be accepted past their end if planned "
			           "without their size; {} chained fragments counted into their functions; {} begin with a jump that is followed, {} of them "
			           "out of every listed function)\n\n",
			           corpus.label, corpus.entries, corpus.small, corpus.smallPastEnd, corpus.fragments, corpus.followed, corpus.leftTable);
			fmt::print("| refused because | before | after, near page | after, no near page | after, size unknown |\n|---|---|---|---|---|\n");
			std::set<DetourFailure> classes;
			for (const Column* column : { &corpus.before, &corpus.near, &corpus.noNear, &corpus.unsized }) {
				for (const auto& [failure, count] : column->refusals) {
					classes.insert(failure);
				}
			}
			auto count = [](const Column& a_column, DetourFailure a_failure) {
				const auto found = a_column.refusals.find(a_failure);
				return found == a_column.refusals.end() ? std::uint64_t{ 0 } : found->second;
			};
			for (const auto failure : classes) {
				fmt::print("| {} | {} | {} | {} | {} |\n", DescribeFailure(failure), count(corpus.before, failure), count(corpus.near, failure),
				           count(corpus.noNear, failure), count(corpus.unsized, failure));
			}
			for (const auto& [failure, examples] : corpus.near.examples) {
				fmt::print("\nRefused with a near page, {}:\n", DescribeFailure(failure));
				for (const auto& example : examples) {
					fmt::print("  {} +0x{:X} ({} bytes to the function's end; failed at +{}): {}\n", example.file, example.rva, example.size, example.failedAt, AddrLib::FormatBytes(example.bytes));
				}
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
			maxExamples = std::stoul(a_argv[++i]);
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
