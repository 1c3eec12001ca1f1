#!/usr/bin/python3
"""Makes the test certificates for the FTPS tests: mkcerts.py OUTDIR

Fresh keys and certificates every run (EC P-256, SHA-256), written to OUTDIR
(created if missing; files already there are replaced):

    ca.pem         the test CA's certificate: the client's CA file
    server.pem     key + certificate for IP:127.0.0.1, IP:::1 and DNS:localhost,
                   signed by the CA, valid from an hour ago for 30 days
    wrongname.pem  key + certificate for DNS:wrong.invalid only, same CA
    expired.pem    like server.pem, but valid from 30 days ago to 1 day ago
    unknown.pem    like server.pem, signed by a second CA whose certificate
                   is written nowhere

Each key file holds the private key (PKCS#8) followed by the certificate, as
OpenSSL (SSL_CTX_use_certificate_chain_file + use_PrivateKey_file on the
same file) and Python's ssl (load_cert_chain) both take it. Used by
TestCerts (certs.cpp) and by pyftpd_broker.py for the Windows tests.
"""
import datetime
import ipaddress
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

NOW = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
HOUR = datetime.timedelta(hours=1)
DAY = datetime.timedelta(days=1)


def new_key():
    return ec.generate_private_key(ec.SECP256R1())


def signed(builder, key):
    """The certificate signed with key. Wine's certificate check refuses an
    ECDSA signature whose r or s is shorter than the curve's 32 bytes (about
    one signature in 128): it is made again, with a new random k, until
    neither is."""
    while True:
        cert = builder.sign(key, hashes.SHA256())
        r, s = decode_dss_signature(cert.signature)
        if min(r.bit_length(), s.bit_length()) > 248:
            return cert


def name(cn):
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "zub32 tests"),
                      x509.NameAttribute(NameOID.COMMON_NAME, cn)])


def make_ca(cn):
    key = new_key()
    subject = name(cn)
    cert = (x509.CertificateBuilder()
            .subject_name(subject)
            .issuer_name(subject)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            # Covers the expired leaf's whole life as well.
            .not_valid_before(NOW - 60 * DAY)
            .not_valid_after(NOW + 365 * DAY)
            .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False,
                                         key_encipherment=False, data_encipherment=False,
                                         key_agreement=False, key_cert_sign=True,
                                         crl_sign=True, encipher_only=False,
                                         decipher_only=False), critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                           critical=False))
    return key, signed(cert, key)


def make_leaf(ca_key, ca_cert, cn, alt_names, not_before, not_after):
    key = new_key()
    cert = (x509.CertificateBuilder()
            .subject_name(name(cn))
            .issuer_name(ca_cert.subject)
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(not_before)
            .not_valid_after(not_after)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False,
                                         key_encipherment=False, data_encipherment=False,
                                         key_agreement=True, key_cert_sign=False,
                                         crl_sign=False, encipher_only=False,
                                         decipher_only=False), critical=True)
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]),
                           critical=False)
            .add_extension(x509.SubjectAlternativeName(alt_names), critical=False)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                           critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                ca_key.public_key()), critical=False))
    return key, signed(cert, ca_key)


def pem_cert(cert):
    return cert.public_bytes(serialization.Encoding.PEM)


def pem_key(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def write(path, data):
    """Writes through a temporary name, so a reader never sees half a file."""
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: mkcerts.py OUTDIR")
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)

    local = [x509.IPAddress(ipaddress.ip_address("127.0.0.1")), x509.IPAddress(ipaddress.ip_address("::1")),
             x509.DNSName("localhost")]
    ca_key, ca_cert = make_ca("zub32 test CA")
    other_key, other_cert = make_ca("zub32 unknown test CA")
    leaves = {
        "server.pem": make_leaf(ca_key, ca_cert, "localhost", local, NOW - HOUR, NOW + 30 * DAY),
        "wrongname.pem": make_leaf(ca_key, ca_cert, "wrong.invalid",
                                   [x509.DNSName("wrong.invalid")], NOW - HOUR, NOW + 30 * DAY),
        "expired.pem": make_leaf(ca_key, ca_cert, "localhost", local,
                                 NOW - 30 * DAY, NOW - DAY),
        "unknown.pem": make_leaf(other_key, other_cert, "localhost", local,
                                 NOW - HOUR, NOW + 30 * DAY),
    }
    write(os.path.join(out, "ca.pem"), pem_cert(ca_cert))
    for file, (key, cert) in leaves.items():
        write(os.path.join(out, file), pem_key(key) + pem_cert(cert))


if __name__ == "__main__":
    main()
