// The rest of a function after the bytes the jump overwrites: its branches back into
// them, and the switch tables after its code. DetourPlan.h says what is passed as a
// switch table and why; DetourPlanPhases.h where this phase sits in the plan.

#include "DetourPlanPhases.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <tuple>
#include <vector>

namespace Detour::PlanPhases
{
	namespace
	{
		// How the code reads a switch table.
		enum class TableForm : std::uint8_t
		{
			Offsets, // mov r32, [base + index*4 + table]: 32-bit offsets of the cases from the image's base
			Indices  // movzx r32, byte [base + index + table]: bytes that index an offset table
		};

		struct TableRead
		{
			std::size_t offset{ 0 }; // of the table, from the target
			TableForm   form{ TableForm::Offsets };
			std::size_t readAt{ 0 }; // the instruction that reads it
		};

		// A function holds few switch tables; more reads that look like theirs, or more
		// tables that turn out not to be, and the rest is walked as code.
		constexpr std::size_t kMostTableReads = 64;
		constexpr int         kMostTableChecks = 8;
		// Where the tables begin is tried at the last few places the code may end: the walk
		// may have measured the first bytes of a table as instructions, a return among them.
		constexpr int kMostCodeEndsTried = 4;

		// A place where the function's code may end and its tables begin: after a return,
		// jump, int3 or ud2, or a call (tables right behind one say it does not return), and
		// the nops that follow it.
		struct CodeEnd
		{
			std::size_t flowEnd{ 0 };      // just past that instruction
			std::size_t dataStart{ 0 };    // just past the nops behind it
			std::size_t destinations{ 0 }; // how many the walk had seen there
		};

		// What the walk over the function's code has seen so far.
		struct CodeWalk
		{
			std::size_t                 at{ 0 };          // where the walk goes on
			std::optional<std::size_t>  tableAt;          // the table read that stopped it
			std::vector<CodeEnd>        ends;             // in the order measured
			bool                        padding{ false }; // nothing but nops measured since the last end
			std::vector<bool>           starts;           // where each measured instruction starts
			std::vector<std::uintptr_t> destinations;     // of every relative branch and rip-relative operand
			std::vector<TableRead>      tables;           // read by the measured code, inside the function
			int                         tableChecks{ 0 };
		};

		std::uint32_t ReadU32(const std::uint8_t* a_bytes)
		{
			std::uint32_t value = 0;
			std::memcpy(&value, a_bytes, sizeof value);
			return value; // x86 is little-endian, as is every host the detour runs on
		}

		// The address a_offset bytes past the image's base, where that does not wrap.
		std::optional<std::uintptr_t> ImageAddress(std::uintptr_t a_imageBase, std::uint32_t a_offset)
		{
			if (a_imageBase > std::numeric_limits<std::uintptr_t>::max() - a_offset) {
				return std::nullopt;
			}
			return a_imageBase + a_offset;
		}

		// 90 is a nop only without a prefix but 66 (REX.B makes it xchg r8, rax and F3
		// pause); 0F 1F is the long nop with any.
		bool IsNop(const std::uint8_t* a_bytes, const InstructionInfo& a_info)
		{
			const std::uint8_t* const opcode = a_bytes + a_info.opcodeOffset;
			if (a_info.opcodeSize == 2) {
				return opcode[0] == 0x0F && opcode[1] == 0x1F;
			}
			return a_info.opcodeSize == 1 && opcode[0] == 0x90 && std::all_of(a_bytes, a_bytes + a_info.prefixCount, [](std::uint8_t a_prefix) { return a_prefix == 0x66; });
		}

		// What an operand [base + ... + disp32] points at inside the function when base holds
		// the image's base: the displacement is then an offset from it. A switch table in
		// one of its two forms is read by a 32-bit load (no prefix but a REX without W) from
		// [base + index*4 + table] or [base + index + table].
		struct ImageReference
		{
			std::size_t              offset{ 0 }; // from the target
			std::optional<TableForm> form;        // the table read, if it is one
		};

		std::optional<ImageReference> ImageReferenceOf(const std::uint8_t* a_bytes, const InstructionInfo& a_info, std::uintptr_t a_target, std::size_t a_functionSize,
		                                               std::uintptr_t a_imageBase)
		{
			if (a_info.modrmOffset == 0 || a_info.displacementSize != 4 || (a_bytes[a_info.modrmOffset] >> 6) != 2) {
				return std::nullopt;
			}
			// The displacement is sign-extended: a negative one is no offset into the image.
			const std::uint32_t displacement = ReadU32(a_bytes + a_info.displacementOffset);
			const auto          address = ImageAddress(a_imageBase, displacement);
			if (displacement > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()) || !address || *address < a_target || *address - a_target >= a_functionSize) {
				return std::nullopt;
			}
			ImageReference     reference{ *address - a_target, std::nullopt };
			const std::uint8_t rex = a_info.prefixCount == 1 ? a_bytes[0] : std::uint8_t{ 0x40 };
			const std::uint8_t sib = a_info.sibOffset != 0 ? a_bytes[a_info.sibOffset] : std::uint8_t{ 0x20 }; // 0x20: no index
			const bool         indexed = ((sib >> 3) & 7) != 4 || (rex & 0x02) != 0;                           // index 100 is none without REX.X
			if (a_info.prefixCount > 1 || (rex & 0xF8) != 0x40 || !indexed) {
				return reference;
			}
			const std::uint8_t* const opcode = a_bytes + a_info.opcodeOffset;
			const unsigned            scale = sib >> 6;
			if (a_info.opcodeSize == 1 && opcode[0] == 0x8B && scale == 2) {
				reference.form = TableForm::Offsets;
			} else if (a_info.opcodeSize == 2 && opcode[0] == 0x0F && opcode[1] == 0xB6 && scale == 0) {
				reference.form = TableForm::Indices;
			}
			return reference;
		}

		// The first table read at or after a_from, or past the function when none is.
		std::size_t NextTable(const std::vector<TableRead>& a_tables, std::size_t a_from, std::size_t a_functionSize)
		{
			std::size_t next = a_functionSize;
			for (const TableRead& table : a_tables) {
				if (table.offset >= a_from && table.offset < next) {
					next = table.offset;
				}
			}
			return next;
		}

		// Measures the code on from where the walk stands until the function's end, a switch
		// table the code read, or what cannot be measured; refuses a branch into the stolen
		// bytes. The stolen bytes are measured too, so that their instructions count as
		// starts.
		Refusal WalkOn(CodeWalk& a_walk, std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::size_t a_stolen, std::size_t a_functionSize, std::uintptr_t a_imageBase)
		{
			const std::size_t end = std::min(a_functionSize, a_code.size());
			a_walk.tableAt.reset();
			while (a_walk.at < end) {
				const std::size_t at = a_walk.at;
				if (NextTable(a_walk.tables, std::max(at, a_stolen), a_functionSize) == at) {
					a_walk.tableAt = at;
					break;
				}
				std::uint8_t          padded[kPaddedSize];
				const InstructionInfo info = MeasurePadded(a_code.subspan(at, end - at), padded);
				if (info.length < 0 || static_cast<std::size_t>(info.length) > end - at) {
					break;
				}
				const auto length = static_cast<std::size_t>(info.length);
				// Bytes that run into a table the code reads are no instruction of it.
				if (const std::size_t table = NextTable(a_walk.tables, std::max(at + 1, a_stolen), a_functionSize); table < at + length) {
					a_walk.tableAt = table;
					break;
				}
				const auto destination = static_cast<std::uintptr_t>(RelativeDestination(padded, info, a_target + at));
				if (at >= a_stolen && info.relative == InstructionInfo::Relative::Branch && destination > a_target && destination < a_target + a_stolen) {
					return { DetourFailure::BranchIntoStolenBytes, at };
				}
				a_walk.starts[at] = true;
				if (info.relative != InstructionInfo::Relative::None) {
					a_walk.destinations.push_back(destination);
				}
				// Other references into the function count as branches: an address computed
				// from the image's base may well be jumped to.
				if (const auto reference = a_imageBase != 0 ? ImageReferenceOf(padded, info, a_target, a_functionSize, a_imageBase) : std::nullopt) {
					if (!reference->form) {
						a_walk.destinations.push_back(a_target + reference->offset);
					} else if (a_walk.tableChecks < kMostTableChecks && a_walk.tables.size() < kMostTableReads) {
						a_walk.tables.push_back({ reference->offset, *reference->form, at });
					}
				}
				if (info.EndsFlow() || info.branch == InstructionInfo::Branch::Call || info.branch == InstructionInfo::Branch::IndirectCall) {
					a_walk.ends.push_back({ at + length, at + length, a_walk.destinations.size() });
					a_walk.padding = true;
				} else if (a_walk.padding && IsNop(padded, info)) {
					a_walk.ends.back().dataStart = at + length;
				} else {
					a_walk.padding = false;
				}
				a_walk.at = at + length;
			}
			return {};
		}

		// The length of the alignment padding that ends a table before the next one: a nop
		// (90, 66 90, 0F 1F 00) or int3s, 3 bytes at most; 0 when there is none.
		std::size_t PaddingAtEnd(std::span<const std::uint8_t> a_bytes)
		{
			constexpr std::uint8_t kNops[][3] = { { 0x90 }, { 0x66, 0x90 }, { 0x0F, 0x1F, 0x00 } };
			for (std::size_t length = 3; length > 0; --length) {
				if (a_bytes.size() < length) {
					continue;
				}
				const auto tail = a_bytes.last(length);
				if (std::ranges::equal(tail, std::span{ kNops[length - 1], length }) || std::ranges::all_of(tail, [](std::uint8_t a_byte) { return a_byte == 0xCC; })) {
					return length;
				}
			}
			return 0;
		}

		// Whether every byte of [a_begin, a_end) belongs to a table of a_form: offsets that
		// lead to instruction starts measured before a_codeEnd; indices of an entry of the
		// offset tables (a_entries of them at most). The first offset that leads into the
		// stolen bytes but to their first is noted.
		bool IsTable(const CodeWalk& a_walk, std::span<const std::uint8_t> a_code, TableForm a_form, std::size_t a_begin, std::size_t a_end, std::size_t a_entries,
		             std::size_t a_codeEnd, std::uintptr_t a_target, std::size_t a_stolen, std::uintptr_t a_imageBase, std::optional<std::size_t>& a_intoStolen)
		{
			const auto bytes = a_code.subspan(a_begin, a_end - a_begin);
			if (a_form == TableForm::Indices) {
				return std::ranges::all_of(bytes, [&](std::uint8_t a_index) { return a_index < a_entries; });
			}
			if (bytes.size() % 4 != 0) {
				return false;
			}
			for (std::size_t entry = 0; entry < bytes.size(); entry += 4) {
				const auto        to = ImageAddress(a_imageBase, ReadU32(bytes.data() + entry));
				const std::size_t offset = to && *to >= a_target ? *to - a_target : a_codeEnd;
				if (offset >= a_codeEnd || !a_walk.starts[offset]) {
					return false;
				}
				if (offset > 0 && offset < a_stolen && !a_intoStolen) {
					a_intoStolen = a_begin + entry;
				}
			}
			return true;
		}

		// The offset table an index table indexes: the one whose read follows the index
		// table's within kPairedReads bytes, as the two reads of a two-level switch do;
		// a_tables.size() when there is none (its entries then count as none).
		constexpr std::size_t kPairedReads = 16;

		std::size_t IndexedTable(const std::vector<TableRead>& a_tables, std::size_t a_indices)
		{
			std::size_t paired = a_tables.size();
			for (std::size_t i = 0; i < a_tables.size(); ++i) {
				const std::size_t readAt = a_tables[i].readAt;
				if (a_tables[i].form == TableForm::Offsets && readAt > a_tables[a_indices].readAt && readAt - a_tables[a_indices].readAt <= kPairedReads &&
				    (paired == a_tables.size() || readAt < a_tables[paired].readAt)) {
					paired = i;
				}
			}
			return paired;
		}

		// Whether everything from a_end's data start to the function's end is switch tables
		// that nothing reaches but their own reads: no branch or rip-relative operand of the
		// code before it points at or past the instruction a_end follows. Each table runs up
		// to the next one read; the bytes before the first read belong to it (a switch whose
		// cases start above 0 reads its table from a displacement past the table's start).
		// Refuses a case that lands inside the stolen bytes; RestOfFunctionUnchecked when the
		// bytes are not such tables.
		Refusal CheckTables(const CodeWalk& a_walk, const CodeEnd& a_end, std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::size_t a_stolen,
		                    std::size_t a_functionSize, std::uintptr_t a_imageBase)
		{
			const Refusal notTables{ DetourFailure::RestOfFunctionUnchecked, a_walk.at };
			const auto    before = std::span{ a_walk.destinations }.first(a_end.destinations);
			const auto    intoData = [&](std::uintptr_t a_to) { return a_to >= a_target + a_end.flowEnd && a_to < a_target + a_functionSize; };
			if (a_end.flowEnd <= a_stolen || a_code.size() < a_functionSize || std::ranges::any_of(before, intoData)) {
				return notTables;
			}
			std::vector<TableRead> tables;
			std::ranges::copy_if(a_walk.tables, std::back_inserter(tables), [&](const TableRead& a_table) { return a_table.offset >= a_end.dataStart && a_table.readAt < a_end.flowEnd; });
			std::ranges::sort(tables, {}, [](const TableRead& a_table) { return std::tuple{ a_table.offset, a_table.form, a_table.readAt }; });
			const auto sameTable = [](const TableRead& a_one, const TableRead& a_other) { return a_one.offset == a_other.offset && a_one.form == a_other.form; };
			tables.erase(std::unique(tables.begin(), tables.end(), sameTable), tables.end());
			const auto sameOffset = [](const TableRead& a_one, const TableRead& a_other) { return a_one.offset == a_other.offset; };
			if (tables.empty() || std::adjacent_find(tables.begin(), tables.end(), sameOffset) != tables.end()) {
				return notTables; // none, or one read in both forms
			}
			// Offsets first, so that each index table knows how many entries the offset table
			// it indexes has: the one read right after it.
			std::vector<std::size_t>   entries(tables.size() + 1, 0); // of each offset table; the last stands for none
			std::optional<std::size_t> intoStolen;
			for (const TableForm pass : { TableForm::Offsets, TableForm::Indices }) {
				for (std::size_t i = 0; i < tables.size(); ++i) {
					const std::size_t begin = i == 0 ? a_end.dataStart : tables[i].offset;
					const std::size_t end = i + 1 < tables.size() ? tables[i + 1].offset : a_functionSize;
					if (tables[i].form != pass) {
						continue;
					}
					const std::size_t indexed = pass == TableForm::Indices ? entries[IndexedTable(tables, i)] : 0;
					// The table alone, or the table and the padding that aligns the next one.
					const auto  fits = [&](std::size_t a_tableEnd) { return IsTable(a_walk, a_code, pass, begin, a_tableEnd, indexed, a_end.flowEnd, a_target, a_stolen, a_imageBase, intoStolen); };
					std::size_t tableEnd = end;
					if (!fits(end)) {
						const std::size_t padding = PaddingAtEnd(a_code.subspan(begin, end - begin));
						if (padding == 0 || !fits(end - padding)) {
							return notTables;
						}
						tableEnd = end - padding;
					}
					entries[i] = (tableEnd - begin) / 4;
				}
			}
			if (intoStolen) {
				return { DetourFailure::BranchIntoStolenBytes, *intoStolen };
			}
			return {};
		}

		// The tables tried from each of the last places where the walk's code may end.
		Refusal CheckTablesAtCodeEnds(const CodeWalk& a_walk, std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::size_t a_stolen, std::size_t a_functionSize,
		                              std::uintptr_t a_imageBase)
		{
			const std::size_t tries = std::min<std::size_t>(a_walk.ends.size(), kMostCodeEndsTried);
			for (auto end = a_walk.ends.rbegin(); end != a_walk.ends.rbegin() + static_cast<std::ptrdiff_t>(tries); ++end) {
				if (const Refusal refusal = CheckTables(a_walk, *end, a_code, a_target, a_stolen, a_functionSize, a_imageBase); refusal.failure != DetourFailure::RestOfFunctionUnchecked) {
					return refusal;
				}
			}
			return { DetourFailure::RestOfFunctionUnchecked, a_walk.at };
		}
	} // namespace

	Refusal CheckRestOfFunction(std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::size_t a_stolen, std::size_t a_functionSize, std::uintptr_t a_imageBase)
	{
		if (a_functionSize == 0) {
			return {}; // no known end: nothing to walk to
		}
		// Walked instruction by instruction: a branch the walk does not see, past code it
		// cannot measure or bytes it was not given, may be the one that lands inside the
		// jump, so a walk that stops short of the function's end refuses, unless what stops
		// it is the function's switch tables. A table read that turns out to be none is
		// forgotten, and the walk goes on through its bytes as code.
		CodeWalk walk;
		walk.starts.assign(std::min(a_functionSize, a_code.size()), false);
		for (;;) {
			if (const Refusal refusal = WalkOn(walk, a_code, a_target, a_stolen, a_functionSize, a_imageBase)) {
				return refusal;
			}
			if (walk.at >= a_functionSize) {
				return {};
			}
			if (const Refusal tables = CheckTablesAtCodeEnds(walk, a_code, a_target, a_stolen, a_functionSize, a_imageBase); tables.failure != DetourFailure::RestOfFunctionUnchecked) {
				return tables;
			}
			if (!walk.tableAt) {
				return { DetourFailure::RestOfFunctionUnchecked, walk.at };
			}
			std::erase_if(walk.tables, [&](const TableRead& a_table) { return a_table.offset == *walk.tableAt; });
			if (++walk.tableChecks >= kMostTableChecks) {
				walk.tables.clear();
			}
		}
	}
} // namespace Detour::PlanPhases
