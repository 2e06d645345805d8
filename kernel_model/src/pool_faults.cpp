// A read or write of a sealed special-pool page (the guard page after a
// block, or a freed block's pages) faults. The handler, on an alternate
// signal stack, notes the access and returns into ReportFault, as if the
// faulting instruction had called it: the report is made on the faulting
// context's own stack (which stays, with whatever its frames own, once the
// context is dead), and the return from the handler restores the signal mask.
// ReportFault finds the block and the code that faulted and reports the
// violation Driver Verifier would stop with; the context dies like any
// violating context. On the test thread itself there is no context to kill:
// the report goes to stderr and the program aborts. A fault anywhere else is
// the crash it always was.
#include "model.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace km::detail {
namespace {

constexpr size_t kAltStackBytes = 256 * 1024;

const void *g_programBase = nullptr;

int FindProgram(struct dl_phdr_info *info, size_t, void *)
{
    g_programBase = reinterpret_cast<const void *>(info->dlpi_addr);
    return 1; // the first object is the program
}

// Driver code: a loaded image's, or the test program's (drivers written in
// a test); everything else is the model's or a system library's.
bool IsDriverCode(const void *pc)
{
    Dl_info info{};
    if (dladdr(pc, &info) == 0) {
        return false;
    }
    return info.dli_fbase == g_programBase || DriverOfAddress(pc) != nullptr;
}

// The code that made the access, and the driver code that called it when
// the access was made inside a kernel routine or a library (a copy, say).
std::string Culprit(const void *pc)
{
    std::string who = CodeName(pc);
    if (IsDriverCode(pc)) {
        return who;
    }
    void *frames[32];
    int count = backtrace(frames, 32);
    int i = 0;
    while (i < count && frames[i] != pc) {
        ++i; // the reporter's own frames, up to the one that faulted
    }
    for (++i; i < count; ++i) {
        if (IsDriverCode(frames[i])) {
            return who + ", called from " + CodeName(frames[i]);
        }
    }
    return who;
}

// The violation for an access at `address`, in a block's pages.
void Describe(const void *address, const void *pc, bool write, const char **rule, std::string *message)
{
    BlockPlace place;
    ptrdiff_t offset;
    PoolBlock *block = BlockHolding(address, &place, &offset);
    std::string access = write ? " wrote " : " read ";
    std::string at = "offset " + std::to_string(offset) + " of " + BlockName(*block) + " " + BlockHistory(*block);
    if (block->freed) {
        *rule = "POOL_USE_AFTER_FREE";
        *message = Culprit(pc) + access + "freed memory: " + at;
    } else {
        *rule = "POOL_OVERRUN";
        *message = Culprit(pc) + access + (place == BlockPlace::Before ? "before the start: " : "past the end: ") + at;
    }
}

struct Fault {
    const void *address;
    const void *pc;
    bool write;
};
Fault g_fault;

// Entered from the handler's return, with the faulting instruction as its
// return address and the stack pointer of the fault (hence the realignment).
[[noreturn]] __attribute__((force_align_arg_pointer, noinline)) void ReportFault()
{
    Fault fault = g_fault;
    const char *rule = nullptr;
    std::string message;
    Describe(fault.address, fault.pc, fault.write, &rule, &message);
    if (InContext()) {
        Violate(rule, message); // never returns: the context is dead
    }
    std::fprintf(stderr, "kernel model: %s on the test thread itself: %s\n", rule, message.c_str());
    std::abort();
}

void OnFault(int, siginfo_t *info, void *raw)
{
    ucontext_t *context = static_cast<ucontext_t *>(raw);
    greg_t *registers = context->uc_mcontext.gregs;
#if defined(__x86_64__)
    const int pc = REG_RIP, sp = REG_RSP;
#else
    const int pc = REG_EIP, sp = REG_ESP;
#endif
    BlockPlace place;
    ptrdiff_t offset;
    if (BlockHolding(info->si_addr, &place, &offset) == nullptr) {
        // Not the special pool's: the access faults again, as a plain crash.
        std::fprintf(stderr, "kernel model: access violation in %s\n",
                     CodeName(reinterpret_cast<const void *>(registers[pc])).c_str());
        signal(SIGSEGV, SIG_DFL);
        return;
    }
    g_fault.address = info->si_addr;
    g_fault.pc = reinterpret_cast<const void *>(registers[pc]);
    g_fault.write = (registers[REG_ERR] & 2) != 0; // the page fault's W bit
    // A call of ReportFault from the faulting instruction; the code that
    // faulted never runs on.
    registers[sp] -= sizeof(greg_t);
    *reinterpret_cast<greg_t *>(registers[sp]) = registers[pc];
    registers[pc] = reinterpret_cast<greg_t>(ReportFault);
}

} // namespace

void InstallFaultHandler()
{
    static bool installed = false;
    if (installed || !SpecialPoolFaults()) {
        return;
    }
    installed = true;
    dl_iterate_phdr(FindProgram, nullptr);
    stack_t stack{};
    stack.ss_sp = mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    stack.ss_size = kAltStackBytes;
    if (stack.ss_sp == MAP_FAILED || sigaltstack(&stack, nullptr) != 0) {
        std::fprintf(stderr, "kernel model: no alternate signal stack\n");
        std::abort();
    }
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, nullptr);
}

} // namespace km::detail
