#include "REL/Version.h"

#include <array>
#include <cwchar>
#include <string>
#include <vector>

#include "REX/OS.h"
#include "REX/Text.h"

namespace REL
{
	namespace
	{
		template <class Char>
		std::basic_string<Char> JoinParts(const VersionNumber& a_version, std::basic_string_view<Char> a_separator)
		{
			const std::array        parts{ a_version.major, a_version.minor, a_version.patch, a_version.build };
			std::basic_string<Char> text;
			for (std::size_t i = 0; i < parts.size(); ++i) {
				if (i != 0) {
					text.append(a_separator);
				}
				const auto digits = std::to_string(parts[i]);
				text.append(digits.begin(), digits.end());
			}
			return text;
		}
	} // namespace

	std::string VersionNumber::ToString(std::string_view a_separator) const
	{
		return JoinParts<char>(*this, a_separator);
	}

	std::wstring VersionNumber::ToWideString(std::wstring_view a_separator) const
	{
		return JoinParts<wchar_t>(*this, a_separator);
	}

	std::optional<VersionNumber> ReadProductVersion(const std::wstring& a_path)
	{
		// The wide calls: a game folder named outside the ANSI code page must still be read.
		REX::OS::DWORD handle = 0;
		const auto     size = REX::OS::GetFileVersionInfoSizeW(a_path.c_str(), &handle);
		if (size == 0) {
			return std::nullopt;
		}
		std::vector<std::byte> block(size);
		if (!REX::OS::GetFileVersionInfoW(a_path.c_str(), 0, size, block.data())) {
			return std::nullopt;
		}

		void*         text = nullptr;
		REX::OS::UINT length = 0;
		if (!REX::OS::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\ProductVersion", &text, &length) || text == nullptr) {
			return std::nullopt;
		}
		// The reported length counts the terminating zero; the version is the text before
		// it. Its characters are digits and dots, so the narrow form keeps them all.
		const std::wstring_view wide{ static_cast<const wchar_t*>(text), ::wcsnlen(static_cast<const wchar_t*>(text), length) };
		const std::string       version = REX::Utf8FromWide(wide);

		// Up to four dot-separated parts; stoi accepts leading blanks and a sign and stops
		// at the first non-digit (a trailing zero byte included), and raises on text
		// without digits or out of the int range. Each part keeps its low 16 bits.
		std::array<std::uint16_t, 4> parts{};
		std::size_t                  position = 0;
		for (auto& part : parts) {
			if (position >= version.size()) {
				break;
			}
			const auto dot = version.find('.', position);
			const auto piece = version.substr(position, dot == std::string::npos ? std::string::npos : dot - position);
			part = static_cast<std::uint16_t>(std::stoi(piece));
			position = dot == std::string::npos ? version.size() : dot + 1;
		}
		return VersionNumber{ parts[0], parts[1], parts[2], parts[3] };
	}
} // namespace REL
