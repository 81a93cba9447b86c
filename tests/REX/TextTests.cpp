// Conversions between the platform's wide text and the UTF-8 that logs and messages use.

#include <gtest/gtest.h>

#include <string>

#include "REX/Text.h"

TEST(TextConversion, PathsInEveryScriptSurviveTheRoundTrip)
{
	const struct
	{
		std::wstring wide;
		std::string  utf8;
	} cases[] = {
		{ L"C:\\Games\\Fallout4.exe", "C:\\Games\\Fallout4.exe" },
		{ L"J\u00F6s\u00E9", "J\xC3\xB6s\xC3\xA9" },
		{ L"\u03A9\u03BC\u03AD\u03B3\u03B1 \u6E38\u620F", "\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xE6\xB8\xB8\xE6\x88\x8F" },
		{ L"\U0001F3AE", "\xF0\x9F\x8E\xAE" }, // beyond the 16-bit range: a surrogate pair on Windows
		{ L"", "" },
	};
	for (const auto& c : cases) {
		EXPECT_EQ(REX::Utf8FromWide(c.wide), c.utf8) << c.utf8;
		EXPECT_EQ(REX::WideFromUtf8(c.utf8), c.wide) << c.utf8;
	}
}

TEST(TextConversion, MalformedUtf8BecomesReplacementCharacters)
{
	const struct
	{
		const char*  name;
		std::string  utf8;
		std::wstring wide;
	} cases[] = {
		{ "lone continuation byte", "a\x80z", L"a\uFFFDz" },
		{ "sequence cut by the end", "a\xE6\xB8", L"a\uFFFD\uFFFD" },
		{ "sequence cut by ASCII", "\xE6z", L"\uFFFDz" },
		{ "overlong slash", "\xC0\xAF", L"\uFFFD\uFFFD" },
		{ "encoded surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD" },
		{ "beyond U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD" },
		// F8 to FF lead no sequence; their low bits must not make a code point.
		{ "lead byte F9", "\xF9\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD" },
		{ "lead byte F8", "\xF8\x88\x80\x80z", L"\uFFFD\uFFFD\uFFFD\uFFFDz" },
		{ "lead byte FF", "\xFF\x80", L"\uFFFD\uFFFD" },
	};
	for (const auto& c : cases) {
		EXPECT_EQ(REX::WideFromUtf8(c.utf8), c.wide) << c.name;
	}
}
