// SPDX-License-Identifier: Apache-2.0
// Exactness of dynamic calls: every generated member is called through the generated header
// and through the dynamic layer with the same inputs, and the outputs must read the same; then
// the generated calls are made on dynamically implemented objects that follow the same rules.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstring>
#include <map>
#include <string>

#include "exact_support.h"
#include "kiv_call.h"

namespace {

void putf(std::string &out, const char *format, uint64_t value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, format, value);
    out += buffer;
}

size_t scalarSize(uint32_t kind) {
    switch (kind) {
        case KIV_TYPE_BOOLEAN:
        case KIV_TYPE_OCTET:
        case KIV_TYPE_CHAR:
            return 1;
        case KIV_TYPE_WCHAR:
        case KIV_TYPE_SHORT:
        case KIV_TYPE_USHORT:
            return 2;
        case KIV_TYPE_LONG:
        case KIV_TYPE_ULONG:
        case KIV_TYPE_FLOAT:
        case KIV_TYPE_ENUM:
        case KIV_TYPE_DECIMAL32:
            return 4;
        default:
            return 8;
    }
}

// The canonical text of a value, as exact_support.c writes native values.
void dump(std::string &out, const kcallValue &v) {
    switch (v.kind) {
        case KIV_TYPE_DECIMAL128:
            putf(out, "x%" PRIx64, v.v.d128.words[1]);
            putf(out, ".%" PRIx64, v.v.d128.words[0]);
            return;
        case KIV_TYPE_STRING:
            putf(out, "s%" PRIu64 ":", v.count);
            for (uint32_t i = 0; i < v.count; ++i)
                putf(out, "%02" PRIx64, static_cast<unsigned char>(v.v.str[i]));
            return;
        case KIV_TYPE_WSTRING:
            putf(out, "w%" PRIu64 ":", v.count);
            for (uint32_t i = 0; i < v.count; ++i) putf(out, "%04" PRIx64, v.v.wstr[i]);
            return;
        case KIV_TYPE_STRUCT:
        case KIV_TYPE_SEQUENCE:
        case KIV_TYPE_ARRAY:
            out += v.kind == KIV_TYPE_STRUCT ? "{" : v.kind == KIV_TYPE_ARRAY ? "a[" : "[";
            if (v.kind == KIV_TYPE_SEQUENCE) putf(out, "%" PRIu64 ":", v.count);
            for (uint32_t i = 0; i < v.count; ++i) {
                if (i) out += ",";
                dump(out, v.v.items[i]);
            }
            out += v.kind == KIV_TYPE_STRUCT ? "}" : "]";
            return;
        case KIV_TYPE_UNION:
            out += "u(";
            dump(out, v.v.items[0]);
            out += ")";
            if (v.count == 2) {
                out += ":";
                dump(out, v.v.items[1]);
            }
            return;
        case KIV_TYPE_INTERFACE:
            if (!v.v.ref.object) {
                out += "null";
            } else {
                auto *unknown = static_cast<IUnknown *>(v.v.ref.object);
                out += "@";
                out += unknown->vtbl->interfaceId(unknown);
            }
            return;
        default: {
            uint64_t bits = 0;
            std::memcpy(&bits, &v.v, scalarSize(v.kind));
            putf(out, "x%" PRIx64, bits);
        }
    }
}

const kcallType *argumentType(const kcallMethod *m, int k) {
    return m->access == KCALL_OPERATION ? m->member->params[k].type : m->member->type;
}

uint32_t direction(const kcallMethod *m, int k) {
    return m->access == KCALL_OPERATION ? m->member->params[k].direction : KIV_PARAM_IN;
}

// A literal of the generated table as a value; "self" is the object called.
kivResult parse(const kcallType *type, const char *literal, void *self, kcallValue &out) {
    if (std::strcmp(literal, "self") == 0) return kcallValueSetRef(&out, self, type->repoId);
    return kcallValueParse(type, literal, std::strlen(literal), KCALL_TEXT_IDL, &out);
}

struct Values {
    explicit Values(size_t n) : items(n) {}
    ~Values() {
        for (kcallValue &v : items) kcallValueClear(&v);
    }
    std::vector<kcallValue> items;
};

std::string dynamicCall(const GenOp &op, void *object) {
    const kcallMethod *m = nullptr;
    kivResult rc = kcallPrepare(op.iid, op.name, KCALL_OPERATION, &m);
    if (KIV_FAILED(rc)) return std::string("prepare: ") + kcallLastError();
    Values args(op.argc + 1);
    for (int k = 0; k < op.argc; ++k) {
        if (!op.inputs[k]) continue;
        if (KIV_FAILED(rc = parse(argumentType(m, k), op.inputs[k], object, args.items[k])))
            return std::string("parse ") + op.inputs[k] + ": " + kcallLastError();
    }
    kcallValue &result = args.items[op.argc];
    rc = kcallInvoke(m, object, args.items.data(), op.argc, &result);
    std::string out;
    putf(out, "rc=%" PRIx64, rc);
    if (KIV_FAILED(rc)) return out + " " + kcallLastError();
    for (int k = 0; k < op.argc; ++k) {
        if (direction(m, k) == KIV_PARAM_IN) continue;
        out += " ";
        dump(out, args.items[k]);
    }
    if (m->resultType) {
        out += " ";
        dump(out, result);
    }
    return out;
}

std::string nativeCall(const GenOp &op, void *object) {
    GenBuf b{};
    op.call(object, &b);
    std::string out = b.text ? b.text : "";
    kivFree(b.text);
    return out;
}

int interfaceIndex(const char *iid) {
    for (int i = 0; i < gen_interface_count; ++i)
        if (std::strcmp(gen_interface_ids[i], iid) == 0) return i;
    return -1;
}

class Exact : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(kivInitialize(), 0u);
        ASSERT_EQ(kcallRegisterLibrary(GEN_TLB, KIV_REGISTER_PROCESS), 0u) << kcallLastError();
    }
};

TEST_F(Exact, DynamicCallsMatchGeneratedCalls) {
    for (int i = 0; i < gen_op_count; ++i) {
        const GenOp &op = gen_ops[i];
        void *object = gen_create(interfaceIndex(op.iid));
        EXPECT_EQ(nativeCall(op, object), dynamicCall(op, object)) << op.iid << " " << op.name;
        gen_release(object);
    }
}

// The rules of the generated plug-in, applied to values: an output is a copy of an `in`
// argument or the constant of the table.
const std::map<std::string, const GenOp *> &operationsBySlot() {
    static const auto *table = [] {
        auto *t = new std::map<std::string, const GenOp *>;
        for (int i = 0; i < gen_op_count; ++i)
            (*t)[std::string(gen_ops[i].ownerIid) + "/" + gen_ops[i].name] = &gen_ops[i];
        return t;
    }();
    return *table;
}

kivResult fill(const kcallType *type, const char *source, kcallValue *args, kcallValue &out) {
    kcallValueClear(&out);
    if (std::strncmp(source, "@arg", 4) == 0)
        return kcallValueCopy(&out, &args[std::atoi(source + 4)]);
    return parse(type, source, nullptr, out);
}

kivResult handler(void *, const kcallMethod *m, kcallValue *args, kcallValue *result) {
    auto found = operationsBySlot().find(std::string(m->member->declaredIn) + "/" + m->slotName);
    if (found == operationsBySlot().end()) return KIV_E_NOTIMPL;
    const GenOp &op = *found->second;
    for (uint32_t k = 0; k < m->argCount; ++k) {
        if (direction(m, static_cast<int>(k)) == KIV_PARAM_IN) continue;
        kivResult rc = fill(argumentType(m, static_cast<int>(k)), op.sources[k], args, args[k]);
        if (KIV_FAILED(rc)) return rc;
    }
    if (result) return fill(m->resultType, op.sources[m->argCount], args, *result);
    return 0;
}

TEST_F(Exact, GeneratedCallsOnDynamicObjectsMatchTheGeneratedPlugin) {
    for (int i = 0; i < gen_op_count; ++i) {
        const GenOp &op = gen_ops[i];
        void *native = gen_create(interfaceIndex(op.iid));
        void *dynamic = nullptr;
        ASSERT_EQ(kcallObjectCreate(&op.iid, 1, handler, nullptr, nullptr, op.iid, &dynamic), 0u)
            << kcallLastError();
        EXPECT_EQ(nativeCall(op, native), nativeCall(op, dynamic)) << op.iid << " " << op.name;
        gen_release(native);
        gen_release(dynamic);
    }
}

}  // namespace
