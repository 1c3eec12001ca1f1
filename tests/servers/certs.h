// certs.h - the test certificates for the FTPS tests, made once per test
// process (tests/servers/mkcerts.py) in a temporary directory that is
// removed when the process exits.
//
//   const zt::TestCerts& certs = zt::TestCerts::Get();
//   ASSERT_TRUE(certs.ok()) << certs.error();
//   zt::PyFtpdOptions o;  o.tls = 1;  o.certFile = certs.server;
//   ... the client trusts certs.ca and connects to 127.0.0.1 ...
//
// The members name the files as the test program (the client) opens them:
//   ca         the test CA's certificate (the client's CA file)
//   server     key + certificate for IP 127.0.0.1, IP ::1 and DNS localhost, valid
//   wrongName  key + certificate for DNS wrong.invalid only (no IP)
//   expired    like server, but its validity ended a day ago
//   unknown    like server, but signed by a CA the client never sees
// Every key file is a PEM file with the key first, then the certificate;
// it serves as the certFile of PyFtpdOptions and of Scenario::tlsCertFile.
//
// Built for Windows (the tests run under Wine, which cannot start the Linux
// python), the broker (pyftpd_broker.py, ZUB_PYFTPD_BROKER) makes them: the
// members are then Z:\ paths, and posix holds the same files' Linux paths,
// which a server on the Linux side opens (PyFtpd's broker also turns a
// certFile given as a Z:\ path into its Linux path). On POSIX both are the
// same.
#pragma once

#include <string>

namespace zt {

struct TestCerts {
    struct Paths {
        std::string dir, ca, server, wrongName, expired, unknown;
    };

    // The client's view (Z:\... under Wine).
    std::string dir, ca, server, wrongName, expired, unknown;
    // The server side's view (always the Linux paths).
    Paths posix;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // Made on the first call (thread-safe), the same thereafter; a failure
    // is kept too, with the reason in error().
    static const TestCerts& Get();

    ~TestCerts();
    TestCerts(const TestCerts&) = delete;
    TestCerts& operator=(const TestCerts&) = delete;

private:
    TestCerts();
    void make();
    void setPaths(const std::string& clientDir, const std::string& posixDir);

    std::string error_;
    int broker_ = -1; // Windows: the broker connection that keeps the files
};

} // namespace zt
