// address6.h - texts of addresses of either family: the canonical text of
// a zp_addr and the reading of an address literal. Pure: no allocation, no
// system call.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zub {

// Room for the longest text FormatAddress writes, with its NUL: eight
// groups of four hex digits, seven colons, "%" and a ten-digit scope.
constexpr int32_t kAddressTextSize = 51;

// The text of a: IPv4 dotted ("127.0.0.1"); IPv6 in the canonical form of
// RFC 5952 (lower case, no leading zeros, the longest run of two or more
// zero groups as "::", the first of equal runs; an IPv4-mapped address as
// "::ffff:192.0.2.1"), followed by "%" and the scope number when the scope
// is not 0. No port, no brackets. Returns the length. All or nothing: when
// the whole text does not fit in size bytes with its NUL, or a is null or
// of another family, buf gets "" (if size > 0) and the result is 0.
int32_t FormatAddress(const zp_addr *a, char *buf, int32_t size);

// Reads an address literal into a (port 0): a dotted quad as IsDottedQuad
// takes it, or an IPv6 address in any text form of RFC 4291 ("::", leading
// or trailing "::", an IPv4 tail), bare or in brackets, with an optional
// numeric "%scope". False, with a untouched, for anything else: a host
// name, a malformed literal, or a scope given by interface name (left to
// the resolver).
bool ParseAddressLiteral(const char *text, zp_addr *a);

}  // namespace zub
