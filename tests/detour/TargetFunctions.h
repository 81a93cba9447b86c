#pragma once

// Functions written byte by byte in assembly (TargetFunctions.cpp), so that the bytes
// the detour steals are known. They follow one convention on every platform: the
// argument in ecx, the result in eax, a 32-byte home area above the return address
// (as on Windows x64), and rbx, rbp, rsi, rdi, r12-r15 preserved. Call them, their
// trampolines and the code a test writes at run time through qs_CallTarget, which
// sets that up from the platform's own convention (and also passes the argument in
// edi, so that a C++ replacement reached through the detour finds it on Linux too).

#include <cstdint>

extern "C" {
// Calls a_function(a_argument) under the convention above; returns its eax.
int qs_CallTarget(const void* a_function, int a_argument);

// 48 89 5C 24 08 | 8D 41 2A | 48 8B 5C 24 08 | C3                 f(x) = x + 42
extern std::uint8_t qs_FiveByte[];
// 48 89 C8 | 48 83 C0 07 | C3                                     f(x) = x + 7
extern std::uint8_t qs_ThreePlusFour[];
// 48 89 5C 24 08 | 48 89 74 24 10 | 57 | 48 83 EC 20 | 8D 41 03 | ...   f(x) = x + 3
extern std::uint8_t qs_LongPrologue[];
// 48 89 5C 24 08 | 57 | 48 83 EC 20 | 48 8B 05 <cookie> | ...     f(x) = x + 5
// (a compiler-style prologue that loads the stack cookie relative to rip)
extern std::uint8_t qs_CookiePrologue[];
// 48 8B 05 <constant 1000> | 48 01 C8 | C3                         f(x) = x + 1000
extern std::uint8_t qs_RipRelativeFirst[];
// 85 C9 | 74 04 | 8D 41 01 | C3 | 31 C0 | C3                       f(x) = x ? x + 1 : 0
extern std::uint8_t qs_BranchInRun[];
// 31 C0 | C3 | CC ...                                             f(x) = 0
extern std::uint8_t qs_EndsEarly[];
// E9 -> qs_FiveByte
extern std::uint8_t qs_JumpToFiveByte[];
// EB 01 | CC | E9 -> qs_ThreePlusFour
extern std::uint8_t qs_ShortJumpChain[];
// EB F9, back to an E9 -> qs_FiveByte placed right before it
extern std::uint8_t qs_BackwardShortJump[];
// EB 00 | 8D 41 05 | C3                                           f(x) = x + 5
extern std::uint8_t qs_ShortJumpZero[];
// 89 C8 | FF C0 | 83 C0 02 | 83 C0 04 | C3                        f(x) = x + 7
// (mov eax, ecx; inc eax; add eax, 2; add eax, 4: instructions start at 2, 4 and 7)
extern std::uint8_t qs_SmallSteps[];
// 89 C8 | F3 90 | F3 90 | FF C0 | 83 C0 06 | C3                   f(x) = x + 7
// (two pauses among the stolen bytes: a thread calling it is mostly found there)
extern std::uint8_t qs_Pausing[];
// 89 C8 | 03 05 <constant 1000> | C3                              f(x) = x + 1000
extern std::uint8_t qs_RipRelativeSecond[];

// Where a thread that a test starts in the middle of a function returns to: stores eax
// in qs_StoredResult and spins there, holding nothing, until the test ends the thread.
extern std::uint8_t qs_StoreResult[];
extern int          qs_StoredResult;
}
