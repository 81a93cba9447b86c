#include "Check.h"

#include <algorithm>

#include <fmt/format.h>

namespace AddrLib
{
	namespace
	{
		// Enough for any stolen run: at most 13 bytes before the last instruction, which is
		// at most 15 bytes long.
		constexpr std::size_t kCodeBytes = 32;
		constexpr std::size_t kShownBytes = 16;

		std::string Hex(std::span<const std::uint8_t> a_bytes)
		{
			std::string text;
			for (const auto byte : a_bytes) {
				text += fmt::format("{}{:02X}", text.empty() ? "" : " ", byte);
			}
			return text;
		}

		// The size of the function that begins at a_rva, as the image's function table knows
		// it; 0 when the table does not list a function beginning there.
		std::uint32_t FunctionSizeAt(const std::vector<PeImage::Function>& a_functions, std::uint32_t a_rva)
		{
			const auto found = std::ranges::lower_bound(a_functions, a_rva, {}, &PeImage::Function::begin);
			return found != a_functions.end() && found->begin == a_rva ? found->Size() : 0;
		}
	} // namespace

	std::vector<FunctionCheck> CheckGame(const Database& a_database, const PeImage& a_game, std::span<const DetouredFunction> a_functions)
	{
		const auto                 functions = a_game.Functions();
		std::vector<FunctionCheck> checks;
		for (const auto& function : a_functions) {
			FunctionCheck& check = checks.emplace_back();
			check.function = function;
			check.offset = REL::IDDBCodec::Find(a_database.entries, function.id);
			if (!check.offset) {
				check.verdict = FunctionCheck::Verdict::MissingId;
				continue;
			}
			const auto* section = *check.offset <= 0xFFFFFFFF ? a_game.SectionAt(static_cast<std::uint32_t>(*check.offset)) : nullptr;
			if (section) {
				check.section = section->name;
			}
			const auto rva = static_cast<std::uint32_t>(*check.offset);
			const auto code = section ? a_game.BytesAt(rva, kCodeBytes) : std::span<const std::uint8_t>{};
			if (!section || !section->Executable() || code.empty()) {
				check.verdict = FunctionCheck::Verdict::OutsideCode;
				continue;
			}
			check.bytes.assign(code.begin(), code.begin() + static_cast<std::ptrdiff_t>(std::min(code.size(), kShownBytes)));
			check.functionSize = FunctionSizeAt(functions, rva);
			check.plan = DryRunDetour(code, a_game.ImageBase() + rva, check.functionSize);
			check.verdict = check.plan.ok() ? FunctionCheck::Verdict::Accepted : FunctionCheck::Verdict::Refused;
		}
		return checks;
	}

	std::string FormatCheck(const std::vector<FunctionCheck>& a_checks)
	{
		std::string text;
		bool        allAccepted = true;
		for (const auto& check : a_checks) {
			text += fmt::format("{} (ID {}): ", check.function.name, check.function.id);
			if (check.offset) {
				text += fmt::format("offset 0x{:X}", *check.offset);
				text += check.section.empty() ? std::string{ ", outside every section" } : fmt::format(" in {}", check.section);
				text += ": ";
			}
			switch (check.verdict) {
				case FunctionCheck::Verdict::Accepted:
					text += fmt::format("detour accepted: {}-byte jump, {} bytes moved to the trampoline", check.plan.jumpSize, check.plan.stolenLength);
					break;
				case FunctionCheck::Verdict::MissingId:
					text += "not in the database";
					break;
				case FunctionCheck::Verdict::OutsideCode:
					text += "not in the executable's code";
					break;
				case FunctionCheck::Verdict::Refused:
					text += fmt::format("detour refused: {} (at +{})", DescribeFailure(check.plan.failure), check.plan.failedAt);
					break;
			}
			if (!check.bytes.empty()) {
				text += fmt::format("\n  bytes: {}", Hex(check.bytes));
				if (check.functionSize != 0) {
					text += fmt::format(" (function of {} bytes)", check.functionSize);
				}
			}
			text += '\n';
			allAccepted = allAccepted && check.verdict == FunctionCheck::Verdict::Accepted;
		}
		text += allAccepted ? "Quellstone can run on this game.\n" : "Quellstone cannot run on this game as it is.\n";
		return text;
	}
} // namespace AddrLib
