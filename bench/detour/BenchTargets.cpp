// Two identical functions for the call-cost benchmark, in assembly so that the bytes
// the detour steals are known: mov eax, 1 (5 bytes, stolen whole); add eax, edi; ret.
// System V convention: f(x) = x + 1. One stays untouched for the direct call.

asm(".text\n"
    ".p2align 4, 0xCC\n"
    ".globl qs_bench_Direct\n"
    "qs_bench_Direct:\n"
    ".byte 0xB8, 0x01, 0x00, 0x00, 0x00\n" // mov eax, 1
    ".byte 0x01, 0xF8\n"                   // add eax, edi
    ".byte 0xC3\n"                         // ret
    ".p2align 4, 0xCC\n"
    ".globl qs_bench_Hooked\n"
    "qs_bench_Hooked:\n"
    ".byte 0xB8, 0x01, 0x00, 0x00, 0x00\n"
    ".byte 0x01, 0xF8\n"
    ".byte 0xC3\n");
