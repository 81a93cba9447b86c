#pragma once

// A Windows PE image read from the bytes of its file, without loading it: its sections,
// its function table (the exception directory, ".pdata") and the mapping from relative
// virtual addresses (RVAs) to file offsets. The detour's offline users need exactly this:
// `addrlib check` looks at the code an Address Library offset points to in a game's
// executable, and the hookability benchmark walks every function entry of real binaries.
//
// The file may be anything a user hands over, so every field is checked against the
// file's size before it is used: a damaged or hostile file gives a BadImage error or an
// empty answer, never a read outside the file's bytes. Nothing here depends on the
// platform; the Windows structures are read field by field, little-endian.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Detour/FunctionTable.h"

class PeImage : public Detour::FunctionTable
{
public:
	// A file that is not a PE image, or whose headers point outside the file; what() says
	// which.
	class BadImage : public std::runtime_error
	{
	public:
		using std::runtime_error::runtime_error;
	};

	static constexpr std::uint16_t kMachineAmd64 = 0x8664;
	static constexpr std::uint16_t kMachineI386 = 0x014C;

	struct Section
	{
		std::string   name; // long names ("/123") looked up in the COFF string table
		std::uint32_t rva{ 0 };
		std::uint32_t virtualSize{ 0 };
		std::uint32_t fileOffset{ 0 }; // PointerToRawData
		std::uint32_t fileSize{ 0 };   // SizeOfRawData
		std::uint32_t characteristics{ 0 };

		// Mapped executable (IMAGE_SCN_MEM_EXECUTE) or marked as holding code
		// (IMAGE_SCN_CNT_CODE): where the loader lets the processor run.
		[[nodiscard]] bool Executable() const noexcept;
		// The span of RVAs the section occupies in memory.
		[[nodiscard]] bool Contains(std::uint32_t a_rva) const noexcept;
		// How many bytes the section takes in memory: its virtual size, or, where a linker
		// left that 0, its size in the file.
		[[nodiscard]] std::uint32_t MemorySize() const noexcept { return virtualSize != 0 ? virtualSize : fileSize; }
	};

	// One entry of the x86-64 function table: a range of code and its unwind information.
	using RuntimeFunction = Detour::FunctionTable::Entry;

	// A function as its callers see it: an entry of the table that begins a function (not a
	// chained fragment that continues another entry's unwind state), with its extent.
	struct Function
	{
		std::uint32_t begin{ 0 };
		// Just past the function's last byte reachable without leaving it: the primary
		// entry's end, extended over chained fragments that continue this function right
		// where the previous range ends (Detour::FunctionTable::FunctionEnd, the rule a
		// live install follows too). Fragments placed elsewhere (cold code) do not extend it.
		std::uint32_t end{ 0 };
		std::uint32_t fragments{ 0 };  // chained fragments that continue this function, anywhere
		std::uint32_t primaryEnd{ 0 }; // the primary entry's own end, where its first range stops

		[[nodiscard]] std::uint32_t Size() const noexcept { return end - begin; }
	};

	// Reads the image from a file's bytes. Raises BadImage.
	[[nodiscard]] static PeImage Parse(std::vector<std::uint8_t> a_file);
	// Reads the file at a_path. Raises BadImage, also when the file cannot be read.
	[[nodiscard]] static PeImage Read(const std::filesystem::path& a_path);
	// The whole content of the file at a_path, whatever it holds: its size first, then one
	// read of that many bytes, not a copy byte by byte (a game's executable runs to tens of
	// megabytes). Raises BadImage when the file cannot be opened or read whole.
	[[nodiscard]] static std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& a_path);

	[[nodiscard]] std::uint16_t               Machine() const noexcept { return machine; }
	[[nodiscard]] bool                        Is64() const noexcept { return is64; }
	[[nodiscard]] std::uint64_t               ImageBase() const noexcept { return imageBase; }
	[[nodiscard]] std::uint32_t               ImageSize() const noexcept { return imageSize; }
	[[nodiscard]] const std::vector<Section>& Sections() const noexcept { return sections; }

	// The section whose memory holds a_rva, or null (headers, gaps, past the image). A
	// binary search: a hostile file may list 65,535 sections, and every byte read asks.
	// Where sections overlap (Windows refuses to load such an image), the one that begins
	// first holds the overlap.
	[[nodiscard]] const Section* SectionAt(std::uint32_t a_rva) const noexcept;

	// An entry of the optional header's data directories (RVA and size); nullopt when the
	// image lists fewer.
	struct Directory
	{
		std::uint32_t rva{ 0 };
		std::uint32_t size{ 0 };
	};
	static constexpr std::uint32_t         kResourceDirectory = 2;
	[[nodiscard]] std::optional<Directory> DataDirectory(std::uint32_t a_index) const noexcept;

	// Where the byte at a_rva lies in the file; nullopt when it is not stored there (outside
	// every section, or in the zero-filled tail of a section beyond its file data).
	[[nodiscard]] std::optional<std::uint64_t> FileOffset(std::uint32_t a_rva) const noexcept;

	// The file's bytes from a_rva on, at most a_maxSize of them, up to the end of the
	// section's data in the file; empty when a_rva is not stored in the file.
	[[nodiscard]] std::span<const std::uint8_t> BytesAt(std::uint32_t a_rva, std::size_t a_maxSize) const noexcept;

	// The bytes the loader would place at a_rva..a_rva + a_size when it maps the image: the
	// file's data where a section (or the headers) stores it, zeros in a section's tail
	// beyond its file data and in the gaps between sections. Nullopt when the range runs
	// past the image.
	[[nodiscard]] std::optional<std::vector<std::uint8_t>> MappedBytes(std::uint32_t a_rva, std::size_t a_size) const;

	// The RVA of the symbol the image exports under a_name; nullopt when it exports no such
	// name, when its export table lies outside the file, or when the name is forwarded to
	// another DLL (the address then holds the forwarder's text, not the symbol).
	[[nodiscard]] std::optional<std::uint32_t> ExportRva(std::string_view a_name) const;

	// The function table in file order; empty for an image without one. Entries that lie
	// outside the file are left out.
	[[nodiscard]] const std::vector<RuntimeFunction>& RuntimeFunctions() const noexcept { return runtimeFunctions; }

	// The "ProductVersion" text of the version resource's string block 040904B0 (the one
	// the plugin reads from the game), characters outside ASCII shown as '?'; nullopt when
	// the image has no such resource or it lies outside the file.
	[[nodiscard]] std::optional<std::string> ProductVersionText() const;

	// The functions the table describes, sorted by begin: every entry that is not a chained
	// fragment, with chained fragments counted into the function they continue.
	[[nodiscard]] std::vector<Function> Functions() const;

	// The table's own entries answer from the chains resolved when the image was read, so
	// each chain is walked once per image however often it is asked about; other entries
	// are walked as the base class walks them.
	[[nodiscard]] std::optional<RuntimeFunction> PrimaryOf(const RuntimeFunction& a_entry) const override;

private:
	PeImage() = default;

	[[nodiscard]] std::optional<RuntimeFunction> LookupEntry(std::uint32_t a_rva) const override;
	[[nodiscard]] std::span<const std::uint8_t>  ReadImage(std::uint32_t a_rva, std::size_t a_size) const override;

	void IndexSections();
	void ResolveChains();

	// A section's span of memory as the look-up sees it: overlaps cut away.
	struct SectionSpan
	{
		std::uint64_t begin{ 0 };
		std::uint64_t end{ 0 };
		std::size_t   index{ 0 };
	};
	// What a chained entry's unwind data leads to: the primary entry and how many steps
	// away it lies; no primary when the chain breaks, loops or runs too long.
	struct ChainEnd
	{
		std::optional<RuntimeFunction> primary;
		int                            steps{ 0 };
	};

	std::vector<std::uint8_t>                   file;
	std::uint16_t                               machine{ 0 };
	bool                                        is64{ false };
	std::uint64_t                               imageBase{ 0 };
	std::uint32_t                               imageSize{ 0 };
	std::uint32_t                               headersSize{ 0 };
	std::vector<Section>                        sections;
	std::vector<SectionSpan>                    sectionSpans; // sorted by begin, not overlapping
	std::vector<Directory>                      directories;
	std::unordered_map<std::uint32_t, ChainEnd> chainEnds; // by the chained entry's unwind RVA
	std::vector<RuntimeFunction>                runtimeFunctions;
	std::vector<RuntimeFunction>                byBegin; // runtimeFunctions sorted by begin, for LookupEntry
};
