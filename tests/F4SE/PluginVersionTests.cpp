// Finding the plugin's version record among the exports of the module this code is in.

#include <gtest/gtest.h>

#include <cstdint>

#include "F4SE/API.h"
#include "FakeModules.h"
#include "REX/FModule.h"

namespace
{
	class PluginVersionTest : public ::testing::Test
	{
	protected:
		void SetUp() override { FakeOS::Reset(); }
	};
} // namespace

TEST_F(PluginVersionTest, ThisModuleAndThePluginVersionRecord)
{
	const auto              plugin = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x180000000 });
	F4SE::PluginVersionData record{};
	FakeOS::SetThisImageBase(plugin);
	EXPECT_EQ(REX::FModule::ThisModule().GetHandle(), plugin);
	EXPECT_EQ(F4SE::FindPluginVersionRecord(), nullptr);
	FakeOS::SetExport(plugin, "F4SEPlugin_Version", &record);
	EXPECT_EQ(F4SE::FindPluginVersionRecord(), &record);
}
