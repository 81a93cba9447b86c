#pragma once

// How one switch of Quellstone.ini reads. Players edit the file by hand and write what
// reads naturally to them: besides numbers (any non-zero number is on) the words
// true/false, yes/no and on/off count, in any case and with blanks around them. A number
// reads exactly as the platform's integer reader has always read it.

#include <optional>
#include <string>
#include <string_view>

namespace IniSwitch
{
	struct Reading
	{
		bool value{ false };
		// The value's text (UTF-8) when it was neither a number nor one of the words: it
		// then reads as the integer reader makes of it, 0 for plain text, and the caller
		// says so in the log rather than silently turning a switch off.
		std::optional<std::string> notUnderstood;
	};

	// Reads a_key of section "General" in the INI file at a_ini; a missing key or file
	// gives a_default.
	[[nodiscard]] Reading Read(const std::wstring& a_ini, const wchar_t* a_key, int a_default);

	// true for "true", "yes", "on"; false for "false", "no", "off"; any case, blanks
	// around ignored. Nullopt for anything else.
	[[nodiscard]] std::optional<bool> ParseWord(std::wstring_view a_text) noexcept;
} // namespace IniSwitch
