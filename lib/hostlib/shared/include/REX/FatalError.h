#pragma once

// Failures after which the host library cannot go on end here: the message is logged
// at critical, shown in a message box whose text starts with the trimmed source
// location and whose caption is the plugin's file name, and the process ends with
// exit code 1. Nothing of the program runs afterwards.

#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <fmt/xchar.h>

#include "REX/LOG.h"

namespace REX
{
	[[noreturn]] void FatalError(const SourceLocation& a_location, std::string_view a_message);
	[[noreturn]] void FatalError(const SourceLocation& a_location, std::wstring_view a_message);

	// The text of the box, built from the location and the message: "{path}({line}): {message}",
	// the path being the location's file in generic form, cut after its first "include/", or,
	// only when that does not occur, after its first "src/".
	[[nodiscard]] std::string  FatalErrorBoxText(const SourceLocation& a_location, std::string_view a_message);
	[[nodiscard]] std::wstring FatalErrorBoxText(const SourceLocation& a_location, std::wstring_view a_message);

	// The caption: the file name of the module that holds this code, or empty when the
	// module's path cannot be read.
	[[nodiscard]] std::string  FatalErrorCaption();
	[[nodiscard]] std::wstring FatalErrorCaptionW();

	// Fronts: format the message at the call site, then end the process.
	template <class... Args>
	struct Fatal
	{
		[[noreturn]] Fatal(fmt::format_string<Args...> a_format, Args&&... a_args, std::source_location a_location = std::source_location::current())
		{
			FatalError(a_location, std::string_view{ fmt::format(a_format, std::forward<Args>(a_args)...) });
		}
	};

	template <>
	struct Fatal<>
	{
		[[noreturn]] Fatal(std::string_view a_message, std::source_location a_location = std::source_location::current())
		{
			FatalError(a_location, a_message);
		}
	};

	template <class... Args>
	Fatal(fmt::format_string<Args...>, Args&&...) -> Fatal<Args...>;
	// clang-format 14 reads a guide without template arguments as an expression.
	// clang-format off
	Fatal(std::string_view) -> Fatal<>;
	// clang-format on

	template <class... Args>
	struct FatalW
	{
		[[noreturn]] FatalW(fmt::wformat_string<Args...> a_format, Args&&... a_args, std::source_location a_location = std::source_location::current())
		{
			FatalError(a_location, std::wstring_view{ fmt::format(a_format, std::forward<Args>(a_args)...) });
		}
	};

	template <>
	struct FatalW<>
	{
		[[noreturn]] FatalW(std::wstring_view a_message, std::source_location a_location = std::source_location::current())
		{
			FatalError(a_location, a_message);
		}
	};

	template <class... Args>
	FatalW(fmt::wformat_string<Args...>, Args&&...) -> FatalW<Args...>;
	// clang-format 14 reads a guide without template arguments as an expression.
	// clang-format off
	FatalW(std::wstring_view) -> FatalW<>;
	// clang-format on
} // namespace REX
