// Child process for the fatal-error test: logs to the file named on its command line
// and then hits a fatal error, which must end it with exit code 1.

#include <filesystem>
#include <memory>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "REX/FatalError.h"

int main(int a_argc, char** a_argv)
{
	if (a_argc < 2) {
		return 2;
	}
	// The file name is handed to spdlog in its own width: wide where it opens files by
	// their wide names.
	auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(std::filesystem::path{ a_argv[1] }.native(), true);
	auto logger = std::make_shared<spdlog::logger>("global", std::move(sink));
	logger->flush_on(spdlog::level::trace);
	logger->set_pattern("[%l] %v");
	spdlog::set_default_logger(std::move(logger));
	REX::LogInfo("before the fatal error");
	REX::Fatal("child fatal {}", 42);
}
