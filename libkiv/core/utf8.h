// SPDX-License-Identifier: Apache-2.0
// UTF-8 encoding of one code point, header-only for the parts built outside libkiv (the IDL
// scanner, the call library's text forms) that read libkiv's internal headers.
#pragma once

#include <cstdint>
#include <string>

namespace kiv {

// Appends `cp` (at most 0x10FFFF; the caller checks) as one to four UTF-8 bytes.
inline void appendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace kiv
