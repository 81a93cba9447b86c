#pragma once

// A non-owning handle of a loaded image: the game's executable or the plugin's own
// library. The handle is also the address at which the image starts.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "REL/Version.h"
#include "REX/OS.h"

namespace REX
{
	// A section of a loaded image. All zero when no section matched.
	struct FSection
	{
		std::uintptr_t module{ 0 };
		std::uintptr_t start{ 0 };
		std::uint64_t  size{ 0 };
	};

	class FModule
	{
	public:
		constexpr FModule() noexcept = default;
		constexpr explicit FModule(OS::HMODULE a_handle) noexcept :
		    handle(a_handle)
		{}

		// The process's main executable: the game.
		[[nodiscard]] static FModule ProcessModule();
		// The image that holds this code: the plugin.
		[[nodiscard]] static FModule ThisModule() noexcept;

		[[nodiscard]] OS::HMODULE   GetHandle() const noexcept { return handle; }
		[[nodiscard]] std::uint64_t GetBase() const noexcept { return reinterpret_cast<std::uintptr_t>(handle); }

		// Full path of the module's file, read whole through the wide call however long
		// it is. Ends the process when it cannot be read. The narrow form is the same path
		// in UTF-8, for messages.
		[[nodiscard]] std::wstring GetFileNameW() const;
		[[nodiscard]] std::string  GetFileName() const;

		// The same, or nothing when the path cannot be read, for callers that must not
		// end the process over it (the fatal-error report itself, the INI lookup).
		[[nodiscard]] std::optional<std::wstring> TryGetFileNameW() const;
		[[nodiscard]] std::optional<std::string>  TryGetFileName() const;

		// Size of the image in memory (SizeOfImage of its optional header): every address
		// that belongs to the module lies below base + this size.
		[[nodiscard]] std::uint64_t GetImageSize() const noexcept;

		// Version of the module's file from its version resource (ProductVersion).
		[[nodiscard]] REL::VersionNumber GetProductVersion() const;

		// The first section whose name begins with the given name (at most 8 bytes compared).
		[[nodiscard]] FSection FindSection(std::string_view a_name) const noexcept;

	private:
		OS::HMODULE handle{ nullptr };
	};
} // namespace REX
