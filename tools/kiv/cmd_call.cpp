// SPDX-License-Identifier: Apache-2.0
// kiv call: create an object and call one member with arguments written as IDL literals or
// JSON, through the type library of its interface; kiv call --list IID: the members.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "kiv_call.h"

namespace kivtool {

namespace {

constexpr OptionSpec kOptions[] = {{"--json"}, {"--list"}};

int callFailure(std::string_view what, kivResult rc) {
    std::string detail = kcallLastError();
    std::fprintf(stderr, "kiv: call: %.*s: %s%s%s\n", static_cast<int>(what.size()), what.data(),
                 kcallStrError(rc), detail.empty() ? "" : " - ", detail.c_str());
    return kExitFailure;
}

// Writes `text` and a newline to stdout; false when the output cannot be written.
bool printLine(const std::string &text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
           std::fputc('\n', stdout) != EOF;
}

int list(std::string_view iidText) {
    const std::string iid(iidText);
    const kcallInterface *iface = nullptr;
    kivResult rc = kcallFindInterface(iid.c_str(), &iface);
    if (KIV_FAILED(rc)) return callFailure(iid, rc);
    std::string out = "interface " + std::string(iface->name);
    if (iface->base) out += " : " + std::string(iface->base->name);
    out += " (" + iid + ", " + iface->library + ")";
    bool ok = printLine(out);
    for (uint32_t i = 0; i < iface->memberCount; ++i) {
        char *text = nullptr;
        if (KIV_FAILED(kcallMemberFormat(&iface->members[i], &text))) continue;
        ok = printLine("    " + std::string(text) + ";") && ok;
        kivFree(text);
    }
    return ok ? kExitOk : failure("call: writing the output", KIV_E_SYSTEM(5));
}

// Every interface the libraries serve, one per line: IID NAME (LIBRARY).
int listInterfaces() {
    bool ok = true;
    auto print = [](void *context, const char *iid, const char *name, const char *library) {
        auto *good = static_cast<bool *>(context);
        *good = printLine(std::string(iid) + " " + name + " (" + library + ")") && *good;
        return int32_t{0};
    };
    kivResult rc = kcallEnumInterfaces(print, &ok);
    if (KIV_FAILED(rc)) return callFailure("listing interfaces", rc);
    return ok ? kExitOk : failure("call: writing the output", KIV_E_SYSTEM(5));
}

// Values released at scope end.
struct ValueList {
    explicit ValueList(size_t n) : items(n, kcallValue{}) {}
    ~ValueList() {
        for (kcallValue &v : items) kcallValueClear(&v);
    }
    std::vector<kcallValue> items;
};

const kcallType *argumentType(const kcallMethod *m, uint32_t k) {
    return m->access == KCALL_OPERATION ? m->member->params[k].type : m->member->type;
}

uint32_t directionOf(const kcallMethod *m, uint32_t k) {
    return m->access == KCALL_OPERATION ? m->member->params[k].direction : KIV_PARAM_IN;
}

const char *nameOf(const kcallMethod *m, uint32_t k) {
    return m->access == KCALL_OPERATION ? m->member->params[k].name : "value";
}

std::string formatted(const kcallType *type, const kcallValue &v, uint32_t flags) {
    char *text = nullptr;
    if (KIV_FAILED(kcallValueFormat(type, &v, flags, &text))) return "?";
    std::string out = text;
    kivFree(text);
    return out;
}

// Prints the result first, then every out and inout value: one per line as NAME = VALUE, or
// one JSON object.
bool printResults(const kcallMethod *m, const ValueList &args, const kcallValue &result,
                  bool json) {
    const uint32_t flags = json ? KCALL_TEXT_JSON : KCALL_TEXT_IDL;
    std::vector<std::pair<std::string, std::string>> fields;
    if (m->resultType) fields.emplace_back("result", formatted(m->resultType, result, flags));
    for (uint32_t k = 0; k < m->argCount; ++k)
        if (directionOf(m, k) != KIV_PARAM_IN)
            fields.emplace_back(nameOf(m, k), formatted(argumentType(m, k), args.items[k], flags));
    if (!json) {
        bool ok = true;
        for (const auto &[name, text] : fields)
            ok = printLine(name == "result" ? text : name + " = " + text) && ok;
        return ok;
    }
    std::string out = "{";
    for (const auto &[name, text] : fields)
        out += (out.size() > 1 ? ", \"" : "\"") + name + "\": " + text;
    return printLine(out + "}");
}

int call(const std::vector<std::string_view> &operands, bool json) {
    const std::string clsid(operands[0]), iid(operands[1]), member(operands[2]);
    const size_t given = operands.size() - 3;
    const kcallInterface *iface = nullptr;
    kivResult rc = kcallFindInterface(iid.c_str(), &iface);
    if (KIV_FAILED(rc)) return callFailure(iid, rc);
    // An attribute name with one argument sets it; without, it reads it.
    const kcallMember *found = kcallFindMember(iface, member.c_str());
    const bool attribute = found && found->kind == KIV_MEMBER_ATTRIBUTE;
    const uint32_t access = attribute ? (given ? KCALL_SET : KCALL_GET) : KCALL_OPERATION;
    const kcallMethod *m = nullptr;
    if (KIV_FAILED(rc = kcallPrepare(iid.c_str(), member.c_str(), access, &m)))
        return callFailure(member, rc);

    uint32_t inputs = 0;
    for (uint32_t k = 0; k < m->argCount; ++k) inputs += directionOf(m, k) != KIV_PARAM_OUT;
    if (given != inputs)
        return usageError("call: " + std::string(m->slotName) + " takes " + std::to_string(inputs) +
                          " argument(s), not " + std::to_string(given));
    ValueList args(m->argCount);
    size_t next = 3;
    for (uint32_t k = 0; k < m->argCount; ++k) {
        if (directionOf(m, k) == KIV_PARAM_OUT) continue;
        std::string_view text = operands[next++];
        rc = kcallValueParse(argumentType(m, k), text.data(), text.size(),
                             json ? KCALL_TEXT_JSON : KCALL_TEXT_IDL, &args.items[k]);
        if (KIV_FAILED(rc)) return callFailure(std::string("argument ") + nameOf(m, k), rc);
    }

    void *object = nullptr;
    rc =
        kivCreateInstance(clsid.c_str(), nullptr, KIV_CLSCTX_INPROC, nullptr, iid.c_str(), &object);
    if (KIV_FAILED(rc)) return failure("call: creating " + clsid, rc);
    ValueList result(1);
    rc = kcallInvoke(m, object, args.items.data(), m->argCount, &result.items[0]);
    if (KIV_SUCCEEDED(rc) && !printResults(m, args, result.items[0], json)) rc = KIV_E_SYSTEM(5);
    // Values may hold references into the object's plug-in: release them first.
    for (kcallValue &v : args.items) kcallValueClear(&v);
    kcallValueClear(&result.items[0]);
    kivComRelease(object);
    if (rc == KIV_E_SYSTEM(5)) return failure("call: writing the output", rc);
    return KIV_FAILED(rc) ? callFailure(m->slotName, rc) : kExitOk;
}

}  // namespace

int runCall(Args args) {
    std::string error;
    const auto options = Options::parse(args, 1, kOptions, error);
    if (!options) return usageError("call: " + error);
    const auto &operands = options->operands();
    if (options->has("--list")) {
        if (operands.size() > 1) return usageError("call: expected --list [IID]");
        return operands.empty() ? listInterfaces() : list(operands[0]);
    }
    if (operands.size() < 3) return usageError("call: expected CLSID IID MEMBER [ARG...]");
    return call(operands, options->has("--json"));
}

}  // namespace kivtool
