#include "REX/Text.h"

#include <cstdint>
#include <utility>

namespace REX
{
	namespace
	{
		constexpr char32_t kReplacement = 0xFFFD;

		void AppendUtf8(std::string& a_out, char32_t a_code)
		{
			if (a_code > 0x10FFFF || (a_code >= 0xD800 && a_code <= 0xDFFF)) {
				a_code = kReplacement;
			}
			if (a_code < 0x80) {
				a_out.push_back(static_cast<char>(a_code));
			} else if (a_code < 0x800) {
				a_out.push_back(static_cast<char>(0xC0 | (a_code >> 6)));
				a_out.push_back(static_cast<char>(0x80 | (a_code & 0x3F)));
			} else if (a_code < 0x10000) {
				a_out.push_back(static_cast<char>(0xE0 | (a_code >> 12)));
				a_out.push_back(static_cast<char>(0x80 | ((a_code >> 6) & 0x3F)));
				a_out.push_back(static_cast<char>(0x80 | (a_code & 0x3F)));
			} else {
				a_out.push_back(static_cast<char>(0xF0 | (a_code >> 18)));
				a_out.push_back(static_cast<char>(0x80 | ((a_code >> 12) & 0x3F)));
				a_out.push_back(static_cast<char>(0x80 | ((a_code >> 6) & 0x3F)));
				a_out.push_back(static_cast<char>(0x80 | (a_code & 0x3F)));
			}
		}
	} // namespace

	std::wstring WideFromUtf8(std::string_view a_text)
	{
		std::wstring out;
		out.reserve(a_text.size());
		std::size_t i = 0;
		while (i < a_text.size()) {
			const auto lead = static_cast<std::uint8_t>(a_text[i]);
			// Length of the sequence from its lead byte, and the smallest code point it may
			// carry (longer forms of a shorter code are malformed). F8 to FF lead nothing.
			const auto [length, minimum] = lead < 0x80 ? std::pair<std::size_t, char32_t>{ 1, 0 } : lead >= 0xF8 ? std::pair<std::size_t, char32_t>{ 0, 0 }
			                                                                                    : lead >= 0xF0   ? std::pair<std::size_t, char32_t>{ 4, 0x10000 }
			                                                                                    : lead >= 0xE0   ? std::pair<std::size_t, char32_t>{ 3, 0x800 }
			                                                                                    : lead >= 0xC0   ? std::pair<std::size_t, char32_t>{ 2, 0x80 }
			                                                                                                     : std::pair<std::size_t, char32_t>{ 0, 0 };
			char32_t code = length == 1 ? lead : length == 2 ? (lead & 0x1F)
			                                 : length == 3   ? (lead & 0x0F)
			                                                 : (lead & 0x07);
			bool     valid = length != 0 && i + length <= a_text.size();
			for (std::size_t k = 1; valid && k < length; ++k) {
				const auto next = static_cast<std::uint8_t>(a_text[i + k]);
				valid = (next & 0xC0) == 0x80;
				code = (code << 6) | (next & 0x3F);
			}
			if (!valid || code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
				code = kReplacement;
				i += 1;
			} else {
				i += length;
			}
			if (sizeof(wchar_t) == 2 && code >= 0x10000) {
				code -= 0x10000;
				out.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
				out.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
			} else {
				out.push_back(static_cast<wchar_t>(code));
			}
		}
		return out;
	}

	std::string Utf8FromWide(std::wstring_view a_text)
	{
		std::string out;
		out.reserve(a_text.size());
		for (std::size_t i = 0; i < a_text.size(); ++i) {
			auto code = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(a_text[i]));
			if constexpr (sizeof(wchar_t) == 2) {
				if (code >= 0xD800 && code <= 0xDBFF && i + 1 < a_text.size()) {
					const auto low = static_cast<char32_t>(static_cast<std::uint16_t>(a_text[i + 1]));
					if (low >= 0xDC00 && low <= 0xDFFF) {
						code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
						++i;
					}
				}
			}
			AppendUtf8(out, code);
		}
		return out;
	}
} // namespace REX
