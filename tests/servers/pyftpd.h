// pyftpd.h - runs a real FTP server (pyftpdlib) as a child process for tests.
//
// The server listens on 127.0.0.1 with an ephemeral port and serves a fresh
// temporary directory that is removed again by stop(). Passive and active
// (PORT to 127.0.0.1) data connections both work.
//
//   zt::PyFtpd srv;                        // user "user", password "secret"
//   ASSERT_TRUE(srv.start()) << srv.error();
//   srv.writeFile("dir/a.txt", "hello");   // put a file into the served root
//   ... connect the client to 127.0.0.1:srv.port() ...
//   EXPECT_EQ(srv.readFile("up.bin"), expected);
//   srv.stop();                            // or let the destructor do it
//
// The server's own log is kept in logPath() (next to the root, not inside it)
// until stop(); logText() returns it for failure messages.
//
// FTPS: opts.tls = 1 (explicit: AUTH TLS, then PBSZ 0 / PROT P; USER before
// AUTH TLS is refused with 550) or 2 (implicit: TLS from the first byte, the
// 220 after the handshake), with opts.certFile a PEM file holding key and
// certificate (e.g. zt::TestCerts::Get().server, certs.h). Data connections
// are TLS after PROT P; tlsDataRequired refuses PASV/PORT (550) before it.
// pyftpdlib sends a close notify at the end of a download and takes an
// upload's end with or without one from the client (see pyftpd_run.py).
//
// A real FTP daemon instead of pyftpdlib: opts.daemon = "vsftpd", "proftpd"
// or "pure-ftpd" (ftpd_run.py runs it; root only, see there). The same user,
// password, root, TLS and log handling, with TLS required for the log-in and
// for data; implicit TLS with vsftpd and proftpd only, no anonymous log-in.
// The root belongs to the daemon's user, and writeFile/makeDir hand what
// they make to that user too. The daemon's packages are fetched into
// ZUB_DAEMON_DIR (the build tree's daemons/) at its first start.
//
// Built for Windows (the tests run under Wine), the server still runs on
// the Linux side: a broker there (pyftpd_broker.py, its port in the
// environment variable ZUB_PYFTPD_BROKER) starts it, and root() is the
// directory as Wine shows it on drive Z:.
#pragma once

#include <string>
#include <utility>
#include <sys/types.h>

namespace zt {

struct PyFtpdOptions {
    std::string user = "user";
    std::string password = "secret";
    bool anonymous = false;     // also accept "anonymous" with any password
    int startTimeoutMs = 10000; // bound for the server to report its port (a daemon:
                                // 2 min at least, its first start fetches it)
    int tls = 0;                // 0 none, 1 explicit, 2 implicit
    std::string certFile;       // PEM, key and certificate; Z:\ paths work under Wine
    bool tlsDataRequired = false; // refuse data connections before PROT P
    std::string daemon;         // "" pyftpdlib, else "vsftpd", "proftpd" or "pure-ftpd"
    bool tlsResumeOptional = false; // a daemon's data connections need not resume the
                                    // control session (Wine's SChannel resumes none)
    bool ipv6 = false;          // listen on ::1 instead of 127.0.0.1 (pyftpdlib, vsftpd)
    std::string refuse;         // pyftpdlib, natively: commands answered as unknown ("EPSV,EPRT")
};

class PyFtpd {
public:
    PyFtpd() = default;
    explicit PyFtpd(PyFtpdOptions opts) : opts_(std::move(opts)) {}
    ~PyFtpd();
    PyFtpd(const PyFtpd&) = delete;
    PyFtpd& operator=(const PyFtpd&) = delete;

    // Creates the temporary root and starts the server. False on failure,
    // with the reason in error().
    bool start();
    // Stops the server (SIGTERM, then SIGKILL after a bound) and removes the
    // temporary directory; both done by the broker on Windows. Safe to call
    // twice.
    void stop();

    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    const std::string& root() const { return root_; }
    const std::string& user() const { return opts_.user; }
    const std::string& password() const { return opts_.password; }
    const std::string& error() const { return error_; }
    std::string logPath() const { return dir_.empty() ? "" : dir_ + "/server.log"; }
    std::string logText() const;

    // Files under the served root; rel uses '/' and may name subdirectories
    // (created as needed by writeFile).
    std::string path(const std::string& rel) const { return root_ + "/" + rel; }
    bool writeFile(const std::string& rel, const std::string& bytes) const;
    std::string readFile(const std::string& rel) const; // "" when missing
    bool exists(const std::string& rel) const;
    bool makeDir(const std::string& rel) const;

private:
    bool fail(const std::string& why);
    bool spawn();
    bool readPort();
    bool handOver(const std::string& rel) const; // to the daemon's user, if any

    PyFtpdOptions opts_;
    std::string dir_;  // temporary directory holding root/ and server.log
    std::string root_;
    std::string error_;
    pid_t pid_ = -1;
    int toChild_ = -1;   // child's stdin; closing it makes the server exit
    int fromChild_ = -1; // child's stdout; carries the port line
    int port_ = 0;
};

#ifdef _WIN32
// The broker, for the Windows tests' other helpers (certs.cpp): a new
// connection to it (the socket, or -1 with the reason in *why), and a Linux
// path as Wine shows it ("/tmp/x" as "Z:\tmp\x").
int connectBroker(std::string* why);
std::string winePath(const std::string& linuxPath);
#endif

} // namespace zt
