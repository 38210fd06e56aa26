// A test kernel for the CRC-32 methods, booted by GRUB (multiboot) in Bochs,
// which can emulate CPUs that this machine's qemu cannot, with VPCLMULQDQ on
// 256- and 512-bit registers among them. It is built twice, each time linked
// with the library's own CRC sources built with one DLL's code-generation
// options: for 32-bit protected mode as the 32-bit DLL, and for long mode as
// the 64-bit DLL (with the Windows calling convention, -mabi=ms), which it
// enters from GRUB's 32-bit hand-over by itself. It prints its findings on
// Bochs's debug port 0xE9:
//
//   - every method this CPU can run, against the portable one, for every
//     length from 0 to kLongest in several passes at changing alignments and
//     starting registers, each call made on a stack aligned no better than
//     Windows promises: 4 bytes for 32-bit code, 16 for 64-bit code;
//   - the method the library chooses at its first call.
//
// The kernel line may hold `xcr0=HEX`, the state components to enable in
// XCR0 (default: x87, SSE, AVX and AVX-512, as far as the CPU has them), to
// see the choice when the operating system does not save the AVX-512 state,
// and `osxsave=0`, to leave CR4.OSXSAVE clear (as Windows XP does), where
// XGETBV and every AVX instruction is an invalid opcode: one shows as a FAIL
// line and the last line, not as a hang.
// tests/emu/run_bochs.sh builds the boot image, runs Bochs and reads the
// lines; the last one is always "crc_kernel: done, N failures".
#include "crc/arch/x86/crc32_x86.h"
#include "crc/crc32_methods.h"
#include "platform/platform.h"

#include <cpuid.h>

constexpr size_t kStackBytes = 64 * 1024;

extern "C" {
void KernelMain(const uint32_t* multiboot_info);
void LoadIdt();  // a gate for #UD only, to InvalidOpcode
void InvalidOpcode(uintptr_t address);
uint32_t CallOnStack(CrcUpdateFunction update, uint32_t reg, const uint8_t* data,
                     size_t length, uint8_t* stack_top);
alignas(16) uint8_t KernelStack[kStackBytes];
extern uint8_t* const KernelStackTop;
}
uint8_t* const KernelStackTop = KernelStack + kStackBytes;

namespace {

constexpr size_t kLongest = 4096;
constexpr size_t kAlignments = 64;
constexpr size_t kPasses = 3;
constexpr size_t kPassOffsetStep = 21;  // each pass meets a length at another offset
constexpr uint16_t kDebugPort = 0xE9;
#if defined(__x86_64__)
constexpr size_t kStackStep = 16;
constexpr char kMode[] = "64-bit";
#else
constexpr size_t kStackStep = 4;
constexpr char kMode[] = "32-bit";
#endif

// The multiboot header GRUB looks for in the first 8 KiB: no flags, so the
// ELF headers say where the kernel goes.
constexpr uint32_t kMultibootMagic = 0x1BADB002u;
constexpr uint32_t kMultibootFlags = 0;
struct MultibootHeader {
    uint32_t magic, flags, checksum;
};
__attribute__((section(".multiboot"), used)) const MultibootHeader kMultiboot = {
    kMultibootMagic, kMultibootFlags, 0u - kMultibootMagic - kMultibootFlags};
// In the information GRUB hands over: flags bit 2 says word 4 points to the
// kernel line.
constexpr uint32_t kInfoHasCommandLine = 1u << 2;
constexpr int kInfoCommandLineWord = 4;

// CR0: no x87 emulation (EM), WAIT honours TS (MP), x87 errors as exceptions (NE).
constexpr uintptr_t kCr0Em = 1u << 2;
constexpr uintptr_t kCr0Mp = 1u << 1;
constexpr uintptr_t kCr0Ne = 1u << 5;
// CR4: FXSAVE and SSE (OSFXSR), SSE exceptions (OSXMMEXCPT), XSAVE and XGETBV (OSXSAVE).
constexpr uintptr_t kCr4Osfxsr = 1u << 9;
constexpr uintptr_t kCr4Osxmmexcpt = 1u << 10;
constexpr uintptr_t kCr4Osxsave = 1u << 18;
constexpr uint32_t kLeaf1XsaveBit = 1u << 26;  // ecx
// XCR0: x87 (bit 0, always set), SSE, AVX, opmask, upper zmm0-15, zmm16-31.
constexpr uint32_t kXcr0X87 = 0x1u;
constexpr uint32_t kXcr0Everything = 0xE7u;

int Failures = 0;
alignas(64) uint8_t Data[kLongest + kAlignments];
alignas(64) uint8_t CallStack[kStackBytes];

void Out(char c)
{
    __asm__ volatile("outb %0, %1" : : "a"(c), "Nd"(kDebugPort));
}

void Print(const char* text)
{
    while (*text)
        Out(*text++);
}

void PrintHex(uint32_t value)
{
    Print("0x");
    for (int shift = 28; shift >= 0; shift -= 4)
        Out("0123456789abcdef"[(value >> shift) & 0xF]);
}

void PrintDecimal(uint32_t value)
{
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        Out(digits[--count]);
}

bool StartsWith(const char* text, const char* prefix)
{
    while (*prefix)
        if (*text++ != *prefix++)
            return false;
    return true;
}

// The hexadecimal value of `name` (as "xcr0=") in the kernel line, or `absent`.
uint32_t KernelOption(const uint32_t* info, const char* name, uint32_t absent)
{
    if (!(info[0] & kInfoHasCommandLine))
        return absent;
    for (const char* p = reinterpret_cast<const char*>(uintptr_t{info[kInfoCommandLineWord]}); *p; ++p) {
        if (!StartsWith(p, name))
            continue;
        uint32_t value = 0;
        for (const char* q = name; *q; ++q)
            ++p;
        for (; *p; ++p) {
            char c = *p;
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0)
                break;
            value = value << 4 | static_cast<uint32_t>(digit);
        }
        return value;
    }
    return absent;
}

// Lets SSE and, where the CPU has XSAVE and `osxsave`, the wanted AVX state
// run, as an operating system does. Returns the XCR0 set (0 without it).
uint32_t EnableVectorState(uint32_t wanted, bool osxsave)
{
    uintptr_t cr0, cr4;
    __asm__ volatile("mov %%cr0, %0" : "=r"(cr0));
    __asm__ volatile("mov %0, %%cr0" : : "r"((cr0 & ~kCr0Em) | kCr0Mp | kCr0Ne));
    __asm__ volatile("fninit");
    __asm__ volatile("mov %%cr4, %0" : "=r"(cr4));
    cr4 |= kCr4Osfxsr | kCr4Osxmmexcpt;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __get_cpuid(1, &eax, &ebx, &ecx, &edx);
    bool xsave = osxsave && (ecx & kLeaf1XsaveBit);
    if (xsave)
        cr4 |= kCr4Osxsave;
    __asm__ volatile("mov %0, %%cr4" : : "r"(cr4));
    if (!xsave)
        return 0;
    // Leaf 0xD says which components XCR0 may hold.
    __cpuid_count(0xD, 0, eax, ebx, ecx, edx);
    uint32_t xcr0 = (wanted & eax) | kXcr0X87;
    __asm__ volatile("xsetbv" : : "a"(xcr0), "d"(0), "c"(0));
    return xcr0;
}

uint32_t Random(uint32_t* state)
{
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return *state = x;
}

// A stack top that leaves the callee's stack pointer at one of the
// kStackStep steps of a 64-byte line, picked by `step`: for 32-bit code
// three in four break the 16-byte alignment the System V ABI keeps, and all
// but one of the steps break the 64 bytes a zmm register would want.
uint8_t* MisalignedStackTop(uint32_t step)
{
    return CallStack + kStackBytes - kAlignments + kStackStep * (step % (kAlignments / kStackStep));
}

// Checks one method against the portable one, in kPasses passes over every
// length, each at other alignments, registers and stack positions; returns
// the failures (at most one: the first ends the method's check).
int CheckMethod(const CrcMethod& method)
{
    uint32_t random = 0x2545F491u;
    for (size_t pass = 0; pass < kPasses; ++pass)
        for (size_t length = 0; length <= kLongest; ++length) {
            size_t offset = (length + pass * kPassOffsetStep) % kAlignments;
            uint32_t reg = Random(&random);
            const uint8_t* data = Data + offset;
            uint32_t expected = CrcUpdatePortable(reg, data, length);
            uint32_t got = CallOnStack(method.update, reg, data, length,
                                       MisalignedStackTop(Random(&random)));
            if (got != expected) {
                Print("FAIL method ");
                Print(method.name);
                Print(": length ");
                PrintDecimal(static_cast<uint32_t>(length));
                Print(", offset ");
                PrintDecimal(static_cast<uint32_t>(offset));
                Print(", register ");
                PrintHex(reg);
                Print(": got ");
                PrintHex(got);
                Print(", the portable method ");
                PrintHex(expected);
                Print("\n");
                return 1;
            }
        }
    Print("method ");
    Print(method.name);
    Print(": equals the portable one for every length 0 to ");
    PrintDecimal(kLongest);
    Print(", ");
    PrintDecimal(kPasses);
    Print(" passes\n");
    return 0;
}

void PrintDone()
{
    Print("crc_kernel: done, ");
    PrintDecimal(static_cast<uint32_t>(Failures));
    Print(" failures\n");
}

}  // namespace

// The library asks the environment for a forced method; a kernel has none.
bool ReadEnvironmentText(const char*, char*, uint32_t)
{
    return false;
}

extern "C" int strcmp(const char* a, const char* b)
{
    while (*a && *a == *b)
        ++a, ++b;
    return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

void KernelMain(const uint32_t* multiboot_info)
{
    Print("crc_kernel: start, ");
    Print(kMode);
    Print("\n");
    LoadIdt();
    uint32_t xcr0 = EnableVectorState(KernelOption(multiboot_info, "xcr0=", kXcr0Everything),
                                      KernelOption(multiboot_info, "osxsave=", 1) != 0);
    Print("xcr0 ");
    PrintHex(xcr0);
    Print("\n");
    uint32_t random = 1;
    for (uint8_t& byte : Data)
        byte = static_cast<uint8_t>(Random(&random));
    uint32_t check = ~CrcUpdatePortable(0xFFFFFFFFu, reinterpret_cast<const uint8_t*>("123456789"), 9);
    if (check != 0xCBF43926u) {
        Print("FAIL the portable method's check value\n");
        ++Failures;
    }

    CpuFeatures cpu = ReadCpuFeatures();
    for (size_t i = 1; i < kCrcMethodCount; ++i) {
        if (kCrcMethods[i].supported(cpu)) {
            Failures += CheckMethod(kCrcMethods[i]);
        } else {
            Print("method ");
            Print(kCrcMethods[i].name);
            Print(": cannot run on this CPU\n");
        }
    }

    // The first CrcUpdate makes the choice, on a misaligned stack too.
    uint32_t reg = CallOnStack(CrcUpdate, 0xFFFFFFFFu, Data, kLongest, MisalignedStackTop(1));
    if (reg != CrcUpdatePortable(0xFFFFFFFFu, Data, kLongest)) {
        Print("FAIL CrcUpdate\n");
        ++Failures;
    }
    Print("chosen: ");
    Print(ChosenCrcMethod().name);
    Print("\n");
    PrintDone();
}

// Reached from the #UD gate: the instruction the CPU or the OS state lacks.
void InvalidOpcode(uintptr_t address)
{
    Print("FAIL invalid opcode at ");
    PrintHex(static_cast<uint32_t>(address));
    Print("\n");
    ++Failures;
    PrintDone();
}

#if defined(__x86_64__)
// GRUB enters in 32-bit protected mode with the multiboot information in
// ebx. The entry maps the first GiB one to one with 2 MiB pages, turns on
// long mode and paging, and calls KernelMain in 64-bit code with the
// information in rcx, as the Windows convention passes a first argument.
// CallOnStack calls a method with the stack pointer set to `stack_top`, so
// that the method starts with whatever alignment that leaves.
__asm__(R"(
    .data
    .balign 4096
PageMap4:
    .quad PagePointers + 3          # present, writable
    .fill 511, 8, 0
PagePointers:
    .quad PageDirectory + 3
    .fill 511, 8, 0
PageDirectory:
    .set page, 0
    .rept 512
    .quad (page << 21) + 0x83       # present, writable, 2 MiB
    .set page, page + 1
    .endr
Gdt:
    .quad 0
    .quad 0x00AF9A000000FFFF        # code, 64-bit
Gdt_end:
GdtPointer:
    .word Gdt_end - Gdt - 1
    .long Gdt
    .balign 16
Idt:
    .fill 7 * 2, 8, 0               # up to #UD (6), 16 bytes a gate
Idt_end:
IdtPointer:
    .word Idt_end - Idt - 1
    .quad Idt

    .text
    .code32
    .globl _start
_start:
    mov KernelStackTop, %esp
    mov %ebx, %edi
    mov $PageMap4, %eax
    mov %eax, %cr3
    mov %cr4, %eax
    or $0x620, %eax                 # PAE, OSFXSR, OSXMMEXCPT
    mov %eax, %cr4
    mov %cr0, %eax
    and $~0x4, %eax                 # no x87 emulation: the compiler uses SSE
    mov %eax, %cr0
    mov $0xC0000080, %ecx           # EFER: long mode enable
    rdmsr
    or $0x100, %eax
    wrmsr
    mov %cr0, %eax
    or $0x80000000, %eax            # paging
    mov %eax, %cr0
    lgdt GdtPointer
    ljmp $8, $LongMode

    .code64
LongMode:
    xor %eax, %eax
    mov %eax, %ds
    mov %eax, %es
    mov %eax, %ss
    mov KernelStackTop, %rsp
    mov %edi, %ecx
    sub $32, %rsp                   # the callee's shadow space
    call KernelMain
1:  cli
    hlt
    jmp 1b

    .globl CallOnStack
CallOnStack:
    push %rbp
    mov %rsp, %rbp
    mov 48(%rbp), %rsp              # the fifth argument
    sub $32, %rsp
    mov %rcx, %rax
    mov %edx, %ecx
    mov %r8, %rdx
    mov %r9, %r8
    call *%rax
    mov %rbp, %rsp
    pop %rbp
    ret

    .globl LoadIdt
LoadIdt:
    mov $UdEntry, %rax
    mov %ax, Idt + 6 * 16
    movw $8, Idt + 6 * 16 + 2       # the code segment
    movw $0x8E00, Idt + 6 * 16 + 4  # present, ring 0, interrupt gate
    shr $16, %rax
    mov %ax, Idt + 6 * 16 + 6
    shr $16, %rax
    mov %eax, Idt + 6 * 16 + 8
    lidt IdtPointer
    ret

UdEntry:
    mov (%rsp), %rcx                # the faulting instruction's address
    and $-16, %rsp
    sub $32, %rsp
    call InvalidOpcode
1:  cli
    hlt
    jmp 1b
)");
#else
// The entry GRUB jumps to, with the multiboot information in ebx; and the
// call of a method with the stack pointer set to `stack_top`, so that the
// method starts with whatever alignment that leaves.
__asm__(R"(
    .text
    .globl _start
_start:
    mov KernelStackTop, %esp
    push %ebx
    call KernelMain
1:  cli
    hlt
    jmp 1b

    .globl CallOnStack
CallOnStack:
    push %ebp
    mov %esp, %ebp
    mov 24(%ebp), %esp
    push 20(%ebp)
    push 16(%ebp)
    push 12(%ebp)
    call *8(%ebp)
    mov %ebp, %esp
    pop %ebp
    ret

    # GRUB's GDT may be gone, and a gate needs a code segment.
    .globl LoadIdt
LoadIdt:
    lgdt GdtPointer
    ljmp $8, $2f
2:  mov $16, %ax
    mov %ax, %ds
    mov %ax, %es
    mov %ax, %fs
    mov %ax, %gs
    mov %ax, %ss
    mov $UdEntry, %eax
    mov %ax, Idt + 6 * 8
    movw $8, Idt + 6 * 8 + 2        # the code segment
    movw $0x8E00, Idt + 6 * 8 + 4   # present, ring 0, interrupt gate
    shr $16, %eax
    mov %ax, Idt + 6 * 8 + 6
    lidt IdtPointer
    ret

UdEntry:
    push (%esp)                     # the faulting instruction's address
    call InvalidOpcode
1:  cli
    hlt
    jmp 1b

    .data
    .balign 8
Gdt:
    .quad 0
    .quad 0x00CF9A000000FFFF        # code, 32-bit, flat
    .quad 0x00CF92000000FFFF        # data, flat
Gdt_end:
GdtPointer:
    .word Gdt_end - Gdt - 1
    .long Gdt
    .balign 8
Idt:
    .fill 7, 8, 0                   # up to #UD (6)
Idt_end:
IdtPointer:
    .word Idt_end - Idt - 1
    .long Idt
)");
#endif
