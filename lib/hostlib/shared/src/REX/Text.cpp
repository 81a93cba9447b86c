#include "REX/Text.h"

#include <cstdint>

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
}
