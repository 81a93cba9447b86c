#include <gtest/gtest.h>

#include "LogCapture.h"
#include "REX/LOG.h"

namespace
{
	using REX::ELogLevel;

	// Counts how often it is formatted, to see whether a filtered line was formatted.
	struct Counted
	{
		static inline int formatted = 0;
	};
} // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<std::string_view>
{
	auto format(const Counted&, fmt::format_context& a_ctx) const
	{
		++Counted::formatted;
		return fmt::formatter<std::string_view>::format("counted", a_ctx);
	}
};

namespace
{
	// Throws while it is formatted, as a formatter does when its text cannot be allocated.
	struct Throwing
	{
	};
} // namespace

template <>
struct fmt::formatter<Throwing> : fmt::formatter<std::string_view>
{
	auto format(const Throwing&, fmt::format_context&) const -> fmt::format_context::iterator { throw std::bad_alloc{}; }
};

// The fronts run inside hooked game functions: a message that cannot be made costs that
// line, and nothing leaves the front.
TEST(LogFront, AMessageThatCannotBeFormattedIsLostWithoutLeavingTheFront)
{
	TestSupport::LogCapture capture;
	EXPECT_NO_THROW(REX::LogInfo("lost {}", Throwing{}));
	EXPECT_NO_THROW(REX::Log(ELogLevel::Error, "lost {}", Throwing{}));
	REX::LogInfo("kept {}", 1);
	const auto lines = capture.Lines();
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_EQ(lines[0].message, "kept 1");
}

TEST(LogMessage, LevelsAboveCriticalAreDroppedSilently)
{
	TestSupport::LogCapture capture;
	for (const std::uint32_t level : { 6u, 7u, 200u, 0xFFFFFFFFu }) {
		REX::LogMessage({}, static_cast<ELogLevel>(level), "dropped");
	}
	REX::LogMessage({}, ELogLevel::Critical, "kept");
	const auto lines = capture.Lines();
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_EQ(lines[0].message, "kept");
	EXPECT_EQ(lines[0].level, spdlog::level::critical);
}

TEST(LogMessage, EachLevelMapsToTheLibraryLevelOfTheSameNumber)
{
	TestSupport::LogCapture capture;
	for (std::uint32_t level = 0; level <= 5; ++level) {
		REX::LogMessage({}, static_cast<ELogLevel>(level), "x");
	}
	const auto lines = capture.Lines();
	ASSERT_EQ(lines.size(), 6u);
	for (std::size_t i = 0; i < lines.size(); ++i) {
		EXPECT_EQ(static_cast<std::size_t>(lines[i].level), i);
	}
	EXPECT_STREQ(spdlog::level::to_string_view(lines[3].level).data(), "warning");
}

TEST(LogFront, TextWithoutArgumentsPassesThroughUntouched)
{
	TestSupport::LogCapture capture;
	REX::LogInfo("braces {} and {{ stay");
	REX::Log(ELogLevel::Error, "also {:08X} here");
	REX::LogInfo("with {} and {{", 7);
	const auto lines = capture.Lines();
	ASSERT_EQ(lines.size(), 3u);
	EXPECT_EQ(lines[0].message, "braces {} and {{ stay");
	EXPECT_EQ(lines[1].message, "also {:08X} here");
	EXPECT_EQ(lines[1].level, spdlog::level::err);
	EXPECT_EQ(lines[2].message, "with 7 and {");
}

TEST(LogFront, FormatsReplacementFieldsAtTheCallSite)
{
	TestSupport::LogCapture capture;
	REX::LogInfo("ref={:08X} ({})", 0x1A2Bu, "Name");
	REX::LogDebug("{:05.2f}%", 50.0);
	const auto lines = capture.Lines();
	ASSERT_EQ(lines.size(), 2u);
	EXPECT_EQ(lines[0].message, "ref=00001A2B (Name)");
	EXPECT_EQ(lines[1].message, "50.00%");
}

TEST(LogFront, FilteredDebugLineIsStillFormatted)
{
	TestSupport::LogCapture capture(spdlog::level::info);
	Counted::formatted = 0;
	REX::LogDebug("value {}", Counted{});
	EXPECT_EQ(Counted::formatted, 1);
	EXPECT_TRUE(capture.Lines().empty());
}

TEST(LogFront, CarriesTheCallSiteLocation)
{
	TestSupport::LogCapture capture;
	const auto              line = __LINE__ + 1;
	REX::LogError("here");
	const auto lines = capture.Lines();
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_EQ(lines[0].line, line);
	EXPECT_NE(lines[0].file.find("LOGTests.cpp"), std::string::npos);
	EXPECT_NE(lines[0].function.find("TestBody"), std::string::npos);
}
