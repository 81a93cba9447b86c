#pragma once

// A log sink for a debugger's output window. It writes only while a debugger is
// attached at the moment of each line, so that a game run without one pays nothing
// for it.

#include <functional>
#include <mutex>
#include <string_view>

#include <spdlog/sinks/base_sink.h>

namespace F4SE::Impl
{
	class DebuggerOutputSink final : public spdlog::sinks::base_sink<std::mutex>
	{
	public:
		using PresentFn = std::function<bool()>;
		using WriteFn = std::function<void(const char*)>;

		// The platform's own debugger check and debug-output call.
		DebuggerOutputSink();
		// Other checks and outputs, for tests.
		DebuggerOutputSink(PresentFn a_present, WriteFn a_write);

		// Whether the platform reports a debugger attached to this process.
		[[nodiscard]] static bool DebuggerPresent() noexcept;
		// Hands text to the platform's debug output (seen by a debugger or a debug-output
		// viewer).
		static void WriteDebugOutput(const char* a_text) noexcept;

	protected:
		void sink_it_(const spdlog::details::log_msg& a_message) override;
		void flush_() override {}

	private:
		PresentFn present;
		WriteFn   write;
	};
} // namespace F4SE::Impl
