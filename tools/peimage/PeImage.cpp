#include "PeImage.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <system_error>

#include <fmt/format.h>

namespace
{
	constexpr std::uint32_t kScnCntCode = 0x00000020;
	constexpr std::uint32_t kScnMemExecute = 0x20000000;
	constexpr std::uint16_t kMagicPe32 = 0x10B;
	constexpr std::uint16_t kMagicPe32Plus = 0x20B;
	constexpr std::size_t   kSectionHeaderSize = 40;
	constexpr std::size_t   kRuntimeFunctionSize = 12;
	constexpr std::uint32_t kExportDirectory = 0;
	constexpr std::uint32_t kExceptionDirectory = 3;
	constexpr std::size_t   kExportDirectorySize = 40;
	// Reads a little-endian value at a_at, or nothing when it does not lie inside a_bytes.
	template <class T>
	std::optional<T> ReadAt(std::span<const std::uint8_t> a_bytes, std::uint64_t a_at) noexcept
	{
		if (a_at > a_bytes.size() || a_bytes.size() - a_at < sizeof(T)) {
			return std::nullopt;
		}
		T value;
		std::memcpy(&value, a_bytes.data() + a_at, sizeof value);
		return value;
	}

	// Names longer than 8 characters are stored as "/N": offset N into the string table
	// that follows the COFF symbol table (MinGW's debug sections are named that way).
	std::optional<std::string> LongName(std::span<const std::uint8_t> a_bytes, std::uint64_t a_fileHeader, const std::string& a_name)
	{
		if (a_name.size() < 2 || a_name[0] != '/') {
			return std::nullopt;
		}
		// At most 7 digits follow the slash in an 8-byte name: no overflow.
		std::uint64_t offset = 0;
		for (const char digit : a_name.substr(1)) {
			if (digit < '0' || digit > '9') {
				return std::nullopt;
			}
			offset = offset * 10 + static_cast<std::uint64_t>(digit - '0');
		}
		const auto symbols = ReadAt<std::uint32_t>(a_bytes, a_fileHeader + 8);
		const auto symbolCount = ReadAt<std::uint32_t>(a_bytes, a_fileHeader + 12);
		if (!symbols || !symbolCount || *symbols == 0) {
			return std::nullopt;
		}
		const std::uint64_t at = *symbols + std::uint64_t{ *symbolCount } * 18 + offset;
		if (at >= a_bytes.size()) {
			return std::nullopt;
		}
		const char* first = reinterpret_cast<const char*>(a_bytes.data() + at);
		const char* last = reinterpret_cast<const char*>(a_bytes.data() + a_bytes.size());
		return std::string(first, std::find(first, last, '\0'));
	}

	// A block of a version resource (VS_VERSIONINFO and its children): a length, a value
	// length (in characters for text), a type (1 text), a UTF-16 key, then the value and
	// the children, each aligned to 4 bytes from the block's start.
	struct VersionBlock
	{
		std::u16string                key;
		std::span<const std::uint8_t> value;
		std::span<const std::uint8_t> children;
		std::size_t                   length{ 0 }; // up to the next sibling
	};

	std::optional<VersionBlock> ReadVersionBlock(std::span<const std::uint8_t> a_bytes)
	{
		const auto align = [](std::size_t a_at) { return (a_at + 3) & ~std::size_t{ 3 }; };
		const auto length = ReadAt<std::uint16_t>(a_bytes, 0);
		const auto valueLength = ReadAt<std::uint16_t>(a_bytes, 2);
		const auto type = ReadAt<std::uint16_t>(a_bytes, 4);
		if (!length || !valueLength || !type || *length < 6 || *length > a_bytes.size()) {
			return std::nullopt;
		}
		const auto   block = a_bytes.first(*length);
		VersionBlock result;
		std::size_t  at = 6;
		for (;; at += 2) {
			const auto unit = ReadAt<std::uint16_t>(block, at);
			if (!unit) {
				return std::nullopt; // the key runs past the block
			}
			if (*unit == 0) {
				break;
			}
			result.key.push_back(static_cast<char16_t>(*unit));
		}
		const std::size_t valueAt = std::min(align(at + 2), block.size());
		const std::size_t valueSize = std::min<std::size_t>(*type == 1 ? std::size_t{ *valueLength } * 2 : *valueLength, block.size() - valueAt);
		result.value = block.subspan(valueAt, valueSize);
		result.children = block.subspan(std::min(align(valueAt + valueSize), block.size()));
		result.length = align(*length);
		return result;
	}

	// The child of a block whose key is a_key; keys compare as the system's version query
	// compares them, without regard to case.
	std::optional<VersionBlock> FindVersionBlock(std::span<const std::uint8_t> a_children, std::u16string_view a_key)
	{
		const auto lower = [](char16_t a_c) { return a_c >= u'A' && a_c <= u'Z' ? static_cast<char16_t>(a_c - u'A' + u'a') : a_c; };
		while (!a_children.empty()) {
			const auto block = ReadVersionBlock(a_children);
			if (!block) {
				return std::nullopt;
			}
			if (std::ranges::equal(block->key, a_key, {}, lower, lower)) {
				return block;
			}
			a_children = a_children.subspan(std::min(block->length, a_children.size()));
		}
		return std::nullopt;
	}

	// One level of the resource directory: the data offset of the entry with a_id, or of
	// the first entry when no id is asked for.
	std::optional<std::uint32_t> ResourceEntry(std::span<const std::uint8_t> a_resources, std::uint32_t a_directory, std::optional<std::uint32_t> a_id)
	{
		const auto named = ReadAt<std::uint16_t>(a_resources, std::uint64_t{ a_directory } + 12);
		const auto ids = ReadAt<std::uint16_t>(a_resources, std::uint64_t{ a_directory } + 14);
		if (!named || !ids) {
			return std::nullopt;
		}
		for (std::uint32_t i = 0; i < std::uint32_t{ *named } + *ids; ++i) {
			const std::uint64_t at = std::uint64_t{ a_directory } + 16 + std::uint64_t{ i } * 8;
			const auto          name = ReadAt<std::uint32_t>(a_resources, at);
			const auto          data = ReadAt<std::uint32_t>(a_resources, at + 4);
			if (!name || !data) {
				return std::nullopt;
			}
			if (!a_id || *name == *a_id) {
				return *data;
			}
		}
		return std::nullopt;
	}

	// A little-endian value at an RVA (computed in 64 bits, so a table's end cannot wrap
	// around), or nothing when the file does not store it.
	template <class T>
	std::optional<T> ReadRva(const PeImage& a_image, std::uint64_t a_rva) noexcept
	{
		if (a_rva > std::numeric_limits<std::uint32_t>::max()) {
			return std::nullopt;
		}
		return ReadAt<T>(a_image.BytesAt(static_cast<std::uint32_t>(a_rva), sizeof(T)), 0);
	}

	template <class T>
	T Require(std::optional<T> a_value, const char* a_what)
	{
		if (!a_value) {
			throw PeImage::BadImage(fmt::format("not a PE image: the {} lies outside the file", a_what));
		}
		return *a_value;
	}
} // namespace

bool PeImage::Section::Executable() const noexcept
{
	return (characteristics & (kScnCntCode | kScnMemExecute)) != 0;
}

bool PeImage::Section::Contains(std::uint32_t a_rva) const noexcept
{
	return a_rva >= rva && a_rva - rva < MemorySize();
}

PeImage PeImage::Read(const std::filesystem::path& a_path)
{
	return Parse(ReadFileBytes(a_path));
}

std::vector<std::uint8_t> PeImage::ReadFileBytes(const std::filesystem::path& a_path)
{
	std::ifstream in(a_path, std::ios::binary);
	if (!in) {
		throw BadImage("cannot open the file");
	}
	std::error_code error;
	const auto      size = std::filesystem::file_size(a_path, error);
	if (error) {
		throw BadImage("cannot read the file");
	}
	std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
	if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
		throw BadImage("cannot read the file");
	}
	return bytes;
}

PeImage PeImage::Parse(std::vector<std::uint8_t> a_file)
{
	PeImage image;
	image.file = std::move(a_file);
	const std::span<const std::uint8_t> bytes{ image.file };

	if (ReadAt<std::uint16_t>(bytes, 0) != std::uint16_t{ 0x5A4D }) { // "MZ"
		throw BadImage("not a PE image: no MZ header");
	}
	const std::uint64_t peAt = Require(ReadAt<std::uint32_t>(bytes, 0x3C), "PE header offset");
	if (ReadAt<std::uint32_t>(bytes, peAt) != std::uint32_t{ 0x00004550 }) { // "PE\0\0"
		throw BadImage("not a PE image: no PE signature");
	}
	const std::uint64_t fileHeader = peAt + 4;
	image.machine = Require(ReadAt<std::uint16_t>(bytes, fileHeader), "file header");
	const std::uint16_t sectionCount = Require(ReadAt<std::uint16_t>(bytes, fileHeader + 2), "file header");
	const std::uint16_t optionalSize = Require(ReadAt<std::uint16_t>(bytes, fileHeader + 16), "file header");

	const std::uint64_t optional = fileHeader + 20;
	const std::uint16_t magic = Require(ReadAt<std::uint16_t>(bytes, optional), "optional header");
	if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
		throw BadImage(fmt::format("not a PE image: optional header magic {:#x}", magic));
	}
	image.is64 = magic == kMagicPe32Plus;
	image.imageBase = image.is64 ? Require(ReadAt<std::uint64_t>(bytes, optional + 24), "image base")
	                             : Require(ReadAt<std::uint32_t>(bytes, optional + 28), "image base");
	image.imageSize = Require(ReadAt<std::uint32_t>(bytes, optional + 56), "image size");
	image.headersSize = Require(ReadAt<std::uint32_t>(bytes, optional + 60), "headers size");
	const std::uint64_t directoryCountAt = optional + (image.is64 ? 108 : 92);
	const std::uint64_t directories = directoryCountAt + 4;
	const std::uint32_t directoryCount = Require(ReadAt<std::uint32_t>(bytes, directoryCountAt), "data directory count");
	// Only the directories that lie inside the optional header count, however many the
	// count claims.
	for (std::uint64_t i = 0; i < directoryCount && directories + i * 8 + 8 <= optional + optionalSize; ++i) {
		const auto rva = ReadAt<std::uint32_t>(bytes, directories + i * 8);
		const auto size = ReadAt<std::uint32_t>(bytes, directories + i * 8 + 4);
		if (!rva || !size) {
			break;
		}
		image.directories.push_back({ *rva, *size });
	}

	const std::uint64_t table = optional + optionalSize;
	for (std::uint16_t i = 0; i < sectionCount; ++i) {
		const std::uint64_t at = table + std::uint64_t{ i } * kSectionHeaderSize;
		if (at > bytes.size() || bytes.size() - at < kSectionHeaderSize) {
			throw BadImage("not a PE image: the section table lies outside the file");
		}
		Section     section;
		const char* name = reinterpret_cast<const char*>(bytes.data() + at);
		section.name.assign(name, std::find(name, name + 8, '\0'));
		if (const auto longName = LongName(bytes, fileHeader, section.name)) {
			section.name = *longName;
		}
		section.virtualSize = *ReadAt<std::uint32_t>(bytes, at + 8);
		section.rva = *ReadAt<std::uint32_t>(bytes, at + 12);
		section.fileSize = *ReadAt<std::uint32_t>(bytes, at + 16);
		section.fileOffset = *ReadAt<std::uint32_t>(bytes, at + 20);
		section.characteristics = *ReadAt<std::uint32_t>(bytes, at + 36);
		image.sections.push_back(std::move(section));
	}
	image.IndexSections();

	// The function table exists only for x86-64 code (x86 unwinds through frame chains).
	if (const auto functionTable = image.DataDirectory(kExceptionDirectory); functionTable && image.machine == kMachineAmd64 && image.is64) {
		const auto data = image.BytesAt(functionTable->rva, functionTable->size);
		image.runtimeFunctions.reserve(data.size() / kRuntimeFunctionSize);
		for (std::size_t at = 0; at + kRuntimeFunctionSize <= data.size(); at += kRuntimeFunctionSize) {
			image.runtimeFunctions.push_back({ *ReadAt<std::uint32_t>(data, at), *ReadAt<std::uint32_t>(data, at + 4), *ReadAt<std::uint32_t>(data, at + 8) });
		}
		image.byBegin = image.runtimeFunctions;
		std::ranges::sort(image.byBegin, {}, &RuntimeFunction::begin);
		image.ResolveChains();
	}
	return image;
}

void PeImage::IndexSections()
{
	std::vector<std::size_t> order(sections.size());
	for (std::size_t i = 0; i < order.size(); ++i) {
		order[i] = i;
	}
	std::ranges::stable_sort(order, {}, [&](std::size_t a_index) { return sections[a_index].rva; });
	std::uint64_t covered = 0; // the end of the memory that earlier sections hold
	for (const auto index : order) {
		const auto&         section = sections[index];
		const std::uint64_t begin = std::max<std::uint64_t>(section.rva, covered);
		const std::uint64_t end = std::uint64_t{ section.rva } + section.MemorySize();
		if (end > begin) {
			sectionSpans.push_back({ begin, end, index });
			covered = end;
		}
	}
}

const PeImage::Section* PeImage::SectionAt(std::uint32_t a_rva) const noexcept
{
	const auto after = std::ranges::upper_bound(sectionSpans, std::uint64_t{ a_rva }, {}, &SectionSpan::begin);
	if (after == sectionSpans.begin() || a_rva >= (after - 1)->end) {
		return nullptr;
	}
	return &sections[(after - 1)->index];
}

std::optional<PeImage::Directory> PeImage::DataDirectory(std::uint32_t a_index) const noexcept
{
	if (a_index >= directories.size() || directories[a_index].size == 0) {
		return std::nullopt;
	}
	return directories[a_index];
}

std::optional<std::uint64_t> PeImage::FileOffset(std::uint32_t a_rva) const noexcept
{
	const Section* section = SectionAt(a_rva);
	if (!section) {
		return std::nullopt;
	}
	const std::uint32_t into = a_rva - section->rva;
	if (into >= section->fileSize) {
		return std::nullopt; // the zero-filled tail: not in the file
	}
	const std::uint64_t offset = std::uint64_t{ section->fileOffset } + into;
	if (offset >= file.size()) {
		return std::nullopt;
	}
	return offset;
}

std::span<const std::uint8_t> PeImage::BytesAt(std::uint32_t a_rva, std::size_t a_maxSize) const noexcept
{
	const auto offset = FileOffset(a_rva);
	if (!offset) {
		return {};
	}
	const Section&      section = *SectionAt(a_rva);
	const std::uint64_t sectionEnd = std::uint64_t{ section.fileOffset } + std::min(section.fileSize, section.MemorySize());
	// Measured from the offset, so that no size however large can wrap past the file.
	const std::uint64_t available = std::min<std::uint64_t>(sectionEnd, file.size()) - *offset;
	return { file.data() + *offset, static_cast<std::size_t>(std::min<std::uint64_t>(available, a_maxSize)) };
}

std::optional<std::vector<std::uint8_t>> PeImage::MappedBytes(std::uint32_t a_rva, std::size_t a_size) const
{
	if (a_rva > imageSize || imageSize - a_rva < a_size) {
		return std::nullopt;
	}
	std::vector<std::uint8_t> bytes(a_size, 0);
	const std::uint64_t       begin = a_rva;
	const std::uint64_t       end = begin + a_size;
	// Copies what the file stores for the RVAs a_at..a_at + a_stored (file data from
	// a_fileAt on) into the part of the range they overlap.
	const auto copyStored = [&](std::uint64_t a_at, std::uint64_t a_fileAt, std::uint64_t a_stored) {
		const std::uint64_t inFile = a_fileAt < file.size() ? file.size() - a_fileAt : 0;
		const std::uint64_t from = std::max(begin, a_at);
		const std::uint64_t to = std::min({ end, a_at + a_stored, a_at + inFile });
		if (from < to) {
			std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(a_fileAt + (from - a_at)), to - from, bytes.begin() + static_cast<std::ptrdiff_t>(from - begin));
		}
	};
	copyStored(0, 0, headersSize);
	for (const Section& section : sections) {
		copyStored(section.rva, section.fileOffset, std::min(section.fileSize, section.MemorySize()));
	}
	return bytes;
}

std::optional<std::uint32_t> PeImage::ExportRva(std::string_view a_name) const
{
	if (directories.size() <= kExportDirectory) {
		return std::nullopt;
	}
	const auto [exportRva, exportSize] = directories[kExportDirectory];
	const auto directory = BytesAt(exportRva, kExportDirectorySize);
	if (exportSize == 0 || directory.size() < kExportDirectorySize) {
		return std::nullopt;
	}
	const std::uint32_t functionCount = *ReadAt<std::uint32_t>(directory, 20);
	const std::uint32_t nameCount = *ReadAt<std::uint32_t>(directory, 24);
	const std::uint32_t functions = *ReadAt<std::uint32_t>(directory, 28);
	const std::uint32_t names = *ReadAt<std::uint32_t>(directory, 32);
	const std::uint32_t ordinals = *ReadAt<std::uint32_t>(directory, 36);
	for (std::uint64_t i = 0; i < nameCount; ++i) {
		const auto nameRva = ReadRva<std::uint32_t>(*this, names + i * 4);
		if (!nameRva) {
			return std::nullopt;
		}
		const auto name = BytesAt(*nameRva, a_name.size() + 1);
		if (name.size() != a_name.size() + 1 || name.back() != 0 || std::memcmp(name.data(), a_name.data(), a_name.size()) != 0) {
			continue;
		}
		const auto ordinal = ReadRva<std::uint16_t>(*this, ordinals + i * 2);
		if (!ordinal || *ordinal >= functionCount) {
			return std::nullopt;
		}
		const auto rva = ReadRva<std::uint32_t>(*this, functions + std::uint64_t{ *ordinal } * 4);
		if (!rva || (*rva >= exportRva && *rva - exportRva < exportSize)) {
			return std::nullopt;
		}
		return rva;
	}
	return std::nullopt;
}

std::optional<PeImage::RuntimeFunction> PeImage::LookupEntry(std::uint32_t a_rva) const
{
	const auto after = std::ranges::upper_bound(byBegin, a_rva, {}, &RuntimeFunction::begin);
	if (after == byBegin.begin() || a_rva >= (after - 1)->end) {
		return std::nullopt;
	}
	return *(after - 1);
}

std::span<const std::uint8_t> PeImage::ReadImage(std::uint32_t a_rva, std::size_t a_size) const
{
	return BytesAt(a_rva, a_size);
}

// Follows each chain of the table once. A walk stops at a primary entry, at an unwind RVA
// already resolved, at a loop or after kMaxChainLength steps; every unwind RVA on the way
// learns where its chain ends and how far away that is. Entries that share unwind data (or
// a thousand fragments chained to themselves) thus cost one walk, not one per question.
void PeImage::ResolveChains()
{
	std::vector<std::uint32_t> path; // the unwind RVAs walked
	for (const auto& start : runtimeFunctions) {
		path.clear();
		RuntimeFunction entry = start;
		ChainEnd        end; // no primary unless one is reached
		bool            known = true;
		while (true) {
			if (!IsChained(entry)) {
				end = { entry, 0 };
				break;
			}
			if (const auto resolved = chainEnds.find(entry.unwind); resolved != chainEnds.end()) {
				end = resolved->second;
				break;
			}
			const bool loops = std::ranges::find(path, entry.unwind) != path.end();
			if (loops) {
				break; // never ends: no primary for any step on the way
			}
			if (path.size() == static_cast<std::size_t>(kMaxChainLength)) {
				// Too long from the first step; the later ones may be near enough to their
				// primary, which a walk from them finds.
				chainEnds.try_emplace(path.front(), ChainEnd{});
				known = false;
				break;
			}
			const auto next = Continues(entry);
			if (!next) {
				break; // broken: unreadable unwind data
			}
			path.push_back(entry.unwind);
			entry = *next;
		}
		for (auto step = path.rbegin(); step != path.rend(); ++step) {
			if (end.primary) {
				++end.steps;
			}
			if (known) {
				chainEnds.try_emplace(*step, end);
			}
		}
	}
}

std::optional<PeImage::RuntimeFunction> PeImage::PrimaryOf(const RuntimeFunction& a_entry) const
{
	if (!IsChained(a_entry)) {
		return a_entry;
	}
	const auto resolved = chainEnds.find(a_entry.unwind);
	if (resolved == chainEnds.end()) {
		return FunctionTable::PrimaryOf(a_entry);
	}
	// The base class looks at the entry and kMaxChainLength - 1 steps beyond it.
	if (resolved->second.steps >= kMaxChainLength) {
		return std::nullopt;
	}
	return resolved->second.primary;
}

std::optional<std::string> PeImage::ProductVersionText() const
{
	constexpr std::uint32_t kVersionType = 16; // RT_VERSION
	constexpr std::uint32_t kSubdirectory = 0x80000000;
	const auto              directory = DataDirectory(kResourceDirectory);
	if (!directory) {
		return std::nullopt;
	}
	const auto resources = BytesAt(directory->rva, directory->size);
	// Three levels: the type, the resource's name, its language; the first of each but the
	// type. The first two lead to directories, the last to the data's place.
	std::uint32_t at = 0;
	for (int level = 0; level < 3; ++level) {
		const auto entry = ResourceEntry(resources, at, level == 0 ? std::optional{ kVersionType } : std::nullopt);
		if (!entry || ((*entry & kSubdirectory) != 0) != (level < 2)) {
			return std::nullopt;
		}
		at = *entry & ~kSubdirectory;
	}
	const auto rva = ReadAt<std::uint32_t>(resources, at);
	const auto size = ReadAt<std::uint32_t>(resources, std::uint64_t{ at } + 4);
	if (!rva || !size) {
		return std::nullopt;
	}
	const auto root = ReadVersionBlock(BytesAt(*rva, *size));
	const auto strings = root ? FindVersionBlock(root->children, u"StringFileInfo") : std::nullopt;
	const auto table = strings ? FindVersionBlock(strings->children, u"040904B0") : std::nullopt;
	const auto product = table ? FindVersionBlock(table->children, u"ProductVersion") : std::nullopt;
	if (!product) {
		return std::nullopt;
	}
	std::string text;
	for (std::size_t i = 0; i + 1 < product->value.size(); i += 2) {
		const auto unit = *ReadAt<std::uint16_t>(product->value, i);
		if (unit == 0) {
			break;
		}
		text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
	}
	return text;
}

std::vector<PeImage::Function> PeImage::Functions() const
{
	std::map<std::uint32_t, RuntimeFunction> primaries; // by begin
	std::map<std::uint32_t, std::uint32_t>   fragments; // primary begin -> fragments that continue it
	for (const RuntimeFunction& entry : runtimeFunctions) {
		if (entry.end <= entry.begin) {
			continue; // an empty or inverted range describes no code
		}
		const auto primary = PrimaryOf(entry);
		if (!primary) {
			continue;
		}
		if (*primary == entry) {
			primaries.try_emplace(entry.begin, entry);
		} else {
			++fragments[primary->begin];
		}
	}
	std::vector<Function> result;
	result.reserve(primaries.size());
	for (const auto& [begin, entry] : primaries) {
		const auto counted = fragments.find(begin);
		result.push_back({ begin, FunctionEnd(entry), counted != fragments.end() ? counted->second : 0, entry.end });
	}
	return result;
}
