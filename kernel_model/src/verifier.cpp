// The verifier's record: each broken kernel rule with the context that broke
// it and its call stack. A context that breaks a rule never runs again (the
// driver has no way to unwind), so the test sees the first fault, not its
// consequences.
#include "model.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>

#include <cstdio>
#include <cstdlib>

namespace km::detail {
namespace {

std::vector<Violation> &Recorded()
{
    static std::vector<Violation> violations;
    return violations;
}

std::string CallStack()
{
    void *frames[24];
    int count = backtrace(frames, 24);
    std::string out;
    for (int i = 2; i < count; ++i) {
        out += "\n    " + CodeName(frames[i]);
    }
    return out;
}

// A mangled C++ name without its parameter list ("Foo::Bar"), or the name
// as is.
std::string Demangled(const char *name)
{
    int status = 0;
    char *plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (plain == nullptr) {
        return name;
    }
    std::string out = plain;
    std::free(plain);
    if (out.size() > 6 && out.compare(out.size() - 6, 6, " const") == 0) {
        out.resize(out.size() - 6);
    }
    int depth = 0;
    for (size_t i = out.size(); !out.empty() && out.back() == ')' && i-- > 0;) {
        depth += out[i] == ')' ? 1 : out[i] == '(' ? -1 : 0;
        if (depth == 0) {
            return out.substr(0, i);
        }
    }
    return out;
}

} // namespace

std::string CodeName(const void *address)
{
    Dl_info info{};
    void *entry = nullptr;
    if (dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0 || info.dli_fname == nullptr) {
        return "?";
    }
    const ElfW(Sym) *symbol = static_cast<const ElfW(Sym) *>(entry);
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    char offset[32];
    std::snprintf(offset, sizeof offset, "+0x%zx",
                  static_cast<size_t>(at - reinterpret_cast<uintptr_t>(info.dli_fbase)));
    std::string where = std::string(BaseName(info.dli_fname)) + offset;
    // The nearest exported symbol may be another routine: a static one has none.
    uintptr_t start = reinterpret_cast<uintptr_t>(info.dli_saddr);
    if (info.dli_sname == nullptr || symbol == nullptr || at < start || at >= start + symbol->st_size) {
        return where;
    }
    return Demangled(info.dli_sname) + " (" + where + ")";
}

void Violate(const char *rule, const std::string &message)
{
    Context *self = Current();
    Violation v;
    v.rule = rule;
    v.message = message;
    v.context = self->name + CallStack();
    Recorded().push_back(v);
    Trace(std::string("VIOLATION ") + rule + " in " + self->name + ": " + message);
    if (InContext()) {
        self->state = ContextState::Dead;
        Suspend(); // never returns: a dead context is never picked
        std::fprintf(stderr, "kernel model: a dead context ran again\n");
        std::abort();
    }
}

void ResetVerifier()
{
    Recorded().clear();
}

KIRQL Irql()
{
    return Current()->irql;
}

void RequireIrqlAtMost(KIRQL max, const char *routine)
{
    SampleStack(__builtin_frame_address(0));
    if (Current()->waitNext) {
        Violate("SET_EVENT_WAIT", std::string(routine) + " called after KeSetEvent(..., Wait = TRUE), where only a "
                                                         "wait may follow");
    }
    if (Irql() > max) {
        Violate("IRQL", std::string(routine) + " called at IRQL " + std::to_string(Irql()) + " (at most " +
                            std::to_string(max) + " allowed)");
    }
}

} // namespace km::detail

namespace km {

const std::vector<Violation> &Violations()
{
    return detail::Recorded();
}

void ClearViolations()
{
    detail::Recorded().clear();
}

bool HasViolation(const std::string &rule)
{
    for (const Violation &v : detail::Recorded()) {
        if (v.rule == rule) {
            return true;
        }
    }
    return false;
}

} // namespace km
