// How a switch of Quellstone.ini reads, through the platform's own INI reader: the words
// players write, numbers exactly as before, and which texts the log must name.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "IniSwitch.h"

namespace
{
	struct SwitchCase
	{
		const char*                line; // the key's line in [General], or none
		int                        fallback;
		bool                       value;
		std::optional<std::string> notUnderstood;
	};

	const SwitchCase kCases[] = {
		// Numbers, as the integer reader has always read them.
		{ "bSwitch=1", 0, true, std::nullopt },
		{ "bSwitch=0", 1, false, std::nullopt },
		{ "bSwitch=2", 0, true, std::nullopt },
		{ "bSwitch=10abc", 0, true, std::nullopt }, // the reader takes the leading number
		// The words, in any case, blanks around them ignored.
		{ "bSwitch=true", 0, true, std::nullopt },
		{ "bSwitch=TRUE", 0, true, std::nullopt },
		{ "bSwitch=  Yes\t", 0, true, std::nullopt },
		{ "bSwitch = oN", 0, true, std::nullopt },
		{ "bSwitch=false", 1, false, std::nullopt },
		{ "bSwitch=No", 1, false, std::nullopt },
		{ "bSwitch=OFF", 1, false, std::nullopt },
		// No key: the default.
		{ nullptr, 1, true, std::nullopt },
		{ nullptr, 0, false, std::nullopt },
		// Anything else reads as it always has (0 for text) and is named.
		{ "bSwitch=maybe", 1, false, "maybe" },
		{ "bSwitch=yes please", 0, false, "yes please" },
		{ "bSwitch=truee", 0, false, "truee" },
		{ "bSwitch=on ; protection", 0, false, "on ; protection" },
	};

	TEST(IniSwitch, ReadsWordsAndNumbersAndNamesWhatItDoesNotUnderstand)
	{
		const auto ini = std::filesystem::temp_directory_path() / ("quellstone-switch-" + std::to_string(::GetCurrentProcessId()) + ".ini");
		for (const auto& c : kCases) {
			{
				std::ofstream file{ ini, std::ios::binary | std::ios::trunc };
				file << "[General]\r\n"
				     << (c.line ? c.line : "bOther=1") << "\r\n";
			}
			const auto reading = IniSwitch::Read(ini.wstring(), L"bSwitch", c.fallback);
			const auto shown = std::string{ c.line ? c.line : "(no key)" } + ", default " + std::to_string(c.fallback);
			EXPECT_EQ(reading.value, c.value) << shown;
			EXPECT_EQ(reading.notUnderstood, c.notUnderstood) << shown;
		}
		std::filesystem::remove(ini);
	}
} // namespace
