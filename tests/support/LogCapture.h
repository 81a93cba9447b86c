#pragma once

// Captures what reaches the default logger during a test: each line as
// "level|file|line|function|message".

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace TestSupport
{
	struct CapturedLine
	{
		spdlog::level::level_enum level;
		std::string               file;
		int                       line;
		std::string               function;
		std::string               message;
	};

	class CaptureSink final : public spdlog::sinks::base_sink<std::mutex>
	{
	public:
		std::vector<CapturedLine> Lines()
		{
			const std::scoped_lock guard(mutex_);
			return lines;
		}

	protected:
		void sink_it_(const spdlog::details::log_msg& a_msg) override
		{
			lines.push_back({ a_msg.level,
			                  a_msg.source.filename ? a_msg.source.filename : "",
			                  a_msg.source.line,
			                  a_msg.source.funcname ? a_msg.source.funcname : "",
			                  std::string(a_msg.payload.begin(), a_msg.payload.end()) });
		}
		void flush_() override {}

	private:
		std::vector<CapturedLine> lines;
	};

	// Installs a capturing logger as the default for the life of the object.
	class LogCapture
	{
	public:
		explicit LogCapture(spdlog::level::level_enum a_level = spdlog::level::trace) :
		    sink(std::make_shared<CaptureSink>()),
		    previous(spdlog::default_logger())
		{
			auto logger = std::make_shared<spdlog::logger>("capture", sink);
			logger->set_level(a_level);
			spdlog::set_default_logger(std::move(logger));
		}
		~LogCapture() { spdlog::set_default_logger(previous); }
		LogCapture(const LogCapture&) = delete;
		LogCapture& operator=(const LogCapture&) = delete;

		std::vector<CapturedLine> Lines() { return sink->Lines(); }

		// The messages of one level, in the order they were logged.
		std::vector<std::string> Messages(spdlog::level::level_enum a_level)
		{
			std::vector<std::string> result;
			for (const auto& line : Lines()) {
				if (line.level == a_level) {
					result.push_back(line.message);
				}
			}
			return result;
		}

	private:
		std::shared_ptr<CaptureSink>    sink;
		std::shared_ptr<spdlog::logger> previous;
	};
} // namespace TestSupport
