#include "DebuggerOutputSink.h"

#include <exception>
#include <string>

#include "REX/OS.h"
#include "REX/Text.h"

namespace F4SE::Impl
{
	void DebuggerOutputSink::WriteDebugOutput(std::string_view a_text) noexcept
	{
		try {
			const auto wide = REX::WideFromUtf8(a_text);
			REX::OS::OutputDebugStringW(wide.c_str());
		} catch (const std::exception&) {
			// A line for the debugger is not worth failing the caller over.
		}
	}

	void DebuggerOutputSink::sink_it_(const spdlog::details::log_msg& a_message)
	{
		if (!REX::OS::IsDebuggerPresent()) {
			return;
		}
		spdlog::memory_buf_t formatted;
		formatter_->format(a_message, formatted);
		WriteDebugOutput({ formatted.data(), formatted.size() });
	}
} // namespace F4SE::Impl
