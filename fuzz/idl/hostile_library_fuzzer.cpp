// SPDX-License-Identifier: Apache-2.0
// Libraries whose every record reads back but whose contents are odd, built from the input by
// the creating operations (which check each call, not how calls fit together) plus scopes and
// contents set by hand: references that loop, miss or name the wrong kind, names that are
// keywords, collide or are not identifiers. The tools' read side runs on each: the C and C++
// headers of everything and of each definition, the IDL dump, and the file check. Nothing may
// crash, hang or recurse without bound.
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "header_gen.h"
#include "idl_printer.h"
#include "kiv_tlib.h"
#include "tlib/handle.h"
#include "tlib/model.h"
#include "tlib_library.h"
#include "../scratch_library.h"

namespace {

// The input as a stream of small choices; zeros once it runs out.
class Choices {
  public:
    Choices(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w = (w << 8) | byte();
        return w;
    }
    size_t pick(size_t count) { return byte() % count; }

  private:
    const uint8_t *data_;
    size_t size_, at_ = 0;
};

// Ids that references and scopes draw from, so that they often meet.
const char *const kIds[] = {"IDL:M:1.0",     "IDL:M/A:1.0", "IDL:M/B:1.0", "IDL:M/A/B:1.0",
                            "IDL:M_A:1.0",   "IDL:B:1.0",   "LOCAL:1",     "LOCAL:2",
                            "LOCAL:3",       "LOCAL:4",     "::",          "IDL:kiv/IUnknown:1.0",
                            KIV_TLIB_ROOT_ID};
// Names: plain, keywords, the generator's own words, colliding spellings and non-identifiers.
const char *const kNames[] = {"A",        "B",       "A_B", "B_DEFINED", "class", "self",
                              "result",   "get_x",   "x",   "register",  "",      "a b",
                              "IUnknown", "release", "_d",  "9lives",    "N",     "DEFINED"};

class Builder {
  public:
    Builder(kivTLib *t, Choices &in) : t_(t), in_(in) {}

    void run() {
        kivTLibCreateRoot(t_, 0, nullptr);
        kivTLibCreateModule(t_, "M", "IDL:M:1.0", KIV_TLIB_ROOT_ID, 0, nullptr);
        for (int step = 0; in_.more() && step < 64; ++step) one();
    }

  private:
    const char *id() { return kIds[in_.pick(std::size(kIds))]; }
    const char *name() { return kNames[in_.pick(std::size(kNames))]; }

    kivTLibTypeRef type() {
        auto tag = static_cast<kivTLibTypeTag>(in_.pick(28));
        bool withId = tag >= KIV_TYPE_STRING && tag <= KIV_TYPE_INTERFACE;
        return {tag, withId && (tag > KIV_TYPE_WSTRING || in_.byte() & 1) ? id() : nullptr};
    }

    kivTLibValue value(kivTLibTypeTag tag) {
        kivTLibValue v{};
        v.tag = tag;
        if (tag == KIV_TYPE_STRING || tag == KIV_TYPE_WSTRING) {
            strings_.emplace_back();
            for (size_t n = in_.pick(8); n; --n) strings_.back() += static_cast<char>(in_.byte());
            v.str = strings_.back().c_str();
        } else if (tag == KIV_TYPE_DECIMAL128) {
            v.d128[0] = in_.word();
            v.d128[1] = uint64_t{in_.word()} << 32;
        } else {
            v.u64 = (uint64_t{in_.word()} << 32) | in_.word();
        }
        return v;
    }

    void one() {
        const char *n = name(), *repoId = id(), *scope = id();
        switch (in_.pick(10)) {
            case 0:
                kivTLibCreateModule(t_, n, repoId, scope, 0, nullptr);
                break;
            case 1: {
                std::vector<kivTLibStructMember> members(1 + in_.pick(3));
                for (auto &m : members) m = {name(), type()};
                kivTLibCreateStruct(t_, n, repoId, scope, 0, static_cast<uint32_t>(members.size()),
                                    members.data(), nullptr);
                break;
            }
            case 2: {
                kivTLibTypeRef d = type();
                std::vector<kivTLibUnionCase> cases(1 + in_.pick(3));
                for (auto &c : cases)
                    c = {name(), type(), in_.byte() & 1 ? value(d.tag) : kivTLibValue{}};
                kivTLibCreateUnion(t_, n, repoId, scope, 0, &d, static_cast<uint32_t>(cases.size()),
                                   cases.data(), nullptr);
                break;
            }
            case 3: {
                std::vector<kivTLibEnumMember> members(1 + in_.pick(3));
                for (auto &m : members) m = {name(), in_.byte()};
                kivTLibCreateEnum(t_, n, repoId, scope, 0, static_cast<uint32_t>(members.size()),
                                  members.data(), nullptr);
                break;
            }
            case 4: {
                kivTLibTypeRef t = type();
                kivTLibCreateAlias(t_, n, repoId, scope, 0, &t, nullptr);
                break;
            }
            case 5: {
                kivTLibTypeRef t = type();
                kivTLibValue v = value(t.tag);
                kivTLibCreateConstant(t_, n, repoId, scope, 0, &t, &v, nullptr);
                break;
            }
            case 6:
                interface(n, repoId, scope);
                break;
            case 7: {
                kivTLibTypeRef element = type();
                uint32_t size = in_.pick(4);
                switch (in_.pick(4)) {
                    case 0:
                        kivTLibCreateSequence(t_, repoId, 0, size, &element, nullptr);
                        break;
                    case 1:
                        kivTLibCreateArray(t_, repoId, 0, size, &element, nullptr);
                        break;
                    case 2:
                        kivTLibCreateString(t_, repoId, 0, size, nullptr);
                        break;
                    default:
                        kivTLibCreateWString(t_, repoId, 0, size, nullptr);
                        break;
                }
                break;
            }
            case 8: {  // a scope lists a definition it does not hold
                kivTLibDef *def = nullptr;
                if (kivTLibGetDefinition(t_, scope, &def) == 0 &&
                    kiv::tlib::appendContent(def, repoId))
                    t_->modified.insert(def);
                break;
            }
            default: {  // a definition claims another scope
                kivTLibDef *def = nullptr;
                if (kivTLibGetDefinition(t_, repoId, &def) == 0 && def->scopeId) {
                    def->scopeId = kiv::tlib::intern(def->strings, scope);
                    def->flags |= KIV_DEF_MODIFIED;
                    t_->modified.insert(def);
                }
                break;
            }
        }
    }

    void interface(const char *n, const char *repoId, const char *scope) {
        if (in_.byte() & 1) {
            kivTLibCreateInterfaceFwd(t_, n, repoId, scope, 0, nullptr);
            return;
        }
        std::vector<kivTLibMember> members(in_.pick(3));
        std::vector<std::vector<kivTLibParam>> params(members.size());
        for (size_t i = 0; i < members.size(); ++i) {
            bool attribute = in_.byte() & 1;
            members[i] = {attribute ? KIV_MEMBER_ATTRIBUTE : KIV_MEMBER_OPERATION,
                          name(),
                          in_.byte() & 1 ? KIV_MEMBER_READONLY : 0u,
                          type(),
                          0,
                          nullptr};
            if (attribute) continue;
            params[i].resize(in_.pick(3));
            for (auto &p : params[i])
                p = {name(), type(), static_cast<uint32_t>(KIV_PARAM_IN + in_.pick(3))};
            members[i].paramCount = static_cast<uint32_t>(params[i].size());
            members[i].params = params[i].data();
        }
        kivTLibCreateInterface(t_, n, repoId, scope, 0, in_.byte() & 1 ? id() : nullptr,
                               static_cast<uint32_t>(members.size()), members.data(), nullptr);
    }

    kivTLib *t_;
    Choices &in_;
    std::vector<std::string> strings_;  // texts of values, alive until the library is flushed
};

void readWithTools(const std::string &path) {
    std::unique_ptr<kivtool::Library> library;
    if (kivtool::Library::open(path, &library) != 0) return;
    for (auto lang : {kivtool::HeaderLang::C, kivtool::HeaderLang::Cxx}) {
        std::string header, error;
        kivtool::generateHeader(library->handle(), {}, lang, "FUZZ_H", header, error);
        for (const char *repoId : kIds) {
            const std::string one[] = {repoId};
            kivtool::generateHeader(library->handle(), one, lang, "FUZZ_H", header, error);
        }
    }
    kivtool::idl::printLibrary(*library);
    for (const char *repoId : kIds)
        if (const kivTLibDef *def = library->find(repoId))
            kivtool::idl::printDefinition(*library, def);
    kivtool::checkFile(path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = kivfuzz::scratchLibrary("hostile-fuzz");
    unlink(path.c_str());
    kivTLib *t = nullptr;
    if (kivTLibCreate(path.c_str(), 0, &t) != 0) std::abort();
    Choices in(data, size);
    Builder(t, in).run();
    kivResult flushed = kivTLibFlush(t);
    kivTLibClose(t);
    if (flushed == 0) readWithTools(path);
    return 0;
}
