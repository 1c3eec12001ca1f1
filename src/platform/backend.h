// backend.h - what each backend gives the shared part of the platform layer.
//
// The functions of platform.h listed in ZP_NEUTRAL_CALLS are defined once,
// in calls.cpp, and call through their table entry; a backend defines their
// implementations under the same name with "_os" appended, and keeps its
// own table of operating-system calls behind the zp_os_syscall_* functions.
#pragma once

#include "platform/platform.h"

#define ZP_DECLARE_OS(result, name, params, args) result name##_os params;
ZP_NEUTRAL_CALLS(ZP_DECLARE_OS)
#undef ZP_DECLARE_OS

zp_syscall_ptr zp_os_syscall_get(const char *name);
zp_syscall_ptr zp_os_syscall_set(const char *name, zp_syscall_ptr fn);
void zp_os_syscall_reset();
