// addrlib: writes, dumps and queries Address Library databases in every layout that the
// host library reads (raw, 1, 2, 5).

#include <iostream>
#include <string>
#include <vector>

#include "Cli.h"

#ifdef _WIN32
#include "REX/Text.h"

// The wide entry: a path outside the ANSI code page (a Greek folder name) reaches the tool
// whole, as UTF-8, and goes back to a wide path where a file is opened.
int wmain(int a_argc, wchar_t** a_argv)
{
	std::vector<std::string> args;
	for (int i = 1; i < a_argc; ++i) {
		args.push_back(REX::Utf8FromWide(a_argv[i]));
	}
	return AddrLib::RunCommandLine(args, std::cin, std::cout, std::cerr);
}
#else
int main(int a_argc, char** a_argv)
{
	return AddrLib::RunCommandLine({ a_argv + 1, a_argv + a_argc }, std::cin, std::cout, std::cerr);
}
#endif
