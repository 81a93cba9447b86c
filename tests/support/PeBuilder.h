#pragma once

// PE32+ images for x86-64 built byte by byte, for the readers of executables (peimage,
// addrlib check) and their benchmark: sections placed where the caller says, data
// directories, a version resource as the game's executable carries one, and the hostile
// image of many sections whose function table chains every entry to itself.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace TestSupport
{
	class PeBuilder
	{
	public:
		static constexpr std::uint64_t kImageBase = 0x140000000;
		static constexpr std::uint32_t kCode = 0x60000020;     // code, execute, read
		static constexpr std::uint32_t kReadOnly = 0x40000040; // initialised data, read
		static constexpr std::uint32_t kExceptionDirectory = 3;
		static constexpr std::uint32_t kResourceDirectory = 2;

		// A section at a_rva holding a_data in the file; a_virtualSize 0 means the data's size.
		PeBuilder& AddSection(std::string_view a_name, std::uint32_t a_rva, std::vector<std::uint8_t> a_data, std::uint32_t a_characteristics, std::uint32_t a_virtualSize = 0)
		{
			sections.push_back({ std::string{ a_name.substr(0, 8) }, a_rva, std::move(a_data), a_characteristics, a_virtualSize });
			return *this;
		}

		PeBuilder& SetDirectory(std::uint32_t a_index, std::uint32_t a_rva, std::uint32_t a_size)
		{
			directories[a_index] = { a_rva, a_size };
			return *this;
		}

		[[nodiscard]] std::vector<std::uint8_t> Build() const
		{
			constexpr std::uint32_t kPeAt = 0x80;
			constexpr std::uint32_t kOptional = kPeAt + 24;
			constexpr std::uint32_t kTable = kOptional + 240;
			const std::uint32_t     headers = Align(kTable + 40 * static_cast<std::uint32_t>(sections.size()), 0x200);
			std::uint32_t           fileSize = headers;
			std::uint32_t           imageSize = 0x1000;
			for (const auto& section : sections) {
				fileSize += Align(static_cast<std::uint32_t>(section.data.size()), 0x200);
				imageSize = std::max(imageSize, Align(section.rva + std::max<std::uint32_t>(section.virtualSize, static_cast<std::uint32_t>(section.data.size())), 0x1000));
			}
			std::vector<std::uint8_t> file(fileSize, 0);
			Put<std::uint16_t>(file, 0, 0x5A4D);
			Put<std::uint32_t>(file, 0x3C, kPeAt);
			Put<std::uint32_t>(file, kPeAt, 0x00004550);
			Put<std::uint16_t>(file, kPeAt + 4, 0x8664);
			Put<std::uint16_t>(file, kPeAt + 6, static_cast<std::uint16_t>(sections.size()));
			Put<std::uint16_t>(file, kPeAt + 20, 240);
			Put<std::uint16_t>(file, kOptional, 0x20B);
			Put<std::uint64_t>(file, kOptional + 24, kImageBase);
			Put<std::uint32_t>(file, kOptional + 56, imageSize);
			Put<std::uint32_t>(file, kOptional + 60, headers);
			Put<std::uint32_t>(file, kOptional + 108, 16);
			for (std::uint32_t i = 0; i < 16; ++i) {
				Put(file, kOptional + 112 + i * 8, directories[i].rva);
				Put(file, kOptional + 112 + i * 8 + 4, directories[i].size);
			}
			std::uint32_t at = headers;
			for (std::size_t i = 0; i < sections.size(); ++i) {
				const auto&       section = sections[i];
				const std::size_t entry = kTable + i * 40;
				const auto        size = static_cast<std::uint32_t>(section.data.size());
				std::memcpy(file.data() + entry, section.name.data(), section.name.size());
				Put(file, entry + 8, section.virtualSize != 0 ? section.virtualSize : size);
				Put(file, entry + 12, section.rva);
				Put(file, entry + 16, Align(size, 0x200));
				Put(file, entry + 20, size != 0 ? at : 0);
				Put(file, entry + 36, section.characteristics);
				if (size != 0) {
					std::memcpy(file.data() + at, section.data.data(), size);
				}
				at += Align(size, 0x200);
			}
			return file;
		}

		template <class T>
		static void Put(std::vector<std::uint8_t>& a_bytes, std::size_t a_at, T a_value)
		{
			if (a_bytes.size() < a_at + sizeof a_value) {
				a_bytes.resize(a_at + sizeof a_value);
			}
			std::memcpy(a_bytes.data() + a_at, &a_value, sizeof a_value);
		}

		// A resource section at a_rva holding one version resource (type 16, id 1, language
		// 0x409) whose string block 040904B0 gives "ProductVersion" as a_productVersion.
		[[nodiscard]] static std::vector<std::uint8_t> VersionResource(std::uint32_t a_rva, std::u16string_view a_productVersion)
		{
			std::vector<std::uint8_t> bytes(0x48, 0);
			// Three directories of one id entry each (16 bytes, then the 8-byte entry), then
			// the data entry.
			const std::uint32_t levels[][2] = { { 16, 0x80000018 }, { 1, 0x80000030 }, { 0x409, 0x48 } };
			for (std::uint32_t i = 0; i < 3; ++i) {
				Put<std::uint16_t>(bytes, i * 0x18 + 14, 1);
				Put<std::uint32_t>(bytes, i * 0x18 + 16, levels[i][0]);
				Put<std::uint32_t>(bytes, i * 0x18 + 20, levels[i][1]);
			}
			const auto product = Block(u"ProductVersion", a_productVersion, {});
			const auto table = Block(u"040904B0", {}, product);
			const auto strings = Block(u"StringFileInfo", {}, table);
			const auto root = Block(u"VS_VERSION_INFO", {}, strings);
			Put<std::uint32_t>(bytes, 0x48, a_rva + 0x58);
			Put<std::uint32_t>(bytes, 0x4C, static_cast<std::uint32_t>(root.size()));
			bytes.resize(0x58);
			bytes.insert(bytes.end(), root.begin(), root.end());
			return bytes;
		}

		// An image of a_sections sections (most of them empty, listed before the ones that matter)
		// and a code section of a_entries 16-byte functions at 0x1000, each with an entry in
		// the function table. With a_selfChained, the image that made `addrlib check` run for
		// hours: every entry chained to unwind data that names the entry itself; else each
		// entry a function of its own. With a_productVersion, a version resource too.
		[[nodiscard]] static std::vector<std::uint8_t> FunctionImage(std::uint32_t a_sections, std::uint32_t a_entries, bool a_selfChained,
		                                                             std::u16string_view a_productVersion = u"1.11.221.0")
		{
			constexpr std::uint32_t   kText = 0x1000;
			const std::uint32_t       codeSize = a_entries * 16;
			const std::uint32_t       pdata = Align(kText + codeSize, 0x1000);
			const std::uint32_t       xdata = Align(pdata + a_entries * 12, 0x1000);
			const std::uint32_t       rsrc = xdata + 0x1000;
			std::vector<std::uint8_t> code(codeSize, 0xCC);
			std::vector<std::uint8_t> table(std::size_t{ a_entries } * 12);
			for (std::uint32_t i = 0; i < a_entries; ++i) {
				// mov [rsp+8], rbx; push rdi; sub rsp, 0x20: a prologue the detour accepts.
				const std::uint8_t prologue[] = { 0x48, 0x89, 0x5C, 0x24, 0x08, 0x57, 0x48, 0x83, 0xEC, 0x20 };
				std::memcpy(code.data() + i * 16, prologue, sizeof prologue);
				Put(table, i * 12, kText + i * 16);
				Put(table, i * 12 + 4, kText + i * 16 + 16);
				Put(table, i * 12 + 8, xdata);
			}
			// Version 1, chained, no codes; the entry it continues: itself.
			std::vector<std::uint8_t> unwind{ static_cast<std::uint8_t>(a_selfChained ? 0x01 | (0x4 << 3) : 0x01), 0, 0, 0 };
			Put(unwind, 4, kText);
			Put(unwind, 8, kText + 16);
			Put(unwind, 12, xdata);
			PeBuilder builder;
			builder.AddSection(".text", kText, std::move(code), kCode)
			    .AddSection(".pdata", pdata, std::move(table), kReadOnly)
			    .AddSection(".xdata", xdata, std::move(unwind), kReadOnly)
			    .SetDirectory(kExceptionDirectory, pdata, a_entries * 12);
			std::uint32_t next = rsrc;
			if (!a_productVersion.empty()) {
				auto resource = VersionResource(rsrc, a_productVersion);
				builder.SetDirectory(kResourceDirectory, rsrc, static_cast<std::uint32_t>(resource.size()));
				builder.AddSection(".rsrc", rsrc, std::move(resource), kReadOnly);
				next += 0x1000;
			}
			// The empty sections come first in the table: a reader that scans the table for
			// every address passes all of them before it finds the code or the unwind data.
			std::vector<Section> filler;
			for (auto i = static_cast<std::uint32_t>(builder.sections.size()); i < a_sections; ++i, next += 0x1000) {
				filler.push_back({ ".bss", next, {}, kReadOnly, 0x1000 });
			}
			builder.sections.insert(builder.sections.begin(), filler.begin(), filler.end());
			return builder.Build();
		}

	private:
		struct Section
		{
			std::string               name;
			std::uint32_t             rva;
			std::vector<std::uint8_t> data;
			std::uint32_t             characteristics;
			std::uint32_t             virtualSize;
		};
		struct Directory
		{
			std::uint32_t rva{ 0 };
			std::uint32_t size{ 0 };
		};

		static constexpr std::uint32_t Align(std::uint32_t a_value, std::uint32_t a_to) { return (a_value + a_to - 1) / a_to * a_to; }

		// A version block: length, value length (characters, text type), key, value, children.
		static std::vector<std::uint8_t> Block(std::u16string_view a_key, std::u16string_view a_text, const std::vector<std::uint8_t>& a_children)
		{
			std::vector<std::uint8_t> block(6, 0);
			const auto                pad = [&] { block.resize((block.size() + 3) & ~std::size_t{ 3 }, 0); };
			for (const char16_t c : a_key) {
				Put<std::uint16_t>(block, block.size(), c);
			}
			Put<std::uint16_t>(block, block.size(), 0);
			pad();
			if (!a_text.empty()) {
				for (const char16_t c : a_text) {
					Put<std::uint16_t>(block, block.size(), c);
				}
				Put<std::uint16_t>(block, block.size(), 0);
				pad();
			}
			block.insert(block.end(), a_children.begin(), a_children.end());
			Put<std::uint16_t>(block, 0, static_cast<std::uint16_t>(block.size()));
			Put<std::uint16_t>(block, 2, static_cast<std::uint16_t>(a_text.empty() ? 0 : a_text.size() + 1));
			Put<std::uint16_t>(block, 4, 1);
			return block;
		}

		std::vector<Section> sections;
		Directory            directories[16]{};
	};
} // namespace TestSupport
