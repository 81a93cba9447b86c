#include <gtest/gtest.h>

#include <string>

#include "FakeModules.h"
#include "LogCapture.h"
#include "REX/FatalError.h"

namespace
{
	const auto kPlugin = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x180000000 });

	class FatalErrorTest : public ::testing::Test
	{
	protected:
		void SetUp() override
		{
			FakeOS::Reset();
			FakeOS::SetThisImageBase(kPlugin);
		}
	};

	struct BoxTextCase
	{
		const char*   file;
		std::uint32_t line;
		const char*   message;
		const char*   expected;
	};
} // namespace

TEST_F(FatalErrorTest, BoxTextTrimsTheSourcePathAfterIncludeOrElseSrc)
{
	const BoxTextCase cases[] = {
		{ "lib\\hostlib\\shared\\src\\REL\\Trampoline", 113, "Failed to create trampoline", "REL/Trampoline(113): Failed to create trampoline" },
		{ "src\\main", 80, "x", "main(80): x" },
		{ "C:\\build\\lib\\hostlib\\include\\F4SE\\Interfaces", 184, "m", "F4SE/Interfaces(184): m" },
		// "src/" stands first, yet "include/" is tried first and wins.
		{ "a/src/b/include/c.h", 1, "m", "c.h(1): m" },
		// Only one pattern is removed: what follows "include/" keeps its "src/".
		{ "a/include/b/src/c.h", 2, "m", "b/src/c.h(2): m" },
		{ "D:\\work\\main.cpp", 3, "m", "D:/work/main.cpp(3): m" },
		{ "lib/x.cpp", 4, "path C:\\a\\b stays", "lib/x.cpp(4): path C:\\a\\b stays" },
	};
	for (const auto& c : cases) {
		const REX::SourceLocation location{ c.line, 1, c.file, "f" };
		EXPECT_EQ(REX::FatalErrorBoxText(location, std::string_view{ c.message }), c.expected) << c.file;
		const std::string expected{ c.expected };
		EXPECT_EQ(REX::FatalErrorBoxText(location, std::wstring_view{ std::wstring(c.message, c.message + std::strlen(c.message)) }),
		          std::wstring(expected.begin(), expected.end()))
		    << c.file;
	}
}

TEST_F(FatalErrorTest, CaptionIsThePluginFileNameEvenBeyond260Characters)
{
	const std::string longFolder = "C:\\" + std::string(300, 'd');
	const struct
	{
		std::string path;
		std::string caption;
	} cases[] = {
		{ "C:\\Games\\Fallout 4\\Data\\F4SE\\Plugins\\Quellstone.dll", "Quellstone.dll" },
		{ "C:/mixed\\sep/Quellstone.dll", "Quellstone.dll" },
		{ longFolder + "\\Quellstone.dll", "Quellstone.dll" },
		{ "", "" }, // the path cannot be read
	};
	for (const auto& c : cases) {
		FakeOS::Reset();
		FakeOS::SetThisImageBase(kPlugin);
		FakeOS::AddModule(kPlugin, c.path);
		EXPECT_EQ(REX::FatalErrorCaption(), c.caption) << c.path;
		EXPECT_EQ(REX::FatalErrorCaptionW(), std::wstring(c.caption.begin(), c.caption.end())) << c.path;
	}
}

TEST_F(FatalErrorTest, LogsCriticalBeforeTheBoxThenEndsWithExitCode1)
{
	FakeOS::AddModule(kPlugin, "C:\\Data\\F4SE\\Plugins\\Quellstone.dll");
	TestSupport::LogCapture   capture;
	const REX::SourceLocation location{ 113, 5, "lib\\hostlib\\shared\\src\\REL\\Trampoline", "void f()" };
	EXPECT_THROW(REX::FatalError(location, std::string_view{ "Failed to create trampoline" }), FakeOS::ProcessTerminated);

	const auto lines = capture.Lines();
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_EQ(lines[0].level, spdlog::level::critical);
	EXPECT_EQ(lines[0].message, "Failed to create trampoline");
	EXPECT_EQ(lines[0].line, 113);

	ASSERT_EQ(FakeOS::MessageBoxes().size(), 1u);
	const auto& box = FakeOS::MessageBoxes()[0];
	EXPECT_TRUE(box.wide);
	EXPECT_EQ(box.text, L"REL/Trampoline(113): Failed to create trampoline");
	EXPECT_EQ(box.caption, L"Quellstone.dll");
	EXPECT_EQ(box.type, 0u);
	EXPECT_EQ(FakeOS::Terminations(), std::vector<REX::OS::UINT>{ 1 });
}

TEST_F(FatalErrorTest, CriticalLineIsWrittenBeforeTheBoxIsShown)
{
	// A sink that notes whether a box was already up when the line arrived.
	class OrderSink final : public spdlog::sinks::base_sink<std::mutex>
	{
	public:
		bool boxShownFirst{ false };
		int  lines{ 0 };

	protected:
		void sink_it_(const spdlog::details::log_msg&) override
		{
			++lines;
			boxShownFirst = !FakeOS::MessageBoxes().empty();
		}
		void flush_() override {}
	};
	const auto sink = std::make_shared<OrderSink>();
	const auto previous = spdlog::default_logger();
	spdlog::set_default_logger(std::make_shared<spdlog::logger>("order", sink));
	EXPECT_THROW(REX::Fatal("boom"), FakeOS::ProcessTerminated);
	spdlog::set_default_logger(previous);
	EXPECT_EQ(sink->lines, 1);
	EXPECT_FALSE(sink->boxShownFirst);
	EXPECT_EQ(FakeOS::MessageBoxes().size(), 1u);
}

TEST_F(FatalErrorTest, WideMessageGoesToTheWideBoxAndToTheLogAsUtf8)
{
	FakeOS::AddModule(kPlugin, "C:\\Plugins\\Quellstone.dll");
	TestSupport::LogCapture capture;
	EXPECT_THROW(REX::FatalW(L"Path: {}", std::wstring(L"C:\\Spiele\\D\u00e4ten\\x.bin")), FakeOS::ProcessTerminated);

	const auto lines = capture.Lines();
	ASSERT_EQ(lines.size(), 1u);
	EXPECT_EQ(lines[0].message, "Path: C:\\Spiele\\D\xC3\xA4ten\\x.bin");
	ASSERT_EQ(FakeOS::MessageBoxes().size(), 1u);
	const auto& box = FakeOS::MessageBoxes()[0];
	EXPECT_TRUE(box.wide);
	EXPECT_NE(box.text.find(L"): Path: C:\\Spiele\\D\u00e4ten\\x.bin"), std::wstring::npos);
	EXPECT_EQ(box.caption, L"Quellstone.dll");
	EXPECT_EQ(FakeOS::Terminations(), std::vector<REX::OS::UINT>{ 1 });
}

// Narrow messages are UTF-8; a plugin file or a path named outside the ANSI code page must
// reach the box as the player sees it in the file manager.
TEST_F(FatalErrorTest, NarrowMessageWithANonAsciiNameReachesTheWideBoxIntact)
{
	FakeOS::AddModule(kPlugin, "C:\\Plugins\\\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD.dll"); // Ελλην.dll
	TestSupport::LogCapture capture;
	EXPECT_THROW(REX::Fatal("Path: {}", std::string_view{ "D\xC3\xA4ten" }), FakeOS::ProcessTerminated);

	ASSERT_EQ(FakeOS::MessageBoxes().size(), 1u);
	const auto& box = FakeOS::MessageBoxes()[0];
	EXPECT_TRUE(box.wide);
	EXPECT_NE(box.text.find(L"): Path: D\u00e4ten"), std::wstring::npos);
	EXPECT_EQ(box.caption, L"\u0395\u03bb\u03bb\u03b7\u03bd.dll");
	EXPECT_EQ(FakeOS::CallCount("MessageBoxA"), 0);
	EXPECT_EQ(capture.Lines().at(0).message, "Path: D\xC3\xA4ten");
}

TEST_F(FatalErrorTest, UnreadableModulePathGivesTheSystemCaption)
{
	TestSupport::LogCapture capture;
	EXPECT_THROW(REX::Fatal("no caption {}", 1), FakeOS::ProcessTerminated);
	ASSERT_EQ(FakeOS::MessageBoxes().size(), 1u);
	EXPECT_TRUE(FakeOS::MessageBoxes()[0].captionNull);
	EXPECT_EQ(capture.Lines().at(0).message, "no caption 1");
	EXPECT_EQ(FakeOS::Terminations(), std::vector<REX::OS::UINT>{ 1 });
}
