#include "GameFunctions.h"

#include <windows.h>

namespace
{
	thread_local bool                  GameAnswer{ false };
	thread_local Sandbox::GameCounters Counted;
} // namespace

// Read by the rip-relative prologue.
extern "C" std::uint64_t SandboxGameTick;
std::uint64_t            SandboxGameTick{ 0 };

// The stack-cookie prologue's secret, as the C runtime keeps it for MSVC-compiled code
// (there it is randomised at start-up; any value not found on the stack serves here).
extern "C" std::uint64_t SandboxSecurityCookie;
std::uint64_t            SandboxSecurityCookie{ 0x2B992DDFA232 };

// Where the stack-cookie epilogue goes when the cookie no longer matches: the frame was
// overwritten, or the prologue that stored the cookie read it from the wrong place. Ends
// the process the way MSVC's runtime does, with STATUS_STACK_BUFFER_OVERRUN.
extern "C" [[noreturn]] void SandboxSecurityCheckFailed()
{
	::TerminateProcess(::GetCurrentProcess(), 0xC0000409);
	__builtin_unreachable();
}

// The bodies the prologues below lead into: the game's own work, as far as the sandbox
// models it.
extern "C" bool SandboxInvalidatesBody(Sandbox::GameReference*, Sandbox::GameCell*)
{
	++Counted.invalidationChecks;
	if (GameAnswer) {
		++Counted.answeredInvalidates;
	}
	return GameAnswer;
}

extern "C" void SandboxClearBody(Sandbox::GameCell* a_cell)
{
	++Counted.clearsRun;
	if (a_cell) {
		// The game frees the cell's precombined and previs data.
		a_cell->precombinedData = nullptr;
		a_cell->previsData = nullptr;
	}
}

extern "C" {
bool SandboxInvalidates_Compiler(Sandbox::GameReference*, Sandbox::GameCell*);
bool SandboxInvalidates_RipRelative(Sandbox::GameReference*, Sandbox::GameCell*);
bool SandboxInvalidates_Jump(Sandbox::GameReference*, Sandbox::GameCell*);
bool SandboxInvalidates_Undecodable(Sandbox::GameReference*, Sandbox::GameCell*);
bool SandboxInvalidates_StackCookie(Sandbox::GameReference*, Sandbox::GameCell*);
bool SandboxInvalidates_TestBranch(Sandbox::GameReference*, Sandbox::GameCell*);
void SandboxClear_Compiler(Sandbox::GameCell*);
void SandboxClear_RipRelative(Sandbox::GameCell*);
void SandboxClear_Jump(Sandbox::GameCell*);
void SandboxClear_Undecodable(Sandbox::GameCell*);
void SandboxClear_StackCookie(Sandbox::GameCell*);
void SandboxClear_TestBranch(Sandbox::GameCell*);
}

// The game functions' entries, written out so that the bytes a detour steals are known.
// The frame set-up is the one the game's compiler emits (48 89 5C 24 08 ...): its first
// 15 bytes are position-independent, room for a 14-byte absolute jump and what it
// displaces. The arguments stay in rcx and rdx for the body.
//   RipRelative  begins with mov rax, [rip+disp32] (48 8B 05 ...), which a copy placed
//                elsewhere would read from the wrong address;
//   Jump         begins with a near jump (E9 ...) to the frame, as a thunk or another
//                detour would;
//   Undecodable  begins with pclmulqdq (66 0F 3A 44 C0 00), which every x86-64 processor
//                of the AE era runs but the plugin's instruction decoder refuses.
//   StackCookie  MSVC's /GS frame: sub rsp, 56 (48 83 EC 38), then the cookie read
//                relative to the instruction pointer (48 8B 05 ...), mixed with rsp and
//                stored in the frame; before returning it is read back, mixed again and
//                compared with the cookie (again rip-relative). A stolen cookie read that
//                is not relocated correctly fails that check and ends the process.
//   TestBranch   MSVC's early test of the cell argument: test reg, reg (48 85 ..), then
//                je (74 ..) to a second path past the stolen bytes, which handles the null
//                cell; both paths run the body, so every script answers the same.
// Every entry with a frame has its function-table entry and unwind codes, as the game's
// compiler gives every such function: an install learns the function's extent from the
// system's lookup here as in the game, and the table tells an address inside a function
// from a function's start.
asm(R"(
	.section .text$sandbox_game,"x"
	.intel_syntax noprefix

	# The frame as the game's compiler sets it up, and its unwind codes: the return
	# address, rdi pushed, 32 bytes allocated, rbx and rsi kept in the caller's home area.
	.macro QS_FRAME body
	mov qword ptr [rsp+8], rbx
	mov qword ptr [rsp+16], rsi
	push rdi
	.seh_pushreg rdi
	sub rsp, 32
	.seh_stackalloc 32
	.seh_savereg rbx, 48
	.seh_savereg rsi, 56
	.seh_endprologue
	call \body
	add rsp, 32
	pop rdi
	mov rsi, qword ptr [rsp+16]
	mov rbx, qword ptr [rsp+8]
	ret
	.endm

	.macro QS_ENTRIES prefix, body, cell
	.p2align 4
	.globl \prefix\()_Compiler
	.seh_proc \prefix\()_Compiler
\prefix\()_Compiler:
	QS_FRAME \body
	.seh_endproc

	.p2align 4
	.globl \prefix\()_RipRelative
	.seh_proc \prefix\()_RipRelative
\prefix\()_RipRelative:
	mov rax, qword ptr [rip + SandboxGameTick]
	QS_FRAME \body
	.seh_endproc

	# A jump thunk has no frame and, as with the game's compiler, no table entry.
	.p2align 4
	.globl \prefix\()_Jump
\prefix\()_Jump:
	.byte 0xE9
	.long \prefix\()_JumpBody - (. + 4)
	.p2align 4
	.seh_proc \prefix\()_JumpBody
\prefix\()_JumpBody:
	QS_FRAME \body
	.seh_endproc

	.p2align 4
	.globl \prefix\()_Undecodable
	.seh_proc \prefix\()_Undecodable
\prefix\()_Undecodable:
	pclmulqdq xmm0, xmm0, 0
	QS_FRAME \body
	.seh_endproc

	.p2align 4
	.globl \prefix\()_StackCookie
	.seh_proc \prefix\()_StackCookie
\prefix\()_StackCookie:
	sub rsp, 56
	.seh_stackalloc 56
	.seh_endprologue
	mov rax, qword ptr [rip + SandboxSecurityCookie]
	xor rax, rsp
	mov qword ptr [rsp+40], rax
	call \body
	mov rcx, qword ptr [rsp+40]
	xor rcx, rsp
	cmp rcx, qword ptr [rip + SandboxSecurityCookie]
	jne \prefix\()_StackCookieFailed
	add rsp, 56
	ret
\prefix\()_StackCookieFailed:
	call SandboxSecurityCheckFailed
	int3
	.seh_endproc

	# The test comes before the frame; the null cell's path leaves through a tail jump
	# to the body, with the caller's frame as it was.
	.p2align 4
	.globl \prefix\()_TestBranch
	.seh_proc \prefix\()_TestBranch
\prefix\()_TestBranch:
	test \cell, \cell
	je \prefix\()_TestBranchNullCell
	QS_FRAME \body
\prefix\()_TestBranchNullCell:
	jmp \body
	.seh_endproc
	.endm

	QS_ENTRIES SandboxInvalidates, SandboxInvalidatesBody, rdx
	QS_ENTRIES SandboxClear, SandboxClearBody, rcx

	.att_syntax prefix
	.text
)");

namespace Sandbox
{
	std::optional<EPrologue> ParsePrologue(std::string_view a_name) noexcept
	{
		if (a_name == "compiler") {
			return EPrologue::Compiler;
		}
		if (a_name == "rip-relative") {
			return EPrologue::RipRelative;
		}
		if (a_name == "jump") {
			return EPrologue::Jump;
		}
		if (a_name == "undecodable") {
			return EPrologue::Undecodable;
		}
		if (a_name == "stack-cookie") {
			return EPrologue::StackCookie;
		}
		if (a_name == "test-branch") {
			return EPrologue::TestBranch;
		}
		return std::nullopt;
	}

	InvalidatesPreCalcDataForCellFn InvalidatesPreCalcDataForCell(EPrologue a_prologue) noexcept
	{
		switch (a_prologue) {
			case EPrologue::RipRelative:
				return &SandboxInvalidates_RipRelative;
			case EPrologue::Jump:
				return &SandboxInvalidates_Jump;
			case EPrologue::Undecodable:
				return &SandboxInvalidates_Undecodable;
			case EPrologue::StackCookie:
				return &SandboxInvalidates_StackCookie;
			case EPrologue::TestBranch:
				return &SandboxInvalidates_TestBranch;
			case EPrologue::Compiler:
				break;
		}
		return &SandboxInvalidates_Compiler;
	}

	ClearPreCalcedDataFn ClearPreCalcedData(EPrologue a_prologue) noexcept
	{
		switch (a_prologue) {
			case EPrologue::RipRelative:
				return &SandboxClear_RipRelative;
			case EPrologue::Jump:
				return &SandboxClear_Jump;
			case EPrologue::Undecodable:
				return &SandboxClear_Undecodable;
			case EPrologue::StackCookie:
				return &SandboxClear_StackCookie;
			case EPrologue::TestBranch:
				return &SandboxClear_TestBranch;
			case EPrologue::Compiler:
				break;
		}
		return &SandboxClear_Compiler;
	}

	std::uint64_t ImageOffset(const void* a_function) noexcept
	{
		const auto base = reinterpret_cast<std::uintptr_t>(::GetModuleHandleW(nullptr));
		return reinterpret_cast<std::uintptr_t>(a_function) - base;
	}

	const GameCounters& ThreadCounters() noexcept
	{
		return Counted;
	}

	void SetGameAnswer(bool a_invalidates) noexcept
	{
		GameAnswer = a_invalidates;
	}
} // namespace Sandbox
