#pragma once

// Fake files, named file mappings with their views, and the SHA-512 hash service.
//
// Files are the real files on disk (the Address Library's existence test and its
// stream read the real file system too); CreateFileW opens them by path. Mappings live
// in memory and are shared by name for as long as a handle or a view holds them, so a
// second loader in the same test finds the region that the first one made, as another
// plugin or process would. A view of a file is, by default, an exact-size copy of the
// file's bytes in its own heap block, so that the address sanitizer catches any read
// past its end. The hash service computes a real SHA-512.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "FakeOS.h"

namespace FakeOS
{
	// Views of files map the file itself (POSIX mmap) instead of copying it: what the
	// benchmarks need to measure a load without a copy that Windows would not make.
	void SetFileViewsMapped(bool a_mapped);

	// True while a mapping object of that name exists (a handle or a view holds it).
	[[nodiscard]] bool MappingExists(std::string_view a_name);

	// File, mapping and hash handles and views not yet closed or unmapped.
	[[nodiscard]] int OpenHandles();
	[[nodiscard]] int OpenViews();

	// Makes the hash service answer a_digest for input equal to a_content: lets a test
	// stand in a file whose digest is a given one.
	void SetDigestFor(std::string a_content, const std::array<std::uint8_t, 64>& a_digest);

	// The fake service's own SHA-512 of a byte range.
	[[nodiscard]] std::array<std::uint8_t, 64> Sha512(std::string_view a_data);
} // namespace FakeOS
