#pragma once

// The one log call of the host library and the plugin, and the fronts through which
// call sites reach it. Every line carries the source location of the code that wrote
// it, so a log file sent in with a bug report points at the line that wrote each entry.

#include <cstdint>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace REX
{
	// Levels as stored and passed; each equals the logging library's level of the same
	// number, so the names in the log are the library's own.
	enum class ELogLevel : std::uint32_t
	{
		Trace = 0,
		Debug = 1,
		Info = 2,
		Warning = 3,
		Error = 4,
		Critical = 5,
	};

	// Where a log call or a fatal error was made. Usually taken from the call site; a few
	// messages carry a fixed location instead.
	struct SourceLocation
	{
		std::uint32_t line{ 0 };
		std::uint32_t column{ 0 };
		const char*   fileName{ "" };
		const char*   functionName{ "" };

		constexpr SourceLocation() noexcept = default;
		constexpr SourceLocation(std::uint32_t a_line, std::uint32_t a_column, const char* a_fileName, const char* a_functionName) noexcept :
		    line(a_line), column(a_column), fileName(a_fileName), functionName(a_functionName)
		{}
		constexpr SourceLocation(const std::source_location& a_location) noexcept :
		    line(a_location.line()),
		    column(a_location.column()),
		    fileName(a_location.file_name()),
		    functionName(a_location.function_name())
		{}
	};

	// Writes one message through the process-wide default logger. A level above
	// Critical is dropped; failures inside the logger never reach the caller.
	void LogMessage(const SourceLocation& a_location, ELogLevel a_level, std::string_view a_message) noexcept;

	// Formats a front's message and writes it. The fronts run on game threads inside hooked
	// functions, where an exception would end the game: a message that cannot be made (no
	// memory for its text, a formatter that throws) costs that line and nothing else.
	template <class... Args>
	void FormatAndLog(const SourceLocation& a_location, ELogLevel a_level, fmt::format_string<Args...> a_format, Args&&... a_args) noexcept
	{
		try {
			const auto message = fmt::format(a_format, std::forward<Args>(a_args)...);
			LogMessage(a_location, a_level, message);
		} catch (...) {
			// The line is lost; the caller goes on.
		}
	}

	// Front: formats when given arguments (whether or not the level lets the line
	// through), passes text without arguments on exactly as written.
	template <class... Args>
	struct Log
	{
		Log(ELogLevel a_level, fmt::format_string<Args...> a_format, Args&&... a_args, std::source_location a_location = std::source_location::current()) noexcept
		{
			FormatAndLog<Args...>(a_location, a_level, a_format, std::forward<Args>(a_args)...);
		}
	};

	template <>
	struct Log<>
	{
		Log(ELogLevel a_level, std::string_view a_message, std::source_location a_location = std::source_location::current()) noexcept
		{
			LogMessage(a_location, a_level, a_message);
		}
	};

	template <class... Args>
	Log(ELogLevel, fmt::format_string<Args...>, Args&&...) -> Log<Args...>;
	// clang-format 14 reads a guide without template arguments as an expression.
	// clang-format off
	Log(ELogLevel, std::string_view) -> Log<>;
	// clang-format on

	// One front per level: REX::LogInfo("text"), REX::LogDebug("{} hooks", n), ...
// clang-format 14 reads the guide without template arguments as an expression.
// clang-format off
#define QS_DEFINE_LOG_FRONT(a_name, a_level)                                                                                              \
	template <class... Args>                                                                                                              \
	struct a_name                                                                                                                         \
	{                                                                                                                                     \
		a_name(fmt::format_string<Args...> a_format, Args&&... a_args, std::source_location a_location = std::source_location::current()) noexcept \
		{                                                                                                                                 \
			FormatAndLog<Args...>(a_location, ELogLevel::a_level, a_format, std::forward<Args>(a_args)...);                               \
		}                                                                                                                                 \
	};                                                                                                                                    \
	template <>                                                                                                                           \
	struct a_name<>                                                                                                                       \
	{                                                                                                                                     \
		a_name(std::string_view a_message, std::source_location a_location = std::source_location::current()) noexcept                    \
		{                                                                                                                                 \
			LogMessage(a_location, ELogLevel::a_level, a_message);                                                                        \
		}                                                                                                                                 \
	};                                                                                                                                    \
	template <class... Args>                                                                                                              \
	a_name(fmt::format_string<Args...>, Args&&...) -> a_name<Args...>;                                                                    \
	a_name(std::string_view) -> a_name<>;
	// clang-format on

	QS_DEFINE_LOG_FRONT(LogTrace, Trace)
	QS_DEFINE_LOG_FRONT(LogDebug, Debug)
	QS_DEFINE_LOG_FRONT(LogInfo, Info)
	QS_DEFINE_LOG_FRONT(LogWarning, Warning)
	QS_DEFINE_LOG_FRONT(LogError, Error)
	QS_DEFINE_LOG_FRONT(LogCritical, Critical)
#undef QS_DEFINE_LOG_FRONT
} // namespace REX
