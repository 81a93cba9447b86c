#pragma once

// A log sink for a debugger's output window. It writes only while a debugger is
// attached at the moment of each line, so that a game run without one pays nothing
// for it. Both the check and the output go through the platform call layer.

#include <mutex>
#include <string_view>

#include <spdlog/sinks/base_sink.h>

namespace F4SE::Impl
{
	class DebuggerOutputSink final : public spdlog::sinks::base_sink<std::mutex>
	{
	public:
		// Hands UTF-8 text to the platform's debug output (seen by a debugger or a
		// debug-output viewer), whether or not a debugger is attached. The platform call
		// takes wide text: the narrow one would read the bytes in the ANSI code page and
		// garble every non-ASCII path.
		static void WriteDebugOutput(std::string_view a_text) noexcept;

	protected:
		void sink_it_(const spdlog::details::log_msg& a_message) override;
		void flush_() override {}
	};
} // namespace F4SE::Impl
