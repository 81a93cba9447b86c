#pragma once

// clang before 15 has no __builtin_source_location, so libstdc++'s <source_location>
// declares nothing under it, and the host library's log and fatal fronts (which take a
// std::source_location) do not compile. For the fuzz build only, this header is forced
// in front of every source and supplies the class from the older builtins.

#include <cstdint>

#if defined(__clang__) && !__has_builtin(__builtin_source_location)
namespace std
{
	struct source_location
	{
		static constexpr source_location current(std::uint_least32_t a_line = __builtin_LINE(), std::uint_least32_t a_column = __builtin_COLUMN(),
		                                         const char* a_file = __builtin_FILE(), const char* a_function = __builtin_FUNCTION()) noexcept
		{
			source_location location;
			location._line = a_line;
			location._column = a_column;
			location._file = a_file;
			location._function = a_function;
			return location;
		}

		constexpr source_location() noexcept = default;
		constexpr std::uint_least32_t line() const noexcept { return _line; }
		constexpr std::uint_least32_t column() const noexcept { return _column; }
		constexpr const char*         file_name() const noexcept { return _file; }
		constexpr const char*         function_name() const noexcept { return _function; }

	private:
		std::uint_least32_t _line{ 0 };
		std::uint_least32_t _column{ 0 };
		const char*         _file{ "" };
		const char*         _function{ "" };
	};
} // namespace std
#endif
