// Faults on demand: the nth call of a named kernel service fails with a
// chosen status. Every service that can fail asks ShouldFail first.
#include "model.h"

#include <string_view>

namespace km::detail {
namespace {

// Looked up by the service's own name, without making a string of it.
struct Faults {
    std::map<std::string, int, std::less<>> calls;
    std::map<std::string, std::map<int, NTSTATUS>, std::less<>> planned; // absolute call number -> status
};

Faults &F()
{
    static Faults f;
    return f;
}

} // namespace

int g_faultsSuppressed = 0;

NoFaults::NoFaults()
{
    ++g_faultsSuppressed;
}

NoFaults::~NoFaults()
{
    --g_faultsSuppressed;
}

bool ShouldFail(const char *service, NTSTATUS *status)
{
    if (g_faultsSuppressed != 0) {
        return false; // the model's own use of a service neither counts nor fails
    }
    Faults &f = F();
    std::string_view name(service);
    auto counted = f.calls.find(name);
    if (counted == f.calls.end()) {
        counted = f.calls.emplace(name, 0).first;
    }
    int call = ++counted->second;
    auto plan = f.planned.find(name);
    if (plan == f.planned.end()) {
        return false;
    }
    auto hit = plan->second.find(call);
    if (hit == plan->second.end()) {
        return false;
    }
    if (status != nullptr) {
        *status = hit->second;
    }
    Trace(std::string("fault ") + service + " call " + std::to_string(call));
    plan->second.erase(hit);
    return true;
}

void ResetFaults()
{
    F().calls.clear();
    F().planned.clear();
}

} // namespace km::detail

namespace km {

void FailCall(const char *service, int nth, NTSTATUS status)
{
    detail::Faults &f = detail::F();
    f.planned[service][f.calls[service] + nth] = status;
}

void ClearFaults()
{
    detail::F().planned.clear();
}

int CallCount(const char *service)
{
    auto found = detail::F().calls.find(std::string_view(service));
    return found == detail::F().calls.end() ? 0 : found->second;
}

} // namespace km
