// Fibers for the scheduler's contexts: stacks from a pool, and a switch that
// saves the callee-saved registers on one stack and restores them from
// another, with no system call (glibc's swapcontext saves and restores the
// signal mask, a system call each time).
//
// A context's first frame is km_fiber_entry, which calls the context's function
// and never returns. Its unwind information says that it has no caller, and
// it clears the frame pointer, so every unwinder (glibc's backtrace, gdb, the
// sanitizers' frame-pointer walk) stops there instead of running into
// whatever lies above it on the stack.
#include "model.h"

#include <sys/mman.h>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define VALGRIND_STACK_REGISTER(start, end) 0u
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif

#include <cstdio>
#include <cstdlib>

extern "C" {
// Saves the callee-saved registers and the floating-point control words on
// the current stack and its stack pointer in *from, then resumes the fiber
// whose stack pointer is `to`.
__attribute__((visibility("hidden"))) void fiber_switch(void **from, void *to);
// Where a fresh fiber starts: calls the function kept in the slot of the
// first callee-saved register with the argument kept in the second. Exported,
// so that call stacks name it.
void km_fiber_entry();
}

#if defined(__x86_64__)
asm(R"(
    .text
    .globl fiber_switch
    .hidden fiber_switch
    .type fiber_switch, @function
    .p2align 4
fiber_switch:
    .cfi_startproc
    pushq %rbp
    .cfi_adjust_cfa_offset 8
    pushq %rbx
    .cfi_adjust_cfa_offset 8
    pushq %r12
    .cfi_adjust_cfa_offset 8
    pushq %r13
    .cfi_adjust_cfa_offset 8
    pushq %r14
    .cfi_adjust_cfa_offset 8
    pushq %r15
    .cfi_adjust_cfa_offset 8
    subq $8, %rsp
    .cfi_adjust_cfa_offset 8
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    .cfi_adjust_cfa_offset -8
    popq %r15
    .cfi_adjust_cfa_offset -8
    popq %r14
    .cfi_adjust_cfa_offset -8
    popq %r13
    .cfi_adjust_cfa_offset -8
    popq %r12
    .cfi_adjust_cfa_offset -8
    popq %rbx
    .cfi_adjust_cfa_offset -8
    popq %rbp
    .cfi_adjust_cfa_offset -8
    ret
    .cfi_endproc
    .size fiber_switch, .-fiber_switch

    .globl km_fiber_entry
    .type km_fiber_entry, @function
    .p2align 4
km_fiber_entry:
    .cfi_startproc
    .cfi_undefined rip
    xorl %ebp, %ebp
    movq %r12, %rdi
    callq *%rbx
    ud2
    .cfi_endproc
    .size km_fiber_entry, .-km_fiber_entry
)");
#elif defined(__i386__)
asm(R"(
    .text
    .globl fiber_switch
    .hidden fiber_switch
    .type fiber_switch, @function
    .p2align 4
fiber_switch:
    .cfi_startproc
    movl 4(%esp), %eax
    movl 8(%esp), %edx
    pushl %ebp
    .cfi_adjust_cfa_offset 4
    pushl %ebx
    .cfi_adjust_cfa_offset 4
    pushl %esi
    .cfi_adjust_cfa_offset 4
    pushl %edi
    .cfi_adjust_cfa_offset 4
    subl $8, %esp
    .cfi_adjust_cfa_offset 8
    stmxcsr (%esp)
    fnstcw 4(%esp)
    movl %esp, (%eax)
    movl %edx, %esp
    ldmxcsr (%esp)
    fldcw 4(%esp)
    addl $8, %esp
    .cfi_adjust_cfa_offset -8
    popl %edi
    .cfi_adjust_cfa_offset -4
    popl %esi
    .cfi_adjust_cfa_offset -4
    popl %ebx
    .cfi_adjust_cfa_offset -4
    popl %ebp
    .cfi_adjust_cfa_offset -4
    ret
    .cfi_endproc
    .size fiber_switch, .-fiber_switch

    .globl km_fiber_entry
    .type km_fiber_entry, @function
    .p2align 4
km_fiber_entry:
    .cfi_startproc
    .cfi_undefined eip
    xorl %ebp, %ebp
    subl $12, %esp
    pushl %esi
    calll *%ebx
    ud2
    .cfi_endproc
    .size km_fiber_entry, .-km_fiber_entry
)");
#else
#error "the kernel model's fibers switch stacks on i386 and x86-64 only"
#endif

namespace km::detail {
namespace {

constexpr size_t kStackSize = 256 * 1024;
constexpr size_t kGuard = 4096; // below the stack: an overflow faults instead of corrupting

// Stacks of finished contexts, for the next ones. They stay mapped, and
// registered with valgrind, for the life of the process.
std::vector<FiberStack> &Pool()
{
    static std::vector<FiberStack> pool;
    return pool;
}

FiberStack MapStack()
{
    char *mapping = static_cast<char *>(
        mmap(nullptr, kStackSize + kGuard, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (mapping == MAP_FAILED) {
        std::fprintf(stderr, "kernel model: no memory for a context stack\n");
        std::abort();
    }
    mprotect(mapping, kGuard, PROT_NONE);
    FiberStack stack;
    stack.base = mapping + kGuard;
    stack.size = kStackSize;
    // Valgrind would otherwise take a switch to this stack for a huge
    // allocation on the current one.
    stack.valgrindId = VALGRIND_STACK_REGISTER(stack.base, stack.base + stack.size);
    return stack;
}

} // namespace

FiberStack AcquireStack()
{
    std::vector<FiberStack> &pool = Pool();
    if (pool.empty()) {
        return MapStack();
    }
    FiberStack stack = pool.back();
    pool.pop_back();
    return stack;
}

void ReleaseStack(const FiberStack &stack)
{
#if defined(__SANITIZE_ADDRESS__)
    // The last frame of a finished fiber never returned: its poison stays
    // behind unless it is cleared for the next one.
    ASAN_UNPOISON_MEMORY_REGION(stack.base, stack.size);
#endif
    Pool().push_back(stack);
}

// Its frames were never unwound, so what they own was never destroyed: the
// stack stays mapped, and scanned, so that a leak checker (LeakSanitizer,
// valgrind) finds those objects reachable instead of lost.
void AbandonStack(const FiberStack &stack)
{
#if defined(__SANITIZE_ADDRESS__)
    ASAN_UNPOISON_MEMORY_REGION(stack.base, stack.size);
    __lsan_register_root_region(stack.base, stack.size);
#else
    (void)stack;
#endif
}

// The stack as fiber_switch leaves a suspended fiber: the control words,
// r15 r14 r13 r12 rbx rbp (edi esi ebx ebp on i386) and the return address,
// which here is km_fiber_entry's. The function and its argument travel in the
// slots of rbx and r12 (ebx and esi).
void *PrepareStack(const FiberStack &stack, void (*function)(void *), void *argument)
{
    uintptr_t top = (reinterpret_cast<uintptr_t>(stack.base) + stack.size) & ~uintptr_t(15);
    void **frame = reinterpret_cast<void **>(top - 16); // km_fiber_entry starts 16-byte aligned
    frame[0] = frame[1] = nullptr;                      // no return address above the first frame
    *--frame = reinterpret_cast<void *>(km_fiber_entry);
    uint32_t controlWords[2] = {0x1F80, 0x037F}; // MXCSR and the x87 control word at reset
#if defined(__x86_64__)
    void *registers[6] = {nullptr, nullptr, nullptr, argument, reinterpret_cast<void *>(function), nullptr};
#else
    void *registers[4] = {nullptr, argument, reinterpret_cast<void *>(function), nullptr};
#endif
    for (int i = sizeof(registers) / sizeof(registers[0]); i-- > 0;) {
        *--frame = registers[i];
    }
    frame -= 8 / sizeof(void *);
    __builtin_memcpy(frame, controlWords, sizeof(controlWords));
    return frame;
}

void SwitchFiber(void **from, void *to)
{
    fiber_switch(from, to);
}

} // namespace km::detail
