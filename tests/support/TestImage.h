#pragma once

// A minimal loaded image for tests that look at image headers: a DOS header pointing
// at PE headers, an optional header of the given size, and a section table.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace TestSupport
{
	struct SectionSpec
	{
		const char*   name; // up to 8 bytes, not necessarily terminated
		std::uint32_t virtualSize;
		std::uint32_t rva;
	};

	// a_sizeOfImage goes into the optional header's SizeOfImage (offset 56).
	inline std::vector<std::uint8_t> MakeImage(std::initializer_list<SectionSpec> a_sections, std::uint16_t a_optionalHeaderSize = 0xF0, std::uint32_t a_sizeOfImage = 0x1000)
	{
		constexpr std::uint32_t   kHeaders = 0x80;
		std::vector<std::uint8_t> image(0x1000, 0);
		std::memcpy(image.data() + 60, &kHeaders, 4);
		std::memcpy(image.data() + kHeaders, "PE\0\0", 4);
		const auto count = static_cast<std::uint16_t>(a_sections.size());
		std::memcpy(image.data() + kHeaders + 6, &count, 2);
		std::memcpy(image.data() + kHeaders + 20, &a_optionalHeaderSize, 2);
		if (a_optionalHeaderSize >= 60) {
			std::memcpy(image.data() + kHeaders + 24 + 56, &a_sizeOfImage, 4);
		}
		auto* entry = image.data() + kHeaders + 24 + a_optionalHeaderSize;
		for (const auto& s : a_sections) {
			std::memcpy(entry, s.name, std::min<std::size_t>(std::strlen(s.name), 8));
			std::memcpy(entry + 8, &s.virtualSize, 4);
			std::memcpy(entry + 12, &s.rva, 4);
			entry += 40;
		}
		return image;
	}
} // namespace TestSupport
