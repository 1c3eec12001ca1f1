// certs.cpp - TestCerts (see certs.h).
//
// On Linux: a temporary directory /tmp/zub-certs-XXXXXX, filled by running
// /usr/bin/python3 mkcerts.py on it (output read through a pipe with a
// bound, for the error message), removed by the destructor of the one
// static instance at exit.
//
// On Windows (under Wine): one connection to the broker (pyftpd_broker.py,
// its port in ZUB_PYFTPD_BROKER) asks "certs"; the answer names the Linux
// directory, which Wine shows on drive Z:. The connection stays open for
// the life of the process; its end makes the broker remove the directory.
#include "servers/certs.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <vector>

#ifdef _WIN32
#include "servers/pyftpd.h"
#include "servers/sock.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef ZUB_SOURCE_DIR
#error "ZUB_SOURCE_DIR must name the repository root"
#endif

extern char** environ;
#endif

namespace zt {

namespace fs = std::filesystem;

namespace {

constexpr int kMakeTimeoutMs = 60000;

#ifndef _WIN32
const char* const kPython = "/usr/bin/python3";
const char* const kScript = ZUB_SOURCE_DIR "/tests/servers/mkcerts.py";

// Runs mkcerts.py on dir; "" on success, else the reason with its output.
std::string runMkcerts(const std::string& dir) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    std::vector<std::string> args = {kPython, kScript, dir};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, kPython, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return std::string("cannot run ") + kPython + ": " + std::strerror(rc);
    }
    // Output until the end of the pipe, within the bound.
    std::string text;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMakeTimeoutMs);
    bool timedOut = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
        if (r <= 0) continue;
        char buf[1024];
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (text.size() < 8192) text.append(buf, static_cast<size_t>(n));
    }
    ::close(out[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (timedOut) return "mkcerts.py did not finish in time: " + text;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "mkcerts.py failed: " + text;
    return "";
}
#endif

} // namespace

const TestCerts& TestCerts::Get() {
    static TestCerts certs;
    return certs;
}

// Made, then each file looked for where the client opens it.
TestCerts::TestCerts() {
    make();
    for (const std::string* f : {&ca, &server, &wrongName, &expired, &unknown}) {
        std::error_code ec;
        if (ok() && !fs::is_regular_file(*f, ec)) error_ = "mkcerts.py made no " + *f;
    }
}

void TestCerts::setPaths(const std::string& clientDir, const std::string& posixDir) {
#ifdef _WIN32
    const char sep = '\\';
#else
    const char sep = '/';
#endif
    dir = clientDir;
    ca = clientDir + sep + "ca.pem";
    server = clientDir + sep + "server.pem";
    wrongName = clientDir + sep + "wrongname.pem";
    expired = clientDir + sep + "expired.pem";
    unknown = clientDir + sep + "unknown.pem";
    posix = {posixDir,
             posixDir + "/ca.pem",
             posixDir + "/server.pem",
             posixDir + "/wrongname.pem",
             posixDir + "/expired.pem",
             posixDir + "/unknown.pem"};
}

#ifdef _WIN32
void TestCerts::make() {
    broker_ = connectBroker(&error_);
    if (broker_ < 0) return;
    std::string line;
    if (!sock::sendAll(broker_, std::string("certs\n"), 5000) ||
        !sock::recvUntil(broker_, &line, "\n", kMakeTimeoutMs + 5000)) {
        error_ = "no answer from the broker in time: " + line;
        return;
    }
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t tab = line.find('\t');
    std::string word = line.substr(0, tab);
    std::string rest = tab == std::string::npos ? "" : line.substr(tab + 1);
    if (word != "ok" || rest.empty() || rest[0] != '/') {
        error_ = "broker: " + (word == "error" ? rest : "bad answer: " + line);
        return;
    }
    setPaths(winePath(rest), rest);
}

// Ends the broker connection; the broker removes the directory ("stopped"
// says it is done).
TestCerts::~TestCerts() {
    if (broker_ < 0) return;
    std::string answer;
    if (sock::sendAll(broker_, std::string("stop\n"), 2000))
        sock::recvUntil(broker_, &answer, "\n", 5000);
    sock::closeGraceful(broker_);
    broker_ = -1;
}
#else
void TestCerts::make() {
    char tmpl[] = "/tmp/zub-certs-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    setPaths(tmpl, tmpl);
    error_ = runMkcerts(tmpl);
}

TestCerts::~TestCerts() {
    if (posix.dir.empty()) return;
    std::error_code ec;
    fs::remove_all(posix.dir, ec);
}
#endif

} // namespace zt
