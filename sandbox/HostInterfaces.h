#pragma once

// The records the script extender hands a plugin, laid out here from the host's side at
// the offsets the host uses. They are deliberately not the plugin library's own
// declarations: the sandbox checks those against this independent layout.

#include <cstddef>
#include <cstdint>

namespace Sandbox
{
	struct HostLoadInterface
	{
		std::uint32_t hostVersion;                        // 0   packed like a game version
		std::uint32_t runtimeVersion;                     // 4
		std::uint32_t editorVersion;                      // 8
		std::uint32_t isEditor;                           // 12
		void* (*queryInterface)(std::uint32_t a_id);      // 16
		std::uint32_t (*getPluginHandle)();               // 24
		std::uint32_t (*getReleaseIndex)();               // 32
		const void* (*getPluginInfo)(const char* a_name); // 40
		const char* (*getSaveFolderName)();               // 48  the game's folder under "My Games"
	};
	static_assert(offsetof(HostLoadInterface, queryInterface) == 16);
	static_assert(offsetof(HostLoadInterface, getPluginHandle) == 24);
	static_assert(offsetof(HostLoadInterface, getReleaseIndex) == 32);
	static_assert(offsetof(HostLoadInterface, getPluginInfo) == 40);
	static_assert(offsetof(HostLoadInterface, getSaveFolderName) == 48);

	// Ids the host answers QueryInterface with, and the version of each record it offers.
	enum class EHostInterface : std::uint32_t
	{
		Messaging = 1,
		Scaleform = 2,
		Papyrus = 3,
		Serialization = 4,
		Task = 5,
		Object = 6,
		Trampoline = 7,
	};

	// Every interface record starts with its version. The sandbox offers the services
	// only as far as a plugin's load step touches them: a call into one it does not model
	// stops the sandbox.
	struct HostInterfaceRecord
	{
		std::uint32_t version; // 0
		std::uint32_t padding; // 4
		void (*services[8])(); // 8
	};
	static_assert(offsetof(HostInterfaceRecord, services) == 8);

	// What the host sends its listeners: its own messages carry the sender "F4SE".
	struct HostMessage
	{
		const char*   sender;     // 0
		std::uint32_t type;       // 8
		std::uint32_t dataLength; // 12
		void*         data;       // 16
	};
	static_assert(offsetof(HostMessage, type) == 8 && offsetof(HostMessage, data) == 16);

	// The host's own messages, sent to every listener once all plugins' load entries ran.
	enum class EHostMessage : std::uint32_t
	{
		PostLoad = 0,
		PostPostLoad = 1,
	};

	using HostMessageListener = void (*)(HostMessage* a_message);

	// The messaging interface: a plugin registers, during its load entry, a listener for
	// the messages of one sender (null: of every sender). The rest is not modelled.
	struct HostMessagingInterface
	{
		std::uint32_t version;                                                                                   // 0
		std::uint32_t padding;                                                                                   // 4
		bool (*registerListener)(std::uint32_t a_listener, const char* a_sender, HostMessageListener a_handler); // 8
		void (*services[7])();                                                                                   // 16
	};
	static_assert(offsetof(HostMessagingInterface, registerListener) == 8);

	struct HostTrampolineInterface
	{
		std::uint32_t version;                                                               // 0
		std::uint32_t padding;                                                               // 4
		void* (*allocateFromBranchPool)(std::uint32_t a_pluginHandle, std::uint64_t a_size); // 8
		void* (*allocateFromLocalPool)(std::uint32_t a_pluginHandle, std::uint64_t a_size);  // 16
	};
	static_assert(offsetof(HostTrampolineInterface, allocateFromBranchPool) == 8);
} // namespace Sandbox
