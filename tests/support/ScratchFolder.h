#pragma once

// A scratch folder of the running test's own under the temporary folder. CTest runs
// each test in a process of its own, several at once, so the name carries the test
// and the process: two tests never share a folder, and neither removes the other's.

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace TestSupport
{
	inline std::filesystem::path ScratchFolder(std::string_view a_prefix)
	{
		const auto* const test = ::testing::UnitTest::GetInstance()->current_test_info();
		std::string       name{ a_prefix };
		name += '-';
		name += test ? std::string{ test->test_suite_name() } + "." + test->name() : std::string{ "outside-a-test" };
		// Parameterised tests carry '/' in their names.
		std::replace_if(
		    name.begin(), name.end(), [](char a_c) { return !std::isalnum(static_cast<unsigned char>(a_c)) && a_c != '-' && a_c != '.'; }, '_');
#if defined(_WIN32)
		name += '-' + std::to_string(::_getpid());
#else
		name += '-' + std::to_string(::getpid());
#endif
		return std::filesystem::temp_directory_path() / name;
	}
} // namespace TestSupport
