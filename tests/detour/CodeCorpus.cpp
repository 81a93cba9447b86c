// Section readers for ELF and PE files: just enough of both formats to find the bytes
// of their executable sections.

#include "CodeCorpus.h"

#include "PeImage.h"

#include <cstring>

namespace
{
	template <class T>
	bool Read(const std::vector<std::uint8_t>& a_file, std::size_t a_offset, T& a_value)
	{
		if (a_offset > a_file.size() || a_file.size() - a_offset < sizeof(T)) {
			return false;
		}
		std::memcpy(&a_value, a_file.data() + a_offset, sizeof(T));
		return true;
	}

	bool AddSection(const std::vector<std::uint8_t>& a_file, std::string a_name, std::uint64_t a_offset, std::uint64_t a_size, CodeCorpus& a_corpus)
	{
		if (a_offset > a_file.size() || a_file.size() - a_offset < a_size) {
			return false;
		}
		CodeSection section;
		section.name = std::move(a_name);
		section.size = static_cast<std::size_t>(a_size);
		section.bytes.assign(a_file.begin() + static_cast<std::ptrdiff_t>(a_offset), a_file.begin() + static_cast<std::ptrdiff_t>(a_offset + a_size));
		section.bytes.resize(section.size + kCodePadding, 0);
		a_corpus.sections.push_back(std::move(section));
		return true;
	}

	// ELF: sections of type PROGBITS with the executable flag.
	bool ReadElf(const std::vector<std::uint8_t>& a_file, CodeCorpus& a_corpus)
	{
		constexpr std::uint32_t kProgBits = 1;
		constexpr std::uint64_t kExecInstr = 0x4;
		const bool              is64 = a_file[4] == 2;
		std::uint16_t           machine = 0;
		Read(a_file, 18, machine);
		if ((is64 && machine != 62) || (!is64 && machine != 3)) {
			return false;
		}
		a_corpus.mode = is64 ? 64 : 32;

		std::uint64_t shoff = 0;
		std::uint16_t shentsize = 0, shnum = 0, shstrndx = 0;
		if (is64) {
			Read(a_file, 0x28, shoff);
			Read(a_file, 0x3A, shentsize);
			Read(a_file, 0x3C, shnum);
			Read(a_file, 0x3E, shstrndx);
		} else {
			std::uint32_t shoff32 = 0;
			Read(a_file, 0x20, shoff32);
			shoff = shoff32;
			Read(a_file, 0x2E, shentsize);
			Read(a_file, 0x30, shnum);
			Read(a_file, 0x32, shstrndx);
		}

		struct Header
		{
			std::uint32_t name, type;
			std::uint64_t flags, offset, size;
		};
		auto header = [&](std::size_t a_index) {
			Header       h{};
			const size_t at = static_cast<std::size_t>(shoff) + a_index * shentsize;
			Read(a_file, at, h.name);
			Read(a_file, at + 4, h.type);
			if (is64) {
				Read(a_file, at + 8, h.flags);
				Read(a_file, at + 24, h.offset);
				Read(a_file, at + 32, h.size);
			} else {
				std::uint32_t flags = 0, offset = 0, size = 0;
				Read(a_file, at + 8, flags);
				Read(a_file, at + 16, offset);
				Read(a_file, at + 20, size);
				h.flags = flags;
				h.offset = offset;
				h.size = size;
			}
			return h;
		};

		const Header names = header(shstrndx);
		for (std::size_t i = 0; i < shnum; ++i) {
			const Header h = header(i);
			if (h.type != kProgBits || (h.flags & kExecInstr) == 0 || h.size == 0) {
				continue;
			}
			const std::size_t nameAt = static_cast<std::size_t>(names.offset) + h.name;
			std::string       name = nameAt < a_file.size() ? reinterpret_cast<const char*>(a_file.data() + nameAt) : "?";
			AddSection(a_file, std::move(name), h.offset, h.size, a_corpus);
		}
		return !a_corpus.sections.empty();
	}

	// PE: sections marked as code or executable; their bytes in the file, as the one PE
	// reader of the project finds them.
	bool ReadPe(std::vector<std::uint8_t> a_file, CodeCorpus& a_corpus)
	{
		try {
			const auto image = PeImage::Parse(std::move(a_file));
			if (image.Machine() != PeImage::kMachineAmd64 && image.Machine() != PeImage::kMachineI386) {
				return false;
			}
			a_corpus.mode = image.Machine() == PeImage::kMachineAmd64 ? 64 : 32;
			for (const auto& section : image.Sections()) {
				if (!section.Executable()) {
					continue;
				}
				const auto  bytes = image.BytesAt(section.rva, section.MemorySize());
				CodeSection code;
				code.name = section.name;
				code.size = bytes.size();
				code.bytes.assign(bytes.begin(), bytes.end());
				code.bytes.resize(code.size + kCodePadding, 0);
				a_corpus.sections.push_back(std::move(code));
			}
		} catch (const PeImage::BadImage&) {
			return false;
		}
		return !a_corpus.sections.empty();
	}
} // namespace

std::optional<CodeCorpus> LoadCodeCorpus(const std::string& a_path)
{
	std::vector<std::uint8_t> file;
	try {
		file = PeImage::ReadFileBytes(a_path);
	} catch (const PeImage::BadImage&) {
		return std::nullopt; // not to be opened or read
	}
	CodeCorpus corpus;
	corpus.path = a_path;
	if (file.size() > 64 && std::memcmp(file.data(), "\x7F"
	                                                 "ELF",
	                                    4) == 0 &&
	    file[5] == 1) {
		if (ReadElf(file, corpus)) {
			return corpus;
		}
	} else if (file.size() > 64 && file[0] == 'M' && file[1] == 'Z') {
		if (ReadPe(std::vector<std::uint8_t>(file), corpus)) {
			return corpus;
		}
	}
	return std::nullopt;
}
