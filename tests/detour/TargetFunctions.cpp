// The target functions of TargetFunctions.h. Their bodies are .byte lists so that the
// assembler cannot pick other encodings; only the call shim and the result stub,
// which are never detoured, are written in mnemonics. The same bytes assemble on ELF
// (Linux) and COFF (MinGW).

#include "TargetFunctions.h"

#define QS_FUNCTION(name) ".p2align 4, 0xCC\n.globl " #name "\n" #name ":\n"

#if defined(_WIN32)
// Windows x64: function in rcx, argument in edx; the caller already gave us a home area.
#define QS_CALL_SHIM   \
	"sub $40, %rsp\n"  \
	"mov %rcx, %rax\n" \
	"mov %edx, %ecx\n" \
	"call *%rax\n"     \
	"add $40, %rsp\n"  \
	"ret\n"
#else
// System V: function in rdi, argument in esi; 40 bytes keep rsp 16-byte aligned at the call.
#define QS_CALL_SHIM   \
	"sub $40, %rsp\n"  \
	"mov %rdi, %rax\n" \
	"mov %esi, %ecx\n" \
	"mov %esi, %edi\n" \
	"call *%rax\n"     \
	"add $40, %rsp\n"  \
	"ret\n"
#endif

asm(".text\n"

    QS_FUNCTION(qs_CallTarget)
        QS_CALL_SHIM

            QS_FUNCTION(qs_FiveByte) ".byte 0x48, 0x89, 0x5C, 0x24, 0x08\n" // mov [rsp+8], rbx
                                     ".byte 0x8D, 0x41, 0x2A\n"             // lea eax, [rcx+42]
                                     ".byte 0x48, 0x8B, 0x5C, 0x24, 0x08\n" // mov rbx, [rsp+8]
                                     ".byte 0xC3\n"                         // ret

    QS_FUNCTION(qs_ThreePlusFour) ".byte 0x48, 0x89, 0xC8\n"       // mov rax, rcx
                                  ".byte 0x48, 0x83, 0xC0, 0x07\n" // add rax, 7
                                  ".byte 0xC3\n"                   // ret

    QS_FUNCTION(qs_LongPrologue) ".byte 0x48, 0x89, 0x5C, 0x24, 0x08\n" // mov [rsp+8], rbx
                                 ".byte 0x48, 0x89, 0x74, 0x24, 0x10\n" // mov [rsp+16], rsi
                                 ".byte 0x57\n"                         // push rdi
                                 ".byte 0x48, 0x83, 0xEC, 0x20\n"       // sub rsp, 0x20
                                 ".byte 0x8D, 0x41, 0x03\n"             // lea eax, [rcx+3]
                                 ".byte 0x48, 0x83, 0xC4, 0x20\n"       // add rsp, 0x20
                                 ".byte 0x5F\n"                         // pop rdi
                                 ".byte 0x48, 0x8B, 0x74, 0x24, 0x10\n" // mov rsi, [rsp+16]
                                 ".byte 0x48, 0x8B, 0x5C, 0x24, 0x08\n" // mov rbx, [rsp+8]
                                 ".byte 0xC3\n"                         // ret

    QS_FUNCTION(qs_CookiePrologue) ".byte 0x48, 0x89, 0x5C, 0x24, 0x08\n" // mov [rsp+8], rbx
                                   ".byte 0x57\n"                         // push rdi
                                   ".byte 0x48, 0x83, 0xEC, 0x20\n"       // sub rsp, 0x20
                                   ".byte 0x48, 0x8B, 0x05\n"             // mov rax, [rip+qs_Cookie]
                                   ".long qs_Cookie - (. + 4)\n"
                                   ".byte 0x8D, 0x41, 0x05\n"             // lea eax, [rcx+5]
                                   ".byte 0x48, 0x83, 0xC4, 0x20\n"       // add rsp, 0x20
                                   ".byte 0x5F\n"                         // pop rdi
                                   ".byte 0x48, 0x8B, 0x5C, 0x24, 0x08\n" // mov rbx, [rsp+8]
                                   ".byte 0xC3\n"                         // ret

    QS_FUNCTION(qs_RipRelativeFirst) ".byte 0x48, 0x8B, 0x05\n" // mov rax, [rip+qs_Thousand]
                                     ".long qs_Thousand - (. + 4)\n"
                                     ".byte 0x48, 0x01, 0xC8\n" // add rax, rcx
                                     ".byte 0xC3\n"             // ret

    QS_FUNCTION(qs_BranchInRun) ".byte 0x85, 0xC9\n"       // test ecx, ecx
                                ".byte 0x74, 0x04\n"       // je +4
                                ".byte 0x8D, 0x41, 0x01\n" // lea eax, [rcx+1]
                                ".byte 0xC3\n"             // ret
                                ".byte 0x31, 0xC0\n"       // xor eax, eax
                                ".byte 0xC3\n"             // ret

    QS_FUNCTION(qs_EndsEarly) ".byte 0x31, 0xC0\n" // xor eax, eax
                              ".byte 0xC3\n"       // ret
                              ".byte 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC\n"

    QS_FUNCTION(qs_JumpToFiveByte) ".byte 0xE9\n" // jmp qs_FiveByte
                                   ".long qs_FiveByte - (. + 4)\n"

    QS_FUNCTION(qs_ShortJumpChain) ".byte 0xEB, 0x01\n" // jmp +1
                                   ".byte 0xCC\n"
                                   ".byte 0xE9\n" // jmp qs_ThreePlusFour
                                   ".long qs_ThreePlusFour - (. + 4)\n"

                                   ".p2align 4, 0xCC\n"
                                   ".byte 0xE9\n" // jmp qs_FiveByte, reached from below
                                   ".long qs_FiveByte - (. + 4)\n"
                                   ".globl qs_BackwardShortJump\n"
                                   "qs_BackwardShortJump:\n"
                                   ".byte 0xEB, 0xF9\n" // jmp -7: back to the E9

    QS_FUNCTION(qs_ShortJumpZero) ".byte 0xEB, 0x00\n"       // jmp +0
                                  ".byte 0x8D, 0x41, 0x05\n" // lea eax, [rcx+5]
                                  ".byte 0xC3\n"             // ret

    QS_FUNCTION(qs_SmallSteps) ".byte 0x89, 0xC8\n"       // mov eax, ecx
                               ".byte 0xFF, 0xC0\n"       // inc eax
                               ".byte 0x83, 0xC0, 0x02\n" // add eax, 2
                               ".byte 0x83, 0xC0, 0x04\n" // add eax, 4
                               ".byte 0xC3\n"             // ret

    QS_FUNCTION(qs_Pausing) ".byte 0x89, 0xC8\n"       // mov eax, ecx
                            ".byte 0xF3, 0x90\n"       // pause
                            ".byte 0xF3, 0x90\n"       // pause
                            ".byte 0xFF, 0xC0\n"       // inc eax
                            ".byte 0x83, 0xC0, 0x06\n" // add eax, 6
                            ".byte 0xC3\n"             // ret

    QS_FUNCTION(qs_RipRelativeSecond) ".byte 0x89, 0xC8\n" // mov eax, ecx
                                      ".byte 0x03, 0x05\n" // add eax, [rip+qs_Thousand]
                                      ".long qs_Thousand - (. + 4)\n"
                                      ".byte 0xC3\n" // ret

    QS_FUNCTION(qs_StoreResult) "mov %eax, qs_StoredResult(%rip)\n"
                                "1: pause\n"
                                "jmp 1b\n"

                                ".p2align 4, 0xCC\n"
                                "qs_Cookie: .quad 0x2B992DDFA232\n"
                                "qs_Thousand: .quad 1000\n"

                                ".data\n"
                                ".p2align 2\n"
                                ".globl qs_StoredResult\n"
                                "qs_StoredResult: .long 0\n"
                                ".text\n"); // the compiler goes on in the section it left
