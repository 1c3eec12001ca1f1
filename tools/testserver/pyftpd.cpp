// pyftpd.cpp - PyFtpd: starting, stopping and file helpers.
//
// Start: make the temporary directory, spawn /usr/bin/python3 with
// pyftpd_run.py (stdin and stdout are pipes, stderr goes to the log), then
// read the port line with a bounded poll. Stop: close stdin, SIGTERM, wait
// with a bound, SIGKILL if needed, remove the directory.
#include "testserver/pyftpd.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef ZUB_SOURCE_DIR
#error "ZUB_SOURCE_DIR must name the repository root"
#endif

extern char** environ;

namespace zt {

namespace fs = std::filesystem;

namespace {

const char* const kPython = "/usr/bin/python3"; // pyftpdlib is installed for it
const char* const kScript = ZUB_SOURCE_DIR "/tools/testserver/pyftpd_run.py";

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Waits for the child to exit; true when it did within timeoutMs.
bool reap(pid_t pid, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

PyFtpd::~PyFtpd() { stop(); }

bool PyFtpd::fail(const std::string& why) {
    error_ = why;
    std::string log = logText();
    if (!log.empty()) error_ += "\n--- server log ---\n" + log;
    stop();
    return false;
}

bool PyFtpd::start() {
    if (running()) return true;
    error_.clear();
    char tmpl[] = "/tmp/zub-pyftpd-XXXXXX";
    if (!::mkdtemp(tmpl)) return fail(std::string("mkdtemp: ") + std::strerror(errno));
    dir_ = tmpl;
    root_ = dir_ + "/root";
    std::error_code ec;
    fs::create_directory(root_, ec);
    if (ec) return fail("cannot create " + root_ + ": " + ec.message());
    if (!spawn()) return false;
    return readPort();
}

bool PyFtpd::spawn() {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return fail("pipe failed");
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return fail("pipe failed");
    }
    toChild_ = in[1];
    fromChild_ = out[0];
    std::string log = logPath();
    std::vector<std::string> args = {kPython, kScript, "--root", root_, "--log", log,
                                     "--user", opts_.user, "--password", opts_.password};
    if (opts_.anonymous) args.push_back("--anonymous");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int rc = ::posix_spawn(&pid_, kPython, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        pid_ = -1;
        return fail(std::string("cannot run ") + kPython + ": " + std::strerror(rc));
    }
    return true;
}

bool PyFtpd::readPort() {
    std::string line;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(opts_.startTimeoutMs);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now()).count();
        if (left <= 0) return fail("server did not report its port in time");
        pollfd p{fromChild_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char buf[64];
        ssize_t n = ::read(fromChild_, buf, sizeof buf);
        if (n <= 0) return fail("server exited before reporting its port");
        line.append(buf, static_cast<size_t>(n));
    }
    port_ = std::atoi(line.c_str());
    if (port_ <= 0 || port_ > 65535) return fail("bad port line from server: " + line);
    return true;
}

void PyFtpd::stop() {
    closeFd(toChild_); // the script exits on stdin EOF as well
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        if (!reap(pid_, 3000)) {
            ::kill(pid_, SIGKILL);
            reap(pid_, 3000);
        }
        pid_ = -1;
    }
    closeFd(fromChild_);
    port_ = 0;
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        dir_.clear();
        root_.clear();
    }
}

std::string PyFtpd::logText() const {
    if (dir_.empty()) return "";
    std::ifstream f(logPath(), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool PyFtpd::writeFile(const std::string& rel, const std::string& bytes) const {
    if (root_.empty()) return false;
    fs::path p = path(rel);
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

std::string PyFtpd::readFile(const std::string& rel) const {
    if (root_.empty()) return "";
    std::ifstream f(path(rel), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool PyFtpd::exists(const std::string& rel) const {
    std::error_code ec;
    return !root_.empty() && fs::exists(path(rel), ec);
}

bool PyFtpd::makeDir(const std::string& rel) const {
    std::error_code ec;
    return !root_.empty() && (fs::create_directories(path(rel), ec) || fs::is_directory(path(rel), ec));
}

} // namespace zt
