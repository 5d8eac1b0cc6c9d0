// SPDX-License-Identifier: Apache-2.0
// UUIDs: random ones and RFC 4122 version-3 (MD5) ones through libuuid, and their total order.
//
// libuuid works on the 16-byte network-order form (uuid_t); kivUUID holds the same fields as
// numbers in host order, so every exchange goes through toBytes/fromBytes.
#include <uuid/uuid.h>

#include <cstdint>
#include <limits>

#include "kiv_com.h"

namespace {

uint32_t readBigEndian32(const unsigned char *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

uint16_t readBigEndian16(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void writeBigEndian32(uint32_t v, unsigned char *p) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

void writeBigEndian16(uint16_t v, unsigned char *p) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

void toBytes(const kivUUID &u, uuid_t bytes) {
    writeBigEndian32(u.time_low, bytes);
    writeBigEndian16(u.time_mid, bytes + 4);
    writeBigEndian16(u.time_hi_and_version, bytes + 6);
    bytes[8] = u.clock_seq_hi_and_reserved;
    bytes[9] = u.clock_seq_low;
    for (int i = 0; i < 6; ++i) bytes[10 + i] = u.node[i];
}

kivUUID fromBytes(const uuid_t bytes) {
    kivUUID u;
    u.time_low = readBigEndian32(bytes);
    u.time_mid = readBigEndian16(bytes + 4);
    u.time_hi_and_version = readBigEndian16(bytes + 6);
    u.clock_seq_hi_and_reserved = bytes[8];
    u.clock_seq_low = bytes[9];
    for (int i = 0; i < 6; ++i) u.node[i] = bytes[10 + i];
    return u;
}

template <typename T>
int32_t order(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

extern "C" {

KIV_API kivResult kivUUIDCreate(kivUUID *uuid) noexcept {
    if (!uuid) return KIV_E_INVALIDARG;
    // libuuid draws from the kernel's random source (falling back on its own generator) and
    // reports no failure; an all-zero answer is the one sign that nothing was made.
    uuid_t bytes;
    uuid_generate_random(bytes);
    if (uuid_is_null(bytes)) return KIV_E_FAIL;
    *uuid = fromBytes(bytes);
    return KIV_S_OK;
}

KIV_API kivResult kivUUIDCreateFromName(const kivUUID *ns, const void *name, size_t length,
                                        kivUUID *uuid) noexcept {
    if (length > std::numeric_limits<uint32_t>::max()) return KIV_E_INVALIDARG;
    if (!ns || !uuid || (!name && length)) return KIV_E_INVALIDARG;
    // libuuid hashes the namespace's network-order bytes followed by the name and sets the
    // version and variant bits: exactly the RFC 4122 construction.
    uuid_t nsBytes, result;
    toBytes(*ns, nsBytes);
    uuid_generate_md5(result, nsBytes, static_cast<const char *>(name), length);
    *uuid = fromBytes(result);
    return KIV_S_OK;
}

KIV_API int32_t kivUUIDCompare(const kivUUID *a, const kivUUID *b) noexcept {
    if (!a || !b) return a == b ? 0 : (a ? 1 : -1);  // null orders first
    if (int32_t r = order(a->time_low, b->time_low)) return r;
    if (int32_t r = order(a->time_mid, b->time_mid)) return r;
    if (int32_t r = order(a->time_hi_and_version, b->time_hi_and_version)) return r;
    if (int32_t r = order(a->clock_seq_hi_and_reserved, b->clock_seq_hi_and_reserved)) return r;
    if (int32_t r = order(a->clock_seq_low, b->clock_seq_low)) return r;
    for (int i = 0; i < 6; ++i)
        if (int32_t r = order(a->node[i], b->node[i])) return r;
    return 0;
}

}  // extern "C"
