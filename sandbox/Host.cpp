#include "Host.h"

#include <windows.h>

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string_view>

#include <fmt/format.h>

#include "HostInterfaces.h"
#include "HostRules.h"
#include "REL/Version.h"
#include "REX/FModule.h"

namespace Sandbox
{
	namespace
	{
		// The host's own version, 0.7.8 packed like a game version, and its release index.
		constexpr std::uint32_t kHostVersion = 0x00070080;
		constexpr std::uint32_t kReleaseIndex = 32;

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

		// Listeners registered through the messaging interface, in the order they came.
		struct Listener
		{
			std::string         sender; // empty: every sender
			HostMessageListener handler;
		};
		std::vector<Listener> Listeners;

		bool RegisterListener(std::uint32_t, const char* a_sender, HostMessageListener a_handler)
		{
			if (!a_handler) {
				return false;
			}
			Listeners.push_back({ a_sender ? a_sender : "", a_handler });
			return true;
		}

		// Sends one of the host's own messages to every listener for it.
		void Dispatch(EHostMessage a_type)
		{
			static constexpr const char* kSender = "F4SE";
			HostMessage                  message{ kSender, static_cast<std::uint32_t>(a_type), 0, nullptr };
			for (const auto& listener : Listeners) {
				if (listener.sender.empty() || listener.sender == kSender) {
					listener.handler(&message);
				}
			}
		}

		constexpr HostMessagingInterface MakeMessaging() noexcept
		{
			HostMessagingInterface record{ 1, 0, &RegisterListener, {} };
			for (auto& service : record.services) {
				service = &UnmodelledService;
			}
			return record;
		}

		HostMessagingInterface Messaging = MakeMessaging();
		HostInterfaceRecord    Scaleform = MakeRecord(1);
		HostInterfaceRecord    Papyrus = MakeRecord(2);
		HostInterfaceRecord    Serialization = MakeRecord(1);
		HostInterfaceRecord    Task = MakeRecord(2);
		HostInterfaceRecord    Object = MakeRecord(1);

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
			return kReleaseIndex;
		}
		const void* GetPluginInfo(const char*)
		{
			return nullptr;
		}
		const char* GetSaveFolderName()
		{
			return MyGamesFolderName.c_str();
		}

		// The running game's version is filled in when the plugins load.
		HostLoadInterface LoadInterface{ kHostVersion, 0, 0, 0, &QueryInterface, &GetPluginHandle, &GetReleaseIndex, &GetPluginInfo, &GetSaveFolderName };

		// The host's own log, f4se.log beside the plugins' logs: one line per plugin.
		class HostLog
		{
		public:
			explicit HostLog(const std::string& a_myGamesFolderName)
			{
				const auto path = PluginLogPath(a_myGamesFolderName, "f4se");
				if (path.empty()) {
					return;
				}
				std::error_code error;
				std::filesystem::create_directories(path.parent_path(), error);
				file.open(path, std::ios::binary | std::ios::trunc);
			}

			void Line(std::string_view a_text)
			{
				file << a_text << "\r\n";
				file.flush();
			}

		private:
			std::ofstream file;
		};

		// What the host knows before it looks at any plugin.
		HostSituation Situation(const std::filesystem::path& a_pluginFolder, std::uint32_t a_gameVersion)
		{
			const auto      database = "version-" + REL::VersionNumber::FromPacked(a_gameVersion).ToString("-") + ".bin";
			std::error_code error;
			return { kHostVersion, a_gameVersion, std::filesystem::is_regular_file(a_pluginFolder / database, error) };
		}

		// The plugin's files in the order the file system lists them: the host does not sort.
		std::vector<std::filesystem::path> PluginFiles(const std::filesystem::path& a_folder)
		{
			std::vector<std::filesystem::path> files;
			WIN32_FIND_DATAW                   found{};
			const HANDLE                       search = ::FindFirstFileW((a_folder / L"*.dll").c_str(), &found);
			if (search == INVALID_HANDLE_VALUE) {
				return files;
			}
			do {
				if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
					files.push_back(a_folder / found.cFileName);
				}
			} while (::FindNextFileW(search, &found));
			::FindClose(search);
			return files;
		}

		// Loads the library and runs its load entry; the record has been accepted.
		void CallLoadEntry(LoadedPlugin& a_plugin, std::uint32_t a_handle)
		{
			const HMODULE module = ::LoadLibraryW(a_plugin.path.c_str());
			if (!module) {
				a_plugin.note = "couldn't load plugin (error " + std::to_string(::GetLastError()) + ")";
				return;
			}
			const auto load = reinterpret_cast<bool (*)(const HostLoadInterface*)>(reinterpret_cast<void*>(::GetProcAddress(module, "F4SEPlugin_Load")));
			if (!load) {
				a_plugin.note = "does not appear to be an F4SE plugin (no F4SEPlugin_Load)";
				::FreeLibrary(module);
				return;
			}
			CurrentPluginHandle = a_handle;
			a_plugin.loaded = load(&LoadInterface);
			if (!a_plugin.loaded) {
				a_plugin.note = "reported as incompatible during load";
			}
		}

		LoadedPlugin Load(const std::filesystem::path& a_path, std::uint32_t a_handle, const HostSituation& a_situation, HostLog& a_log)
		{
			LoadedPlugin plugin;
			plugin.path = a_path;
			const auto fileName = a_path.filename().u8string();
			const auto stem = a_path.stem().u8string();
			plugin.name.assign(stem.begin(), stem.end());
			const std::string shownFile(fileName.begin(), fileName.end());

			const auto record = ReadVersionRecord(a_path);
			if (!record) {
				plugin.note = "disabled, no version data";
				a_log.Line("plugin " + shownFile + " " + plugin.note);
				return plugin;
			}
			if (const auto name = RecordName(*record); !name.empty()) {
				plugin.name = name;
			}
			const auto shown = fmt::format("plugin {} ({:08X} {} {:08X})", shownFile, RecordWord(*record, VersionRecordLayout::kRecordVersion), RecordName(*record),
			                               RecordWord(*record, VersionRecordLayout::kPluginVersion));
			if (const auto refusal = Refusal(*record, a_situation)) {
				plugin.note = *refusal;
			} else {
				CallLoadEntry(plugin, a_handle);
			}
			a_log.Line(shown + " " + (plugin.loaded ? "loaded correctly (handle " + std::to_string(a_handle) + ")" : plugin.note));
			return plugin;
		}
	} // namespace

	std::vector<LoadedPlugin> LoadPlugins(const HostOptions& a_options, std::uint32_t a_runningGameVersion)
	{
		MyGamesFolderName = a_options.myGamesFolderName;
		LoadInterface.runtimeVersion = a_runningGameVersion;
		const auto folder = a_options.gameFolder / a_options.pluginFolder;
		HostLog    log{ a_options.myGamesFolderName };
		log.Line("F4SE runtime: version " + REL::VersionNumber::FromPacked(kHostVersion).ToString(".") + " (release " + std::to_string(kReleaseIndex) +
		         "), game " + REL::VersionNumber::FromPacked(a_runningGameVersion).ToString("."));

		const auto                situation = Situation(folder, a_runningGameVersion);
		std::vector<LoadedPlugin> plugins;
		std::uint32_t             handle = 1; // 0 is the host's own
		for (const auto& path : PluginFiles(folder)) {
			plugins.push_back(Load(path, handle++, situation, log));
		}

		// Every load entry has run: listeners hear that the plugins are in, then that
		// everyone has reacted to that.
		for (const auto message : { EHostMessage::PostLoad, EHostMessage::PostPostLoad }) {
			log.Line("dispatch message (" + std::to_string(static_cast<std::uint32_t>(message)) + ") to plugin listeners");
			Dispatch(message);
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
