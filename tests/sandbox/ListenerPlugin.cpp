// A plugin of the tests' own for the host stand-in. Its load entry writes what the host
// tells it and registers a listener for the host's messages; every event goes, as one
// line prefixed with the DLL's file name, into "events.txt" beside it, so that several
// copies in one folder show the order of their events.
//
// Built twice: "Listener", whose version record is constant in the file as the host
// needs it, and "LateRecord" (QS_RECORD_AT_RUN_TIME), whose record is filled in only
// when the DLL starts: a host that reads the record from the file sees zeros.

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "F4SE/Interfaces.h"
#include "HostInterfaces.h"

namespace
{
	constexpr F4SE::PluginVersionData MakeRecord() noexcept
	{
		F4SE::PluginVersionData record{};
		record.pluginVersion = 0x01000000;
		constexpr std::string_view name{ QS_TEST_PLUGIN_NAME };
		for (std::size_t i = 0; i < name.size(); ++i) {
			record.pluginName[i] = name[i];
		}
		record.addressIndependence = 1 << 2;
		record.structureIndependence = 1 << 2;
		return record;
	}

	std::filesystem::path OwnPath()
	{
		HMODULE module = nullptr;
		::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
		                     reinterpret_cast<LPCWSTR>(&OwnPath), &module);
		wchar_t path[MAX_PATH]{};
		::GetModuleFileNameW(module, path, MAX_PATH);
		return path;
	}

	void Note(std::string_view a_event)
	{
		const auto self = OwnPath();
		std::ofstream{ self.parent_path() / "events.txt", std::ios::binary | std::ios::app } << self.filename().string() << ": " << a_event << '\n';
	}

	void OnMessage(Sandbox::HostMessage* a_message)
	{
		Note(fmt::format("message {} from {}", a_message->type, a_message->sender ? a_message->sender : "<null>"));
	}
} // namespace

#ifdef QS_RECORD_AT_RUN_TIME
// Zero-initialised, so it takes no bytes of the file's data.
extern "C" {
__declspec(dllexport) std::uint8_t F4SEPlugin_Version[sizeof(F4SE::PluginVersionData)];
}

BOOL WINAPI DllMain(HINSTANCE, DWORD a_reason, LPVOID)
{
	if (a_reason == DLL_PROCESS_ATTACH) {
		const auto record = MakeRecord();
		std::memcpy(F4SEPlugin_Version, &record, sizeof(record));
	}
	return TRUE;
}
#else
extern "C" __declspec(dllexport) constinit const F4SE::PluginVersionData F4SEPlugin_Version = MakeRecord();
#endif

extern "C" __declspec(dllexport) bool F4SEPlugin_Load(const Sandbox::HostLoadInterface* a_host)
{
	Note(fmt::format("load entry: host {:08X}, release {}, game {:08X}", a_host->hostVersion, a_host->getReleaseIndex(), a_host->runtimeVersion));
	auto*      messaging = static_cast<Sandbox::HostMessagingInterface*>(a_host->queryInterface(static_cast<std::uint32_t>(Sandbox::EHostInterface::Messaging)));
	const bool listening = messaging && messaging->registerListener(a_host->getPluginHandle(), "F4SE", &OnMessage);
	Note(listening ? "listening" : "not listening");
	return true;
}
