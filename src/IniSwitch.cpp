#include "IniSwitch.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cwctype>

#include "REX/Text.h"

namespace IniSwitch
{
	namespace
	{
		constexpr const wchar_t* kSection = L"General";

		std::wstring_view Trim(std::wstring_view a_text) noexcept
		{
			constexpr std::wstring_view kBlanks{ L" \t" };
			const auto                  first = a_text.find_first_not_of(kBlanks);
			if (first == std::wstring_view::npos) {
				return {};
			}
			return a_text.substr(first, a_text.find_last_not_of(kBlanks) - first + 1);
		}

		bool EqualsIgnoringCase(std::wstring_view a_text, std::wstring_view a_word) noexcept
		{
			return std::ranges::equal(a_text, a_word, [](wchar_t a_left, wchar_t a_right) { return std::towlower(a_left) == a_right; });
		}

		// Whether the integer reader finds a number at the start: digits after at most a sign.
		bool StartsWithNumber(std::wstring_view a_text) noexcept
		{
			if (!a_text.empty() && (a_text.front() == L'-' || a_text.front() == L'+')) {
				a_text.remove_prefix(1);
			}
			return !a_text.empty() && a_text.front() >= L'0' && a_text.front() <= L'9';
		}
	} // namespace

	std::optional<bool> ParseWord(std::wstring_view a_text) noexcept
	{
		const auto text = Trim(a_text);
		for (const auto* word : { L"true", L"yes", L"on" }) {
			if (EqualsIgnoringCase(text, word)) {
				return true;
			}
		}
		for (const auto* word : { L"false", L"no", L"off" }) {
			if (EqualsIgnoringCase(text, word)) {
				return false;
			}
		}
		return std::nullopt;
	}

	Reading Read(const std::wstring& a_ini, const wchar_t* a_key, int a_default)
	{
		std::array<wchar_t, 256> buffer{};
		::GetPrivateProfileStringW(kSection, a_key, L"", buffer.data(), static_cast<DWORD>(buffer.size()), a_ini.c_str());
		const auto text = Trim(buffer.data());
		if (const auto word = ParseWord(text)) {
			return { *word, std::nullopt };
		}

		// Numbers, and whatever else is written, go through the integer reader as they
		// always have, so a file that holds numbers reads exactly as before.
		const bool value = ::GetPrivateProfileIntW(kSection, a_key, a_default, a_ini.c_str()) != 0;
		if (text.empty() || StartsWithNumber(text)) {
			return { value, std::nullopt };
		}
		return { value, REX::Utf8FromWide(text) };
	}
} // namespace IniSwitch
