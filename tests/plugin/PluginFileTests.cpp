// Quellstone.dll as the host and Windows read it: the version record the host looks at
// before loading the plugin, and the version resource shown in the file's properties.

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "GameFolder.h"
#include "GameLayout.h"
#include "HostRules.h"
#include "REL/Version.h"

namespace
{
	// The version the build gives the plugin (project() in the top CMakeLists.txt).
	constexpr REL::VersionNumber kPluginVersion{ QS_VERSION_MAJOR, QS_VERSION_MINOR, QS_VERSION_PATCH, QS_VERSION_TWEAK };

	std::filesystem::path PluginPath()
	{
		return Sandbox::FromBuildPath(QS_PLUGIN_DLL);
	}

	void PutU32(std::vector<std::uint8_t>& a_bytes, std::size_t a_offset, std::uint32_t a_value)
	{
		std::memcpy(a_bytes.data() + a_offset, &a_value, sizeof(a_value));
	}

	// The record as the host expects it, written out byte by byte from the host's
	// offsets rather than from the library's declaration: the fields up to offset 592,
	// then the host's own fields, all zero.
	std::vector<std::uint8_t> ExpectedVersionRecord()
	{
		std::vector<std::uint8_t> bytes(1116, 0);
		PutU32(bytes, 0, 1);
		PutU32(bytes, 4, kPluginVersion.Pack());
		std::memcpy(bytes.data() + 8, "Quellstone", 10);
		std::memcpy(bytes.data() + 264, "Tarnel", 6);
		PutU32(bytes, 520, 4);
		PutU32(bytes, 524, 4);
		PutU32(bytes, 528, GameLayout::kRuntimeVersionPacked);
		return bytes;
	}

	struct VersionInfo
	{
		std::unique_ptr<std::uint8_t[]> data;

		explicit VersionInfo(const std::filesystem::path& a_file)
		{
			DWORD      ignored = 0;
			const auto size = ::GetFileVersionInfoSizeW(a_file.c_str(), &ignored);
			if (size != 0) {
				data = std::make_unique<std::uint8_t[]>(size);
				if (!::GetFileVersionInfoW(a_file.c_str(), 0, size, data.get())) {
					data.reset();
				}
			}
		}

		template <class T>
		const T* Query(const wchar_t* a_block, UINT& a_length) const
		{
			void* value = nullptr;
			if (!data || !::VerQueryValueW(data.get(), a_block, &value, &a_length)) {
				return nullptr;
			}
			return static_cast<const T*>(value);
		}

		std::wstring String(const std::wstring& a_name) const
		{
			UINT       length = 0;
			const auto text = Query<wchar_t>((L"\\StringFileInfo\\040904B0\\" + a_name).c_str(), length);
			return text ? std::wstring{ text, ::wcsnlen(text, length) } : L"<missing>";
		}
	};
} // namespace

// The host reads the record from the file before any of the plugin's code runs, and the
// plugin's own host library reads it from the loaded module: both must see every byte.
TEST(PluginFile, ExportedVersionRecordMatchesTheHostsLayoutByteForByte)
{
	const auto fromFile = Sandbox::ReadVersionRecord(PluginPath());
	ASSERT_TRUE(fromFile);

	const HMODULE module = ::LoadLibraryW(PluginPath().c_str());
	ASSERT_NE(module, nullptr) << "error " << ::GetLastError();
	const auto* loaded = reinterpret_cast<const std::uint8_t*>(::GetProcAddress(module, "F4SEPlugin_Version"));
	ASSERT_NE(loaded, nullptr);
	EXPECT_NE(::GetProcAddress(module, "F4SEPlugin_Load"), nullptr);

	const auto expected = ExpectedVersionRecord();
	ASSERT_EQ(fromFile->size(), expected.size());
	for (std::size_t offset = 0; offset < expected.size(); ++offset) {
		ASSERT_EQ((*fromFile)[offset], expected[offset]) << "byte at offset " << offset << " in the file";
		ASSERT_EQ(loaded[offset], expected[offset]) << "byte at offset " << offset << " in memory";
	}
	::FreeLibrary(module);
}

TEST(PluginFile, VersionResourceNamesTheDllAndTheProjectVersion)
{
	const VersionInfo info{ PluginPath() };
	ASSERT_TRUE(info.data);

	UINT       length = 0;
	const auto fixed = info.Query<VS_FIXEDFILEINFO>(L"\\", length);
	ASSERT_NE(fixed, nullptr);
	const auto versionMS = std::uint32_t{ kPluginVersion.major } << 16 | kPluginVersion.minor;
	const auto versionLS = std::uint32_t{ kPluginVersion.patch } << 16 | kPluginVersion.build;
	EXPECT_EQ(fixed->dwFileVersionMS, versionMS);
	EXPECT_EQ(fixed->dwFileVersionLS, versionLS);
	EXPECT_EQ(fixed->dwProductVersionMS, versionMS);
	EXPECT_EQ(fixed->dwProductVersionLS, versionLS);
	EXPECT_EQ(fixed->dwFileFlagsMask, 0x17u);
	EXPECT_EQ(fixed->dwFileFlags, 0u);
	EXPECT_EQ(fixed->dwFileOS, 0x4u);
	EXPECT_EQ(fixed->dwFileType, 1u);

	const auto translation = info.Query<WORD>(L"\\VarFileInfo\\Translation", length);
	ASSERT_NE(translation, nullptr);
	ASSERT_GE(length, 4u);
	EXPECT_EQ(translation[0], 0x0409);
	EXPECT_EQ(translation[1], 1200);

	const auto                                                     version = kPluginVersion.ToWideString();
	const std::array<std::pair<const wchar_t*, const wchar_t*>, 6> strings{ {
		{ L"Comments", L"" },
		{ L"FileDescription", L"Protect Fallout 4 AE precombined and previs cells from invalidation" },
		{ L"FileVersion", version.c_str() },
		{ L"InternalName", L"Quellstone" },
		{ L"ProductName", L"Quellstone" },
		{ L"ProductVersion", version.c_str() },
	} };
	for (const auto& [name, value] : strings) {
		EXPECT_EQ(info.String(name), value) << std::string(name, name + ::wcslen(name));
	}
}
