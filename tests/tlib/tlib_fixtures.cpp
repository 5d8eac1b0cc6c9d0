#include "tlib_fixtures.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "tlib/handle.h"
#include "tlib/store.h"

using namespace kiv::tlib;

namespace tlibtest {

Bytes bytes(std::string_view pattern) {
    Bytes out;
    size_t i = 0;
    while (i < pattern.size()) {
        if (pattern[i] == ' ') {
            ++i;
        } else if (pattern[i] == '\'') {
            size_t end = pattern.find('\'', i + 1);
            out.insert(out.end(), pattern.begin() + i + 1, pattern.begin() + end);
            i = end + 1;
        } else {
            out.push_back(
                static_cast<uint8_t>(std::stoul(std::string(pattern.substr(i, 2)), nullptr, 16)));
            i += 2;
        }
    }
    return out;
}

Handle create(const std::string &path, uint32_t flags) {
    kivTLib *t = nullptr;
    EXPECT_EQ(kivTLibCreate(path.c_str(), flags, &t), 0u);
    return Handle(t);
}

Handle open(const std::string &path, uint32_t flags) {
    kivTLib *t = nullptr;
    EXPECT_EQ(kivTLibOpen(path.c_str(), flags, &t), 0u);
    return Handle(t);
}

std::string hex(const Bytes &b) {
    std::string s;
    char buf[4];
    for (uint8_t c : b) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        s += buf;
    }
    return s;
}

std::vector<DefinitionPtr> sampleDefinitions() {
    constexpr uint32_t kFlags = 0xABCD0000u | KIV_DEF_MODIFIED;
    const char *scope = "IDL:Demo:1.0";
    std::vector<DefinitionPtr> defs;

    auto *module = buildModule("Demo", scope, KIV_TLIB_ROOT_ID, KIV_DEF_MODIFIED);
    appendContent(&module->header, "IDL:Demo/IFoo:1.0");
    appendContent(&module->header, "IDL:Demo/Point:1.0");
    defs.emplace_back(&module->header);

    kivTLibParam params[] = {{"in", {KIV_TYPE_LONG, nullptr}, KIV_PARAM_IN},
                             {"out", {KIV_TYPE_STRING, "LOCAL:1"}, KIV_PARAM_OUT},
                             {"both", {KIV_TYPE_STRUCT, "IDL:Demo/Point:1.0"}, KIV_PARAM_INOUT}};
    kivTLibMember members[] = {
        {KIV_MEMBER_ATTRIBUTE, "size", 0x7, {KIV_TYPE_ULONG, nullptr}, 0, nullptr},
        {KIV_MEMBER_OPERATION, "run", 0xFFFFFFFF, {KIV_TYPE_VOID, nullptr}, 3, params},
        {KIV_MEMBER_OPERATION, "none", 0, {KIV_TYPE_INTERFACE, "IDL:Demo/IBase:1.0"}, 0, nullptr},
    };
    auto *iface = buildInterface("IFoo", "IDL:Demo/IFoo:1.0", scope, kFlags, "IDL:Demo/IBase:1.0",
                                 3, members);
    appendContent(&iface->header, "IDL:Demo/IFoo/Inner:1.0");
    defs.emplace_back(&iface->header);

    kivTLibValue text{KIV_TYPE_STRING, {}};
    text.str = "hello";
    defs.emplace_back(&buildConstant("GREETING", "IDL:Demo/GREETING:1.0", scope, kFlags,
                                     {KIV_TYPE_STRING, nullptr}, text)
                           ->header);

    kivTLibStructMember fields[] = {{"x", {KIV_TYPE_DOUBLE, nullptr}},
                                    {"next", {KIV_TYPE_SEQUENCE, "LOCAL:2"}}};
    auto *point = buildStruct("Point", "IDL:Demo/Point:1.0", scope, kFlags, 2, fields);
    appendContent(&point->header, "IDL:Demo/Point/Kind:1.0");
    defs.emplace_back(&point->header);

    kivTLibUnionCase cases[] = {{"a", {KIV_TYPE_SHORT, nullptr}, {KIV_TYPE_ENUM, {}}},
                                {"b", {KIV_TYPE_ALIAS, "IDL:Demo/Name:1.0"}, {KIV_VALUE_NONE, {}}}};
    cases[0].label.u32 = 70000;
    defs.emplace_back(&buildUnion("U", "IDL:Demo/U:1.0", scope, kFlags,
                                  {KIV_TYPE_ENUM, "IDL:Demo/Point/Kind:1.0"}, 2, cases)
                           ->header);

    kivTLibEnumMember enumerators[] = {{"RED", 0}, {"GREEN", 1024}, {"BLUE", 0xFFFFFFFF}};
    defs.emplace_back(
        &buildEnum("Kind", "IDL:Demo/Point/Kind:1.0", "IDL:Demo/Point:1.0", kFlags, 3, enumerators)
             ->header);
    defs.emplace_back(
        &buildAlias("Name", "IDL:Demo/Name:1.0", scope, kFlags, {KIV_TYPE_ARRAY, "LOCAL:3"})
             ->header);
    defs.emplace_back(&buildString(KIV_DEF_STRING, "LOCAL:1", kFlags, 80)->header);
    defs.emplace_back(&buildString(KIV_DEF_WSTRING, "LOCAL:4", kFlags, 0)->header);
    defs.emplace_back(
        &buildSequence("LOCAL:2", kFlags, 200000, {KIV_TYPE_STRUCT, "IDL:Demo/Point:1.0"})->header);
    defs.emplace_back(
        &buildArray("LOCAL:3", kFlags, 0x10000000, {KIV_TYPE_WSTRING, nullptr})->header);
    return defs;
}

DefinitionPtr structOfRecordSize(const std::string &repoId, size_t recordBytes) {
    // Record: key (id + NUL), then count 04, four entries (length-prefixed), header
    // 04 01 02 03 00, body: no contents, one member (name ref, tag 3). The padding entry
    // takes up the rest.
    std::string scope = "IDL:Pad:1.0";
    size_t fixed =
        repoId.size() + 1 + 1 + (1 + 1) + (1 + repoId.size()) + (1 + scope.size()) + 5 + 1 + 1 + 2;
    size_t pad = recordBytes - fixed;
    size_t lengthBytes = pad - 1 > 127 ? 2 : 1;
    std::string name(pad - lengthBytes, 'p');
    kivTLibStructMember member{name.c_str(), {KIV_TYPE_OCTET, nullptr}};
    return DefinitionPtr(
        &buildStruct("P", repoId.c_str(), scope.c_str(), KIV_DEF_MODIFIED, 1, &member)->header);
}

kivTLibDef *addDefinition(kivTLib *tlib, DefinitionPtr def, const char *scopeId) {
    kivTLibDef *scope = nullptr;
    const char *scopeName = scopeId ? scopeId : def->scopeId;
    if (!scopeName) scopeName = KIV_TLIB_ANONYMOUS_SCOPE_ID;
    if (kivTLibGetDefinition(tlib, scopeName, &scope) != 0)
        throw std::runtime_error(std::string("no scope ") + scopeName);
    kivTLibDef *raw = def.release();
    if (!enterDefinition(tlib, raw)) {
        releaseDefinition(raw);
        throw std::runtime_error("id taken");
    }
    addToScope(tlib, scope, raw);
    return raw;
}

kivTLibDef *addModule(kivTLib *tlib, const std::string &name) {
    if (kivTLibGetRoot(tlib, nullptr) == KIV_E_UNKNOWN_REPOID)
        enterDefinition(tlib,
                        &buildModule("", KIV_TLIB_ROOT_ID, nullptr, KIV_DEF_MODIFIED)->header);
    std::string id = "IDL:" + name + ":1.0";
    return addDefinition(
        tlib,
        DefinitionPtr(
            &buildModule(name.c_str(), id.c_str(), KIV_TLIB_ROOT_ID, KIV_DEF_MODIFIED)->header));
}

std::vector<std::pair<std::string, Bytes>> readAllRecords(const std::string &path) {
    std::vector<std::pair<std::string, Bytes>> out;
    auto visit = [&out](std::string_view key, std::span<const uint8_t> value) {
        out.emplace_back(std::string(key), Bytes(value.begin(), value.end()));
    };
    if (readAll(path, visit) != 0) throw std::runtime_error("cannot read " + path);
    return out;
}

void putRawRecords(const std::string &path,
                   const std::vector<std::pair<std::string, Bytes>> &records) {
    auto sorted = records;
    std::sort(sorted.begin(), sorted.end());
    Database db;
    if (Database::open(path, O_RDWR | O_CREAT, 0666, &db) != 0)
        throw std::runtime_error("cannot open " + path);
    DB *d = db.get();
    for (auto &[k, v] : sorted) {
        DBT key{const_cast<char *>(k.data()), k.size()};
        DBT value{const_cast<uint8_t *>(v.data()), v.size()};
        if (d->put(d, &key, &value, 0) != 0) throw std::runtime_error("put failed");
    }
    if (d->sync(d, 0) != 0) throw std::runtime_error("sync failed");
}

}  // namespace tlibtest
