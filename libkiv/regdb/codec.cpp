// SPDX-License-Identifier: Apache-2.0
// Registry values to registry types and bytes and back, with the int64 and empty-text markers.
#include "regdb/codec.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "regdb/store.h"

namespace kiv::regdb {

namespace {

std::span<const uint8_t> asBytes(const void *data, size_t size) {
    return {static_cast<const uint8_t *>(data), size};
}

void encodeInt64(uint64_t number, EncodedValue &out) {
    out.storage.assign(kInt64BlockSize, 0);
    std::memcpy(out.storage.data(), kInt64Marker.data(), kInt64Marker.size());
    char text[24];
    int length = std::snprintf(text, sizeof text, "0x%" PRIx64, number);
    std::memcpy(out.storage.data() + kInt64Marker.size() + 1, text, static_cast<size_t>(length));
    out.bytes = out.storage;
}

kivResult encodeStringList(const RegistryValue &value, EncodedValue &out) {
    if (value.count && !value.strings) return KIV_E_INVALIDARG;
    size_t size = 2;
    for (uint32_t i = 0; i < value.count; ++i) {
        if (!value.strings[i]) return KIV_E_INVALIDARG;
        std::string_view text = value.strings[i];
        // Texts that the reader would take for a marker cannot be stored faithfully.
        if (text == kEmptyStringMarker || (i == 0 && text == kInt64Marker)) return KIV_E_INVALIDARG;
        size += (text.empty() ? kEmptyStringMarker.size() : text.size()) + 1;
    }
    out.storage.clear();
    out.storage.reserve(size);
    for (uint32_t i = 0; i < value.count; ++i) {
        std::string_view text = value.strings[i];
        if (text.empty()) text = kEmptyStringMarker;
        out.storage.insert(out.storage.end(), text.begin(), text.end());
        out.storage.push_back(0);
    }
    // The list's end; an empty list needs a second NUL to be a well-formed REG_MULTI_SZ.
    out.storage.push_back(0);
    if (value.count == 0) out.storage.push_back(0);
    out.bytes = out.storage;
    return 0;
}

// A NUL-terminated copy of `text` from kivMalloc.
char *copyText(std::string_view text) {
    return kivStrNDup(text.data(), text.size());
}

// The NUL-terminated text at `offset`; the caller has checked that a NUL follows it.
std::string_view textAt(std::span<const uint8_t> data, size_t offset) {
    return reinterpret_cast<const char *>(data.data() + offset);
}

// Hexadecimal digits with an optional "0x" prefix, nothing else, fitting in 64 bits.
bool parseHex64(std::string_view text, uint64_t &number) {
    if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
    if (text.empty()) return false;
    number = 0;
    int significant = 0;
    for (char ch : text) {
        int digit;
        if (ch >= '0' && ch <= '9')
            digit = ch - '0';
        else if (ch >= 'a' && ch <= 'f')
            digit = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F')
            digit = ch - 'A' + 10;
        else
            return false;
        if (significant || digit) ++significant;
        if (significant > 16) return false;
        number = number << 4 | static_cast<uint64_t>(digit);
    }
    return true;
}

kivResult decodeMultiString(std::span<const uint8_t> data, RegistryValue &out) {
    size_t size = data.size();
    if (size < 2 || data[size - 1] != 0 || data[size - 2] != 0) return KIV_E_FAIL;
    if (textAt(data, 0) == kInt64Marker) {
        uint64_t number;
        if (!parseHex64(textAt(data, kInt64Marker.size() + 1), number)) return KIV_E_FAIL;
        out.kind = KIV_REG_INT64;
        out.int64 = number;
        return 0;
    }
    // The list ends at the first empty text; the final two NULs guarantee one.
    std::vector<std::string_view> texts;
    for (size_t offset = 0;;) {
        std::string_view text = textAt(data, offset);
        if (text.empty()) break;
        texts.push_back(text);
        offset += text.size() + 1;
    }
    auto **strings =
        static_cast<char **>(kivMalloc((texts.empty() ? 1 : texts.size()) * sizeof(char *)));
    for (size_t i = 0; i < texts.size(); ++i)
        strings[i] = copyText(texts[i] == kEmptyStringMarker ? std::string_view() : texts[i]);
    out.kind = KIV_REG_STRING_LIST;
    out.count = static_cast<uint32_t>(texts.size());
    out.strings = strings;
    return 0;
}

}  // namespace

kivResult encodeValue(const RegistryValue &value, EncodedValue &out) {
    out = EncodedValue{};
    switch (value.kind) {
        case KIV_REG_BYTES:
            if (value.count && !value.bytes) return KIV_E_INVALIDARG;
            out.type = kRegBinary;
            out.bytes = asBytes(value.bytes, value.count);
            break;
        case KIV_REG_INT32:
            out.type = kRegDword;
            out.bytes = asBytes(&value.int32, sizeof value.int32);
            break;
        case KIV_REG_INT64:
            out.type = kRegMultiSz;
            encodeInt64(value.int64, out);
            break;
        case KIV_REG_STRING:
            if (!value.string) return KIV_E_INVALIDARG;
            out.type = kRegSz;
            out.bytes = asBytes(value.string, std::strlen(value.string) + 1);
            break;
        case KIV_REG_STRING_LIST:
            out.type = kRegMultiSz;
            if (kivResult rc = encodeStringList(value, out)) return rc;
            break;
        case KIV_REG_NONE:
            return 0;
        default:
            return KIV_E_INVALIDARG;
    }
    out.present = true;
    return 0;
}

void clearValue(RegistryValue &value) {
    // Every byte, so that an int32 does not come with stray bits in the rest of its union.
    std::memset(&value, 0, sizeof value);
}

kivResult decodeValue(uint32_t type, std::span<const uint8_t> data, RegistryValue &out) {
    clearValue(out);
    switch (type) {
        case kRegNone:
            return 0;
        case kRegSz:
            if (data.empty() || data.back() != 0) return KIV_E_FAIL;
            out.kind = KIV_REG_STRING;
            out.string = copyText(textAt(data, 0));
            return 0;
        case kRegBinary: {
            auto *bytes = static_cast<uint8_t *>(kivMalloc(data.empty() ? 1 : data.size()));
            if (!data.empty()) std::memcpy(bytes, data.data(), data.size());
            out.kind = KIV_REG_BYTES;
            out.count = static_cast<uint32_t>(data.size());
            out.bytes = bytes;
            return 0;
        }
        case kRegDword:
            if (data.size() != sizeof out.int32) return KIV_E_FAIL;
            out.kind = KIV_REG_INT32;
            std::memcpy(&out.int32, data.data(), sizeof out.int32);
            return 0;
        case kRegMultiSz:
            return decodeMultiString(data, out);
        default:
            return KIV_E_UNEXPECTED;
    }
}

}  // namespace kiv::regdb
