// common.h - small helpers every suite may use: reading a file, counting
// occurrences, reading packed fields, the process id, a fresh temporary
// directory and replacing an entry of the platform's call table.
#pragma once

#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frame/record.h"
#include "platform/platform.h"
#include "zub32.h"

namespace support {

// The whole file as bytes; empty when it cannot be read. Read in blocks:
// several suites read back files of 64 MiB.
inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::string out;
    std::vector<char> block(1 << 16);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
        out.append(block.data(), static_cast<size_t>(in.gcount()));
    return out;
}

// Number of times `needle` occurs in `hay`.
inline int Occurrences(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
    return n;
}

// The record is byte-packed, so its fields are read by value: a reference
// to one (as the test macros take) would be misaligned.
template <class T>
T Val(T value) {
    return value;
}

// This process's id (keeps concurrent runs of one test apart).
inline int ProcessId() {
#ifdef _WIN32
    return static_cast<int>(::GetCurrentProcessId());
#else
    return static_cast<int>(::getpid());
#endif
}

// A new, empty directory under the system's temporary directory, its name
// starting with `prefix`; "" when none could be made. create_directory
// fails on a name that exists, so two processes never share one.
inline std::string MakeTempDir(const std::string &prefix) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return "";
    static std::atomic<unsigned> counter{0};
    const auto stamp = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = prefix + std::to_string(ProcessId()) + "-" +
                                 std::to_string((stamp + counter++) % 1000000007ull);
        const fs::path dir = base / name;
        if (fs::create_directory(dir, ec)) return dir.string();
    }
    return "";
}

// Replaces the backend-neutral table entry named after a platform function
// (ReplaceCall(zp_recv, fake)); fake must have that function's signature.
// Returns the entry it replaced, so the fake can pass calls on to it.
template <class Fn>
Fn ReplaceCallNamed(const char *name, Fn fake) {
    return reinterpret_cast<Fn>(zp_syscall_set(name, reinterpret_cast<zp_syscall_ptr>(fake)));
}
#define ReplaceCall(name, fake) support::ReplaceCallNamed<decltype(&name)>(#name, fake)

}  // namespace support
