// SPDX-License-Identifier: Apache-2.0
// kivFixed records for kiv.Fixed. A record travels to Python as bytes (the 4-byte header and
// the packed digits, exactly as the C functions read it); each call copies it into aligned
// storage, so nothing in Python can hand the library a misshapen record.
#include <cstring>
#include <string>
#include <vector>

#include "kivpy.h"

namespace kivpy {
namespace {

class Record {
  public:
    Record(uint16_t digits, int16_t scale) : storage_(wordsFor(digits)) {
        kivFixedInit(storage_.data(), digits, scale);
    }

    static Record fromBytes(const py::bytes &bytes) {
        std::string_view data = bytes;
        uint16_t digits = 0;
        int16_t scale = 0;
        if (data.size() >= 4) {
            std::memcpy(&digits, data.data(), 2);
            std::memcpy(&scale, data.data() + 2, 2);
        }
        if (data.size() < 4 || data.size() != KIV_FIXED_SIZE(digits))
            throw py::value_error("not a kivFixed record");
        Record record(digits, scale);
        std::memcpy(record.storage_.data(), data.data(), data.size());
        return record;
    }

    kivFixed *get() { return reinterpret_cast<kivFixed *>(storage_.data()); }
    const kivFixed *get() const { return reinterpret_cast<const kivFixed *>(storage_.data()); }
    py::bytes bytes() const {
        return py::bytes(reinterpret_cast<const char *>(storage_.data()),
                         KIV_FIXED_SIZE(get()->digits));
    }

  private:
    static size_t wordsFor(uint16_t digits) { return (KIV_FIXED_SIZE(digits) + 7) / 8; }
    std::vector<uint64_t> storage_;
};

using BinaryOp = void (*)(kivFixed *, const kivFixed *, const kivFixed *);
constexpr BinaryOp binaryOps[] = {kivFixedAdd, kivFixedSub, kivFixedMul, kivFixedDiv};

py::bytes binary(int op, uint16_t digits, int16_t scale, const py::bytes &a, const py::bytes &b) {
    if (op < 0 || op > 3) throw py::value_error("unknown operation");
    Record ra = Record::fromBytes(a), rb = Record::fromBytes(b), r(digits, scale);
    binaryOps[op](r.get(), ra.get(), rb.get());
    return r.bytes();
}

py::bytes negate(uint16_t digits, int16_t scale, const py::bytes &v) {
    Record rv = Record::fromBytes(v), r(digits, scale);
    kivFixedNegate(r.get(), rv.get());
    return r.bytes();
}

py::bytes round(uint16_t digits, int16_t scale, const py::bytes &v, int32_t at, int32_t mode) {
    Record rv = Record::fromBytes(v), r(digits, scale);
    kivFixedRound2(r.get(), rv.get(), at, mode);
    return r.bytes();
}

py::bytes truncate(uint16_t digits, int16_t scale, const py::bytes &v, int32_t at) {
    Record rv = Record::fromBytes(v), r(digits, scale);
    kivFixedTruncate(r.get(), rv.get(), at);
    return r.bytes();
}

bool compare(const py::bytes &a, const py::bytes &b, int op) {
    Record ra = Record::fromBytes(a), rb = Record::fromBytes(b);
    return kivFixedCmp(ra.get(), rb.get(), op) != 0;
}

// The record and how many characters of `text` were read (0: nothing stored).
py::tuple fromString(uint16_t digits, int16_t scale, const std::string &text) {
    Record r(digits, scale);
    char *end = nullptr;
    kivFixedSetString(r.get(), text.c_str(), &end);
    return py::make_tuple(r.bytes(), end ? end - text.c_str() : 0);
}

std::string toString(const py::bytes &v, int32_t precision) {
    Record r = Record::fromBytes(v);
    int64_t length = kivFixedGetString(r.get(), precision, nullptr, 0);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    kivFixedGetString(r.get(), precision, text.data(), text.size());
    text.pop_back();
    return text;
}

py::bytes fromDouble(uint16_t digits, int16_t scale, double x) {
    Record r(digits, scale);
    kivFixedSetDouble(r.get(), x);
    return r.bytes();
}

double toDouble(const py::bytes &v) {
    return kivFixedGetDouble(Record::fromBytes(v).get());
}

}  // namespace

void bindFixed(py::module_ &m) {
    m.def("fixed_new",
          [](uint16_t digits, int16_t scale) { return Record(digits, scale).bytes(); });
    m.def("fixed_binary", binary);
    m.def("fixed_negate", negate);
    m.def("fixed_round", round);
    m.def("fixed_truncate", truncate);
    m.def("fixed_compare", compare);
    m.def("fixed_from_string", fromString);
    m.def("fixed_to_string", toString);
    m.def("fixed_from_double", fromDouble);
    m.def("fixed_to_double", toDouble);
}

}  // namespace kivpy
