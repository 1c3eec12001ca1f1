// pyftpd.cpp - PyFtpd: starting, stopping and file helpers.
//
// On Linux: make the temporary directory, spawn /usr/bin/python3 with
// pyftpd_run.py (stdin and stdout are pipes, stderr goes to the log), then
// read the port line with a bounded poll. Stop: close stdin, SIGTERM, wait
// with a bound, SIGKILL if needed, remove the directory.
//
// On Windows (the tests run under Wine) there is no Linux python to spawn:
// a broker on the Linux side (pyftpd_broker.py, its port in the environment
// variable ZUB_PYFTPD_BROKER) starts the server and makes the directory.
// One connection to the broker per server: "start" answers with the port,
// the server's pid and the directory's Linux path, which Wine shows on
// drive Z:; "stop", or the connection closing, ends the server and removes
// the directory. The file helpers work on the Z: path like on any other.
//
// With PyFtpdOptions::daemon set, ftpd_run.py takes pyftpd_run.py's place
// (the broker's "start" line names the daemon in a last field). The daemon
// serves the root as a user of its own: what writeFile and makeDir make is
// chowned to the root's owner here, or, on Windows, by the broker, asked
// with "own" (answered "owned") on the server's connection.
#include "servers/pyftpd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "servers/sock.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
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

void closeFd(int& fd) {
#ifdef _WIN32
    sock::closeGraceful(fd);
#else
    if (fd >= 0) ::close(fd);
#endif
    fd = -1;
}

#ifdef _WIN32
const char* const kBrokerVar = "ZUB_PYFTPD_BROKER";
constexpr int kStopTimeoutMs = 10000;

// The broker's fields are separated by tabs, so user names and passwords
// may hold spaces.
std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : line) {
        if (c == '\t') {
            out.push_back(cur);
            cur.clear();
        } else if (c != '\r' && c != '\n') {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}
#else
const char* const kPython = "/usr/bin/python3"; // pyftpdlib is installed for it
const char* const kScript = ZUB_SOURCE_DIR "/tests/servers/pyftpd_run.py";
const char* const kDaemonScript = ZUB_SOURCE_DIR "/tests/servers/ftpd_run.py";

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
#endif

// A daemon's first start fetches its packages; stopping one ends its
// session processes too.
int startBoundMs(const PyFtpdOptions& o) {
    return o.daemon.empty() ? o.startTimeoutMs : std::max(o.startTimeoutMs, 120000);
}
constexpr int kDaemonStopMs = 20000;

} // namespace

PyFtpd::~PyFtpd() { stop(); }

bool PyFtpd::fail(const std::string& why) {
    error_ = why;
    std::string log = logText();
    if (!log.empty()) error_ += "\n--- server log ---\n" + log;
    stop();
    return false;
}

#ifdef _WIN32
bool PyFtpd::start() {
    if (running()) return true;
    error_.clear();
    if (opts_.tls < 0 || opts_.tls > 2) return fail("PyFtpdOptions::tls must be 0, 1 or 2");
    if (opts_.tls != 0 && opts_.certFile.empty()) return fail("PyFtpdOptions::tls needs a certFile");
    if (!spawn()) return false;
    return readPort();
}

// Connects to the broker and asks for a server.
bool PyFtpd::spawn() {
    std::string why;
    toChild_ = connectBroker(&why);
    if (toChild_ < 0) return fail(why);
    std::string req = "start\t" + opts_.user + "\t" + opts_.password + "\t" +
                      (opts_.anonymous ? "1" : "0") + "\t" +
                      std::to_string(startBoundMs(opts_)) + "\t" + std::to_string(opts_.tls) +
                      "\t" + opts_.certFile + "\t" + (opts_.tlsDataRequired ? "1" : "0");
    if (!opts_.daemon.empty() || opts_.ipv6)
        req += "\t" + opts_.daemon + "\t" + (opts_.tlsResumeOptional ? "1" : "0");
    if (opts_.ipv6) req += "\t1";
    req += "\n";
    if (!sock::sendAll(toChild_, req, 5000)) return fail("cannot send to the broker");
    return true;
}

// "ok PORT PID DIR" or "error TEXT", one line.
bool PyFtpd::readPort() {
    std::string line;
    if (!sock::recvUntil(toChild_, &line, "\n", startBoundMs(opts_) + 5000))
        return fail("no answer from the broker in time: " + line);
    std::vector<std::string> f = fields(line.substr(0, line.find('\n')));
    if (f.size() >= 2 && f[0] == "error") return fail("broker: " + f[1]);
    if (f.size() != 4 || f[0] != "ok") return fail("bad answer from the broker: " + line);
    port_ = std::atoi(f[1].c_str());
    pid_ = std::atoi(f[2].c_str());
    dir_ = winePath(f[3]);
    root_ = dir_ + "\\root";
    if (port_ <= 0 || port_ > 65535 || pid_ <= 0) return fail("bad answer from the broker: " + line);
    return true;
}

// The broker stops the server by its pid and removes the directory; its
// "stopped" line says both are done.
void PyFtpd::stop() {
    if (toChild_ >= 0) {
        std::string answer;
        if (sock::sendAll(toChild_, std::string("stop\n"), 5000))
            sock::recvUntil(toChild_, &answer, "\n",
                            opts_.daemon.empty() ? kStopTimeoutMs : kDaemonStopMs);
    }
    closeFd(toChild_);
    pid_ = -1;
    port_ = 0;
    dir_.clear();
    root_.clear();
}

bool PyFtpd::handOver(const std::string&) const {
    if (opts_.daemon.empty()) return true;
    std::string answer;
    return toChild_ >= 0 && sock::sendAll(toChild_, std::string("own\n"), 5000) &&
           sock::recvUntil(toChild_, &answer, "\n", 10000) && answer == "owned\n";
}

#else
bool PyFtpd::start() {
    if (running()) return true;
    error_.clear();
    if (opts_.tls < 0 || opts_.tls > 2) return fail("PyFtpdOptions::tls must be 0, 1 or 2");
    if (opts_.tls != 0 && opts_.certFile.empty()) return fail("PyFtpdOptions::tls needs a certFile");
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
    std::vector<std::string> args = {kPython, opts_.daemon.empty() ? kScript : kDaemonScript,
                                     "--root", root_, "--log", log,
                                     "--user", opts_.user, "--password", opts_.password};
    if (!opts_.daemon.empty()) {
        args.insert(args.end(), {"--daemon", opts_.daemon});
#ifdef ZUB_DAEMON_DIR
        args.insert(args.end(), {"--daemon-dir", ZUB_DAEMON_DIR});
#endif
        if (opts_.tlsResumeOptional) args.push_back("--tls-resume-optional");
    }
    if (opts_.anonymous) args.push_back("--anonymous");
    if (opts_.tls != 0) {
        args.insert(args.end(), {"--tls", opts_.tls == 2 ? "implicit" : "explicit",
                                 "--certfile", opts_.certFile});
    }
    if (opts_.tlsDataRequired) args.push_back("--tls-data-required");
    if (opts_.ipv6) args.push_back("--ipv6");
    if (!opts_.refuse.empty()) args.insert(args.end(), {"--refuse", opts_.refuse});
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
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(startBoundMs(opts_));
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
        if (!reap(pid_, opts_.daemon.empty() ? 3000 : kDaemonStopMs)) {
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

// Each directory from the root down to rel, and rel itself, gets the
// root's owner.
bool PyFtpd::handOver(const std::string& rel) const {
    if (opts_.daemon.empty()) return true;
    struct stat st {};
    if (::stat(root_.c_str(), &st) != 0) return false;
    std::string p = root_;
    bool ok = true;
    size_t start = 0;
    while (start <= rel.size()) {
        size_t slash = rel.find('/', start);
        if (slash == std::string::npos) slash = rel.size();
        if (slash > start) {
            p += "/" + rel.substr(start, slash - start);
            ok = ::lchown(p.c_str(), st.st_uid, st.st_gid) == 0 && ok;
        }
        start = slash + 1;
    }
    return ok;
}

#endif

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
    f.close();
    return static_cast<bool>(f) && handOver(rel);
}

// In blocks, straight into the result: the files may be 64 MiB.
std::string PyFtpd::readFile(const std::string& rel) const {
    if (root_.empty()) return "";
    std::ifstream f(path(rel), std::ios::binary);
    std::string out;
    std::vector<char> block(1 << 16);
    while (f.read(block.data(), static_cast<std::streamsize>(block.size())) || f.gcount() > 0)
        out.append(block.data(), static_cast<size_t>(f.gcount()));
    return out;
}

bool PyFtpd::exists(const std::string& rel) const {
    std::error_code ec;
    return !root_.empty() && fs::exists(path(rel), ec);
}

bool PyFtpd::makeDir(const std::string& rel) const {
    std::error_code ec;
    return !root_.empty() &&
           (fs::create_directories(path(rel), ec) || fs::is_directory(path(rel), ec)) &&
           handOver(rel);
}

#ifdef _WIN32
int connectBroker(std::string* why) {
    const char* brokerPort = std::getenv(kBrokerVar);
    int port = brokerPort ? std::atoi(brokerPort) : 0;
    if (port <= 0 || port > 65535) {
        *why = std::string(kBrokerVar) + " does not name the broker's port (tests/wine/run-tests.sh starts it)";
        return -1;
    }
    int fd = sock::connectLoopback(port, 5000);
    if (fd < 0) *why = "cannot reach the broker on port " + std::to_string(port);
    return fd;
}

std::string winePath(const std::string& linuxPath) {
    std::string p = "Z:" + linuxPath;
    for (char& c : p)
        if (c == '/') c = '\\';
    return p;
}
#endif

} // namespace zt
