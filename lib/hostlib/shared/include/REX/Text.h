#pragma once

// Text conversions shared by the host library.

#include <string>
#include <string_view>

namespace REX
{
	// UTF-16 (wchar_t on Windows) or UTF-32 (wchar_t elsewhere) to UTF-8. Unpaired
	// surrogates and invalid code points become U+FFFD, so a conversion never fails.
	[[nodiscard]] std::string Utf8FromWide(std::wstring_view a_text);

	// UTF-8 to UTF-16 (wchar_t on Windows) or UTF-32 (elsewhere). Malformed sequences
	// become U+FFFD, so a conversion never fails.
	[[nodiscard]] std::wstring WideFromUtf8(std::string_view a_text);
} // namespace REX
