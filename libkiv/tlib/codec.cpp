// SPDX-License-Identifier: Apache-2.0
// Record writer and reader.
#include "tlib/codec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tlib/model.h"

namespace kiv::tlib {

namespace {

// Headers whose strings a record must carry, by kind.
struct RequiredHeader {
    bool name, scopeId;
};
RequiredHeader requiredHeader(uint32_t kind) {
    if (kind == KIV_DEF_MODULE) return {true, false};
    if (kind >= KIV_DEF_STRING) return {false, false};
    return {true, true};
}

// ---- Writer -----------------------------------------------------------------------------------

// Writes the varint form of `v` at `p` (which has room for 5 bytes); returns the end.
uint8_t *putVarint(uint8_t *p, uint32_t v) {
    if (v <= 0x7F) {
        *p++ = static_cast<uint8_t>(v);
        return p;
    }
    int extra;
    uint32_t lead;
    if (v <= 0x3FF) {
        extra = 1, lead = 0x80 | (v >> 8);
    } else if (v <= 0x1FFFFF) {
        extra = 2, lead = 0xC0 | (v >> 16);
    } else if (v <= 0x0FFFFFFF) {
        extra = 3, lead = 0xE0 | (v >> 24);
    } else {
        extra = 4, lead = 0xF0;
    }
    *p++ = static_cast<uint8_t>(lead);
    for (int shift = 8 * (extra - 1); shift >= 0; shift -= 8)
        *p++ = static_cast<uint8_t>(v >> shift);
    return p;
}

// Appends to `out` through a cursor: each field checks only that it fits, and the buffer grows
// by doubling when it does not. done() trims the buffer to what was written.
class Writer {
  public:
    Writer(const kivTLibStringTable *table, RecordBuffer &out)
        : table_(table), out_(out), start_(out.size()) {
        out_.resize(start_ + kInitialRoom);
        p_ = out_.data() + start_;
        end_ = out_.data() + out_.size();
    }
    void done() { out_.resize(static_cast<size_t>(p_ - out_.data())); }

    void u8(uint32_t v) {
        room(1);
        *p_++ = static_cast<uint8_t>(v);
    }
    void be16(uint16_t v) { bigEndian(v, 2); }
    void be32(uint32_t v) { bigEndian(v, 4); }
    void be64(uint64_t v) { bigEndian(v, 8); }
    void varint(uint32_t v) {
        room(5);
        p_ = putVarint(p_, v);
    }
    // Every string field points into the table, so its position is found by address; a
    // pointer from elsewhere (never made by the builders) is looked up by text. Strings were
    // interned in field order, so the search starts after the last string found.
    void ref(const char *s) {
        if (!s) return varint(0);
        uint32_t count = table_->count;
        for (uint32_t step = 0, i = next_; step < count; ++step, i = i + 1 < count ? i + 1 : 0) {
            if (table_->strings[i] == s) {
                next_ = i + 1 < count ? i + 1 : 0;
                return varint(i + 1);
            }
        }
        varint(position(table_, s));
    }

    void refList(uint32_t count, const char *const *refs) {
        varint(count);
        for (uint32_t i = 0; i < count; ++i) ref(refs[i]);
    }

    void stringTable() {
        varint(table_->count);
        for (uint32_t i = 0; i < table_->count; ++i) {
            const char *text = table_->strings[i];
            size_t length = std::strlen(text);
            varint(static_cast<uint32_t>(length));
            room(length);
            std::memcpy(p_, text, length);
            p_ += length;
        }
    }

    void typeRef(const kivTLibTypeRef &t) {
        u8(t.tag);
        if (t.tag >= KIV_TYPE_STRING && t.tag <= KIV_TYPE_INTERFACE) ref(t.repoId);
    }

    void value(const kivTLibValue &v) {
        u8(v.tag);
        switch (payloadOf(v.tag)) {
            case Payload::U8:
                u8(v.u8);
                break;
            case Payload::WChar:
                be32(v.u16);
                break;
            case Payload::U16:
                be16(v.u16);
                break;
            case Payload::U32:
                be32(v.u32);
                break;
            case Payload::U64:
                be64(v.u64);
                break;
            case Payload::String:
                ref(v.str);
                break;
            case Payload::Varint:
                varint(v.u32);
                break;
            case Payload::D128:
                be64(v.d128[1]);
                be64(v.d128[0]);
                break;
            case Payload::None:
            case Payload::Invalid:
                break;
        }
    }

    void interfaceMember(const kivTLibMember &m) {
        u8(m.kind);
        ref(m.name);
        varint(m.flags);
        typeRef(m.type);
        if (m.kind != KIV_MEMBER_OPERATION) return;
        u8(m.paramCount);
        for (uint32_t p = 0; p < m.paramCount; ++p) {
            ref(m.params[p].name);
            typeRef(m.params[p].type);
            u8(m.params[p].direction);
        }
    }

  private:
    // Most records fit; a larger one grows the buffer a few times.
    static constexpr size_t kInitialRoom = 256;

    void room(size_t n) {
        if (static_cast<size_t>(end_ - p_) < n) grow(n);
    }
    void grow(size_t n) {
        size_t used = static_cast<size_t>(p_ - out_.data());
        size_t had = static_cast<size_t>(end_ - out_.data()) - start_;
        out_.resize(std::max(start_ + 2 * had, used + n));
        p_ = out_.data() + used;
        end_ = out_.data() + out_.size();
    }
    void bigEndian(uint64_t v, int bytes) {
        room(static_cast<size_t>(bytes));
        for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
            *p_++ = static_cast<uint8_t>(v >> shift);
    }

    const kivTLibStringTable *table_;
    RecordBuffer &out_;
    size_t start_;       // where this record begins in out_
    uint32_t next_ = 0;  // where ref() starts searching
    uint8_t *p_;         // where the next byte goes
    uint8_t *end_;       // end of the room
};

void writeBody(Writer &w, const kivTLibDef *def) {
    switch (def->kind) {
        case KIV_DEF_MODULE: {
            auto *m = as<kivTLibModuleDef>(def);
            w.refList(m->contentCount, m->contents);
            break;
        }
        case KIV_DEF_INTERFACE: {
            auto *i = as<kivTLibInterfaceDef>(def);
            w.ref(i->baseId);
            w.refList(i->contentCount, i->contents);
            w.varint(i->memberCount);
            for (uint32_t k = 0; k < i->memberCount; ++k) w.interfaceMember(i->members[k]);
            break;
        }
        case KIV_DEF_CONSTANT: {
            auto *c = as<kivTLibConstantDef>(def);
            w.typeRef(c->type);
            w.value(c->value);
            break;
        }
        case KIV_DEF_STRUCT: {
            auto *s = as<kivTLibStructDef>(def);
            w.refList(s->contentCount, s->contents);
            w.varint(s->memberCount);
            for (uint32_t k = 0; k < s->memberCount; ++k) {
                w.ref(s->members[k].name);
                w.typeRef(s->members[k].type);
            }
            break;
        }
        case KIV_DEF_UNION: {
            auto *u = as<kivTLibUnionDef>(def);
            w.refList(u->contentCount, u->contents);
            w.typeRef(u->discriminator);
            w.varint(u->caseCount);
            for (uint32_t k = 0; k < u->caseCount; ++k) {
                w.ref(u->cases[k].name);
                w.typeRef(u->cases[k].type);
                w.value(u->cases[k].label);
            }
            break;
        }
        case KIV_DEF_ENUM: {
            auto *e = as<kivTLibEnumDef>(def);
            w.varint(e->memberCount);
            for (uint32_t k = 0; k < e->memberCount; ++k) {
                w.ref(e->members[k].name);
                w.varint(e->members[k].value);
            }
            break;
        }
        case KIV_DEF_ALIAS:
            w.typeRef(as<kivTLibAliasDef>(def)->type);
            break;
        case KIV_DEF_STRING:
        case KIV_DEF_WSTRING:
            w.varint(as<kivTLibStringDef>(def)->bound);
            break;
        case KIV_DEF_SEQUENCE: {
            auto *s = as<kivTLibSequenceDef>(def);
            w.varint(s->bound);
            w.typeRef(s->element);
            break;
        }
        case KIV_DEF_ARRAY: {
            auto *a = as<kivTLibArrayDef>(def);
            w.varint(a->length);
            w.typeRef(a->element);
            break;
        }
        default:
            break;
    }
}

// ---- Reader -----------------------------------------------------------------------------------

// A cursor over one record. Every read checks that the field fits; the first failure makes
// the whole decode fail, so each method returns false without further promises.
class Reader {
  public:
    explicit Reader(std::span<const uint8_t> record) : data_(record) {}

    size_t remaining() const { return data_.size() - pos_; }

    bool u8(uint8_t &v) {
        if (remaining() < 1) return false;
        v = data_[pos_++];
        return true;
    }
    bool be(uint64_t &v, size_t bytes) {
        if (remaining() < bytes) return false;
        v = 0;
        for (size_t i = 0; i < bytes; ++i) v = (v << 8) | data_[pos_++];
        return true;
    }
    bool varint(uint32_t &v) {
        uint8_t first;
        if (!u8(first)) return false;
        size_t extra;
        uint32_t high;
        if (first < 0x80) {
            v = first;
            return true;
        } else if (first < 0xC0) {
            extra = 1, high = first & 0x3Fu;
        } else if (first < 0xE0) {
            extra = 2, high = first & 0x1Fu;
        } else if (first < 0xF0) {
            extra = 3, high = first & 0x0Fu;
        } else if (first == 0xF0) {
            extra = 4, high = 0;
        } else {
            return false;
        }
        uint64_t low;
        if (!be(low, extra)) return false;
        v = static_cast<uint32_t>((uint64_t{high} << (8 * extra)) | low);
        return true;
    }
    // A count of elements that each take at least one byte: more than the bytes left cannot
    // be valid, and refusing it keeps allocations bounded by the record's size.
    bool count(uint32_t &v) { return varint(v) && v <= remaining(); }
    bool bytes(size_t n, const uint8_t *&p) {
        if (remaining() < n) return false;
        p = data_.data() + pos_;
        pos_ += n;
        return true;
    }

  private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

class Decoder {
  public:
    explicit Decoder(std::span<const uint8_t> record) : in_(record) {}

    bool run(DefinitionPtr &result) {
        auto *table = newStringTable();
        // The table joins a definition once the kind is known; until then it is ours to free.
        std::unique_ptr<kivTLibStringTable, void (*)(kivTLibStringTable *)> tableGuard(
            table, releaseStringTable);
        table_ = table;
        if (!stringTable()) return false;

        uint32_t kind;
        const char *name, *repoId, *scopeId;
        uint32_t flags;
        if (!in_.varint(kind) || !ref(name) || !ref(repoId) || !ref(scopeId) || !in_.varint(flags))
            return false;
        if (recordSize(kind) == 0) return false;
        RequiredHeader required = requiredHeader(kind);
        if (!repoId || (required.name && !name) || (required.scopeId && !scopeId)) return false;

        auto *def = static_cast<kivTLibDef *>(kivCalloc(1, recordSize(kind)));
        def->kind = kind;
        def->name = name;
        def->repoId = repoId;
        def->scopeId = scopeId;
        def->flags = flags & kStoredFlagsMask;
        def->strings = tableGuard.release();
        result.reset(def);
        return body(def);
    }

  private:
    bool stringTable() {
        uint32_t count;
        if (!in_.count(count)) return false;
        if (count) table_->strings = static_cast<char **>(kivCalloc(count, sizeof(char *)));
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t length;
            const uint8_t *text;
            if (!in_.varint(length) || !in_.bytes(length, text)) return false;
            table_->strings[i] = kivStrNDup(reinterpret_cast<const char *>(text), length);
            table_->count = i + 1;
        }
        return true;
    }

    bool ref(const char *&s) {
        uint32_t i;
        if (!in_.varint(i) || i > table_->count) return false;
        s = i ? table_->strings[i - 1] : nullptr;
        return true;
    }

    // A string field that the creating operations never leave null (member names).
    bool name(const char *&s) { return ref(s) && s; }

    bool refList(uint32_t &count, const char **&list) {
        if (!in_.count(count)) return false;
        list = count ? static_cast<const char **>(kivCalloc(count, sizeof(char *))) : nullptr;
        for (uint32_t i = 0; i < count; ++i)
            if (!ref(list[i])) return false;
        return true;
    }

    bool typeRef(kivTLibTypeRef &t) {
        uint8_t tag;
        if (!in_.u8(tag)) return false;
        t.tag = tag;
        switch (typeIdRule(tag)) {
            case TypeId::Invalid:
                return false;
            case TypeId::None:
                return true;
            case TypeId::Optional:
                return ref(t.repoId);
            case TypeId::Required:
                return ref(t.repoId) && t.repoId;
        }
        return false;
    }

    // The type of a member, parameter, case, alias or element: never void.
    bool dataType(kivTLibTypeRef &t) { return typeRef(t) && t.tag != KIV_TYPE_VOID; }

    bool value(kivTLibValue &v) {
        uint8_t tag;
        if (!in_.u8(tag)) return false;
        v.tag = tag;
        uint64_t n, low;
        switch (payloadOf(tag)) {
            case Payload::None:
                return true;
            case Payload::U8:
                return in_.u8(v.u8);
            case Payload::WChar:
                if (!in_.be(n, 4)) return false;
                v.u16 = static_cast<uint16_t>(n);
                return true;
            case Payload::U16:
                if (!in_.be(n, 2)) return false;
                v.u16 = static_cast<uint16_t>(n);
                return true;
            case Payload::U32:
                if (!in_.be(n, 4)) return false;
                v.u32 = static_cast<uint32_t>(n);
                return true;
            case Payload::U64:
                return in_.be(v.u64, 8);
            case Payload::String:
                return ref(v.str) && v.str;
            case Payload::Varint:
                return in_.varint(v.u32);
            case Payload::D128:
                if (!in_.be(n, 8) || !in_.be(low, 8)) return false;
                v.d128[1] = n;
                v.d128[0] = low;
                return true;
            case Payload::Invalid:
                return false;
        }
        return false;
    }

    bool interfaceMember(kivTLibMember &m) {
        uint8_t kind;
        if (!in_.u8(kind) || (kind != KIV_MEMBER_ATTRIBUTE && kind != KIV_MEMBER_OPERATION))
            return false;
        m.kind = kind;
        if (!name(m.name) || !in_.varint(m.flags) || !typeRef(m.type)) return false;
        if (kind != KIV_MEMBER_OPERATION) return m.type.tag != KIV_TYPE_VOID;
        uint8_t count;
        if (!in_.u8(count) || count > in_.remaining()) return false;
        m.paramCount = count;
        auto *params =
            count ? static_cast<kivTLibParam *>(kivCalloc(count, sizeof(kivTLibParam))) : nullptr;
        m.params = params;
        for (uint32_t p = 0; p < count; ++p) {
            uint8_t direction;
            if (!name(params[p].name) || !dataType(params[p].type) || !in_.u8(direction) ||
                direction < KIV_PARAM_IN || direction > KIV_PARAM_INOUT)
                return false;
            params[p].direction = direction;
        }
        return true;
    }

    // Structures, unions and enumerations have at least one element; interfaces may have none.
    template <class T>
    bool elements(uint32_t &count, const T *&array, bool allowNone = false) {
        if (!in_.count(count) || (count == 0 && !allowNone)) return false;
        array = count ? static_cast<T *>(kivCalloc(count, sizeof(T))) : nullptr;
        return true;
    }

    bool body(kivTLibDef *def) {
        switch (def->kind) {
            case KIV_DEF_MODULE: {
                auto *m = as<kivTLibModuleDef>(def);
                return refList(m->contentCount, m->contents);
            }
            case KIV_DEF_INTERFACE: {
                auto *i = as<kivTLibInterfaceDef>(def);
                if (!ref(i->baseId) || !refList(i->contentCount, i->contents) ||
                    !elements(i->memberCount, i->members, true))
                    return false;
                auto *members = const_cast<kivTLibMember *>(i->members);
                for (uint32_t k = 0; k < i->memberCount; ++k)
                    if (!interfaceMember(members[k])) return false;
                return true;
            }
            case KIV_DEF_CONSTANT: {
                auto *c = as<kivTLibConstantDef>(def);
                // A value of another kind than its type is never written, and readers would
                // take the value's bytes for the type's.
                return dataType(c->type) && value(c->value) && c->value.tag == c->type.tag;
            }
            case KIV_DEF_STRUCT: {
                auto *s = as<kivTLibStructDef>(def);
                if (!refList(s->contentCount, s->contents) || !elements(s->memberCount, s->members))
                    return false;
                auto *members = const_cast<kivTLibStructMember *>(s->members);
                for (uint32_t k = 0; k < s->memberCount; ++k)
                    if (!name(members[k].name) || !dataType(members[k].type)) return false;
                return true;
            }
            case KIV_DEF_UNION: {
                auto *u = as<kivTLibUnionDef>(def);
                if (!refList(u->contentCount, u->contents) || !typeRef(u->discriminator) ||
                    !isDiscriminatorTag(u->discriminator.tag) || !elements(u->caseCount, u->cases))
                    return false;
                auto *cases = const_cast<kivTLibUnionCase *>(u->cases);
                for (uint32_t k = 0; k < u->caseCount; ++k) {
                    kivTLibUnionCase &c = cases[k];
                    if (!name(c.name) || !dataType(c.type) || !value(c.label)) return false;
                    if (c.label.tag != KIV_VALUE_NONE && c.label.tag != u->discriminator.tag)
                        return false;
                }
                return true;
            }
            case KIV_DEF_ENUM: {
                auto *e = as<kivTLibEnumDef>(def);
                if (!elements(e->memberCount, e->members)) return false;
                auto *members = const_cast<kivTLibEnumMember *>(e->members);
                for (uint32_t k = 0; k < e->memberCount; ++k)
                    if (!name(members[k].name) || !in_.varint(members[k].value)) return false;
                return true;
            }
            case KIV_DEF_ALIAS:
                return dataType(as<kivTLibAliasDef>(def)->type);
            case KIV_DEF_STRING:
            case KIV_DEF_WSTRING:
                return in_.varint(as<kivTLibStringDef>(def)->bound);
            case KIV_DEF_SEQUENCE: {
                auto *s = as<kivTLibSequenceDef>(def);
                return in_.varint(s->bound) && dataType(s->element);
            }
            case KIV_DEF_ARRAY: {
                auto *a = as<kivTLibArrayDef>(def);
                return in_.varint(a->length) && dataType(a->element);
            }
            default:
                return false;
        }
    }

    Reader in_;
    kivTLibStringTable *table_ = nullptr;
};

}  // namespace

void appendVarint(std::vector<uint8_t> &out, uint32_t v) {
    uint8_t bytes[5];
    out.insert(out.end(), bytes, putVarint(bytes, v));
}

std::vector<uint8_t> encode(kivTLibDef *def) {
    RecordBuffer out;
    encodeInto(def, out);
    return {out.begin(), out.end()};
}

void encodeInto(kivTLibDef *def, RecordBuffer &out) {
    ensureIndex(def->strings);
    Writer w(def->strings, out);
    w.stringTable();
    w.varint(def->kind);
    w.ref(def->name);
    w.ref(def->repoId);
    w.ref(def->scopeId);
    w.varint(def->flags & kStoredFlagsMask);
    writeBody(w, def);
    w.done();
}

kivResult decode(std::span<const uint8_t> record, kivTLibDef **out) {
    *out = nullptr;
    DefinitionPtr def;
    if (!Decoder(record).run(def)) return KIV_E_FORMAT;
    *out = def.release();
    return 0;
}

std::string encodeCounter(uint32_t counter) {
    char text[16];
    int n = std::snprintf(text, sizeof text, "%lx", static_cast<unsigned long>(counter));
    return std::string(text, static_cast<size_t>(n) + 1);
}

kivResult decodeCounter(std::span<const uint8_t> value, uint32_t *counter) {
    if (value.empty() || value.back() != 0) return KIV_E_FORMAT;
    const char *text = reinterpret_cast<const char *>(value.data());
    // strtoul would skip blanks and accept a sign (wrapping a negative number around); a
    // counter is digits only.
    if (!std::isxdigit(static_cast<unsigned char>(text[0]))) return KIV_E_FORMAT;
    char *end = nullptr;
    errno = 0;
    unsigned long n = std::strtoul(text, &end, 16);
    bool parsed = end != text;
    bool wholeValue = end == text + value.size() - 1;
    if (!parsed || !wholeValue || errno != 0 || n > UINT32_MAX) return KIV_E_FORMAT;
    *counter = static_cast<uint32_t>(n);
    return 0;
}

}  // namespace kiv::tlib
