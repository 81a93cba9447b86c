#include "HostRules.h"

#include <algorithm>
#include <cstring>

#include "PeImage.h"
#include "REL/Version.h"

namespace Sandbox
{
	namespace
	{
		using Layout = VersionRecordLayout;

		bool UsesAddressLibrary(const VersionRecord& a_record) noexcept
		{
			return (RecordWord(a_record, Layout::kAddressFlags) & Layout::kAddressLibraryFlag) != 0 &&
			       (RecordWord(a_record, Layout::kStructureFlags) & Layout::kAddressLibraryFlag) != 0;
		}

		// Whether the compatible-versions list, which ends at its first zero, names a_runtime.
		bool ListsRuntime(const VersionRecord& a_record, std::uint32_t a_runtime) noexcept
		{
			for (std::size_t i = 0; i < Layout::kCompatibleVersionCount; ++i) {
				const auto version = RecordWord(a_record, Layout::kCompatibleVersions + i * 4);
				if (version == 0) {
					return false;
				}
				if (version == a_runtime) {
					return true;
				}
			}
			return false;
		}
	} // namespace

	std::optional<VersionRecord> ReadVersionRecord(const std::filesystem::path& a_dll)
	{
		try {
			const auto image = PeImage::Read(a_dll);
			const auto rva = image.ExportRva("F4SEPlugin_Version");
			if (!rva) {
				return std::nullopt;
			}
			const auto bytes = image.MappedBytes(*rva, kVersionRecordSize);
			if (!bytes) {
				return std::nullopt;
			}
			VersionRecord record{};
			std::ranges::copy(*bytes, record.begin());
			return record;
		} catch (const PeImage::BadImage&) {
			return std::nullopt;
		}
	}

	std::uint32_t RecordWord(const VersionRecord& a_record, std::size_t a_offset) noexcept
	{
		std::uint32_t value;
		std::memcpy(&value, a_record.data() + a_offset, sizeof(value));
		return value;
	}

	std::string RecordName(const VersionRecord& a_record)
	{
		const auto* name = reinterpret_cast<const char*>(a_record.data() + Layout::kName);
		return { name, ::strnlen(name, Layout::kTextSize) };
	}

	std::optional<std::string> Refusal(const VersionRecord& a_record, const HostSituation& a_situation)
	{
		if (RecordWord(a_record, Layout::kRecordVersion) == 0) {
			return "disabled, no version data";
		}
		if (RecordName(a_record).empty()) {
			return "disabled, no name specified";
		}
		if (UsesAddressLibrary(a_record)) {
			// The compatible-versions list is not consulted: any runtime whose Address
			// Library is installed will do.
			if (!a_situation.addressLibraryPresent) {
				return "disabled, address library needs to be updated";
			}
		} else if (!ListsRuntime(a_record, a_situation.runtimeVersion)) {
			return "disabled, incompatible with current runtime version";
		}
		if (const auto required = RecordWord(a_record, Layout::kMinimumHostVersion); required > a_situation.hostVersion) {
			return "disabled, requires F4SE " + REL::VersionNumber::FromPacked(required).ToString(".");
		}
		return std::nullopt;
	}
} // namespace Sandbox
