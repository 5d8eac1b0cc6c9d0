// Building and describing RegistryValues in tests.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kiv_com.h"

namespace regdbtest {

// Owns what a RegistryValue built here points to.
class Value {
  public:
    Value() { std::memset(&value_, 0, sizeof value_); }

    static Value none(uint32_t kind = KIV_REG_NONE) {
        Value v;
        v.value_.kind = kind;
        return v;
    }
    static Value int32(uint32_t n) {
        Value v;
        v.value_.kind = KIV_REG_INT32;
        v.value_.int32 = n;
        return v;
    }
    static Value int64(uint64_t n) {
        Value v;
        v.value_.kind = KIV_REG_INT64;
        v.value_.int64 = n;
        return v;
    }
    static Value string(std::string s) {
        Value v;
        v.texts_ = {std::move(s)};
        v.value_.kind = KIV_REG_STRING;
        return v;
    }
    static Value bytes(std::string b) {
        Value v;
        v.texts_ = {std::move(b)};
        v.value_.kind = KIV_REG_BYTES;
        return v;
    }
    static Value list(std::vector<std::string> items) {
        Value v;
        v.texts_ = std::move(items);
        v.value_.kind = KIV_REG_STRING_LIST;
        return v;
    }

    // The record, its pointers refreshed (a Value may have moved).
    const RegistryValue *get() {
        pointers_.clear();
        for (auto &t : texts_) pointers_.push_back(t.data());
        // A kind without its texts keeps null pointers: an invalid value on purpose.
        if (texts_.empty()) return &value_;
        if (value_.kind == KIV_REG_STRING) value_.string = texts_[0].data();
        if (value_.kind == KIV_REG_BYTES) {
            value_.count = static_cast<uint32_t>(texts_[0].size());
            value_.bytes = texts_[0].data();
        }
        if (value_.kind == KIV_REG_STRING_LIST) {
            value_.count = static_cast<uint32_t>(texts_.size());
            value_.strings = pointers_.data();
        }
        return &value_;
    }

  private:
    RegistryValue value_;
    std::vector<std::string> texts_;
    std::vector<char *> pointers_;
};

// A value as text, to compare whole values in one expectation.
inline std::string describe(const RegistryValue &v) {
    char number[32];
    switch (v.kind) {
        case KIV_REG_NONE:
            return "none";
        case KIV_REG_BYTES:
            return "bytes:" + std::string(static_cast<const char *>(v.bytes), v.count);
        case KIV_REG_INT32:
            std::snprintf(number, sizeof number, "%u", v.int32);
            return std::string("int32:") + number;
        case KIV_REG_INT64:
            std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(v.int64));
            return std::string("int64:") + number;
        case KIV_REG_STRING:
            return std::string("string:") + v.string;
        case KIV_REG_STRING_LIST: {
            std::string s = "list:[";
            for (uint32_t i = 0; i < v.count; ++i) s += (i ? "|" : "") + std::string(v.strings[i]);
            return s + "]";
        }
        default:
            return "kind " + std::to_string(v.kind);
    }
}

}  // namespace regdbtest
