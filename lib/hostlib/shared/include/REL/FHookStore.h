#pragma once

// Hooks that are switched on in steps of the plugin's loading rather than at once. A
// hook is stored under its ID and queued; the host initialisation first prepares every
// queued hook, then enables the hooks of the current step.

#include <cstdint>
#include <deque>
#include <map>
#include <string_view>

#include <fmt/format.h>

namespace REL
{
	enum class EHookStep : std::uint32_t
	{
		None = 0,
		PreLoad = 1,
		Load = 2,
	};

	// "None", "PreLoad", "Load", or "<Unknown>" for any other value.
	[[nodiscard]] std::string_view HookStepName(EHookStep a_step) noexcept;

	// A hook held by the store. The store never owns or destroys one, so the destructor
	// is not part of the interface.
	class FQueuedHook
	{
	public:
		virtual bool          Init() = 0;
		virtual EHookStep     GetStep() const = 0;
		virtual std::uint64_t GetSize() const = 0;
		virtual bool          Enable() = 0;

	protected:
		FQueuedHook() = default;
		FQueuedHook(const FQueuedHook&) = default;
		FQueuedHook& operator=(const FQueuedHook&) = default;
		~FQueuedHook() = default;
	};

	class FHookStore
	{
	public:
		[[nodiscard]] static FHookStore& GetSingleton();

		// Stores the hook under its ID (replacing a hook stored there before) and queues
		// the ID for Init.
		void Add(std::uint32_t a_id, FQueuedHook* a_hook);

		// Prepares every queued hook, in queue order, and empties the queue.
		void Init();
		// Enables every stored hook of the step, in ascending ID order. Hooks stay stored.
		void Enable(EHookStep a_step);
		// Trampoline bytes that all stored hooks need together.
		[[nodiscard]] std::uint64_t GetTotalSize() const;

	private:
		std::map<std::uint32_t, FQueuedHook*> hooks;
		std::deque<std::uint32_t>             queue;
	};
} // namespace REL

template <>
struct fmt::formatter<REL::EHookStep> : fmt::formatter<std::string_view>
{
	template <class FormatContext>
	auto format(REL::EHookStep a_step, FormatContext& a_ctx) const
	{
		return fmt::formatter<std::string_view>::format(REL::HookStepName(a_step), a_ctx);
	}
};
