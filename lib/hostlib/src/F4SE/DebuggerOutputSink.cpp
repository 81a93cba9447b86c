#include "DebuggerOutputSink.h"

#include <string>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace F4SE::Impl
{
	DebuggerOutputSink::DebuggerOutputSink() :
	    DebuggerOutputSink(&DebuggerPresent, &WriteDebugOutput)
	{}

	DebuggerOutputSink::DebuggerOutputSink(PresentFn a_present, WriteFn a_write) :
	    present(std::move(a_present)), write(std::move(a_write))
	{}

	bool DebuggerOutputSink::DebuggerPresent() noexcept
	{
#ifdef _WIN32
		return ::IsDebuggerPresent() != FALSE;
#else
		return false;
#endif
	}

	void DebuggerOutputSink::WriteDebugOutput([[maybe_unused]] const char* a_text) noexcept
	{
#ifdef _WIN32
		::OutputDebugStringA(a_text);
#endif
	}

	void DebuggerOutputSink::sink_it_(const spdlog::details::log_msg& a_message)
	{
		if (!present()) {
			return;
		}
		spdlog::memory_buf_t formatted;
		formatter_->format(a_message, formatted);
		const std::string text(formatted.data(), formatted.size());
		write(text.c_str());
	}
} // namespace F4SE::Impl
