#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "F4SE/API.h"
#include "FakeMemory.h"
#include "FakeModules.h"
#include "FakeShell.h"
#include "LogCapture.h"
#include "REL/FHookStore.h"
#include "REL/Trampoline.h"
#include "ScratchFolder.h"
#include "TestImage.h"
#include "TextFile.h"

namespace
{
	// A scripted host: the load interface's slots are plain functions, so they read this
	// process-wide script.
	struct HostScript
	{
		std::array<std::uint32_t, 8>                         versions{}; // by id; 0: no such interface
		std::array<std::array<std::uint32_t, 4>, 8>          records{};
		F4SE::TrampolineInterface                            trampoline{};
		std::vector<std::uint32_t>                           queried;
		std::atomic<int>                                     handleCalls{ 0 };
		std::chrono::milliseconds                            handleDelay{ 0 };
		const char*                                          folder{ "Fallout4" };
		void*                                                branchPool{ nullptr };
		std::vector<std::pair<std::uint32_t, std::uint64_t>> branchRequests;

		// Back to the script every test starts from, whatever an earlier test left.
		void Reset()
		{
			versions = {};
			records = {};
			trampoline = {};
			queried.clear();
			handleCalls = 0;
			handleDelay = std::chrono::milliseconds{ 0 };
			folder = "Fallout4";
			branchPool = nullptr;
			branchRequests.clear();
		}
	};
	HostScript host;

	void* QueryInterface(std::uint32_t a_id)
	{
		host.queried.push_back(a_id);
		if (a_id >= host.versions.size() || host.versions[a_id] == 0) {
			return nullptr;
		}
		if (a_id == F4SE::TrampolineInterface::kId) {
			host.trampoline.interfaceVersion = host.versions[a_id];
			return &host.trampoline;
		}
		host.records[a_id][0] = host.versions[a_id];
		return host.records[a_id].data();
	}
	std::uint32_t PluginHandle()
	{
		++host.handleCalls;
		std::this_thread::sleep_for(host.handleDelay);
		return 0x2A;
	}
	std::uint32_t HostWord()
	{
		return 0x1234;
	}
	const void* Lookup(const char*)
	{
		return &host;
	}
	const char* FolderName()
	{
		return host.folder;
	}
	void* BranchPool(std::uint32_t a_handle, std::uint64_t a_size)
	{
		host.branchRequests.emplace_back(a_handle, a_size);
		return host.branchPool;
	}

	F4SE::LoadInterface MakeLoadInterface()
	{
		F4SE::LoadInterface load{};
		load.hostVersion = 0x000A0260; // 0.10.38.0
		load.queryInterface = &QueryInterface;
		load.getPluginHandle = &PluginHandle;
		load.getHostWord = &HostWord;
		load.lookup = &Lookup;
		load.getGameFolderName = &FolderName;
		return load;
	}

	constexpr F4SE::InitOptions kNoLog{ .writeLog = false, .enableHookStore = false };

	class APITest : public ::testing::Test
	{
	protected:
		void SetUp() override
		{
			FakeOS::Reset();
			host.Reset();
			host.trampoline.allocateFromBranchPool = &BranchPool;
			FakeOS::SetThisImageBase(plugin.data());
			FakeOS::AddModule(plugin.data(), "C:\\Games\\Fallout 4\\Data\\F4SE\\Plugins\\Quellstone.dll");
			record.pluginVersion = 0x01000000;
			std::ranges::copy(std::string_view{ "Quellstone" }, record.pluginName);
			std::ranges::copy(std::string_view{ "Tarnel" }, record.author);
		}

		void ExportRecord() { FakeOS::SetExport(plugin.data(), "F4SEPlugin_Version", &record); }

		std::vector<std::string> Messages(spdlog::level::level_enum a_level) { return capture.Messages(a_level); }

		std::vector<std::uint8_t> plugin = TestSupport::MakeImage({ { ".text", 0x100, 0x1000 } });
		F4SE::PluginVersionData   record{};
		F4SE::LoadInterface       load = MakeLoadInterface();
		TestSupport::LogCapture   capture;
	};

	TEST_F(APITest, HostAndPluginDataFillTheRecord)
	{
		ExportRecord();
		F4SE::Initialize(&load, kNoLog);
		const auto& api = F4SE::Impl::API::Get();
		EXPECT_EQ(api.name, "Quellstone");
		EXPECT_EQ(api.author, "Tarnel");
		EXPECT_EQ(api.version, REL::VersionNumber(1, 0, 0, 0));
		EXPECT_EQ(api.hostVersion, REL::VersionNumber(0, 10, 38, 0));
		EXPECT_EQ(F4SE::OwnPluginHandle(), 0x2Au);
		EXPECT_EQ(api.hostWord, 0x1234u);
		ASSERT_TRUE(api.hostLookup);
		EXPECT_EQ(api.hostLookup("x"), &host);
		EXPECT_EQ(api.gameFolderName, "Fallout4");
		EXPECT_EQ(host.queried, (std::vector<std::uint32_t>{ 1, 2, 3, 4, 5, 6, 7 }));
	}

	TEST_F(APITest, NameFallsBackToTheFileStemWithoutAVersionRecord)
	{
		const struct
		{
			const char* path;
			const char* name;
		} cases[] = {
			{ "C:\\Games\\Fallout 4\\Data\\F4SE\\Plugins\\Quellstone.dll", "Quellstone" },
			{ "", "" }, // the module's file name cannot be read
		};
		for (const auto& c : cases) {
			FakeOS::AddModule(plugin.data(), c.path);
			F4SE::Impl::API api;
			api.LoadHostData(&load);
			EXPECT_EQ(api.name, c.name) << c.path;
			EXPECT_EQ(api.author, "");
			EXPECT_EQ(api.version, REL::VersionNumber{});
		}
	}

	TEST_F(APITest, SecondInitializeKeepsTheFirstOptions)
	{
		F4SE::Initialize(&load, { .writeLog = false, .level = 4, .enableHookStore = false });
		F4SE::Initialize(&load, { .writeLog = false, .level = 1, .enableHookStore = true });
		EXPECT_EQ(F4SE::Impl::API::Get().options.level, 4);
		EXPECT_FALSE(F4SE::Impl::API::Get().options.enableHookStore);
		EXPECT_EQ(host.handleCalls, 1);
		EXPECT_TRUE(Messages(spdlog::level::debug).empty());
	}

	TEST_F(APITest, ConcurrentCallersWaitForTheFirst)
	{
		host.handleDelay = std::chrono::milliseconds(200);
		std::vector<std::uint32_t> seen(6, 0);
		{
			std::vector<std::jthread> threads;
			for (std::size_t i = 0; i < seen.size(); ++i) {
				threads.emplace_back([&, i] {
					F4SE::Initialize(&load, kNoLog);
					seen[i] = F4SE::OwnPluginHandle();
				});
			}
		}
		EXPECT_EQ(host.handleCalls, 1);
		EXPECT_TRUE(std::ranges::all_of(seen, [](auto a_handle) { return a_handle == 0x2A; }));
	}

	TEST_F(APITest, NewerInterfaceThanKnownIsReportedOnceAndStillUsed)
	{
		const struct
		{
			std::uint32_t id;
			std::uint32_t version;
			std::size_t   lines;
		} cases[] = {
			{ 3, 2, 0 },
			{ 3, 3, 1 },
			{ 5, 2, 0 },
			{ 5, 3, 1 },
			{ 1, 1, 0 },
			{ 1, 2, 1 },
			{ 2, 2, 1 },
			{ 4, 2, 1 },
			{ 6, 2, 1 },
			{ 7, 1, 0 },
			{ 7, 2, 1 },
		};
		for (const auto& c : cases) {
			host.versions = {};
			host.versions[c.id] = c.version;
			TestSupport::LogCapture local;
			F4SE::Impl::API         api;
			api.QueryInterfaces(&load);
			std::size_t outOfDate = 0;
			for (const auto& line : local.Lines()) {
				if (line.message == "interface definition is out of date") {
					++outOfDate;
					EXPECT_EQ(line.level, spdlog::level::err);
					EXPECT_TRUE(line.file.ends_with("F4SE/Interfaces.h")) << line.file;
				}
			}
			EXPECT_EQ(outOfDate, c.lines) << "id " << c.id << " version " << c.version;
			const void* const fields[] = { api.messaging, api.scaleform, api.papyrus, api.serialization, api.task, api.object, api.trampoline };
			EXPECT_NE(fields[c.id - 1], nullptr) << "id " << c.id;
		}
	}

	TEST_F(APITest, HostWithoutInterfacesLeavesEveryFieldNull)
	{
		F4SE::Initialize(&load, { .writeLog = false });
		const auto&       api = F4SE::Impl::API::Get();
		const void* const fields[] = { api.messaging, api.scaleform, api.papyrus, api.serialization, api.task, api.object, api.trampoline };
		EXPECT_TRUE(std::ranges::all_of(fields, [](const void* a_field) { return a_field == nullptr; }));
		EXPECT_TRUE(Messages(spdlog::level::err).empty());
		// The remaining steps ran: the empty hook store reported.
		EXPECT_EQ(Messages(spdlog::level::debug), (std::vector<std::string>{ "FHookStore: Init 0 queued hooks", "FHookStore: Enabled 0 Load hooks" }));
	}

	TEST_F(APITest, MissingLoadInterfaceIsSurvived)
	{
		ExportRecord();
		F4SE::Initialize(nullptr, kNoLog);
		EXPECT_EQ(F4SE::Impl::API::Get().name, "Quellstone");
		EXPECT_EQ(F4SE::OwnPluginHandle(), 0xFFFFFFFFu);
	}

	TEST_F(APITest, BranchPoolMemoryIsAdoptedAndKeptByTheHost)
	{
		std::vector<std::byte> pool(96);
		host.versions[7] = 1;
		host.branchPool = pool.data();
		F4SE::Initialize(&load, { .writeLog = false, .prepareTrampoline = true, .trampolineBytes = 96 });
		EXPECT_EQ(host.branchRequests, (std::vector<std::pair<std::uint32_t, std::uint64_t>>{ { 0x2A, 96 } }));
		auto& trampoline = REL::DefaultTrampoline();
		EXPECT_EQ(trampoline.data(), pool.data());
		EXPECT_EQ(trampoline.capacity(), 96u);
		EXPECT_EQ(pool[95], std::byte{ 0xCC });
		trampoline.release();
		EXPECT_TRUE(FakeOS::VirtualFrees().empty());
	}

	TEST_F(APITest, RefusedBranchPoolFallsBackToOwnMemory)
	{
		auto game = TestSupport::MakeImage({ { ".text", 0x800, 0x1000 } });
		FakeOS::SetProcessModule(game.data());
		FakeOS::SetMemoryMap({ { 0, 0x7FFFFFFFFFF0000, REX::OS::kMemFree } });
		host.versions[7] = 1;
		F4SE::Initialize(&load, { .writeLog = false, .prepareTrampoline = true, .trampolineBytes = 128 });

		ASSERT_EQ(host.branchRequests.size(), 1u);
		const auto errors = capture.Lines();
		const auto refusal = std::ranges::find(errors, std::string{ "failed to allocate from branch pool" }, &TestSupport::CapturedLine::message);
		ASSERT_NE(refusal, errors.end());
		EXPECT_EQ(refusal->level, spdlog::level::err);
		EXPECT_TRUE(refusal->file.ends_with("F4SE/Interfaces.cpp")) << refusal->file;
		ASSERT_EQ(FakeOS::VirtualAllocs().size(), 1u);
		EXPECT_EQ(FakeOS::VirtualAllocs()[0].size, 128u);
		EXPECT_EQ(REL::DefaultTrampoline().data(), FakeOS::VirtualAllocs()[0].result);
	}

	TEST_F(APITest, NoTrampolineInterfaceMeansNoTrampoline)
	{
		F4SE::Initialize(&load, { .writeLog = false, .prepareTrampoline = true, .trampolineBytes = 64 });
		EXPECT_TRUE(host.branchRequests.empty());
		EXPECT_EQ(FakeOS::CallCount("VirtualQuery"), 0);
		EXPECT_EQ(REL::DefaultTrampoline().data(), nullptr);
	}

	TEST_F(APITest, TrampolineSizeComesFromTheHookStoreWhenNotConfigured)
	{
		const struct
		{
			std::uint64_t hookBytes;
			bool          fatal;
		} cases[] = { { 0, true }, { 48, false } };
		for (const auto& c : cases) {
			FakeOS::Reset();
			host.branchRequests.clear();
			host.versions[7] = 1;
			auto game = TestSupport::MakeImage({ { ".text", 0x800, 0x1000 } });
			FakeOS::SetProcessModule(game.data());
			FakeOS::SetMemoryMap({ { 0, 0x7FFFFFFFFFF0000, REX::OS::kMemFree } });

			struct SizedHook final : REL::FQueuedHook
			{
				std::uint64_t  bytes{ 0 };
				bool           Init() override { return true; }
				REL::EHookStep GetStep() const override { return REL::EHookStep::Load; }
				std::uint64_t  GetSize() const override { return bytes; }
				bool           Enable() override { return true; }
			};
			static SizedHook hook;
			hook.bytes = c.hookBytes;
			REL::FHookStore::GetSingleton().Add(1, &hook);

			F4SE::Impl::API api;
			api.options.prepareTrampoline = true;
			api.trampoline = static_cast<F4SE::TrampolineInterface*>(QueryInterface(7));
			if (c.fatal) {
				EXPECT_THROW(api.InitTrampoline(), FakeOS::ProcessTerminated);
				ASSERT_EQ(FakeOS::MessageBoxes().size(), 1u);
				EXPECT_NE(FakeOS::MessageBoxes()[0].text.find(L"Cannot create a trampoline with a zero size"), std::wstring::npos);
			} else {
				api.InitTrampoline();
				EXPECT_EQ(REL::DefaultTrampoline().capacity(), c.hookBytes);
			}
			EXPECT_EQ(api.options.trampolineBytes, c.hookBytes);
			EXPECT_EQ(host.branchRequests, (std::vector<std::pair<std::uint32_t, std::uint64_t>>{ { 0xFFFFFFFF, c.hookBytes } }));
		}
	}

	// The log file set-up on the fake documents folder, a temporary folder here.
	class LogFileTest : public APITest
	{
	protected:
		void SetUp() override
		{
			APITest::SetUp();
			ExportRecord();
			documents = TestSupport::ScratchFolder("qs-f4se");
			std::filesystem::remove_all(documents);
			std::filesystem::create_directories(documents);
			FakeOS::SetDocumentsFolder(documents.wstring());
		}
		void TearDown() override
		{
			spdlog::drop("global");
			std::error_code ignored;
			std::filesystem::remove_all(documents, ignored);
		}

		std::filesystem::path documents;
	};

	// The log file tests set up the log on records of their own, never through the
	// process-wide F4SE::Initialize, which runs once per process: each holds whichever
	// tests ran before it in the same process.
	TEST_F(LogFileTest, LogFileIsCreatedWithTheFirstLine)
	{
		F4SE::Impl::API api;
		api.LoadHostData(&load);
		api.InitLog();
		const auto lines = TestSupport::ReadLines(documents / "My Games" / "Fallout4" / "F4SE" / "Quellstone.log");
		ASSERT_FALSE(lines.empty());
		EXPECT_TRUE(std::regex_match(lines[0], std::regex{ R"(\[\d\d:\d\d:\d\d\.\d{3}\] \[ *\d+ *\] \[I\] Quellstone v1\.0\.0\.0)" })) << lines[0];
		EXPECT_EQ(lines.size(), 1u);
		EXPECT_EQ(FakeOS::OutstandingTaskMemory(), 0);
		EXPECT_EQ(spdlog::default_logger()->name(), "global");
	}

	TEST_F(LogFileTest, NoDocumentsFolderIsReportedAndInitialisationGoesOn)
	{
		const struct
		{
			bool failure; // else success without a path
		} cases[] = { { true }, { false } };
		for (const auto& c : cases) {
			FakeOS::SetDocumentsFolder(std::nullopt);
			if (!c.failure) {
				FakeOS::SetDocumentsFolder(documents.wstring());
				FakeOS::SetDocumentsFolderNullOnSuccess(true);
			}
			TestSupport::LogCapture local;
			F4SE::Impl::API         api;
			api.gameFolderName = "Fallout4";
			api.InitLog();
			const auto lines = local.Lines();
			ASSERT_EQ(lines.size(), 1u);
			EXPECT_EQ(lines[0].message, "failed to get known folder path");
			EXPECT_EQ(lines[0].level, spdlog::level::err);
			EXPECT_TRUE(lines[0].file.ends_with("F4SE/API.cpp")) << lines[0].file;
			EXPECT_EQ(spdlog::default_logger()->name(), "capture");
			EXPECT_EQ(FakeOS::OutstandingTaskMemory(), 0);
		}
		EXPECT_TRUE(std::filesystem::is_empty(documents));
	}

	TEST_F(LogFileTest, EmptyGameFolderNameMeansNoLog)
	{
		host.folder = "";
		F4SE::Impl::API api;
		api.LoadHostData(&load);
		api.InitLog();
		EXPECT_EQ(FakeOS::CallCount("SHGetKnownFolderPath"), 0);
		EXPECT_TRUE(std::filesystem::is_empty(documents));
	}

	TEST_F(LogFileTest, LogThatCannotBeOpenedIsReportedAndTheOtherStepsRun)
	{
		const struct
		{
			const char*   name;
			std::uint64_t rotated;
			bool          blockFolder;
		} cases[] = {
			{ "rotating count over the library's limit", 200001, false },
			{ "folder taken by a file", 0, true },
		};
		for (const auto& c : cases) {
			if (c.blockFolder) {
				std::ofstream{ documents / "My Games" } << "not a folder";
			}
			TestSupport::LogCapture local;
			F4SE::Impl::API         api;
			api.gameFolderName = "Fallout4";
			api.name = "Quellstone";
			api.options.rotatedFileCount = c.rotated;
			EXPECT_ANY_THROW(api.InitLog()) << c.name;
			EXPECT_EQ(spdlog::default_logger()->name(), "capture") << c.name;
			EXPECT_EQ(FakeOS::OutstandingTaskMemory(), 0) << c.name;
		}
	}

	// Through the process-wide Initialize (a test of its own: it needs a process in which
	// Initialize has not run): nothing escapes, the failure is reported to the logger in
	// place, and the interface queries and the hook store still run.
	TEST_F(LogFileTest, InitializeReportsALogThatCannotBeOpenedAndRunsTheOtherSteps)
	{
		std::ofstream{ documents / "My Games" } << "not a folder";
		host.versions[1] = 9;
		F4SE::Initialize(&load, { .rotatedFileCount = 5 });
		const auto errors = Messages(spdlog::level::err);
		ASSERT_EQ(errors.size(), 2u);
		EXPECT_TRUE(errors[0].starts_with("host initialisation: setting up the log file failed: ")) << errors[0];
		EXPECT_EQ(errors[1], "interface definition is out of date");
		EXPECT_EQ(Messages(spdlog::level::debug).size(), 2u);
	}
	TEST_F(LogFileTest, LevelOutsideTheKnownRangeIsHeldToTheNearestLevel)
	{
		const struct
		{
			std::int32_t              option;
			spdlog::level::level_enum level;
		} cases[] = { { -3, spdlog::level::trace }, { 4, spdlog::level::err }, { 6, spdlog::level::off }, { 9, spdlog::level::off } };
		for (const auto& c : cases) {
			F4SE::Impl::API api;
			api.gameFolderName = "Fallout4";
			api.name = "Quellstone";
			api.options.level = c.option;
			api.InitLog();
			EXPECT_EQ(spdlog::default_logger()->level(), c.level) << c.option;
			EXPECT_EQ(spdlog::default_logger()->flush_level(), c.level) << c.option;
		}
	}
} // namespace
