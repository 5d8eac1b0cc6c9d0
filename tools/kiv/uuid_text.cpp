// SPDX-License-Identifier: Apache-2.0
// UUID text in the 36-character class id form, parsed and printed.
#include "uuid_text.h"

#include <cstdio>

namespace kivtool {

namespace {

constexpr size_t kLength = 36;

bool isHyphenPosition(size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string formatUuid(const kivUUID &u) {
    char text[kLength + 1];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", u.time_low,
                  u.time_mid, u.time_hi_and_version, u.clock_seq_hi_and_reserved, u.clock_seq_low,
                  u.node[0], u.node[1], u.node[2], u.node[3], u.node[4], u.node[5]);
    return text;
}

std::optional<kivUUID> parseUuid(std::string_view text) {
    if (text.size() != kLength) return std::nullopt;
    unsigned char bytes[16];
    size_t n = 0;
    for (size_t i = 0; i < kLength; i += 2) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            ++i;
        }
        int high = hexValue(text[i]), low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[n++] = static_cast<unsigned char>(high << 4 | low);
    }
    kivUUID u;
    u.time_low =
        uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
    u.time_mid = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    u.time_hi_and_version = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    u.clock_seq_hi_and_reserved = bytes[8];
    u.clock_seq_low = bytes[9];
    for (int i = 0; i < 6; ++i) u.node[i] = bytes[10 + i];
    return u;
}

bool isClassId(std::string_view text) {
    auto parsed = parseUuid(text);
    return parsed && formatUuid(*parsed) == text;
}

std::optional<std::string> classIdOf(std::string_view text) {
    const auto parsed = parseUuid(text);
    if (!parsed) return std::nullopt;
    return formatUuid(*parsed);
}

}  // namespace kivtool
