// Quellstone: keeps Fallout 4 (the AE runtime of GameLayout.h) from throwing away the precombined
// meshes and previs data of its cells while the game runs.
//
// The game asks InvalidatesPreCalcDataForCell whether a placed reference breaks a cell's
// precomputed data and drops that data through ClearPreCalcedData. Both are detoured at
// load: every invalidation is refused, and a clear is let through only once the cell has
// reached its loaded state with both of its data blocks in place. What is blocked goes to
// the plugin's log, every time or once per cell, as Quellstone.ini asks.

#include <windows.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

#include <spdlog/spdlog.h>

#include "Detour/InlineHook.h"
#include "F4SE/API.h"
#include "F4SE/Interfaces.h"
#include "GameLayout.h"
#include "IniSwitch.h"
#include "REL/IDDB.h"
#include "REL/Version.h"
#include "REX/FModule.h"
#include "REX/LOG.h"
#include "REX/Text.h"

namespace RE
{
	// The game's placed reference and cell records. Only the few fields GameLayout.h
	// lists are read, at the offsets of the runtime it describes; the rest of each record
	// is the game's.
	class TESObjectREFR;
	class TESObjectCELL;
} // namespace RE

namespace
{
	// The project's version (project() in the top CMakeLists.txt).
	constexpr REL::VersionNumber kPluginVersion{ QS_VERSION_MAJOR, QS_VERSION_MINOR, QS_VERSION_PATCH, QS_VERSION_TWEAK };
	static_assert(REL::VersionNumber::FromPacked(kPluginVersion.Pack()) == kPluginVersion, "the packed form holds 8.8.12.4 bits");

	constexpr F4SE::PluginVersionData MakeVersionRecord() noexcept
	{
		F4SE::PluginVersionData data{};
		data.dataVersion = F4SE::PluginVersionData::kVersion;
		data.pluginVersion = kPluginVersion.Pack();
		constexpr std::string_view name{ "Quellstone" };
		constexpr std::string_view author{ "Tarnel" };
		for (std::size_t i = 0; i < name.size(); ++i) {
			data.pluginName[i] = name[i];
		}
		for (std::size_t i = 0; i < author.size(); ++i) {
			data.author[i] = author[i];
		}
		data.addressIndependence = 1 << 2;                              // addresses come from the Address Library
		data.structureIndependence = 1 << 2;                            // record layouts of the AE runtime
		data.compatibleVersions[0] = GameLayout::kRuntimeVersionPacked; // the zero after it ends the list
		return data;
	}
} // namespace

// The record the host reads before it loads the library: who we are and the one game
// runtime whose addresses we were built against.
extern "C" __declspec(dllexport) constinit const F4SE::PluginVersionData F4SEPlugin_Version = MakeVersionRecord();

namespace
{
	using namespace GameLayout;

	// The switches of Quellstone.ini; the values here are the INI's defaults. Written once
	// on the loading thread, read by the hooks on game threads after the detours go live.
	struct ProtectionSettings
	{
		bool bEnablePrecombineProtection{ true };
		bool bEnableLoggingFull{ false };
		bool bEnableLoggingIssues{ false };
	};
	ProtectionSettings Settings{};

	using InvalidatesPreCalcDataForCellFn = bool (*)(RE::TESObjectREFR*, RE::TESObjectCELL*);
	using ClearPreCalcedDataFn = void (*)(RE::TESObjectCELL*);

	// The game's own code, reached through the detours' trampolines.
	InvalidatesPreCalcDataForCellFn GameInvalidatesPreCalcDataForCell{ nullptr };
	ClearPreCalcedDataFn            GameClearPreCalcedData{ nullptr };

	Detour::InlineHook InvalidatesPreCalcDataForCellDetour;
	Detour::InlineHook ClearPreCalcedDataDetour;

	// Cells whose blocked invalidation has been logged under issues-only logging (0 stands
	// for "no cell"). It only grows: a cell is reported once per game session. The set
	// under its lock decides who reports a cell; ReportedCellCache lets every later block
	// of that cell see so without taking the lock.
	std::unordered_set<std::uint32_t> ReportedCellSet;
	std::mutex                        ReportedCellMutex;

	// A lock-free record of cells already reported, consulted before the lock. Game
	// threads block the same few cells over and over (a cell being built in); with the
	// lock taken for each of those, eight threads queue on it. Slots hold form ID + 1
	// (0 = empty), are filled once and never emptied, so a key once published is found by
	// every later lookup: the probe stops only at an empty slot, and every slot before
	// the key's was already taken when the key went in. A cell whose probe range is full
	// is simply not cached and goes through the lock every time.
	class ReportedCellCache
	{
	public:
		[[nodiscard]] bool Contains(std::uint32_t a_key) const noexcept
		{
			const auto wanted = Stored(a_key);
			for (std::size_t i = 0; i < kProbes; ++i) {
				const auto slot = slots[Index(a_key, i)].load(std::memory_order_acquire);
				if (slot == wanted) {
					return true;
				}
				if (slot == 0) {
					return false;
				}
			}
			return false;
		}

		void Publish(std::uint32_t a_key) noexcept
		{
			const auto wanted = Stored(a_key);
			for (std::size_t i = 0; i < kProbes; ++i) {
				auto&         slot = slots[Index(a_key, i)];
				std::uint64_t empty = 0;
				if (slot.compare_exchange_strong(empty, wanted, std::memory_order_release, std::memory_order_relaxed) || empty == wanted) {
					return;
				}
			}
		}

	private:
		static constexpr std::size_t kSlots = std::size_t{ 1 } << 14;
		static constexpr std::size_t kProbes = 16;

		static constexpr std::uint64_t Stored(std::uint32_t a_key) noexcept { return std::uint64_t{ a_key } + 1; }

		static constexpr std::size_t Index(std::uint32_t a_key, std::size_t a_probe) noexcept
		{
			// Form IDs of one plugin share their high byte and run in sequence; a
			// multiplicative hash spreads them over the table.
			return (((a_key * std::uint64_t{ 0x9E3779B97F4A7C15 }) >> 50) + a_probe) & (kSlots - 1);
		}

		std::array<std::atomic<std::uint64_t>, kSlots> slots{};
	};
	ReportedCellCache ReportedCells;

	// True for the one caller that first reports this cell.
	// Runs on the game's thread: a cell that cannot be recorded (no memory for the set) is
	// reported as new, so its line is written rather than lost; nothing escapes.
	bool FirstReportForCell(std::uint32_t a_key) noexcept
	{
		if (ReportedCells.Contains(a_key)) {
			return false;
		}
		bool first = true;
		try {
			const std::scoped_lock lock{ ReportedCellMutex };
			first = ReportedCellSet.insert(a_key).second;
		} catch (...) {
			return true;
		}
		ReportedCells.Publish(a_key);
		return first;
	}

	std::wstring GetIniPath()
	{
		// The INI sits beside the DLL wherever the mod manager put it, so the path comes
		// from the module that holds this very code, not from the game's folder; read
		// whole, however deep the folder.
		const auto dllPath = REX::FModule::ThisModule().TryGetFileNameW();
		if (!dllPath) {
			return {};
		}
		return (std::filesystem::path{ *dllPath }.parent_path() / L"Quellstone.ini").wstring();
	}

	void ReadSettings()
	{
		const auto path = GetIniPath();
		if (path.empty()) {
			return;
		}

		const auto read = [&](const wchar_t* a_key, int a_default) {
			const auto reading = IniSwitch::Read(path, a_key, a_default);
			if (reading.notUnderstood) {
				REX::LogWarning("Quellstone.ini: {}={} is neither a number nor true/false, yes/no, on/off; it counts as {}",
				                REX::Utf8FromWide(a_key), *reading.notUnderstood, reading.value ? 1 : 0);
			}
			return reading.value;
		};
		Settings.bEnablePrecombineProtection = read(L"bEnablePrecombineProtection", 1);
		Settings.bEnableLoggingFull = read(L"bEnableLoggingFull", 0);
		Settings.bEnableLoggingIssues = read(L"bEnableLoggingIssues", 0);
	}

	template <class T>
	T ReadField(const void* a_record, std::size_t a_offset) noexcept
	{
		T value;
		std::memcpy(&value, static_cast<const std::byte*>(a_record) + a_offset, sizeof(T));
		return value;
	}

	std::uint32_t GetFormID(const void* a_form) noexcept
	{
		return a_form ? ReadField<std::uint32_t>(a_form, kFormIDOffset) : 0;
	}

	std::string_view GetFormName(const void* a_form) noexcept
	{
		if (!a_form) {
			return "<null>";
		}
		using NameFn = const char* (*)(const void*);
		const auto  vtable = ReadField<const NameFn*>(a_form, 0);
		const char* name = vtable[kNameSlot](a_form);
		return (name && *name) ? std::string_view{ name } : std::string_view{ "<none>" };
	}

	void LogBlockedInvalidation(const RE::TESObjectREFR* a_ref, const RE::TESObjectCELL* a_cell) noexcept
	{
		const auto cellName = GetFormName(a_cell);
		const auto cellID = GetFormID(a_cell);
		const auto refName = GetFormName(a_ref);
		const auto refID = GetFormID(a_ref);
		REX::LogInfo("Blocked precombine invalidation: ref={:08X} ({}) [{}], cell={:08X} ({})",
		             refID, refName, a_ref ? "placed reference" : "unknown reference", cellID, cellName);
	}

	// Game threads call this in place of InvalidatesPreCalcDataForCell. The game's own
	// answer is always asked for, so whatever else the game does in that call still happens;
	// only a "yes, throw the precombined data away" is turned into "no".
	bool InvalidatesPreCalcDataForCellHook(RE::TESObjectREFR* a_ref, RE::TESObjectCELL* a_cell) noexcept
	{
		const bool gameResult = GameInvalidatesPreCalcDataForCell(a_ref, a_cell);
		if (!gameResult) {
			return false;
		}
		if (!Settings.bEnablePrecombineProtection) {
			return gameResult;
		}

		// Neither recording the cell nor writing the line lets anything out on the game's
		// thread: at worst a line is lost. The answer stands.
		if (Settings.bEnableLoggingFull) {
			LogBlockedInvalidation(a_ref, a_cell);
		} else if (Settings.bEnableLoggingIssues && FirstReportForCell(GetFormID(a_cell))) {
			LogBlockedInvalidation(a_ref, a_cell);
		}
		return false;
	}

	// Game threads call this in place of ClearPreCalcedData. A clear that comes before the
	// cell is fully set up (state below 4, or either data block still missing) would drop
	// precombined data the cell is about to use, so it is skipped.
	void ClearPreCalcedDataHook(RE::TESObjectCELL* a_cell) noexcept
	{
		if (!Settings.bEnablePrecombineProtection || !a_cell) {
			GameClearPreCalcedData(a_cell);
			return;
		}

		const auto state = ReadField<std::uint8_t>(a_cell, kCellStateOffset);
		const auto firstData = ReadField<const void*>(a_cell, kCellFirstDataOffset);
		const auto secondData = ReadField<const void*>(a_cell, kCellSecondDataOffset);
		if (state >= kCellStateDataReady && firstData && secondData) {
			GameClearPreCalcedData(a_cell);
			return;
		}

		if (Settings.bEnableLoggingFull) {
			REX::LogInfo("Skipped early precombine clear: cell={:08X}", GetFormID(a_cell));
		}
	}

	void LogStartup()
	{
		REX::LogInfo("Quellstone loaded (AE)");
	}

	// Why a detour was not installed, and where: the failure, the address of what
	// failed and its offset into the function (after any leading jumps).
	std::string DescribeInstallFailure(const Detour::InlineHook& a_detour)
	{
		const auto reason = Detour::DescribeFailure(a_detour.failure);
		const auto at = reinterpret_cast<std::uintptr_t>(a_detour.failedAt);
		const auto entry = reinterpret_cast<std::uintptr_t>(a_detour.target);
		if (at == 0) {
			return std::string{ reason };
		}
		if (at >= entry && at - entry < 0x100) {
			return fmt::format("{} at 0x{:X} (+{})", reason, at, at - entry);
		}
		return fmt::format("{} at 0x{:X}", reason, at);
	}

	void InstallHooks()
	{
		if (!Settings.bEnablePrecombineProtection) {
			if (Settings.bEnableLoggingFull) {
				REX::LogInfo("Precombine protection disabled by INI");
			}
			return;
		}

		// Each trampoline is published by Install before the game's function is patched,
		// so a game thread that reaches a hook at once never calls through null.
		const auto invalidates = REL::ResolveID(kInvalidatesPreCalcDataForCellID);
		if (!InvalidatesPreCalcDataForCellDetour.Install(invalidates, &InvalidatesPreCalcDataForCellHook, &GameInvalidatesPreCalcDataForCell)) {
			REX::LogError("Could not install InvalidatesPreCalcDataForCell hook: {}", DescribeInstallFailure(InvalidatesPreCalcDataForCellDetour));
			return;
		}

		const auto clear = REL::ResolveID(kClearPreCalcedDataID);
		if (!ClearPreCalcedDataDetour.Install(clear, &ClearPreCalcedDataHook, &GameClearPreCalcedData)) {
			REX::LogError("Could not install ClearPreCalcedData hook: {}", DescribeInstallFailure(ClearPreCalcedDataDetour));
			return;
		}

		if (Settings.bEnableLoggingFull) {
			REX::LogInfo("AE precombine protection enabled");
		}
	}
} // namespace

// The host's one call into the plugin, on its loading thread before the game runs. The
// host is C code: nothing may unwind out of here, so an unexpected exception ends the
// process rather than crossing into the host's frames.
extern "C" __declspec(dllexport) bool F4SEPlugin_Load(const F4SE::LoadInterface* a_f4se) noexcept
{
	F4SE::Initialize(a_f4se, F4SE::InitOptions{});
	spdlog::set_pattern("[%^%l%$] %v", spdlog::pattern_time_type::local);
	ReadSettings();
	LogStartup();
	InstallHooks();
	return true;
}

// The loader's notifications. Only one matters: a detach with a non-null lpReserved means
// the process is ending (ExitProcess), not that the library is being unloaded. Then
// there is nothing to undo: no game code runs after it, the other threads are gone, and
// a restore would only be work under the loader lock, where hangs and crashes at exit
// come from. The detours are forgotten as they are, so that static destruction writes
// nothing. An unload by FreeLibrary (lpReserved null) restores them in the destructors.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD a_reason, LPVOID a_reserved)
{
	if (a_reason == DLL_PROCESS_DETACH && a_reserved != nullptr) {
		InvalidatesPreCalcDataForCellDetour.LeaveInPlace();
		ClearPreCalcedDataDetour.LeaveInPlace();
	}
	return TRUE;
}
