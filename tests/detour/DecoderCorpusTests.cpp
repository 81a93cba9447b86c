// The decoder against Zydis, an independent decoder, over real machine code: the
// executable sections of binaries on this machine (x86-64 ELF and PE, and x86 where
// installed), walked instruction by instruction as Zydis measures them, and a sample
// of random encodings. Wherever our decoder accepts an instruction that Zydis also
// decodes, the lengths must agree. What else differs is counted by class and printed:
//  - refused by us, decoded by Zydis: the encodings that InstructionLengthDecoder.cpp
//    refuses on purpose (AMX, AVX-512 FP16, Xeon Phi among the VEX family); this is the
//    acceptance rate;
//  - accepted by us, refused by Zydis: encodings the processor rejects with #UD (LOCK
//    on an instruction that cannot take it, a mandatory prefix an SSE opcode does not
//    have, a control or bound register that does not exist, a VEX vector length or
//    vvvv field an opcode does not allow). Our length is still the one the processor
//    decodes before faulting, and none occurs in compiled code.
// Code compiled for AVX, AVX2 and AVX-512 (glibc's string functions, libm, and this
// project compiled for x86-64-v3 and -v4) and random encodings led by VEX, EVEX and XOP
// prefixes test the VEX family the same way.

#include "CodeCorpus.h"
#include "Detour/InstructionLengthDecoder.h"

#include <Zydis/Zydis.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace
{
	// Keeps the test to a few seconds under the sanitizers.
	constexpr std::size_t kMaxBytesPerCorpus = 2 * 1024 * 1024;

	ZydisDecoder MakeZydis(std::int32_t a_mode)
	{
		ZydisDecoder decoder;
		if (a_mode == Detour::kX86_64Mode) {
			ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
		} else {
			ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
		}
		ZydisDecoderEnableMode(&decoder, ZYDIS_DECODER_MODE_MINIMAL, ZYAN_TRUE);
		return decoder;
	}

	std::string Hex(const std::uint8_t* a_bytes, std::size_t a_count)
	{
		std::string text;
		char        byte[4];
		for (std::size_t i = 0; i < a_count; ++i) {
			std::snprintf(byte, sizeof byte, "%02X ", a_bytes[i]);
			text += byte;
		}
		return text;
	}

	struct Comparison
	{
		std::size_t                   zydisDecoded = 0; // instructions Zydis decodes
		std::size_t                   agreed = 0;       // ... that we accept, with the same length
		std::size_t                   refused = 0;      // ... that we refuse
		std::size_t                   zydisOnlyRefused = 0;
		std::vector<std::string>      mismatches;       // both accept, lengths differ
		std::vector<std::string>      layoutMismatches; // same length, parts or branch differ
		std::size_t                   layoutMismatchCount = 0;
		std::map<std::string, size_t> refusedClasses;
		std::map<std::string, size_t> acceptedInvalidClasses;
		std::size_t                   vexFamily = 0; // agreed instructions of the VEX, EVEX and XOP encodings

		static std::string EncodingName(ZydisInstructionEncoding a_encoding)
		{
			switch (a_encoding) {
				case ZYDIS_INSTRUCTION_ENCODING_VEX:
					return "VEX ";
				case ZYDIS_INSTRUCTION_ENCODING_EVEX:
					return "EVEX ";
				case ZYDIS_INSTRUCTION_ENCODING_XOP:
					return "XOP ";
				default:
					return "";
			}
		}

		// What we accept and Zydis refuses: a legacy instruction by its first bytes; one of
		// the VEX family by its encoding, map, implied prefix and opcode.
		static std::string AcceptedClass(const std::uint8_t* a_code, std::int32_t a_mode)
		{
			const Detour::InstructionInfo info = Detour::MeasureInstruction(a_code, a_mode);
			const std::uint8_t* const     prefix = a_code + info.opcodeOffset;
			const std::uint8_t            opcode = prefix[info.opcodeSize - 1];
			char                          name[48];
			switch (info.encoding) {
				case Detour::InstructionInfo::Encoding::Vex:
					std::snprintf(name, sizeof name, "VEX map %u pp %u %02X", *prefix == 0xC5 ? 1u : prefix[1] & 0x1Fu, (*prefix == 0xC5 ? prefix[1] : prefix[2]) & 3u, opcode);
					return name;
				case Detour::InstructionInfo::Encoding::Evex:
					std::snprintf(name, sizeof name, "EVEX map %u pp %u %02X", prefix[1] & 7u, prefix[2] & 3u, opcode);
					return name;
				case Detour::InstructionInfo::Encoding::Xop:
					std::snprintf(name, sizeof name, "XOP map %u %02X", prefix[1] & 0x1Fu, opcode);
					return name;
				default:
					return Hex(a_code, std::min<std::size_t>(static_cast<std::size_t>(info.length), 3));
			}
		}

		void Compare(const ZydisDecoder& a_zydis, const std::uint8_t* a_code, std::size_t a_available, std::int32_t a_mode, ZydisDecodedInstruction& a_instruction, bool& a_zydisDecoded)
		{
			a_zydisDecoded = ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&a_zydis, nullptr, a_code, a_available, &a_instruction));
			const std::int64_t ours = Detour::InstructionLengthDecoder(a_code, a_mode);
			if (a_zydisDecoded) {
				++zydisDecoded;
				if (ours < 0) {
					++refused;
					++refusedClasses[EncodingName(a_instruction.encoding) + ZydisMnemonicGetString(a_instruction.mnemonic)];
				} else if (ours == a_instruction.length) {
					++agreed;
					vexFamily += a_instruction.encoding != ZYDIS_INSTRUCTION_ENCODING_LEGACY ? 1 : 0;
					CompareLayout(a_code, a_mode, a_instruction);
				} else if (mismatches.size() < 20) {
					mismatches.push_back(Hex(a_code, a_instruction.length) + "(" + ZydisMnemonicGetString(a_instruction.mnemonic) + "): Zydis " + std::to_string(a_instruction.length) + ", ours " + std::to_string(ours));
				} else {
					mismatches.push_back("...");
				}
			} else if (ours >= 0) {
				++zydisOnlyRefused;
				++acceptedInvalidClasses[AcceptedClass(a_code, a_mode)];
			}
		}

		// Where the parts sit, whether the instruction depends on its place and how it
		// branches: what the detour relocates by.
		void CompareLayout(const std::uint8_t* a_code, std::int32_t a_mode, const ZydisDecodedInstruction& a_zydis)
		{
			const Detour::InstructionInfo info = Detour::MeasureInstruction(a_code, a_mode);
			const auto&                   raw = a_zydis.raw;
			const bool                    hasModrm = (a_zydis.attributes & ZYDIS_ATTRIB_HAS_MODRM) != 0;
			const bool                    hasSib = (a_zydis.attributes & ZYDIS_ATTRIB_HAS_SIB) != 0;
			const unsigned                immSize = (raw.imm[0].size + raw.imm[1].size) / 8u;
			using Branch = Detour::InstructionInfo::Branch;
			Branch expected = Branch::None;
			switch (a_zydis.meta.category) {
				case ZYDIS_CATEGORY_COND_BR:
					expected = (a_zydis.opcode >= 0xE0 && a_zydis.opcode <= 0xE3 && a_zydis.opcode_map == ZYDIS_OPCODE_MAP_DEFAULT) ? Branch::Loop : Branch::ConditionalJump;
					break;
				case ZYDIS_CATEGORY_UNCOND_BR:
					expected = a_zydis.opcode == 0xFF ? Branch::IndirectJump : Branch::Jump;
					break;
				case ZYDIS_CATEGORY_CALL:
					expected = a_zydis.opcode == 0xFF ? Branch::IndirectCall : Branch::Call;
					break;
				case ZYDIS_CATEGORY_RET:
					expected = Branch::Return;
					break;
				default:
					expected = a_zydis.mnemonic == ZYDIS_MNEMONIC_INT3 ? Branch::Breakpoint : a_zydis.mnemonic == ZYDIS_MNEMONIC_UD2                                                                                        ? Branch::Undefined
					                                                                      : a_zydis.mnemonic == ZYDIS_MNEMONIC_IRETQ || a_zydis.mnemonic == ZYDIS_MNEMONIC_IRETD || a_zydis.mnemonic == ZYDIS_MNEMONIC_IRET ? Branch::Return
					                                                                                                                                                                                                        : Branch::None;
					break;
			}
			// Not branches the detour deals with: xabort falls through outside a transaction,
			// and far jumps and calls to ptr16:32 exist in 32-bit code only.
			if (a_zydis.mnemonic == ZYDIS_MNEMONIC_XABORT || (a_zydis.opcode_map == ZYDIS_OPCODE_MAP_DEFAULT && (a_zydis.opcode == 0x9A || a_zydis.opcode == 0xEA))) {
				expected = Branch::None;
			}
			std::string differs;
			const auto  check = [&](const char* a_what, unsigned a_ours, unsigned a_theirs) {
                if (a_ours != a_theirs) {
                    differs += std::string(" ") + a_what + " " + std::to_string(a_ours) + "/" + std::to_string(a_theirs);
                }
			};
			check("prefixes", info.prefixCount, raw.prefix_count);
			check("modrm", info.modrmOffset, hasModrm ? raw.modrm.offset : 0u);
			check("sib", info.sibOffset, hasSib ? raw.sib.offset : 0u);
			check("disp size", info.displacementSize, raw.disp.size / 8u);
			check("disp at", info.displacementOffset, raw.disp.size != 0 ? raw.disp.offset : 0u);
			check("imm size", info.immediateSize, immSize);
			check("imm at", info.immediateOffset, immSize != 0 ? raw.imm[0].offset : 0u);
			check("relative", info.relative != Detour::InstructionInfo::Relative::None, (a_zydis.attributes & ZYDIS_ATTRIB_IS_RELATIVE) != 0);
			if (info.relative == Detour::InstructionInfo::Relative::Memory) {
				check("rip disp at", info.relativeOffset, raw.disp.offset);
				check("rip disp size", info.relativeSize, raw.disp.size / 8u);
			}
			check("branch", static_cast<unsigned>(info.branch), static_cast<unsigned>(expected));
			if (!differs.empty()) {
				++layoutMismatchCount;
				if (layoutMismatches.size() < 20) {
					layoutMismatches.push_back(Hex(a_code, a_zydis.length) + "(" + ZydisMnemonicGetString(a_zydis.mnemonic) + "), ours/Zydis:" + differs);
				}
			}
		}

		void Print(const char* a_label) const
		{
			std::printf("%s: %zu instructions, %zu accepted with Zydis's length (%.2f%%; %zu of them VEX, EVEX or XOP), %zu refused, %zu accepted that Zydis refuses, %zu length disagreements, %zu layout disagreements\n",
			            a_label, zydisDecoded, agreed, zydisDecoded != 0 ? 100.0 * static_cast<double>(agreed) / static_cast<double>(zydisDecoded) : 0.0,
			            vexFamily, refused, zydisOnlyRefused, mismatches.size(), layoutMismatchCount);
			PrintClasses("  refused, by Zydis's name:", refusedClasses);
			PrintClasses("  accepted that Zydis refuses:", acceptedInvalidClasses);
		}

		// Every length or layout disagreement is a test failure.
		void ReportDisagreements(const std::string& a_where) const
		{
			for (const std::string& mismatch : mismatches) {
				ADD_FAILURE() << a_where << ": " << mismatch;
			}
			for (const std::string& mismatch : layoutMismatches) {
				ADD_FAILURE() << a_where << ": " << mismatch;
			}
		}

		static void PrintClasses(const char* a_title, const std::map<std::string, size_t>& a_classes)
		{
			std::vector<std::pair<std::size_t, std::string>> classes;
			for (const auto& [name, count] : a_classes) {
				classes.emplace_back(count, name);
			}
			std::sort(classes.rbegin(), classes.rend());
			std::string line = a_title;
			for (std::size_t i = 0; i < classes.size() && i < 16; ++i) {
				line += " [" + classes[i].second + "] " + std::to_string(classes[i].first);
			}
			if (classes.size() > 16) {
				line += " ... (" + std::to_string(classes.size()) + " kinds)";
			}
			std::printf("%s\n", line.c_str());
		}
	};
} // namespace

namespace
{
	// Walks a_file's executable sections as Zydis measures them; the comparison of every
	// instruction start, or nullopt when the file is not on this machine.
	std::optional<Comparison> WalkCorpus(const CorpusFile& a_file)
	{
		const auto corpus = LoadCodeCorpus(a_file.path);
		if (!corpus) {
			std::printf("%s: not on this machine, skipped\n", a_file.label);
			return std::nullopt;
		}
		EXPECT_EQ(corpus->mode, a_file.mode) << a_file.path;
		const ZydisDecoder zydis = MakeZydis(corpus->mode);
		Comparison         comparison;
		std::size_t        budget = kMaxBytesPerCorpus;
		for (const CodeSection& section : corpus->sections) {
			const std::size_t size = std::min(section.size, budget);
			budget -= size;
			std::size_t offset = 0;
			while (offset < size) {
				ZydisDecodedInstruction instruction;
				bool                    decoded = false;
				// Both see the section's padding, so neither stops short at its end.
				comparison.Compare(zydis, section.bytes.data() + offset, section.bytes.size() - offset, corpus->mode, instruction, decoded);
				offset += decoded ? instruction.length : 1;
			}
		}
		comparison.Print(a_file.label);
		comparison.ReportDisagreements(a_file.label);
		if (corpus->mode == Detour::kX86_64Mode) {
			// Compiled code: everything but a handful of deliberate refusals.
			const double rate = static_cast<double>(comparison.agreed) / static_cast<double>(comparison.zydisDecoded);
			EXPECT_GT(rate, 0.95) << a_file.label << ": acceptance rate";
		}
		return comparison;
	}
} // namespace

TEST(DecoderAgainstZydis, AgreesOnEveryAcceptedInstructionOfRealBinaries)
{
	std::size_t walked = 0;
	for (const CorpusFile& file : kCorpusFiles) {
		if (const auto comparison = WalkCorpus(file)) {
			walked += comparison->zydisDecoded;
		}
	}
	EXPECT_GT(walked, 100000u) << "the x86-64 libc at least is always there";
}

TEST(DecoderAgainstZydis, AgreesOnEveryAcceptedInstructionOfAvxCompiledCode)
{
	// The project's own code compiled for x86-64-v3 and -v4, built beside this test (libc's
	// AVX2 and EVEX string functions and libm's FMA and FMA4 paths are walked above).
	constexpr CorpusFile kAvxFiles[] = {
		{ "x86-64-v3 (AVX2) build of the project", QS_AVX_CORPUS_V3, 64 },
		{ "x86-64-v4 (AVX-512) build of the project", QS_AVX_CORPUS_V4, 64 },
	};
	std::size_t vexFamily = 0;
	std::size_t refusedVexFamily = 0;
	for (const CorpusFile& file : kAvxFiles) {
		if (const auto comparison = WalkCorpus(file)) {
			vexFamily += comparison->vexFamily;
			for (const auto& [name, count] : comparison->refusedClasses) {
				refusedVexFamily += name.starts_with("VEX ") || name.starts_with("EVEX ") || name.starts_with("XOP ") ? count : 0;
			}
		}
	}
	EXPECT_GT(vexFamily, 5000u) << "VEX, EVEX and XOP instructions measured";
	EXPECT_EQ(refusedVexFamily, 0u) << "compiled AVX code uses nothing the decoder refuses";
}

TEST(DecoderAgainstZydis, AgreesOnEveryAcceptedRandomEncoding)
{
	// Random bytes, often led by prefixes and escapes, reach encodings that compilers
	// never emit: the corners of the tables.
	constexpr std::uint8_t kLeads[] = { 0x66, 0x67, 0xF2, 0xF3, 0x0F, 0x0F, 0x0F, 0x48, 0x41, 0x2E, 0xF0, 0x38, 0x3A, 0xD9, 0xDF };
	for (const std::int32_t mode : { Detour::kX86_64Mode, 32 }) {
		const ZydisDecoder zydis = MakeZydis(mode);
		Comparison         comparison;
		std::mt19937_64    random(0x5155454C4C53ull + static_cast<unsigned>(mode));
		std::uint8_t       code[32];
		for (int i = 0; i < 300000; ++i) {
			for (std::uint8_t& byte : code) {
				byte = static_cast<std::uint8_t>(random());
			}
			const int leads = static_cast<int>(random() % 4);
			for (int j = 0; j < leads; ++j) {
				code[j] = kLeads[random() % sizeof kLeads];
			}
			ZydisDecodedInstruction instruction;
			bool                    decoded = false;
			comparison.Compare(zydis, code, sizeof code, mode, instruction, decoded);
		}
		comparison.Print(mode == Detour::kX86_64Mode ? "random x86-64" : "random x86");
		comparison.ReportDisagreements("mode " + std::to_string(mode));
	}
}

TEST(DecoderAgainstZydis, AgreesOnEveryAcceptedRandomVexEvexAndXopEncoding)
{
	// Random bytes behind a VEX, EVEX or XOP prefix, often with a valid map, EVEX's fixed
	// bits right, an unused vvvv (1111) and a legacy prefix before it, so that most reach
	// an opcode's entry and Zydis, which refuses what the processor refuses, decodes them.
	constexpr std::uint8_t kPrefixes[] = { 0xC5, 0xC4, 0xC4, 0x62, 0x62, 0x8F };
	constexpr std::uint8_t kLegacy[] = { 0x67, 0x2E, 0x66, 0xF2, 0xF3, 0xF0, 0x41 };
	for (const std::int32_t mode : { Detour::kX86_64Mode, 32 }) {
		const ZydisDecoder zydis = MakeZydis(mode);
		Comparison         comparison;
		std::mt19937_64    random(0x564558ull + static_cast<unsigned>(mode));
		std::uint8_t       code[32];
		for (int i = 0; i < 1500000; ++i) {
			for (std::uint8_t& byte : code) {
				byte = static_cast<std::uint8_t>(random());
			}
			std::uint8_t* const at = code + (random() % 8 == 0 ? 1 : 0);
			code[0] = kLegacy[random() % sizeof kLegacy];
			at[0] = kPrefixes[random() % sizeof kPrefixes];
			const bool valid = random() % 4 != 0;
			const bool unusedV = random() % 2 == 0;
			if (mode != Detour::kX86_64Mode && random() % 2 == 0) {
				at[1] |= 0xC0; // VEX rather than LES, LDS, BOUND
			}
			switch (at[0]) {
				case 0xC5:
					at[1] = unusedV ? static_cast<std::uint8_t>(at[1] | 0x78) : at[1];
					break;
				case 0xC4:
					at[1] = valid ? static_cast<std::uint8_t>((at[1] & 0xE0) | (1 + random() % 3)) : at[1];
					at[2] = unusedV ? static_cast<std::uint8_t>(at[2] | 0x78) : at[2];
					break;
				case 0x62:
					at[1] = valid ? static_cast<std::uint8_t>((at[1] & 0xF0) | (1 + random() % 3)) : at[1];
					at[2] = valid ? static_cast<std::uint8_t>(at[2] | 0x04) : at[2];
					at[2] = unusedV ? static_cast<std::uint8_t>(at[2] | 0x78) : at[2];
					at[3] = valid ? static_cast<std::uint8_t>(at[3] & 0xBF) : at[3]; // L'L below 3
					at[3] = unusedV ? static_cast<std::uint8_t>(at[3] | 0x08) : at[3];
					break;
				default:
					at[1] = valid ? static_cast<std::uint8_t>((at[1] & 0xE0) | (8 + random() % 3)) : at[1];
					at[2] = valid ? static_cast<std::uint8_t>(at[2] & 0xFC) : at[2];
					at[2] = unusedV ? static_cast<std::uint8_t>(at[2] | 0x78) : at[2];
					break;
			}
			ZydisDecodedInstruction instruction;
			bool                    decoded = false;
			comparison.Compare(zydis, code, sizeof code, mode, instruction, decoded);
		}
		comparison.Print(mode == Detour::kX86_64Mode ? "random VEX/EVEX/XOP x86-64" : "random VEX/EVEX/XOP x86");
		EXPECT_GT(comparison.vexFamily, 30000u) << "mode " << mode << ": VEX, EVEX and XOP encodings both decoders accept";
		comparison.ReportDisagreements("mode " + std::to_string(mode));
	}
}
