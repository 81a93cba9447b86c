#include "REX/LOG.h"

#include <spdlog/spdlog.h>

namespace REX
{
	void LogMessage(const SourceLocation& a_location, ELogLevel a_level, std::string_view a_message) noexcept
	{
		const auto level = static_cast<std::uint32_t>(a_level);
		if (level > static_cast<std::uint32_t>(ELogLevel::Critical)) {
			return;
		}
		try {
			// The column is not part of spdlog's source record; file, line and function are.
			const spdlog::source_loc where{ a_location.fileName, static_cast<int>(a_location.line), a_location.functionName };
			spdlog::default_logger_raw()->log(where, static_cast<spdlog::level::level_enum>(level), spdlog::string_view_t{ a_message.data(), a_message.size() });
		} catch (...) {
			// spdlog reports its own failures through its error handler; nothing may
			// reach a caller that may be a game thread inside a hooked function.
		}
	}
} // namespace REX
