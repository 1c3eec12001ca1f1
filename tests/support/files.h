// files.h - files and descriptors for the end-to-end suites: writing and
// inspecting local files, counting the descriptors (on Windows the file
// handles) the process holds, removing a tree, and large byte patterns
// compared without printing them.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winternl.h>
#else
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace xfer {

// ---- files and descriptors -------------------------------------------------------

inline bool WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

inline bool FileExists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

inline long FileSize(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

#ifdef _WIN32
// File handles this process holds, sockets included (both are file
// objects), from the system's handle table: GetProcessHandleCount is a stub
// under Wine, and that table is not. Threads, events and the like are left
// out: the test servers' threads and Wine's own per-thread events come and
// go on their own schedule.
namespace detail {
struct HandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ULONG access;
};

// Calls f(entry) for each handle of this process; false when the table
// cannot be read.
template <class F>
bool ForEachOwnHandle(F f) {
    using Query = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void *>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return false;
    const ULONG kSystemHandleInformation = 16;
    const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<char> buf(1 << 16);
    for (;;) {
        ULONG need = 0;
        LONG st = query(kSystemHandleInformation, buf.data(), static_cast<ULONG>(buf.size()), &need);
        if (st == kInfoLengthMismatch) {
            buf.resize(std::max<size_t>(buf.size() * 2, need + 4096));
            continue;
        }
        if (st != 0) return false;
        break;
    }
    const ULONG count = *reinterpret_cast<const ULONG *>(buf.data());
    const auto *entries = reinterpret_cast<const HandleEntry *>(buf.data() + sizeof(void *));
    const ULONG me = ::GetCurrentProcessId();
    for (ULONG i = 0; i < count; ++i)
        if (entries[i].ownerPid == me) f(entries[i]);
    return true;
}

// The type number of file objects, learnt from a file handle of our own.
inline int FileObjectType() {
    static const int type = [] {
        char self[MAX_PATH];
        if (::GetModuleFileNameA(nullptr, self, sizeof self) == 0) return -1;
        HANDLE h = ::CreateFileA(self, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return -1;
        const auto value = static_cast<USHORT>(reinterpret_cast<uintptr_t>(h));
        int found = -1;
        ForEachOwnHandle([&](const HandleEntry &e) {
            if (e.handle == value) found = e.objectType;
        });
        ::CloseHandle(h);
        return found;
    }();
    return type;
}
}  // namespace detail

inline int CountOpenFds() {
    const int type = detail::FileObjectType();
    if (type < 0) return -1;
    int n = 0;
    if (!detail::ForEachOwnHandle([&](const detail::HandleEntry &e) { n += e.objectType == type; })) return -1;
    return n;
}

// True when some handle of this process refers to `path`: an open that
// shares nothing then fails with a sharing violation.
inline bool FileHeldOpen(const std::string &path) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        return false;
    }
    return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

inline void RemoveTree(const std::string &path) {
    if (path.size() < 8) return;  // never anything like "C:\" or "C:\tmp"
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}
#else
// Entries of /proc/self/fd: every descriptor the process holds (the
// directory stream's own descriptor is counted every time alike).
inline int CountOpenFds() {
    DIR *d = ::opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (struct dirent *e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

// True when some descriptor of this process refers to `path`.
inline bool FileHeldOpen(const std::string &path) {
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real)) return false;
    DIR *d = ::opendir("/proc/self/fd");
    if (!d) return false;
    bool held = false;
    while (struct dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[PATH_MAX];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = 0;
        if (std::string(target) == real) held = true;
    }
    ::closedir(d);
    return held;
}

inline void RemoveTree(const std::string &path) {
    if (path.size() < 8) return;  // never anything like "/" or "/tmp"
    std::string cmd = "rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
}

#endif

// Deterministic pseudo-random bytes, so a shifted or repeated block shows.
inline std::string PatternBytes(size_t n, uint32_t seed = 12345) {
    std::string s(n, '\0');
    uint32_t x = seed | 1;
    for (size_t i = 0; i < n; i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        for (size_t k = 0; k < 4 && i + k < n; ++k) s[i + k] = static_cast<char>(x >> (8 * k));
    }
    return s;
}

// Reports where two large byte strings first differ instead of printing them.
inline ::testing::AssertionResult SameBytes(const std::string &got, const std::string &want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    return ::testing::AssertionFailure() << "sizes " << got.size() << " / " << want.size()
                                         << ", first difference at byte " << at;
}

}  // namespace xfer
