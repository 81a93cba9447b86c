#pragma once

// The host library's link to the host: initialisation, the interface table and the
// plugin's identity.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "F4SE/Interfaces.h"
#include "REL/Version.h"

namespace F4SE
{
	// What the plugin asks of the host library's initialisation.
	struct InitOptions
	{
		bool          writeLog{ true };
		std::int32_t  level{ 2 };             // REX::ELogLevel numbering; 6 switches the log off
		const char*   logFileStem{ nullptr }; // log file name without ".log"; null: the plugin's name
		const char*   pattern{ nullptr };     // null: "[%T.%e] [%=5t] [%L] %v"
		std::uint64_t rotatedFileCount{ 0 };  // 0: one file emptied at start; n: keep n older files
		bool          prepareTrampoline{ false };
		std::uint64_t trampolineBytes{ 0 }; // 0: what the hook store's hooks need
		bool          enableHookStore{ true };
	};

	// Links the plugin to the host: its identity, the log file, the host's interfaces, the
	// branch trampoline and the hook store. Only the first call in a process does
	// anything; concurrent callers return once it has finished. Nothing escapes it: a
	// step that fails is reported and the remaining steps still run.
	void Initialize(const LoadInterface* a_loadInterface, const InitOptions& a_options = {}) noexcept;

	// The handle the host gave this plugin (0xFFFFFFFF before initialisation).
	[[nodiscard]] std::uint32_t OwnPluginHandle();

	// The plugin's own exported version record, or null when the plugin exports none.
	[[nodiscard]] const PluginVersionData* FindPluginVersionRecord() noexcept;

	namespace Impl
	{
		// The process-wide state of the host link. Written only inside Initialize, read
		// without locks afterwards.
		class API
		{
		public:
			[[nodiscard]] static API& Get();

			InitOptions                             options{};
			std::string                             name{};
			std::string                             author{};
			REL::VersionNumber                      version{};
			REL::VersionNumber                      hostVersion{};
			std::uint32_t                           pluginHandle{ 0xFFFFFFFF };
			std::uint32_t                           hostWord{ 0 };
			std::function<const void*(const char*)> hostLookup{};
			std::string_view                        gameFolderName{};
			MessagingInterface*                     messaging{ nullptr };
			ScaleformInterface*                     scaleform{ nullptr };
			PapyrusInterface*                       papyrus{ nullptr };
			SerializationInterface*                 serialization{ nullptr };
			TaskInterface*                          task{ nullptr };
			ObjectInterface*                        object{ nullptr };
			TrampolineInterface*                    trampoline{ nullptr };

			// The steps of Initialize; each runs at most once per record.
			void LoadHostData(const LoadInterface* a_loadInterface);
			void InitLog();
			void QueryInterfaces(const LoadInterface* a_loadInterface);
			void InitTrampoline();

		private:
			friend void F4SE::Initialize(const LoadInterface*, const InitOptions&) noexcept;

			// Runs its body for the first caller only; concurrent callers wait until it has
			// finished. A body that throws still counts as run, and its exception passes
			// through a plain mutex: std::call_once built on pthread_once (MinGW's threads)
			// cannot carry an exception out and would leave the flag blocked for good.
			class OnceGuard
			{
			public:
				template <class Body>
				void Run(Body&& a_body)
				{
					const std::scoped_lock guard{ lock };
					if (done) {
						return;
					}
					done = true;
					a_body();
				}

			private:
				std::mutex lock;
				bool       done{ false };
			};

			OnceGuard initOnce;
			OnceGuard hostDataOnce;
			OnceGuard logOnce;
			OnceGuard trampolineOnce;
		};
	} // namespace Impl
} // namespace F4SE
