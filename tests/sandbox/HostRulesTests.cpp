// The host's rules for accepting a plugin, one row per situation: what the record says,
// which game runs, and whether that game's Address Library is installed.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "GameLayout.h"
#include "HostRules.h"

namespace
{
	using Layout = Sandbox::VersionRecordLayout;

	constexpr std::uint32_t kHost = 0x00070080; // 0.7.8
	constexpr std::uint32_t kBuiltFor = GameLayout::kRuntimeVersionPacked;
	constexpr std::uint32_t kOther = REL::VersionNumber{ 1, 11, 191, 0 }.Pack();
	constexpr std::uint32_t kOlder = REL::VersionNumber{ 1, 10, 984, 0 }.Pack();

	void Put(Sandbox::VersionRecord& a_record, std::size_t a_offset, std::uint32_t a_value)
	{
		std::memcpy(a_record.data() + a_offset, &a_value, sizeof(a_value));
	}

	// A record as Quellstone writes it: version 1, a name, bit 2 in both flag words, the
	// one runtime it was built for, no minimum host version.
	Sandbox::VersionRecord BaseRecord()
	{
		Sandbox::VersionRecord record{};
		Put(record, Layout::kRecordVersion, 1);
		std::memcpy(record.data() + Layout::kName, "Plugin", 6);
		Put(record, Layout::kAddressFlags, 4);
		Put(record, Layout::kStructureFlags, 4);
		Put(record, Layout::kCompatibleVersions, kBuiltFor);
		return record;
	}

	void Flags(Sandbox::VersionRecord& a_record, std::uint32_t a_address, std::uint32_t a_structure)
	{
		Put(a_record, Layout::kAddressFlags, a_address);
		Put(a_record, Layout::kStructureFlags, a_structure);
	}

	struct Row
	{
		const char*                                  name;
		std::function<void(Sandbox::VersionRecord&)> change;
		std::uint32_t                                runtime;
		bool                                         databasePresent;
		std::optional<std::string>                   refusal;
	};

	const auto                       kAsWritten = [](Sandbox::VersionRecord&) {};
	const std::optional<std::string> kAccepted;
	const std::string                kNeedsDatabase = "disabled, address library needs to be updated";
	const std::string                kIncompatible = "disabled, incompatible with current runtime version";

	const Row kRows[] = {
		{ "AsQuellstoneWritesIt", kAsWritten, kBuiltFor, true, kAccepted },
		{ "RecordVersionZero", [](auto& r) { Put(r, Layout::kRecordVersion, 0); }, kBuiltFor, true, "disabled, no version data" },
		{ "AnyNonZeroRecordVersion", [](auto& r) { Put(r, Layout::kRecordVersion, 2); }, kBuiltFor, true, kAccepted },
		{ "HighestRecordVersion", [](auto& r) { Put(r, Layout::kRecordVersion, 0xFFFFFFFF); }, kBuiltFor, true, kAccepted },
		{ "NoName", [](auto& r) { r[Layout::kName] = 0; }, kBuiltFor, true, "disabled, no name specified" },
		{ "NoNameIsSaidBeforeTheMissingDatabase", [](auto& r) { r[Layout::kName] = 0; }, kBuiltFor, false, "disabled, no name specified" },
		// Bit 2 in both flag words: the list is not consulted, the database decides.
		{ "OtherRuntimeWithItsDatabase", kAsWritten, kOther, true, kAccepted },
		{ "OtherRuntimeWithoutItsDatabase", kAsWritten, kOther, false, kNeedsDatabase },
		{ "BuiltForRuntimeWithoutItsDatabase", kAsWritten, kBuiltFor, false, kNeedsDatabase },
		{ "EmptyListWithTheDatabase", [](auto& r) { Put(r, Layout::kCompatibleVersions, 0); }, kOlder, true, kAccepted },
		{ "MoreBitsBesideBit2", [](auto& r) { Flags(r, 7, 6); }, kOther, true, kAccepted },
		// Without bit 2 in both, the list decides and the database plays no part.
		{ "OnlyAddressBitListedRuntimeNoDatabase", [](auto& r) { Flags(r, 4, 0); }, kBuiltFor, false, kAccepted },
		{ "OnlyAddressBitOtherRuntime", [](auto& r) { Flags(r, 4, 0); }, kOther, true, kIncompatible },
		{ "OnlyStructureBitOtherRuntime", [](auto& r) { Flags(r, 0, 4); }, kOther, true, kIncompatible },
		{ "NoFlagsRuntimeSecondInList", [](auto& r) { Flags(r, 0, 0); Put(r, Layout::kCompatibleVersions + 4, kOther); }, kOther, true, kAccepted },
		{ "NoFlagsRuntimeAfterTheListsEnd", [](auto& r) { Flags(r, 0, 0); Put(r, Layout::kCompatibleVersions + 8, kOther); }, kOther, true, kIncompatible },
		{ "NoFlagsRuntimeLastOfAFullList",
		  [](auto& r) {
		      Flags(r, 0, 0);
		      for (std::size_t i = 0; i < Layout::kCompatibleVersionCount; ++i) {
			      Put(r, Layout::kCompatibleVersions + i * 4, i + 1 == Layout::kCompatibleVersionCount ? kOther : kOlder);
		      }
		  },
		  kOther, true, kAccepted },
		// The minimum host version.
		{ "RequiresThisHost", [](auto& r) { Put(r, Layout::kMinimumHostVersion, kHost); }, kBuiltFor, true, kAccepted },
		{ "RequiresANewerHost", [](auto& r) { Put(r, Layout::kMinimumHostVersion, 0x00070090); }, kBuiltFor, true, "disabled, requires F4SE 0.7.9.0" },
	};

	TEST(HostRules, AcceptOrRefuseAPluginByItsRecordTheRuntimeAndItsDatabase)
	{
		for (const auto& row : kRows) {
			auto record = BaseRecord();
			row.change(record);
			const Sandbox::HostSituation situation{ kHost, row.runtime, row.databasePresent };
			EXPECT_EQ(Sandbox::Refusal(record, situation), row.refusal) << row.name;
		}
	}
} // namespace
