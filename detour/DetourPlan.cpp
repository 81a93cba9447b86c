// The detour's plan. See DetourPlan.h.

#include "DetourPlan.h"

#include <limits>

std::string_view DescribeFailure(DetourFailure a_failure) noexcept
{
	switch (a_failure) {
		case DetourFailure::None:
			return "no failure";
		case DetourFailure::AlreadyInstalled:
			return "already installed";
		case DetourFailure::Undecodable:
			return "instruction not decodable";
		case DetourFailure::RunTooLong:
			return "relocated instructions do not fit the trampoline";
		case DetourFailure::RipRelative:
			return "rip-relative operand and no memory near the target";
		case DetourFailure::RelativeBranch:
			return "relative branch and no memory near the target";
		case DetourFailure::FunctionEnds:
			return "function ends before the jump fits";
		case DetourFailure::PastFunctionEnd:
			return "jump would reach past the function's end";
		case DetourFailure::Unrelocatable:
			return "instruction cannot be relocated";
		case DetourFailure::CodeTooShort:
			return "code ends before the jump fits";
		case DetourFailure::TargetNotExecutable:
			return "target is not executable memory";
		case DetourFailure::NoTrampolineMemory:
			return "no memory for the trampoline";
		case DetourFailure::TrampolineNotExecutable:
			return "trampoline could not be made executable";
		case DetourFailure::TargetNotWritable:
			return "target could not be made writable";
	}
	return "unknown failure";
}

bool NearReach(std::uintptr_t a_from, std::uint64_t a_size, std::uintptr_t a_to) noexcept
{
	// The difference of two user-space addresses always fits in 64 signed bits.
	const auto displacement = static_cast<std::int64_t>(a_to - (a_from + a_size));
	return displacement >= std::numeric_limits<std::int32_t>::min() && displacement <= std::numeric_limits<std::int32_t>::max();
}

DetourPlan PlanDetour(std::span<const std::uint8_t>, std::uintptr_t a_target, std::uintptr_t a_replacement, std::uintptr_t a_trampoline, std::uintptr_t, std::size_t)
{
	// The planner itself follows in the next change.
	DetourPlan plan;
	plan.target = a_target;
	plan.replacement = a_replacement;
	plan.trampolineAddress = a_trampoline;
	plan.failure = DetourFailure::Unrelocatable;
	return plan;
}

DetourPlan DryRunDetour(std::span<const std::uint8_t> a_code, std::uintptr_t a_target, std::size_t a_functionSize)
{
	constexpr std::uintptr_t kPage = 0x10000;
	constexpr std::uintptr_t kFar = std::uintptr_t{ 64 } << 30;
	const std::uintptr_t     page = (a_target & ~(kPage - 1)) - kPage;
	return PlanDetour(a_code, a_target, a_target + kFar, page + kRelaySize, page, a_functionSize);
}
