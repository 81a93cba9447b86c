#pragma once

// The addrlib command line as a function: the program's main hands it the arguments as
// UTF-8 (on Windows converted from the wide command line) and its standard streams;
// tests and the fuzzer call it the same way. Every failure becomes a message on a_err and
// the documented exit code; nothing escapes.

#include <iosfwd>
#include <string>
#include <vector>

namespace AddrLib
{
	// a_args: the arguments after the program's name. Returns the exit code.
	[[nodiscard]] int RunCommandLine(const std::vector<std::string>& a_args, std::istream& a_in, std::ostream& a_out, std::ostream& a_err);
} // namespace AddrLib
