// The verifier's record: each broken kernel rule with the context that broke
// it and its call stack. A context that breaks a rule never runs again (the
// driver has no way to unwind), so the test sees the first fault, not its
// consequences.
#include "model.h"

#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>

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
    char line[256];
    for (int i = 2; i < count; ++i) {
        Dl_info info{};
        if (dladdr(frames[i], &info) != 0 && info.dli_fname != nullptr) {
            const char *file = BaseName(info.dli_fname);
            unsigned offset = static_cast<unsigned>(reinterpret_cast<uintptr_t>(frames[i]) -
                                                    reinterpret_cast<uintptr_t>(info.dli_fbase));
            std::snprintf(line, sizeof line, "\n    %s+0x%x %s", file, offset,
                          info.dli_sname != nullptr ? info.dli_sname : "");
        } else {
            std::snprintf(line, sizeof line, "\n    %p", frames[i]);
        }
        out += line;
    }
    return out;
}

} // namespace

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
