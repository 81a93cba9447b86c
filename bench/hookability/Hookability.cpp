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
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Check.h"
#include "Detour/DetourPlan.h"
#include "Detour/InstructionLengthDecoder.h"
#include "JumpReader.h"
#include "PeImage.h"

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

	// Reads an accepted plan's bytes back with the decoder and checks that every copy does
	// what its original did from its new place: a copied instruction is unchanged, a
	// rip-relative operand still refers to the same address, a branch still goes to the
	// same destination (or to the copy of the stolen instruction it lands on), with the
	// same condition; the trampoline's last jump returns behind the stolen bytes; the
	// target's jump reaches the replacement, through the relay when there is one. This is
	// independent of how the plan writes its bytes, so a relocation mistake shows here.
	class PlanReader
	{
	public:
		explicit PlanReader(const Detour::DetourPlan& a_plan) :
		    plan(a_plan) {}

		bool Verify(std::span<const std::uint8_t> a_code) const
		{
			const auto& trampoline = plan.trampoline;
			for (const auto& record : plan.instructions) {
				const auto           original = a_code.subspan(record.offset, record.length);
				const auto           info = TestSupport::Decode(original);
				const auto           copy = std::span{ trampoline }.subspan(record.trampolineOffset, record.trampolineLength);
				const std::uintptr_t at = plan.trampolineAddress + record.trampolineOffset;
				// A rip-relative operand keeps its address even inside the stolen bytes (lea of
				// the function's own address must still name the function); a branch there
				// lands on the copy.
				const std::uintptr_t referent = TestSupport::Referent(original, plan.target + record.offset);
				const std::uintptr_t destination = info.relative == Detour::InstructionInfo::Relative::Branch ? Expected(referent) : referent;
				bool                 ok = false;
				switch (record.relocation) {
					case Detour::Relocation::Copied:
						ok = info.relative == Detour::InstructionInfo::Relative::None && std::ranges::equal(copy, original);
						break;
					case Detour::Relocation::RipDisplacement: {
						const auto moved = TestSupport::Decode(copy);
						ok = info.relative == Detour::InstructionInfo::Relative::Memory && moved.length == info.length &&
						     TestSupport::Referent(copy, at) == destination &&
						     std::equal(copy.begin(), copy.begin() + info.relativeOffset, original.begin());
						break;
					}
					case Detour::Relocation::Jump:
						ok = info.branch == Branch::Jump && TestSupport::JumpDestination(copy, at) == destination;
						break;
					case Detour::Relocation::Call:
						ok = info.branch == Branch::Call &&
						     ((copy.size() == 5 && copy[0] == 0xE8 && TestSupport::Referent(copy, at) == destination) ||
						      (copy.size() == 16 && copy[0] == 0xFF && copy[1] == 0x15 && TestSupport::Read64(copy, 8) == destination));
						break;
					case Detour::Relocation::ConditionalJump: {
						const std::uint8_t condition = original[info.opcodeOffset + info.opcodeSize - 1] & 0x0F;
						const bool         near = copy.size() == 6 && copy[0] == 0x0F && copy[1] == (0x80 | condition) &&
						                  TestSupport::Referent(copy, at) == destination;
						const bool inverted = copy.size() == 16 && copy[0] == (0x70 | (condition ^ 1)) && copy[1] == 14 && TestSupport::JumpDestination(copy.subspan(2), at + 2) == destination;
						ok = info.branch == Branch::ConditionalJump && (near || inverted);
						break;
					}
					case Detour::Relocation::Loop: {
						// [67] loop +2 | jmp short over | jump to the destination
						const std::size_t prefix = copy[0] == 0x67 ? 1 : 0;
						ok = info.branch == Branch::Loop && copy[prefix] == original[info.opcodeOffset] && copy[prefix + 1] == 2 &&
						     copy[prefix + 2] == 0xEB && TestSupport::JumpDestination(copy.subspan(prefix + 4), at + prefix + 4) == destination;
						break;
					}
				}
				if (!ok) {
					return false;
				}
			}
			const auto&       last = plan.instructions.back();
			const std::size_t back = last.trampolineOffset + last.trampolineLength;
			if (TestSupport::JumpDestination(std::span{ trampoline }.subspan(back), plan.trampolineAddress + back) != plan.target + plan.stolenLength) {
				return false;
			}
			if (TestSupport::JumpDestination(plan.patch, plan.target) != (plan.relayAddress != 0 ? plan.relayAddress : plan.replacement) ||
			    !std::all_of(plan.patch.begin() + static_cast<std::ptrdiff_t>(plan.jumpSize), plan.patch.end(), [](std::uint8_t a_byte) { return a_byte == 0x90; })) {
				return false;
			}
			return plan.relayAddress == 0 || TestSupport::JumpDestination(plan.relay, plan.relayAddress) == plan.replacement;
		}

	private:
		// A destination inside the stolen bytes is reached at the copy of the instruction
		// there; any other stays where it was.
		std::uintptr_t Expected(std::uintptr_t a_destination) const
		{
			if (a_destination >= plan.target && a_destination < plan.target + plan.stolenLength) {
				for (const auto& record : plan.instructions) {
					if (plan.target + record.offset == a_destination) {
						return plan.trampolineAddress + record.trampolineOffset;
					}
				}
			}
			return a_destination;
		}

		const Detour::DetourPlan& plan;
	};

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
			if (a_plan.ok()) {
				for (const auto& instruction : a_plan.instructions) {
					++relocations[instruction.relocation];
				}
			}
			if (a_plan.ok() && a_site.functionSize != 0) {
				if (const std::size_t stop = ScanStop(a_plan, a_site); stop == 0) {
					++scanned;
				} else if (scanStops.size() < a_maxExamples) {
					const auto shown = std::min<std::size_t>(a_site.code.size() - stop, 16);
					scanStops.push_back({ a_file, a_site.rva, stop, a_site.functionSize, { a_site.code.begin() + static_cast<std::ptrdiff_t>(stop), a_site.code.begin() + static_cast<std::ptrdiff_t>(stop + shown) } });
				}
			}
			if (a_plan.ok() && !PlanReader(a_plan).Verify(a_site.code)) {
				++misrelocated;
				Keep(misrelocatedExamples, 0, a_file, a_site, a_maxExamples);
			}
		}

		// Where the decoder stops when it measures instruction after instruction from the end
		// of the stolen bytes to the function's end (as far as a_code reaches); 0 when it
		// reaches the end.
		static std::size_t ScanStop(const Detour::DetourPlan& a_plan, const AddrLib::PatchSite& a_site)
		{
			const std::size_t end = std::min<std::size_t>(a_site.functionSize, a_site.code.size());
			std::size_t       at = a_plan.stolenLength;
			while (at < end) {
				const auto info = TestSupport::Decode(std::span{ a_site.code }.subspan(at, end - at));
				if (info.length < 0 || at + static_cast<std::size_t>(info.length) > end) {
					return at;
				}
				at += static_cast<std::size_t>(info.length);
			}
			return 0;
		}

		std::uint64_t                               scanned{ 0 }; // accepted plans whose function the decoder walks to its end
		std::vector<Example>                        scanStops;    // where such a walk stopped, with the bytes there
		std::vector<Example>                        misrelocatedExamples;
		std::map<Detour::Relocation, std::uint64_t> relocations; // stolen instructions of accepted plans, by how they were carried

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

				const auto near = Detour::DryRunDetour(site.code, target, site.functionSize);
				a_corpus.near.Count(near, name, site, a_maxExamples);
				a_corpus.noNear.Count(Detour::PlanDetour(site.code, target, target + kFar, target + 2 * kFar, 0, site.functionSize), name, site, a_maxExamples);
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

	void Print(const std::vector<Corpus>& a_corpora)
	{
		fmt::print("| corpus | files | entries of 16+ bytes | before: accepted | after, near page: accepted | after, no near page: accepted | as a live install: accepted "
		           "| accepted past the function's end (before / near / no near / live) | accepted but relocated wrongly (near / no near / live) | live accepts, near refuses "
		           "| near page: decoded to the function's end |\n");
		fmt::print("|---|---|---|---|---|---|---|---|---|---|---|\n");
		for (const auto& corpus : a_corpora) {
			fmt::print("| {} | {} | {} | {} | {} | {} | {} | {} / {} / {} / {} | {} / {} / {} | {} | {} |\n", corpus.label, corpus.files, corpus.entries,
			           Percent(corpus.before.accepted, corpus.entries), Percent(corpus.near.accepted, corpus.entries),
			           Percent(corpus.noNear.accepted, corpus.entries), Percent(corpus.live.accepted, corpus.entries), corpus.before.pastEnd,
			           corpus.near.pastEnd, corpus.noNear.pastEnd, corpus.live.pastEnd, corpus.near.misrelocated, corpus.noNear.misrelocated,
			           corpus.live.misrelocated, corpus.missed, Percent(corpus.near.scanned, corpus.near.accepted));
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
			fmt::print("\nStolen instructions of the plans accepted with a near page (each read back and checked):");
			constexpr std::pair<Detour::Relocation, const char*> kKinds[] = { { Detour::Relocation::Copied, "copied" }, { Detour::Relocation::RipDisplacement, "rip-relative" }, { Detour::Relocation::Jump, "jmp" }, { Detour::Relocation::Call, "call" }, { Detour::Relocation::ConditionalJump, "Jcc" }, { Detour::Relocation::Loop, "loop/jrcxz" } };
			for (const auto& [kind, label] : kKinds) {
				const auto found = corpus.near.relocations.find(kind);
				fmt::print(" {} {}", label, found == corpus.near.relocations.end() ? 0 : found->second);
			}
			fmt::print("\n");
			if (!corpus.near.scanStops.empty()) {
				fmt::print("\nAccepted with a near page, the decoder stopped before the function's end:\n");
				for (const auto& example : corpus.near.scanStops) {
					fmt::print("  {} +0x{:X} ({} bytes), at +{}: {}\n", example.file, example.rva, example.size, example.failedAt, AddrLib::FormatBytes(example.bytes));
				}
			}
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
