#pragma once

// The executable sections of a real binary on this machine, read from its file: ELF
// (Linux shared objects) or PE (Windows DLLs, such as Wine's), 32- or 64-bit. Used by
// the decoder's comparison with Zydis and by the decoder benchmark, so that both walk
// compiled code as compilers really emit it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CodeSection
{
	std::string               name;
	std::vector<std::uint8_t> bytes; // followed by kCodePadding zero bytes not counted in size
	std::size_t               size{ 0 };
};

struct CodeCorpus
{
	std::string              path;
	std::int32_t             mode{ 0 }; // 64 for x86-64 code, 32 for x86 code
	std::vector<CodeSection> sections;
};

// Zero bytes appended to every section, so that a decoder measuring the last
// instruction of a section never reads outside the buffer.
inline constexpr std::size_t kCodePadding = 32;

// Reads the executable sections of the ELF or PE file at a_path; nullopt when the file
// is missing or is not an x86 or x86-64 ELF or PE file.
std::optional<CodeCorpus> LoadCodeCorpus(const std::string& a_path);

// The real-code corpora of this machine: x86-64 ELF (libc, and libm with its AVX, FMA
// and FMA4 paths), x86-64 PE (Wine's kernelbase.dll and ntdll.dll) and, where
// installed, x86 ELF and PE.
struct CorpusFile
{
	const char*  label;
	const char*  path;
	std::int32_t mode;
};
inline constexpr CorpusFile kCorpusFiles[] = {
	{ "x86-64 ELF libc.so.6", "/usr/lib/x86_64-linux-gnu/libc.so.6", 64 },
	{ "x86-64 ELF libm.so.6 (AVX, FMA, FMA4)", "/usr/lib/x86_64-linux-gnu/libm.so.6", 64 },
	{ "x86-64 PE kernelbase.dll", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernelbase.dll", 64 },
	{ "x86-64 PE ntdll.dll", "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/ntdll.dll", 64 },
	{ "x86 ELF libc.so.6", "/usr/lib32/libc.so.6", 32 },
	{ "x86 PE zlib1.dll", "/usr/lib/x86_64-linux-gnu/wine/i386-windows/zlib1.dll", 32 },
};
