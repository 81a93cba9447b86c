#include "REL/FHookStore.h"

#include "REX/LOG.h"

namespace REL
{
	std::string_view HookStepName(const EHookStep a_step) noexcept
	{
		switch (a_step) {
			case EHookStep::None:
				return "None";
			case EHookStep::PreLoad:
				return "PreLoad";
			case EHookStep::Load:
				return "Load";
			default:
				return "<Unknown>";
		}
	}

	FHookStore& FHookStore::GetSingleton()
	{
		static FHookStore store;
		return store;
	}

	void FHookStore::Add(const std::uint32_t a_id, FQueuedHook* const a_hook)
	{
		hooks[a_id] = a_hook;
		queue.push_back(a_id);
	}

	void FHookStore::Init()
	{
		std::size_t count = 0;
		while (!queue.empty()) {
			const auto id = queue.front();
			queue.pop_front();
			// An ID queued without a hook behind it has nothing to prepare; it is
			// dropped without counting rather than dereferenced.
			const auto it = hooks.find(id);
			if (it != hooks.end() && it->second && it->second->Init()) {
				++count;
			}
		}
		REX::LogDebug("FHookStore: Init {} queued hooks", count);
	}

	void FHookStore::Enable(const EHookStep a_step)
	{
		std::size_t count = 0;
		for (const auto& [id, hook] : hooks) {
			if (hook && hook->GetStep() == a_step && hook->Enable()) {
				++count;
			}
		}
		REX::LogDebug("FHookStore: Enabled {} {} hooks", count, a_step);
	}

	std::uint64_t FHookStore::GetTotalSize() const
	{
		std::uint64_t total = 0;
		for (const auto& [id, hook] : hooks) {
			if (hook) {
				total += hook->GetSize();
			}
		}
		return total;
	}
} // namespace REL
