// The PE reader over a small image built here byte by byte (so every field is known, and
// can be damaged on purpose), and over a real MinGW-built DLL cross-checked with objdump.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "PeBuilder.h"
#include "PeImage.h"

namespace
{
	// A PE32+ image: headers in the first 0x400 bytes, then .text (RVA 0x1000, file 0x400,
	// 0x200 bytes), .pdata (RVA 0x2000, file 0x600) and .xdata (RVA 0x3000, file 0x800).
	constexpr std::uint32_t kPeAt = 0x80;
	constexpr std::uint32_t kOptional = kPeAt + 24;
	constexpr std::uint32_t kSectionTable = kOptional + 240;
	constexpr std::uint64_t kImageBase = 0x140000000;

	struct Entry
	{
		std::uint32_t begin, end, unwind;
	};

	// The .xdata blobs the entries point at: 0x3000 a plain UNWIND_INFO (version 1, no
	// flags, 2 codes); 0x3010 one chained to the entry {0x1000, 0x1040, 0x3000}; 0x3030
	// one chained to itself (a loop only a damaged file has).
	std::vector<Entry> kEntries = {
		{ 0x1000, 0x1040, 0x3000 }, // primary A
		{ 0x1040, 0x1060, 0x3010 }, // fragment of A, right after it: A grows to 0x1060
		{ 0x1180, 0x11A0, 0x3010 }, // fragment of A placed elsewhere (cold code)
		{ 0x1060, 0x1080, 0x3000 }, // primary B
		{ 0x1080, 0x1090, 0x2001 }, // alias of the entry at RVA 0x2000 (A): a fragment
		{ 0x1090, 0x10A0, 0x3030 }, // chained to itself: counted nowhere
		{ 0x10B0, 0x10A0, 0x3000 }, // inverted range: no code
	};

	template <class T>
	void Put(std::vector<std::uint8_t>& a_file, std::size_t a_at, T a_value)
	{
		TestSupport::PeBuilder::Put(a_file, a_at, a_value);
	}

	void PutSection(std::vector<std::uint8_t>& a_file, int a_index, const char* a_name, std::uint32_t a_rva, std::uint32_t a_size, std::uint32_t a_fileAt, std::uint32_t a_characteristics)
	{
		const std::size_t at = kSectionTable + static_cast<std::size_t>(a_index) * 40;
		std::memcpy(a_file.data() + at, a_name, std::strlen(a_name));
		Put(a_file, at + 8, a_size);
		Put(a_file, at + 12, a_rva);
		Put(a_file, at + 16, a_size);
		Put(a_file, at + 20, a_fileAt);
		Put(a_file, at + 36, a_characteristics);
	}

	std::vector<std::uint8_t> BuildImage()
	{
		std::vector<std::uint8_t> file(0xA00, 0);
		Put<std::uint16_t>(file, 0, 0x5A4D);
		Put<std::uint32_t>(file, 0x3C, kPeAt);
		Put<std::uint32_t>(file, kPeAt, 0x00004550);
		Put<std::uint16_t>(file, kPeAt + 4, PeImage::kMachineAmd64);
		Put<std::uint16_t>(file, kPeAt + 6, 3);
		Put<std::uint16_t>(file, kPeAt + 20, 240);
		Put<std::uint16_t>(file, kOptional, 0x20B);
		Put<std::uint64_t>(file, kOptional + 24, kImageBase);
		Put<std::uint32_t>(file, kOptional + 56, 0x4000);
		Put<std::uint32_t>(file, kOptional + 60, 0x400);
		Put<std::uint32_t>(file, kOptional + 108, 16);
		Put<std::uint32_t>(file, kOptional + 112 + 3 * 8, 0x2000);
		Put<std::uint32_t>(file, kOptional + 112 + 3 * 8 + 4, static_cast<std::uint32_t>(kEntries.size() * 12));
		PutSection(file, 0, ".text", 0x1000, 0x200, 0x400, 0x60000020);
		PutSection(file, 1, ".pdata", 0x2000, 0x200, 0x600, 0x40000040);
		PutSection(file, 2, ".xdata", 0x3000, 0x200, 0x800, 0x40000040);
		for (std::size_t i = 0; i < kEntries.size(); ++i) {
			Put(file, 0x600 + i * 12, kEntries[i].begin);
			Put(file, 0x600 + i * 12 + 4, kEntries[i].end);
			Put(file, 0x600 + i * 12 + 8, kEntries[i].unwind);
		}
		file[0x800] = 0x01;              // version 1, no flags
		file[0x802] = 2;                 // two unwind codes
		file[0x810] = 0x01 | (0x4 << 3); // chained, one code (rounded up to two): entry at +8
		file[0x812] = 1;
		Put<std::uint32_t>(file, 0x818, 0x1000);
		Put<std::uint32_t>(file, 0x81C, 0x1040);
		Put<std::uint32_t>(file, 0x820, 0x3000);
		file[0x830] = 0x01 | (0x4 << 3); // chained, no codes: the entry right after
		Put<std::uint32_t>(file, 0x834, 0x1090);
		Put<std::uint32_t>(file, 0x838, 0x10A0);
		Put<std::uint32_t>(file, 0x83C, 0x3030);
		for (std::size_t i = 0; i < 0x200; ++i) {
			file[0x400 + i] = static_cast<std::uint8_t>(i);
		}
		// The export directory in .xdata behind the unwind information (RVA 0x3100, file 0x900):
		// "Alpha" at 0x1010, and "Forward", whose address lies inside the directory, where
		// the text of a forwarder to another DLL sits.
		Put<std::uint32_t>(file, kOptional + 112, 0x3100);
		Put<std::uint32_t>(file, kOptional + 116, 0x100);
		Put<std::uint32_t>(file, 0x900 + 20, 2);      // functions
		Put<std::uint32_t>(file, 0x900 + 24, 2);      // names
		Put<std::uint32_t>(file, 0x900 + 28, 0x3130); // address table
		Put<std::uint32_t>(file, 0x900 + 32, 0x3140); // name table
		Put<std::uint32_t>(file, 0x900 + 36, 0x3150); // ordinal table
		Put<std::uint32_t>(file, 0x930, 0x1010);
		Put<std::uint32_t>(file, 0x934, 0x3180);
		Put<std::uint32_t>(file, 0x940, 0x3160);
		Put<std::uint32_t>(file, 0x944, 0x3170);
		Put<std::uint16_t>(file, 0x950, 0);
		Put<std::uint16_t>(file, 0x952, 1);
		std::memcpy(file.data() + 0x960, "Alpha", 6);
		std::memcpy(file.data() + 0x970, "Forward", 8);
		std::memcpy(file.data() + 0x980, "Other.Alpha", 12);
		return file;
	}

	TEST(PeImage, ReadsSectionsAndMapsRvasToTheFile)
	{
		const auto image = PeImage::Parse(BuildImage());

		EXPECT_EQ(image.Machine(), PeImage::kMachineAmd64);
		EXPECT_TRUE(image.Is64());
		EXPECT_EQ(image.ImageBase(), kImageBase);
		ASSERT_EQ(image.Sections().size(), 3u);
		EXPECT_EQ(image.Sections()[0].name, ".text");
		EXPECT_TRUE(image.Sections()[0].Executable());
		EXPECT_FALSE(image.Sections()[1].Executable());

		struct Case
		{
			std::uint32_t                rva;
			std::optional<std::uint64_t> offset;
			std::size_t                  bytesAvailable; // of 16 asked for
		};
		const Case cases[] = {
			{ 0x1000, 0x400, 16 },
			{ 0x11F8, 0x5F8, 8 }, // the section's data ends 8 bytes on
			{ 0x1200, std::nullopt, 0 },
			{ 0x0FFF, std::nullopt, 0 }, // the headers are no section
			{ 0x2004, 0x604, 16 },
			{ 0xFFFFFFFF, std::nullopt, 0 },
		};
		for (const auto& c : cases) {
			EXPECT_EQ(image.FileOffset(c.rva), c.offset) << std::hex << c.rva;
			EXPECT_EQ(image.BytesAt(c.rva, 16).size(), c.bytesAvailable) << std::hex << c.rva;
		}
		EXPECT_EQ(image.BytesAt(0x1010, 4)[0], 0x10);
	}

	TEST(PeImage, ExportsAreFoundByNameUnlessForwardedOrOutsideTheFile)
	{
		struct Case
		{
			const char*                                     name;
			std::function<void(std::vector<std::uint8_t>&)> damage;
			std::optional<std::uint32_t>                    rva;
		};
		const auto none = [](std::vector<std::uint8_t>&) {};
		const Case cases[] = {
			{ "Alpha", none, 0x1010 },
			{ "Forward", none, std::nullopt },
			{ "Alph", none, std::nullopt }, // a prefix of a name is not that name
			{ "Missing", none, std::nullopt },
			{ "Alpha", [](auto& f) { Put<std::uint32_t>(f, 0x900 + 32, 0xFFFFFFFE); }, std::nullopt }, // name table past the image
			{ "Alpha", [](auto& f) { Put<std::uint16_t>(f, 0x950, 7); }, std::nullopt },               // ordinal past the address table
			{ "Alpha", [](auto& f) { Put<std::uint32_t>(f, kOptional + 116, 0); }, std::nullopt },     // no export directory
		};
		for (const auto& c : cases) {
			auto file = BuildImage();
			c.damage(file);
			EXPECT_EQ(PeImage::Parse(file).ExportRva(c.name), c.rva) << c.name;
		}
	}

	TEST(PeImage, MappedBytesHoldTheFilesDataAndZerosWhereItStoresNone)
	{
		const auto image = PeImage::Parse(BuildImage());

		const auto tail = image.MappedBytes(0x11F8, 16); // the last 8 bytes of .text's data, then a gap
		ASSERT_TRUE(tail);
		const std::vector<std::uint8_t> expected{ 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0 };
		EXPECT_EQ(*tail, expected);
		EXPECT_EQ(image.MappedBytes(0, 2), (std::vector<std::uint8_t>{ 'M', 'Z' })); // the headers are mapped too
		EXPECT_EQ(image.MappedBytes(0x3FF0, 16), std::vector<std::uint8_t>(16, 0));
		EXPECT_EQ(image.MappedBytes(0x3FF0, 17), std::nullopt); // one byte past the image
		EXPECT_EQ(image.MappedBytes(0xFFFFFFFF, 2), std::nullopt);
	}

	TEST(PeImage, FunctionsAreThePrimaryEntriesWithTheirChainedFragments)
	{
		const auto image = PeImage::Parse(BuildImage());

		EXPECT_EQ(image.RuntimeFunctions().size(), kEntries.size());
		const auto functions = image.Functions();
		ASSERT_EQ(functions.size(), 2u);
		EXPECT_EQ(functions[0].begin, 0x1000u);
		EXPECT_EQ(functions[0].end, 0x1060u);  // the adjacent fragment, not the cold one
		EXPECT_EQ(functions[0].fragments, 3u); // the adjacent, the cold, the alias
		EXPECT_EQ(functions[1].begin, 0x1060u);
		EXPECT_EQ(functions[1].Size(), 0x20u);
		EXPECT_EQ(image.PrimaryOf({ 0x1090, 0x10A0, 0x3030 }), std::nullopt);
	}

	// Damaged files: each mutation of the good image must give BadImage or a reduced
	// answer, and never a read outside the file (the sanitizers watch that).
	struct Damage
	{
		const char*                                     name;
		std::function<void(std::vector<std::uint8_t>&)> apply;
		bool                                            refused;       // Parse raises BadImage
		std::size_t                                     functionsLeft; // when not refused
	};

	void PrintTo(const Damage& a_damage, std::ostream* a_out)
	{
		*a_out << a_damage.name;
	}

	class DamagedImage : public ::testing::TestWithParam<Damage>
	{
	};

	TEST_P(DamagedImage, IsRefusedOrReadWithinTheFile)
	{
		auto file = BuildImage();
		GetParam().apply(file);
		if (GetParam().refused) {
			EXPECT_THROW(static_cast<void>(PeImage::Parse(file)), PeImage::BadImage);
			return;
		}
		const auto image = PeImage::Parse(file);
		EXPECT_EQ(image.Functions().size(), GetParam().functionsLeft);
		for (const auto& entry : image.RuntimeFunctions()) {
			static_cast<void>(image.BytesAt(entry.begin, 64));
		}
	}

	const Damage kDamages[] = {
		{ "Empty", [](auto& f) { f.clear(); }, true, 0 },
		{ "NoMz", [](auto& f) { f[0] = 'X'; }, true, 0 },
		{ "PeHeaderPastTheEnd", [](auto& f) { Put<std::uint32_t>(f, 0x3C, 0xFFFFFFF0); }, true, 0 },
		{ "CutInTheOptionalHeader", [](auto& f) { f.resize(kOptional + 20); }, true, 0 },
		{ "SectionTablePastTheEnd", [](auto& f) { Put<std::uint16_t>(f, kPeAt + 6, 0xFFFF); }, true, 0 },
		{ "WrongMagic", [](auto& f) { Put<std::uint16_t>(f, kOptional, 0x107); }, true, 0 },
		{ "FunctionTableOutsideEverySection", [](auto& f) { Put<std::uint32_t>(f, kOptional + 112 + 24, 0x7FFFFFF0); }, false, 0 },
		{ "FunctionTableLongerThanItsSection", [](auto& f) { Put<std::uint32_t>(f, kOptional + 112 + 28, 0xFFFFFFFF); }, false, 2 },
		{ "SectionDataPastTheEndOfTheFile", [](auto& f) { f.resize(0x900); Put<std::uint32_t>(f, kSectionTable + 80 + 16, 0x10000); }, false, 2 },
		{ "AliasOutsideTheFile", [](auto& f) { Put<std::uint32_t>(f, 0x600 + 8, 0xFFFFFFFF); }, false, 1 },
		{ "NoDataDirectories", [](auto& f) { Put<std::uint32_t>(f, kOptional + 108, 0); }, false, 0 },
		{ "ChainedEntryPointsPastTheFile", [](auto& f) { Put<std::uint32_t>(f, 0x820, 0xFFFFFFF8); Put<std::uint32_t>(f, 0x818, 0xFFFFFFF0); }, false, 2 },
	};

	INSTANTIATE_TEST_SUITE_P(PeImage, DamagedImage, ::testing::ValuesIn(kDamages),
	                         [](const ::testing::TestParamInfo<Damage>& a_info) { return std::string{ a_info.param.name }; });

	TEST(PeImage, SectionsAreFoundWhateverTheirOrderAndOverlapsGoToTheFirstBegun)
	{
		using TestSupport::PeBuilder;
		PeBuilder builder;
		builder.AddSection("late", 0x5000, std::vector<std::uint8_t>(0x100, 3), PeBuilder::kReadOnly)
		    .AddSection("high", 0x3000, std::vector<std::uint8_t>(0x1000, 2), PeBuilder::kReadOnly)
		    .AddSection("low", 0x1000, std::vector<std::uint8_t>(0x2800, 1), PeBuilder::kCode);
		const auto image = PeImage::Parse(builder.Build());

		const struct
		{
			std::uint32_t rva;
			const char*   section; // null: none
			std::uint8_t  byte;
		} cases[] = {
			{ 0x0FFF, nullptr, 0 },
			{ 0x1000, "low", 1 },
			{ 0x37FF, "low", 1 },
			{ 0x3800, "high", 2 },
			{ 0x3FFF, "high", 2 },
			{ 0x4000, nullptr, 0 },
			{ 0x50FF, "late", 3 },
			{ 0xFFFFFFFF, nullptr, 0 },
		};
		for (const auto& c : cases) {
			const auto* section = image.SectionAt(c.rva);
			EXPECT_EQ(section ? section->name : "", c.section ? c.section : "") << std::hex << c.rva;
			const auto bytes = image.BytesAt(c.rva, 1);
			EXPECT_EQ(bytes.empty() ? 0 : bytes[0], c.byte) << std::hex << c.rva;
		}
	}

	TEST(PeImage, BytesAtNeverReachesPastTheSectionHoweverMuchIsAskedFor)
	{
		const auto image = PeImage::Parse(BuildImage());
		for (const std::size_t asked : { SIZE_MAX, SIZE_MAX - 4, SIZE_MAX / 2 + 1 }) {
			EXPECT_EQ(image.BytesAt(0x1000, asked).size(), 0x200u) << asked;
			EXPECT_EQ(image.BytesAt(0x11F8, asked).size(), 8u) << asked;
		}
	}

	// Chains of every length around the limit, a loop and a broken link: what the image
	// resolved once when it was read must be what a walk finds.
	TEST(PeImage, ChainsResolvedOnceAgreeWithAWalkOfEachChain)
	{
		// Unwind blob k at 0x3000 + 16 k is chained to entry k + 1's range with blob k + 1;
		// blob 40 is plain. Entry k thus lies 40 - k steps from its primary.
		constexpr std::uint32_t   kBlobs = 40;
		std::vector<std::uint8_t> xdata((kBlobs + 3) * 16, 0);
		for (std::uint32_t k = 0; k < kBlobs; ++k) {
			xdata[k * 16] = 0x01 | (0x4 << 3);
			Put<std::uint32_t>(xdata, k * 16 + 4, 0x1000 + (k + 1) * 4);
			Put<std::uint32_t>(xdata, k * 16 + 8, 0x1000 + (k + 1) * 4 + 4);
			Put<std::uint32_t>(xdata, k * 16 + 12, 0x3000 + (k + 1) * 16);
		}
		xdata[kBlobs * 16] = 0x01;
		// Blob 41 loops to itself; blob 42 claims 255 unwind codes, so the entry it continues
		// would lie past the section: a broken link.
		xdata[41 * 16] = 0x01 | (0x4 << 3);
		Put<std::uint32_t>(xdata, 41 * 16 + 12, 0x3000 + 41 * 16);
		xdata[42 * 16] = 0x01 | (0x4 << 3);
		xdata[42 * 16 + 2] = 0xFF;

		std::vector<std::uint8_t> pdata;
		for (std::uint32_t k = 0; k <= kBlobs + 2; ++k) {
			Put<std::uint32_t>(pdata, k * 12, 0x1000 + k * 4);
			Put<std::uint32_t>(pdata, k * 12 + 4, 0x1000 + k * 4 + 4);
			Put<std::uint32_t>(pdata, k * 12 + 8, 0x3000 + k * 16);
		}
		using TestSupport::PeBuilder;
		PeBuilder builder;
		builder.AddSection(".text", 0x1000, std::vector<std::uint8_t>(0x200, 0xCC), PeBuilder::kCode)
		    .AddSection(".pdata", 0x2000, pdata, PeBuilder::kReadOnly)
		    .AddSection(".xdata", 0x3000, xdata, PeBuilder::kReadOnly)
		    .SetDirectory(PeBuilder::kExceptionDirectory, 0x2000, static_cast<std::uint32_t>(pdata.size()));
		const auto image = PeImage::Parse(builder.Build());

		ASSERT_EQ(image.RuntimeFunctions().size(), kBlobs + 3);
		std::size_t resolved = 0;
		for (const auto& entry : image.RuntimeFunctions()) {
			const auto walked = image.Detour::FunctionTable::PrimaryOf(entry);
			EXPECT_EQ(image.PrimaryOf(entry), walked) << std::hex << entry.begin;
			resolved += walked.has_value();
		}
		// Steps 0 to 31 reach the primary: entries 9 to 40.
		EXPECT_EQ(resolved, 32u);
		EXPECT_EQ(image.Functions().size(), 1u);
	}

	// The image that made `addrlib check` run for 84 s: 65,535 sections and 4,000 entries
	// each chained to itself. Read and asked about every entry, within a generous bound
	// for a sanitizer build on a loaded machine.
	TEST(PeImage, HostileImageIsReadInBoundedTime)
	{
		const auto start = std::chrono::steady_clock::now();
		const auto image = PeImage::Parse(TestSupport::PeBuilder::FunctionImage(65535, 4000, true));
		EXPECT_EQ(image.Sections().size(), 65535u);
		EXPECT_TRUE(image.Functions().empty());
		for (const auto& entry : image.RuntimeFunctions()) {
			EXPECT_EQ(image.Locate(entry.begin).kind, Detour::FunctionTable::Position::Kind::InsideFunction);
		}
		EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
	}

	TEST(PeImage, ReadsTheProductVersionFromTheVersionResource)
	{
		using TestSupport::PeBuilder;
		const auto withResource = [](std::vector<std::uint8_t> a_resource) {
			const auto size = static_cast<std::uint32_t>(a_resource.size());
			return PeImage::Parse(PeBuilder{}
			                          .AddSection(".rsrc", 0x1000, std::move(a_resource), PeBuilder::kReadOnly)
			                          .SetDirectory(PeBuilder::kResourceDirectory, 0x1000, size)
			                          .Build());
		};
		const auto good = PeBuilder::VersionResource(0x1000, u"1.11.221.0");
		EXPECT_EQ(withResource(good).ProductVersionText(), "1.11.221.0");
		EXPECT_EQ(withResource(PeBuilder::VersionResource(0x1000, u"1.2.\u0393")).ProductVersionText(), "1.2.?");

		const struct
		{
			const char*                                     name;
			std::function<void(std::vector<std::uint8_t>&)> damage;
		} refused[] = {
			{ "no version type", [](auto& r) { Put<std::uint32_t>(r, 16, 3); } },
			{ "type entry is no directory", [](auto& r) { Put<std::uint32_t>(r, 20, 0x18); } },
			{ "data entry outside the file", [](auto& r) { Put<std::uint32_t>(r, 0x48, 0x7FFFFFF0); } },
			{ "block longer than the data", [](auto& r) { Put<std::uint16_t>(r, 0x58, 0xFFFF); } },
			{ "block shorter than its header", [](auto& r) { Put<std::uint16_t>(r, 0x58, 4); } },
			{ "cut inside the key", [](auto& r) { r.resize(0x58 + 12); } },
		};
		for (const auto& c : refused) {
			auto resource = good;
			c.damage(resource);
			EXPECT_EQ(withResource(resource).ProductVersionText(), std::nullopt) << c.name;
		}
		EXPECT_EQ(PeImage::Parse(BuildImage()).ProductVersionText(), std::nullopt);
	}

#ifndef _WIN32
	// A MinGW-built DLL of Wine's, read by us and by binutils' objdump: the same sections
	// and the same function table.
	constexpr const char* kWineDll = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernelbase.dll";

	std::string RunObjdump(const std::string& a_arguments)
	{
		const std::string                           command = "x86_64-w64-mingw32-objdump " + a_arguments + " 2>/dev/null";
		const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
		std::string                                 text;
		if (pipe) {
			char buffer[4096];
			for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) {
				text.append(buffer, n);
			}
		}
		return text;
	}

	TEST(PeImage, AgreesWithObjdumpOnARealMinGWBuiltDll)
	{
		const auto headers = RunObjdump(std::string{ "-h " } + kWineDll);
		if (headers.find(".text") == std::string::npos) {
			GTEST_SKIP() << "objdump or " << kWineDll << " not available";
		}
		const auto image = PeImage::Read(kWineDll);

		// "  0 .text  00084c30  000000007b001000  000000007b001000  00001000  2**4"
		// followed by a line of flags, CODE among them for code sections.
		std::istringstream lines{ headers };
		std::size_t        compared = 0;
		for (std::string line; std::getline(lines, line);) {
			std::istringstream fields{ line };
			std::size_t        index = 0;
			std::string        name;
			std::uint64_t      size = 0, vma = 0, lma = 0, fileAt = 0;
			if (!(fields >> index >> name >> std::hex >> size >> vma >> lma >> fileAt)) {
				continue;
			}
			std::string flags;
			std::getline(lines, flags);
			ASSERT_LT(index, image.Sections().size());
			const auto& section = image.Sections()[index];
			EXPECT_EQ(section.name, name);
			EXPECT_EQ(section.rva, vma - image.ImageBase()) << name;
			EXPECT_EQ(section.virtualSize, size) << name;
			if (flags.find("CONTENTS") != std::string::npos) {
				EXPECT_EQ(section.fileOffset, fileAt) << name;
			}
			EXPECT_EQ(section.Executable(), flags.find("CODE") != std::string::npos) << name;
			++compared;
		}
		EXPECT_EQ(compared, image.Sections().size());

		// " 000000007b0a1000:\t000000007b00cc40 000000007b00cc72 000000007b0a6000"
		const auto         table = RunObjdump(std::string{ "-x " } + kWineDll);
		std::istringstream rows{ table.substr(table.find("The Function Table")) };
		std::size_t        row = 0;
		for (std::string line; std::getline(rows, line);) {
			std::istringstream fields{ line };
			std::string        at;
			std::uint64_t      begin = 0, end = 0, unwind = 0;
			if (!(fields >> at >> std::hex >> begin >> end >> unwind) || at.back() != ':') {
				continue;
			}
			ASSERT_LT(row, image.RuntimeFunctions().size());
			const auto& entry = image.RuntimeFunctions()[row++];
			EXPECT_EQ(entry.begin + image.ImageBase(), begin);
			EXPECT_EQ(entry.end + image.ImageBase(), end);
			EXPECT_EQ(entry.unwind + image.ImageBase(), unwind);
		}
		EXPECT_EQ(row, image.RuntimeFunctions().size());
		EXPECT_GT(row, 1000u);

		// Every function begins in code, and none overlaps the next.
		const auto functions = image.Functions();
		EXPECT_GT(functions.size(), 1000u);
		for (std::size_t i = 0; i < functions.size(); ++i) {
			const auto* section = image.SectionAt(functions[i].begin);
			ASSERT_NE(section, nullptr);
			EXPECT_TRUE(section->Executable());
			if (i + 1 < functions.size()) {
				EXPECT_LE(functions[i].end, functions[i + 1].begin);
			}
		}
	}
#endif
} // namespace
