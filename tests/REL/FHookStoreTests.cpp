#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FakeOS.h"
#include "LogCapture.h"
#include "REL/FHookStore.h"

namespace
{
	using REL::EHookStep;

	// A hook that records every call the store makes on it.
	class RecordingHook final : public REL::FQueuedHook
	{
	public:
		RecordingHook(std::uint32_t a_id, EHookStep a_step, std::uint64_t a_size, std::vector<std::string>& a_calls, bool a_succeeds = true) :
		    id(a_id), step(a_step), size(a_size), calls(a_calls), succeeds(a_succeeds)
		{}

		bool Init() override
		{
			calls.push_back("Init " + std::to_string(id));
			return succeeds;
		}
		EHookStep     GetStep() const override { return step; }
		std::uint64_t GetSize() const override
		{
			calls.push_back("GetSize " + std::to_string(id));
			return size;
		}
		bool Enable() override
		{
			calls.push_back("Enable " + std::to_string(id));
			return succeeds;
		}

	private:
		std::uint32_t             id;
		EHookStep                 step;
		std::uint64_t             size;
		std::vector<std::string>& calls;
		bool                      succeeds;
	};

	class FHookStoreTest : public ::testing::Test
	{
	protected:
		void SetUp() override { FakeOS::Reset(); }

		std::vector<std::string> DebugLines() { return capture.Messages(spdlog::level::debug); }

		TestSupport::LogCapture  capture;
		std::vector<std::string> calls;
	};

	TEST_F(FHookStoreTest, StepsFormatToTheirNames)
	{
		const struct
		{
			std::uint32_t value;
			const char*   text;
		} cases[] = { { 0, "None" }, { 1, "PreLoad" }, { 2, "Load" }, { 3, "<Unknown>" }, { 7, "<Unknown>" }, { 0xFFFFFFFF, "<Unknown>" } };
		for (const auto& c : cases) {
			EXPECT_EQ(fmt::format("{}", static_cast<EHookStep>(c.value)), c.text);
		}
		EXPECT_EQ(fmt::format("[{:>9}]", EHookStep::Load), "[     Load]");
	}

	TEST_F(FHookStoreTest, EmptyStoreReportsZeroHooks)
	{
		auto& store = REL::FHookStore::GetSingleton();
		EXPECT_EQ(&store, &REL::FHookStore::GetSingleton());
		store.Init();
		store.Enable(EHookStep::Load);
		EXPECT_EQ(store.GetTotalSize(), 0u);
		EXPECT_EQ(DebugLines(), (std::vector<std::string>{ "FHookStore: Init 0 queued hooks", "FHookStore: Enabled 0 Load hooks" }));
	}

	TEST_F(FHookStoreTest, HooksAreInitialisedInQueueOrderAndVisitedInIdOrder)
	{
		RecordingHook five{ 5, EHookStep::Load, 16, calls };
		RecordingHook two{ 2, EHookStep::Load, 32, calls };
		RecordingHook nine{ 9, EHookStep::Load, 8, calls };
		auto&         store = REL::FHookStore::GetSingleton();
		store.Add(5, &five);
		store.Add(2, &two);
		store.Add(9, &nine);

		store.Init();
		store.Init();
		EXPECT_EQ(store.GetTotalSize(), 56u);
		store.Enable(EHookStep::Load);

		EXPECT_EQ(calls, (std::vector<std::string>{ "Init 5", "Init 2", "Init 9", "GetSize 2", "GetSize 5", "GetSize 9", "Enable 2", "Enable 5", "Enable 9" }));
		EXPECT_EQ(DebugLines(), (std::vector<std::string>{ "FHookStore: Init 3 queued hooks", "FHookStore: Init 0 queued hooks", "FHookStore: Enabled 3 Load hooks" }));
	}

	TEST_F(FHookStoreTest, EnableTouchesOnlyHooksOfTheStepAndCountsOnlySuccess)
	{
		RecordingHook early{ 1, EHookStep::PreLoad, 0, calls };
		RecordingHook failing{ 2, EHookStep::Load, 0, calls, false };
		RecordingHook working{ 3, EHookStep::Load, 0, calls };
		auto&         store = REL::FHookStore::GetSingleton();
		store.Add(1, &early);
		store.Add(2, &failing);
		store.Add(3, &working);

		store.Init();
		store.Enable(EHookStep::Load);
		store.Enable(EHookStep::Load);
		store.Enable(EHookStep::PreLoad);

		EXPECT_EQ(calls, (std::vector<std::string>{ "Init 1", "Init 2", "Init 3", "Enable 2", "Enable 3", "Enable 2", "Enable 3", "Enable 1" }));
		EXPECT_EQ(DebugLines(), (std::vector<std::string>{
		                            "FHookStore: Init 2 queued hooks",
		                            "FHookStore: Enabled 1 Load hooks",
		                            "FHookStore: Enabled 1 Load hooks",
		                            "FHookStore: Enabled 1 PreLoad hooks",
		                        }));
	}

	TEST_F(FHookStoreTest, QueuedIdWithoutHookIsSkippedUncounted)
	{
		RecordingHook hook{ 4, EHookStep::Load, 24, calls };
		auto&         store = REL::FHookStore::GetSingleton();
		store.Add(3, nullptr);
		store.Add(4, &hook);
		store.Init();
		EXPECT_EQ(store.GetTotalSize(), 24u);
		store.Enable(EHookStep::Load);
		EXPECT_EQ(calls, (std::vector<std::string>{ "Init 4", "GetSize 4", "Enable 4" }));
		EXPECT_EQ(DebugLines().at(0), "FHookStore: Init 1 queued hooks");
	}
} // namespace
