#include "Host.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "GameLayout.h"
#include "HostInterfaces.h"
#include "REL/Version.h"
#include "REX/FModule.h"

namespace Sandbox
{
	namespace
	{
		// The host's own version, 0.7.2 packed like a game version.
		constexpr std::uint32_t kHostVersion = 0x00070020;

		// Offsets of the plugin's exported version record, from the host's side.
		constexpr std::size_t kRecordVersionOffset = 0;
		constexpr std::size_t kPluginNameOffset = 8;
		constexpr std::size_t kCompatibleVersionsOffset = 528;
		constexpr std::size_t kCompatibleVersionCount = 16;

		std::uint32_t CurrentPluginHandle{ 0 };
		std::string   MyGamesFolderName;

		[[noreturn]] void UnmodelledService()
		{
			std::fputs("sandbox host: a plugin called a host service the sandbox does not offer\n", stderr);
			std::abort();
		}

		constexpr HostInterfaceRecord MakeRecord(std::uint32_t a_version) noexcept
		{
			HostInterfaceRecord record{ a_version, 0, {} };
			for (auto& service : record.services) {
				service = &UnmodelledService;
			}
			return record;
		}

		HostInterfaceRecord Messaging = MakeRecord(1);
		HostInterfaceRecord Scaleform = MakeRecord(1);
		HostInterfaceRecord Papyrus = MakeRecord(2);
		HostInterfaceRecord Serialization = MakeRecord(1);
		HostInterfaceRecord Task = MakeRecord(2);
		HostInterfaceRecord Object = MakeRecord(1);

		// The branch pool: memory the host hands out for plugins' branch trampolines.
		void* AllocateFromPool(std::uint32_t, std::uint64_t a_size)
		{
			return ::VirtualAlloc(nullptr, static_cast<SIZE_T>(a_size), MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
		}
		HostTrampolineInterface Trampoline{ 1, 0, &AllocateFromPool, &AllocateFromPool };

		void* QueryInterface(std::uint32_t a_id)
		{
			switch (static_cast<EHostInterface>(a_id)) {
				case EHostInterface::Messaging:
					return &Messaging;
				case EHostInterface::Scaleform:
					return &Scaleform;
				case EHostInterface::Papyrus:
					return &Papyrus;
				case EHostInterface::Serialization:
					return &Serialization;
				case EHostInterface::Task:
					return &Task;
				case EHostInterface::Object:
					return &Object;
				case EHostInterface::Trampoline:
					return &Trampoline;
			}
			return nullptr;
		}

		std::uint32_t GetPluginHandle()
		{
			return CurrentPluginHandle;
		}
		std::uint32_t GetReleaseIndex()
		{
			return 0;
		}
		const void* GetPluginInfo(const char*)
		{
			return nullptr;
		}
		const char* GetSaveFolderName()
		{
			return MyGamesFolderName.c_str();
		}

		const HostLoadInterface LoadInterface{
			kHostVersion, GameLayout::kRuntimeVersionPacked, 0, 0, &QueryInterface, &GetPluginHandle, &GetReleaseIndex, &GetPluginInfo, &GetSaveFolderName
		};

		std::uint32_t ReadU32(const std::byte* a_record, std::size_t a_offset)
		{
			std::uint32_t value;
			std::memcpy(&value, a_record + a_offset, sizeof(value));
			return value;
		}

		LoadedPlugin Load(const std::filesystem::path& a_path, std::uint32_t a_handle, std::uint32_t a_gameVersion)
		{
			LoadedPlugin plugin;
			plugin.path = a_path;
			const auto stem = a_path.stem().u8string();
			plugin.name.assign(stem.begin(), stem.end());
			const HMODULE module = ::LoadLibraryW(a_path.c_str());
			if (!module) {
				plugin.note = "could not be loaded (error " + std::to_string(::GetLastError()) + ")";
				return plugin;
			}

			const auto* record = reinterpret_cast<const std::byte*>(::GetProcAddress(module, "F4SEPlugin_Version"));
			const auto  load = reinterpret_cast<bool (*)(const HostLoadInterface*)>(
                reinterpret_cast<void*>(::GetProcAddress(module, "F4SEPlugin_Load")));
			if (!record || !load) {
				plugin.note = "exports no F4SEPlugin_Version or no F4SEPlugin_Load";
				::FreeLibrary(module);
				return plugin;
			}
			if (ReadU32(record, kRecordVersionOffset) != 1) {
				plugin.note = "has a version record of an unknown layout";
				::FreeLibrary(module);
				return plugin;
			}
			const auto* name = reinterpret_cast<const char*>(record + kPluginNameOffset);
			plugin.name.assign(name, ::strnlen(name, 256));

			bool compatible = false;
			for (std::size_t i = 0; i < kCompatibleVersionCount; ++i) {
				const auto version = ReadU32(record, kCompatibleVersionsOffset + i * 4);
				if (version == 0) {
					break;
				}
				compatible = compatible || version == a_gameVersion;
			}
			if (!compatible) {
				plugin.note = "was not built for the running game version";
				::FreeLibrary(module);
				return plugin;
			}

			CurrentPluginHandle = a_handle;
			plugin.loaded = load(&LoadInterface);
			if (!plugin.loaded) {
				plugin.note = "its load entry answered false";
			}
			return plugin;
		}
	} // namespace

	std::vector<LoadedPlugin> LoadPlugins(const HostOptions& a_options, std::uint32_t a_runningGameVersion)
	{
		MyGamesFolderName = a_options.myGamesFolderName;

		std::vector<std::filesystem::path> candidates;
		std::error_code                    error;
		for (const auto& entry : std::filesystem::directory_iterator(a_options.gameFolder / a_options.pluginFolder, error)) {
			if (entry.is_regular_file() && entry.path().extension() == ".dll") {
				candidates.push_back(entry.path());
			}
		}
		std::ranges::sort(candidates);

		std::vector<LoadedPlugin> plugins;
		std::uint32_t             handle = 1; // 0 is the host's own
		for (const auto& path : candidates) {
			plugins.push_back(Load(path, handle++, a_runningGameVersion));
		}
		return plugins;
	}

	std::uint32_t ReadRunningGameVersion()
	{
		// The host reads the fixed version of the executable it started, on its own rather
		// than through the plugins' library, so that the two readings can disagree.
		const auto exe = REX::FModule::ProcessModule().GetFileNameW();
		DWORD      ignored = 0;
		const auto size = ::GetFileVersionInfoSizeW(exe.c_str(), &ignored);
		if (size == 0) {
			return 0;
		}
		const auto data = std::make_unique<std::byte[]>(size);
		if (!::GetFileVersionInfoW(exe.c_str(), 0, size, data.get())) {
			return 0;
		}
		VS_FIXEDFILEINFO* fixed = nullptr;
		UINT              length = 0;
		if (!::VerQueryValueW(data.get(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed) {
			return 0;
		}
		const REL::VersionNumber version{ HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
			                              LOWORD(fixed->dwProductVersionLS) };
		return version.Pack();
	}

	std::filesystem::path PluginLogPath(const std::string& a_myGamesFolderName, const std::string& a_pluginName)
	{
		PWSTR documents = nullptr;
		if (FAILED(::SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &documents)) || !documents) {
			::CoTaskMemFree(documents);
			return {};
		}
		std::filesystem::path path{ documents };
		::CoTaskMemFree(documents);
		return path / "My Games" / a_myGamesFolderName / "F4SE" / (a_pluginName + ".log");
	}
} // namespace Sandbox
