#include "F4SE/API.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include "DebuggerOutputSink.h"
#include "REL/FHookStore.h"
#include "REL/Trampoline.h"
#include "REX/FModule.h"
#include "REX/LOG.h"
#include "REX/OS.h"
#include "REX/Text.h"

namespace F4SE
{
	namespace
	{
		constexpr auto kDefaultPattern = "[%T.%e] [%=5t] [%L] %v";

		struct TaskMemFree
		{
			void operator()(wchar_t* a_memory) const noexcept { REX::OS::CoTaskMemFree(a_memory); }
		};

		// A step of the initialisation that throws must not take the game down with the
		// plugin: the failure goes to whatever logger is the default at that moment (the
		// logging library's console logger when the log file could not be set up) and to
		// the debugger output, where a debug-output viewer shows it even without a
		// debugger attached. The remaining steps run.
		void ReportFailedStep(const std::string_view a_step, const char* const a_reason) noexcept
		{
			try {
				const auto message = fmt::format("host initialisation: {} failed: {}", a_step, a_reason);
				REX::LogError("{}", message);
				Impl::DebuggerOutputSink::WriteDebugOutput(message + '\n');
			} catch (...) {
				Impl::DebuggerOutputSink::WriteDebugOutput("host initialisation: a step failed\n");
			}
		}

		template <class Step>
		void RunStep(const std::string_view a_step, Step&& a_run) noexcept
		{
			try {
				a_run();
			} catch (const std::exception& e) {
				ReportFailedStep(a_step, e.what());
			}
		}

		[[nodiscard]] std::string FixedText(const char* const a_text, const std::size_t a_capacity)
		{
			// The host's record gives fixed-size fields; a name that fills its field has no
			// zero byte and must not be read past the field's end.
			return std::string(a_text, ::strnlen(a_text, a_capacity));
		}

		[[nodiscard]] spdlog::level::level_enum LogLevel(const std::int32_t a_level) noexcept
		{
			// Numbers below trace or above off have no level of their own in the logging
			// library; they are held to the nearest one.
			return static_cast<spdlog::level::level_enum>(std::clamp<std::int32_t>(a_level, spdlog::level::trace, spdlog::level::off));
		}
	} // namespace

	void Initialize(const LoadInterface* const a_loadInterface, const InitOptions& a_options) noexcept
	{
		try {
			auto& api = Impl::API::Get();
			api.initOnce.Run([&] {
				api.options = a_options;
				RunStep("reading the plugin's and the host's data", [&] { api.LoadHostData(a_loadInterface); });
				RunStep("setting up the log file", [&] { api.InitLog(); });
				RunStep("querying the host's interfaces", [&] { api.QueryInterfaces(a_loadInterface); });
				RunStep("preparing the branch trampoline", [&] { api.InitTrampoline(); });
				if (api.options.enableHookStore) {
					RunStep("enabling the hook store", [] {
						auto& store = REL::FHookStore::GetSingleton();
						store.Init();
						store.Enable(REL::EHookStep::Load);
					});
				}
			});
		} catch (const std::exception& e) {
			ReportFailedStep("starting", e.what());
		}
	}

	std::uint32_t OwnPluginHandle()
	{
		return Impl::API::Get().pluginHandle;
	}

	namespace Impl
	{
		API& API::Get()
		{
			static API api;
			return api;
		}

		void API::LoadHostData(const LoadInterface* const a_loadInterface)
		{
			hostDataOnce.Run([&] {
				if (const auto* const record = FindPluginVersionRecord()) {
					name = FixedText(record->pluginName, sizeof(record->pluginName));
					author = FixedText(record->author, sizeof(record->author));
					version = REL::VersionNumber::FromPacked(record->pluginVersion);
				} else if (auto path = REX::FModule::ThisModule().TryGetFileNameW()) {
					// Windows separates with either slash; turning backslashes into slashes
					// gives the same stem on every system this is built for.
					std::ranges::replace(*path, L'\\', L'/');
					name = REX::Utf8FromWide(std::filesystem::path(*path).stem().wstring());
				}

				// A missing load interface or an empty slot leaves the field at its default
				// rather than jumping through a null pointer.
				if (!a_loadInterface) {
					return;
				}
				hostVersion = REL::VersionNumber::FromPacked(a_loadInterface->hostVersion);
				if (a_loadInterface->getPluginHandle) {
					pluginHandle = a_loadInterface->getPluginHandle();
				}
				if (a_loadInterface->getHostWord) {
					hostWord = a_loadInterface->getHostWord();
				}
				if (a_loadInterface->lookup) {
					hostLookup = a_loadInterface->lookup;
				}
				if (a_loadInterface->getGameFolderName) {
					if (const auto* const folder = a_loadInterface->getGameFolderName()) {
						gameFolderName = folder;
					}
				}
			});
		}

		void API::InitLog()
		{
			if (!options.writeLog) {
				return;
			}
			logOnce.Run([this] {
				if (gameFolderName.empty()) {
					return;
				}

				wchar_t*                                    rawDocuments = nullptr;
				const auto                                  result = REX::OS::SHGetKnownFolderPath(REX::OS::kFolderIdDocuments, 0, nullptr, &rawDocuments);
				const std::unique_ptr<wchar_t, TaskMemFree> documents{ rawDocuments };
				if (result != 0 || !documents) {
					REX::LogError("failed to get known folder path");
					return;
				}

				// Wide from the known folder to the file open: a documents folder under a
				// user name outside the ANSI code page must be the one written to, not a
				// look-alike that the narrow calls would make of it.
				const std::string_view stem = options.logFileStem ? std::string_view{ options.logFileStem } : std::string_view{ name };
				const auto             path = std::filesystem::path{ documents.get() } /
				                  std::filesystem::path{ REX::WideFromUtf8(fmt::format("My Games/{}/F4SE/{}.log", gameFolderName, stem)) };
#ifdef SPDLOG_WCHAR_FILENAMES
				const spdlog::filename_t fileName = path.wstring();
#else
				const spdlog::filename_t fileName = path.string();
#endif

				auto             debugger = std::make_shared<DebuggerOutputSink>();
				spdlog::sink_ptr file;
				if (options.rotatedFileCount > 0) {
					// No size limit while the game runs: a new file is begun at every start.
					file = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
					    fileName, std::numeric_limits<std::size_t>::max(), static_cast<std::size_t>(options.rotatedFileCount), true);
				} else {
					file = std::make_shared<spdlog::sinks::basic_file_sink_mt>(fileName, true);
				}

				auto logger = std::make_shared<spdlog::logger>("global", spdlog::sinks_init_list{ std::move(debugger), std::move(file) });
				logger->set_level(LogLevel(options.level));
				logger->flush_on(LogLevel(options.level));
				spdlog::set_default_logger(std::move(logger));
				spdlog::set_pattern(options.pattern ? options.pattern : kDefaultPattern, spdlog::pattern_time_type::local);

				REX::LogInfo("{} v{}", name, version);
			});
		}

		void API::QueryInterfaces(const LoadInterface* const a_loadInterface)
		{
			if (!a_loadInterface) {
				return;
			}
			messaging = a_loadInterface->QueryInterface<MessagingInterface>();
			scaleform = a_loadInterface->QueryInterface<ScaleformInterface>();
			papyrus = a_loadInterface->QueryInterface<PapyrusInterface>();
			serialization = a_loadInterface->QueryInterface<SerializationInterface>();
			task = a_loadInterface->QueryInterface<TaskInterface>();
			object = a_loadInterface->QueryInterface<ObjectInterface>();
			trampoline = a_loadInterface->QueryInterface<TrampolineInterface>();
		}

		void API::InitTrampoline()
		{
			if (!options.prepareTrampoline) {
				return;
			}
			trampolineOnce.Run([this] {
				if (options.trampolineBytes == 0) {
					options.trampolineBytes += REL::FHookStore::GetSingleton().GetTotalSize();
				}
				auto& defaultTrampoline = REL::DefaultTrampoline();
				if (!trampoline) {
					return;
				}
				const auto size = static_cast<std::size_t>(options.trampolineBytes);
				if (auto* const memory = trampoline->AllocateFromBranchPool(options.trampolineBytes)) {
					// The host keeps ownership of its branch pool: no deleter.
					defaultTrampoline.adopt(memory, size);
				} else {
					defaultTrampoline.create(size);
				}
			});
		}
	} // namespace Impl
} // namespace F4SE
