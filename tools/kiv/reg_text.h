// SPDX-License-Identifier: Apache-2.0
// The text forms of registry keys and values: the export/import format of `kiv reg` and JSON.
//
// Export format, one item per line; blank lines and lines starting with '#' are ignored:
//
//   kiv-registry 1                       first line: format name and version
//   key "KIV" "Classes"                  a key, as its names from the root down (none: the root)
//   value "DSO" string "/opt/plug.so"    a value of the key above: name, kind, data
//   value "n" int32 4294967295           unsigned decimal, or hexadecimal with 0x
//   value "big" int64 0x10000000000
//   value "raw" bytes 00ff10             pairs of hexadecimal digits; nothing for no bytes
//   value "items" list "a" "" "b"        zero or more texts
//
// Texts are in double quotes; inside them \\ \" \n \r \t and \xHH (HH not 00) stand for a
// backslash, a quote, the control characters, and any byte. Every other byte stands for itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kiv.h"

namespace kivtool::regtext {

// A value as the tool handles it, owning its data.
struct Value {
    std::string name;
    uint32_t kind = KIV_REG_NONE;
    uint64_t number = 0;             // KIV_REG_INT32, KIV_REG_INT64
    std::vector<std::string> items;  // string and bytes: one item; list: each text

    bool operator==(const Value &) const = default;
};

struct Key {
    std::vector<std::string> path;  // names from the root down
    std::vector<Value> values;

    bool operator==(const Key &) const = default;
};

inline constexpr std::string_view kHeader = "kiv-registry 1";

// A copy of a value read from the registry.
Value fromRegistry(std::string name, const RegistryValue &value);
// A record pointing into `value`; `pointers` backs a list's array.
RegistryValue toRegistry(Value &value, std::vector<char *> &pointers);

// The name of a kind in both formats: none, bytes, int32, int64, string, list.
const char *kindName(uint32_t kind);
// The kind named `name`, or KIV_REG_NONE when it names none.
uint32_t kindNamed(std::string_view name);

// Lowercase hexadecimal digits of the bytes, and the bytes of pairs of hexadecimal digits
// (nullopt when `digits` is not such pairs).
std::string hex(std::string_view bytes);
std::optional<std::string> unhex(std::string_view digits);
// A text in double quotes with the escapes above.
std::string quote(std::string_view text);
// One `key` or `value` line, without its newline.
std::string keyLine(const std::vector<std::string> &path);
std::string valueLine(const Value &value);

// The keys in a document, in order; nullopt with `error` ("line N: what") when it is malformed.
std::optional<std::vector<Key>> parse(std::string_view text, std::string &error);
// The document for `keys`: the header, then each key with its values.
std::string format(const std::vector<Key> &keys);

// JSON: a string, and a value as {"name":…, "type":…, "data":…}. Numbers are JSON numbers,
// bytes a string of hexadecimal digits, a list an array of strings.
std::string jsonString(std::string_view text);
std::string jsonValue(const Value &value);

}  // namespace kivtool::regtext
