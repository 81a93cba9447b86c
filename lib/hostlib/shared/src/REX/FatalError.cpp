#include "REX/FatalError.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "REX/FModule.h"
#include "REX/OS.h"
#include "REX/Text.h"

namespace REX
{
	namespace
	{
		// The build records source paths with either separator; the box shows them in
		// generic form, cut after the first "include/" or, only when there is none,
		// after the first "src/", so that users see "REL/Trampoline" rather than a
		// path on the build machine.
		template <class Char>
		std::basic_string<Char> TrimSourcePath(std::basic_string<Char> a_path, std::basic_string_view<Char> a_include, std::basic_string_view<Char> a_src)
		{
			std::replace(a_path.begin(), a_path.end(), Char{ '\\' }, Char{ '/' });
			for (const auto pattern : { a_include, a_src }) {
				if (const auto at = a_path.find(pattern); at != std::basic_string<Char>::npos) {
					return a_path.substr(at + pattern.size());
				}
			}
			return a_path;
		}

		std::wstring WidePath(const char* a_fileName)
		{
			try {
				return std::filesystem::path(a_fileName).wstring();
			} catch (const std::exception&) {
				const std::string_view narrow{ a_fileName };
				return std::wstring(narrow.begin(), narrow.end());
			}
		}

		template <class Char>
		std::basic_string<Char> LastComponent(const std::basic_string<Char>& a_path)
		{
			const auto slash = a_path.find_last_of(std::basic_string_view<Char>{ std::basic_string<Char>{ Char{ '/' }, Char{ '\\' }, Char{ ':' } } });
			return slash == std::basic_string<Char>::npos ? a_path : a_path.substr(slash + 1);
		}

		[[noreturn]] void EndProcess()
		{
			OS::TerminateProcess(OS::GetCurrentProcess(), 1);
			// TerminateProcess on the own process does not come back; should it fail,
			// the process still ends with the same code.
			std::_Exit(1);
		}
	} // namespace

	std::string FatalErrorBoxText(const SourceLocation& a_location, std::string_view a_message)
	{
		const auto path = TrimSourcePath<char>(a_location.fileName, "include/", "src/");
		return fmt::format("{}({}): {}", path, a_location.line, a_message);
	}

	std::wstring FatalErrorBoxText(const SourceLocation& a_location, std::wstring_view a_message)
	{
		const auto path = TrimSourcePath<wchar_t>(WidePath(a_location.fileName), L"include/", L"src/");
		return fmt::format(L"{}({}): {}", path, a_location.line, a_message);
	}

	std::string FatalErrorCaption()
	{
		return LastComponent(FModule::ThisModule().TryGetFileName().value_or(std::string{}));
	}

	std::wstring FatalErrorCaptionW()
	{
		return LastComponent(FModule::ThisModule().TryGetFileNameW().value_or(std::wstring{}));
	}

	namespace
	{
		// Logged before the box: the line survives even if the game is killed while the box
		// is open. The box is always the wide one: its caption is the plugin's file name and
		// messages carry paths and names, which the narrow box would read in the ANSI code
		// page instead of as the UTF-8 they are.
		[[noreturn]] void Report(const SourceLocation& a_location, std::string_view a_utf8Message, const std::wstring& a_boxText)
		{
			LogMessage(a_location, ELogLevel::Critical, a_utf8Message);
			const auto caption = FatalErrorCaptionW();
			OS::MessageBoxW(nullptr, a_boxText.c_str(), caption.empty() ? nullptr : caption.c_str(), OS::kMbOk);
			EndProcess();
		}
	} // namespace

	void FatalError(const SourceLocation& a_location, std::string_view a_message)
	{
		Report(a_location, a_message, WideFromUtf8(FatalErrorBoxText(a_location, a_message)));
	}

	void FatalError(const SourceLocation& a_location, std::wstring_view a_message)
	{
		Report(a_location, Utf8FromWide(a_message), FatalErrorBoxText(a_location, a_message));
	}
} // namespace REX
