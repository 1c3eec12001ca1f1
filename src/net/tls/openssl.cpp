// openssl.cpp - the TLS backend on OpenSSL 3 (placeholder until written).
#include "net/tls/none.cpp"
