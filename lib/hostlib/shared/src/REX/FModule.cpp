#include "REX/FModule.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "REX/FatalError.h"
#include "REX/Text.h"

namespace REX
{
	namespace
	{
		constexpr OS::DWORD kPathBufferSize = 260;

		template <class T>
		T ReadImage(std::uintptr_t a_address) noexcept
		{
			T value;
			std::memcpy(&value, reinterpret_cast<const void*>(a_address), sizeof(T));
			return value;
		}
	} // namespace

	FModule FModule::ProcessModule()
	{
		return FModule{ OS::GetModuleHandleA(nullptr) };
	}

	FModule FModule::ThisModule() noexcept
	{
		return FModule{ OS::GetThisImageBase() };
	}

	namespace
	{
		// Windows cuts a path that does not fit and reports the full buffer size; a cut
		// path would name another file, so the buffer doubles until the whole path fits.
		template <class Char, class Query>
		std::optional<std::basic_string<Char>> ReadModulePath(OS::HMODULE a_handle, Query a_query)
		{
			std::vector<Char> buffer(kPathBufferSize, Char{ 0 });
			for (;;) {
				const auto length = a_query(a_handle, buffer.data(), static_cast<OS::DWORD>(buffer.size()));
				if (length == 0) {
					return std::nullopt;
				}
				if (length < buffer.size()) {
					return std::basic_string<Char>(buffer.data(), length);
				}
				if (buffer.size() > std::numeric_limits<OS::DWORD>::max() / 2) {
					return std::nullopt;
				}
				buffer.assign(buffer.size() * 2, Char{ 0 });
			}
		}
	} // namespace

	std::optional<std::wstring> FModule::TryGetFileNameW() const
	{
		return ReadModulePath<wchar_t>(handle, OS::GetModuleFileNameW);
	}

	std::optional<std::string> FModule::TryGetFileName() const
	{
		if (auto path = TryGetFileNameW()) {
			return Utf8FromWide(*path);
		}
		return std::nullopt;
	}

	std::wstring FModule::GetFileNameW() const
	{
		auto path = TryGetFileNameW();
		if (!path) {
			Fatal("failed to obtain module file name");
		}
		return std::move(*path);
	}

	std::string FModule::GetFileName() const
	{
		return Utf8FromWide(GetFileNameW());
	}

	REL::VersionNumber FModule::GetProductVersion() const
	{
		// Every caller picks files and shared regions by this version; carrying on with a
		// made-up one would load the wrong Address Library, so an unreadable version is
		// reported and ends the process, naming the file that was read.
		const auto path = GetFileNameW();
		try {
			if (const auto version = REL::ReadProductVersion(path)) {
				return *version;
			}
			FatalW(L"Failed to read the product version of {}: it has no ProductVersion in block 040904B0", path);
		} catch (const std::logic_error& e) { // std::invalid_argument, std::out_of_range
			FatalW(L"Failed to read the product version of {}: {}", path, WideFromUtf8(e.what()));
		}
		std::abort(); // not reached: a fatal error ends the process
	}

	std::uint64_t FModule::GetImageSize() const noexcept
	{
		if (handle == nullptr) {
			return 0;
		}
		// The optional header follows the 24 bytes of signature and file header; its
		// SizeOfImage sits at offset 56 in both the 32- and the 64-bit layout.
		const auto base = reinterpret_cast<std::uintptr_t>(handle);
		const auto headers = base + static_cast<std::intptr_t>(ReadImage<std::int32_t>(base + 60));
		return ReadImage<std::uint32_t>(headers + 24 + 56);
	}

	FSection FModule::FindSection(std::string_view a_name) const noexcept
	{
		if (handle == nullptr) {
			return {};
		}
		const auto base = reinterpret_cast<std::uintptr_t>(handle);
		const auto headers = base + static_cast<std::intptr_t>(ReadImage<std::int32_t>(base + 60));
		const auto sectionCount = ReadImage<std::uint16_t>(headers + 6);
		const auto optionalHeaderSize = ReadImage<std::uint16_t>(headers + 20);
		const auto table = headers + 24 + optionalHeaderSize;
		// A section's name fills its 8 bytes or ends with a zero byte: ".text" names that
		// section only, not ".textbss"; a longer name is compared by its first 8 bytes.
		const auto compared = std::min<std::size_t>(a_name.size(), 8);

		for (std::uint16_t i = 0; i < sectionCount; ++i) {
			const auto  entry = table + std::uintptr_t{ 40 } * i;
			const auto* name = reinterpret_cast<const char*>(entry);
			if (std::memcmp(name, a_name.data(), compared) == 0 && (compared == 8 || name[compared] == '\0')) {
				const auto virtualSize = ReadImage<std::uint32_t>(entry + 8);
				const auto relativeAddress = ReadImage<std::uint32_t>(entry + 12);
				return FSection{ base, base + relativeAddress, virtualSize };
			}
		}
		return {};
	}
} // namespace REX
