#pragma once

// Programs that a Windows test or the sandbox starts as processes of their own (a
// stand-in for the host or the game, a program that must die of a fatal error, addrlib):
// start one, wait for it, and hand back its exit code and, when asked for, what it wrote.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace TestSupport
{
	struct ChildRun
	{
		bool        started{ false };
		bool        ended{ false }; // within the time allowed; a child past it is ended
		DWORD       exitCode{ 0xFFFFFFFF };
		std::string output; // standard output and error, when captured
	};

	struct ChildOptions
	{
		bool                  captureOutput{ false };
		std::filesystem::path workingFolder; // empty: the parent's
		DWORD                 timeoutMs{ INFINITE };
	};

	// The folder of the running test program, where the build puts the programs it starts.
	inline std::filesystem::path ThisProgramFolder()
	{
		std::wstring buffer(32768, L'\0');
		buffer.resize(::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
		return std::filesystem::path{ buffer }.parent_path();
	}

	// Runs a command line to its end: the one place where a test or the sandbox starts a
	// program and waits for it. With captureOutput, the child's standard output and error
	// go to a file of its own, read back and removed afterwards. A child still running
	// after timeoutMs is ended with exit code 99 and reported as not ended.
	inline ChildRun RunChild(std::wstring a_commandLine, const ChildOptions& a_options)
	{
		namespace fs = std::filesystem;
		const auto outputPath = fs::temp_directory_path() / ("qs-child-" + std::to_string(::GetCurrentProcessId()) + ".txt");

		SECURITY_ATTRIBUTES inherit{ sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE };
		const HANDLE        output = a_options.captureOutput ? ::CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr) : INVALID_HANDLE_VALUE;
		STARTUPINFOW        startup{};
		startup.cb = sizeof(startup);
		if (output != INVALID_HANDLE_VALUE) {
			startup.dwFlags = STARTF_USESTDHANDLES;
			startup.hStdOutput = output;
			startup.hStdError = output;
		}
		PROCESS_INFORMATION process{};
		ChildRun            run;
		const auto          workingFolder = a_options.workingFolder.wstring();
		if (::CreateProcessW(nullptr, a_commandLine.data(), nullptr, nullptr, output != INVALID_HANDLE_VALUE, 0, nullptr, workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &process)) {
			run.started = true;
			run.ended = ::WaitForSingleObject(process.hProcess, a_options.timeoutMs) == WAIT_OBJECT_0 && ::GetExitCodeProcess(process.hProcess, &run.exitCode);
			if (!run.ended) {
				::TerminateProcess(process.hProcess, 99);
			}
			::CloseHandle(process.hThread);
			::CloseHandle(process.hProcess);
		} else {
			const auto error = ::GetLastError();
			std::fprintf(stderr, "could not start a child process: error %lu\n", error);
		}
		if (output != INVALID_HANDLE_VALUE) {
			::CloseHandle(output);
			{
				std::ifstream file{ outputPath };
				run.output.assign(std::istreambuf_iterator<char>{ file }, {});
			}
			std::error_code ignored;
			fs::remove(outputPath, ignored);
		}
		return run;
	}

	inline ChildRun RunChild(std::wstring a_commandLine, bool a_captureOutput = false)
	{
		ChildOptions options;
		options.captureOutput = a_captureOutput;
		return RunChild(std::move(a_commandLine), options);
	}

	// The same for a command line of ANSI text, read as CreateProcessA would read it.
	inline ChildRun RunChild(const std::string& a_commandLine, bool a_captureOutput = false)
	{
		std::wstring wide(a_commandLine.size(), L'\0');
		wide.resize(static_cast<std::size_t>(::MultiByteToWideChar(CP_ACP, 0, a_commandLine.data(), static_cast<int>(a_commandLine.size()), wide.data(), static_cast<int>(wide.size()))));
		return RunChild(std::move(wide), a_captureOutput);
	}
} // namespace TestSupport
