// Building and describing RegistryValues in tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "kiv_com.h"

namespace regdbtest {

// A RegistryValue together with the texts it points to.
class Value {
  public:
    static Value none(uint32_t kind = KIV_REG_NONE) { return Value(kind, {}); }
    static Value int32(uint32_t n) {
        return Value(KIV_REG_INT32, {}).with([&](auto &v) { v.int32 = n; });
    }
    static Value int64(uint64_t n) {
        return Value(KIV_REG_INT64, {}).with([&](auto &v) { v.int64 = n; });
    }
    static Value string(std::string s) { return Value(KIV_REG_STRING, {std::move(s)}); }
    static Value bytes(std::string b) { return Value(KIV_REG_BYTES, {std::move(b)}); }
    static Value list(std::vector<std::string> items) {
        return Value(KIV_REG_STRING_LIST, std::move(items));
    }

    // The record, its pointers set for where the texts are now. A kind that needs texts but
    // has none keeps null pointers: an invalid value on purpose.
    const RegistryValue *get() {
        pointers_.clear();
        for (auto &t : texts_) pointers_.push_back(t.data());
        if (texts_.empty()) return &value_;
        if (value_.kind == KIV_REG_STRING) value_.string = pointers_[0];
        if (value_.kind == KIV_REG_BYTES) value_.bytes = pointers_[0];
        if (value_.kind == KIV_REG_BYTES) value_.count = static_cast<uint32_t>(texts_[0].size());
        if (value_.kind == KIV_REG_STRING_LIST) {
            value_.count = static_cast<uint32_t>(texts_.size());
            value_.strings = pointers_.data();
        }
        return &value_;
    }

  private:
    Value(uint32_t kind, std::vector<std::string> texts) : texts_(std::move(texts)) {
        std::memset(&value_, 0, sizeof value_);
        value_.kind = kind;
    }
    template <typename F>
    Value with(F set) {
        set(value_);
        return std::move(*this);
    }

    RegistryValue value_;
    std::vector<std::string> texts_;
    std::vector<char *> pointers_;
};

// A text followed by a number, such as "v12" or "error 2".
inline std::string numbered(std::string text, unsigned long long number) {
    return text.append(std::to_string(number));
}

// A value as text, to compare whole values in one expectation.
inline std::string describe(const RegistryValue &v) {
    switch (v.kind) {
        case KIV_REG_NONE:
            return "none";
        case KIV_REG_BYTES:
            return "bytes:" + std::string(static_cast<const char *>(v.bytes), v.count);
        case KIV_REG_INT32:
            return "int32:" + std::to_string(v.int32);
        case KIV_REG_INT64:
            return "int64:" + std::to_string(v.int64);
        case KIV_REG_STRING:
            return std::string("string:") + v.string;
        case KIV_REG_STRING_LIST: {
            std::string s = "list:[";
            for (uint32_t i = 0; i < v.count; ++i) {
                if (i) s += '|';
                s += v.strings[i];
            }
            return s + "]";
        }
        default:
            return "kind " + std::to_string(v.kind);
    }
}

}  // namespace regdbtest
