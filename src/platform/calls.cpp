// calls.cpp - the backend-neutral entries of the system-call table, and
// what the platform layer writes once for every backend (zp_format over
// the backend's zp_vformat).
//
// Each function listed in ZP_NEUTRAL_CALLS calls through its entry here, so
// a test that replaces "zp_recv" sees the same calls on every backend. The
// backend's own entries (its operating-system calls) are looked up after
// these, by the backend.
#include <cstring>

#include "platform/backend.h"

namespace {

struct NeutralEntry {
    const char *name;
    zp_syscall_ptr current;
    zp_syscall_ptr standard;
};

#define ZP_NEUTRAL_ENTRY(result, name, params, args) \
    {#name, reinterpret_cast<zp_syscall_ptr>(&name##_os), reinterpret_cast<zp_syscall_ptr>(&name##_os)},
NeutralEntry gNeutral[] = {ZP_NEUTRAL_CALLS(ZP_NEUTRAL_ENTRY)};
#undef ZP_NEUTRAL_ENTRY

enum NeutralIndex {
#define ZP_NEUTRAL_INDEX(result, name, params, args) kCall_##name,
    ZP_NEUTRAL_CALLS(ZP_NEUTRAL_INDEX)
#undef ZP_NEUTRAL_INDEX
};

NeutralEntry *FindNeutral(const char *name) {
    if (name == nullptr) return nullptr;
    for (NeutralEntry &e : gNeutral)
        if (std::strcmp(e.name, name) == 0) return &e;
    return nullptr;
}

}  // namespace

#define ZP_NEUTRAL_DEFINE(result, name, params, args)                                    \
    result name params {                                                                 \
        return reinterpret_cast<decltype(&name##_os)>(gNeutral[kCall_##name].current) args; \
    }
ZP_NEUTRAL_CALLS(ZP_NEUTRAL_DEFINE)
#undef ZP_NEUTRAL_DEFINE

zp_syscall_ptr zp_syscall_get(const char *name) {
    NeutralEntry *e = FindNeutral(name);
    return e != nullptr ? e->current : zp_os_syscall_get(name);
}

zp_syscall_ptr zp_syscall_set(const char *name, zp_syscall_ptr fn) {
    NeutralEntry *e = FindNeutral(name);
    if (e == nullptr) return zp_os_syscall_set(name, fn);
    zp_syscall_ptr previous = e->current;
    e->current = fn != nullptr ? fn : e->standard;
    return previous;
}

void zp_syscall_reset() {
    for (NeutralEntry &e : gNeutral) e.current = e.standard;
    zp_os_syscall_reset();
}

// ---- formatting ----------------------------------------------------------------
int zp_format(char *buf, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = zp_vformat(buf, fmt, ap);
    va_end(ap);
    return n;
}
