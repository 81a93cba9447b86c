#include "Pairs.h"

#include <charconv>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

namespace AddrLib
{
	std::optional<std::uint64_t> ParseNumber(std::string_view a_text)
	{
		int base = 10;
		if (a_text.size() > 2 && a_text[0] == '0' && (a_text[1] == 'x' || a_text[1] == 'X')) {
			base = 16;
			a_text.remove_prefix(2);
		}
		std::uint64_t value = 0;
		const auto [end, error] = std::from_chars(a_text.data(), a_text.data() + a_text.size(), value, base);
		if (a_text.empty() || error != std::errc{} || end != a_text.data() + a_text.size()) {
			return std::nullopt;
		}
		return value;
	}

	std::vector<REL::IDDBCodec::Entry> ParsePairs(std::istream& a_in)
	{
		std::vector<REL::IDDBCodec::Entry> entries;
		std::string                        line;
		for (std::size_t number = 1; std::getline(a_in, line); ++number) {
			std::string_view text{ line };
			if (const auto hash = text.find('#'); hash != std::string_view::npos) {
				text = text.substr(0, hash);
			}
			std::vector<std::string_view> words;
			for (std::size_t at = 0; at < text.size();) {
				const auto start = text.find_first_not_of(" \t\r", at);
				if (start == std::string_view::npos) {
					break;
				}
				const auto end = std::min(text.find_first_of(" \t\r", start), text.size());
				words.push_back(text.substr(start, end - start));
				at = end;
			}
			if (words.empty()) {
				continue;
			}
			const auto id = words.size() == 2 ? ParseNumber(words[0]) : std::nullopt;
			const auto offset = words.size() == 2 ? ParseNumber(words[1]) : std::nullopt;
			if (!id || !offset) {
				throw std::invalid_argument(fmt::format("line {}: expected \"id offset\", got \"{}\"", number, line));
			}
			entries.push_back({ *id, *offset });
		}
		return entries;
	}
} // namespace AddrLib
