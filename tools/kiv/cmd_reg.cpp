// SPDX-License-Identifier: Apache-2.0
// kiv reg: the registry database from the command line, through IRegistry.
//
// KEY is a path below the root ("Software" of the user store, or of the machine store with
// --machine); '\' and '/' both separate names, and an empty KEY or "/" is the root itself.
#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "com/registry_access.h"
#include "reg_text.h"
#include "regdb/locations.h"

namespace kivtool {

namespace {

using kiv::com::RegistryKey;
using regtext::Value;

constexpr uint32_t kRead = KIV_REG_ACCESS_ENUMERATE | KIV_REG_ACCESS_QUERY;
constexpr uint32_t kWrite = KIV_REG_ACCESS_CREATE_SUBKEY | KIV_REG_ACCESS_SET | kRead;

// Not a library code: the tool's own answer when rm without -r meets a key with subkeys.
constexpr kivResult kHasSubkeys = 0xFFFFFFFF;

constexpr std::string_view kActions[] = {"ls", "tree",   "get",    "set",
                                         "rm", "export", "import", "where"};

struct RegArgs {
    std::string action;
    std::optional<bool> machine;  // --machine or --user, at most one of them once
    std::optional<std::string> type;
    bool json = false;
    bool recursive = false;
    std::vector<std::string> positional;  // KEY, VALUE-NAME, VALUE...
};

// The registry object with the reference the tool holds until it exits.
class Registry {
  public:
    kivResult create() {
        return kivCreateInstance(KIV_CLSID_REGISTRY, nullptr, KIV_CLSCTX_INPROC, nullptr,
                                 KIV_IID_IREGISTRY, reinterpret_cast<void **>(&reg_));
    }
    ~Registry() {
        if (reg_) reg_->vtbl->release(reg_);
    }
    IRegistry *get() const { return reg_; }

    kivResult openRoot(bool machine, uint32_t access, RegistryKey &key) const {
        return machine ? reg_->vtbl->openMachineRoot(reg_, 0, access, key.out())
                       : reg_->vtbl->openUserRoot(reg_, 0, access, key.out());
    }
    kivResult open(int32_t parent, const std::string &path, uint32_t options, uint32_t access,
                   RegistryKey &key) const {
        return reg_->vtbl->openKey(reg_, parent, path.c_str(), options, access, 0, key.out());
    }
    // The names of a key's subkeys or values.
    kivResult names(int32_t key, bool subKeys, std::vector<std::string> &out) const {
        StringList list;
        kivResult rc = subKeys ? reg_->vtbl->enumKeys(reg_, key, &list)
                               : reg_->vtbl->enumValues(reg_, key, &list);
        if (rc == 0) out.assign(list.strings, list.strings + list.count);
        kivStringListClear(&list);
        return rc;
    }
    kivResult query(int32_t key, const std::string &name, Value &out) const {
        RegistryValue value;
        kivResult rc = reg_->vtbl->queryValue(reg_, key, name.c_str(), &value);
        if (rc == 0) out = regtext::fromRegistry(name, value);
        kivRegistryValueClear(&value);
        return rc;
    }
    kivResult set(int32_t key, Value value) const {
        std::vector<char *> pointers;
        RegistryValue record = regtext::toRegistry(value, pointers);
        return reg_->vtbl->setValue(reg_, key, value.name.c_str(), &record);
    }
    // Deletes the subkey `name` of `parent` and, with `recursive`, everything below it first.
    kivResult removeKey(int32_t parent, const std::string &name, bool recursive) const;

  private:
    IRegistry *reg_ = nullptr;
};

std::string keyPath(std::string path) {
    for (char &c : path)
        if (c == '/') c = '\\';
    size_t start = path.find_first_not_of('\\');
    return start == std::string::npos ? std::string() : path.substr(start);
}

std::vector<std::string> splitKeyPath(const std::string &path) {
    std::vector<std::string> names;
    for (size_t start = 0; start < path.size();) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::string joinKeyPath(const std::vector<std::string> &names) {
    std::string path;
    for (const auto &name : names) path += (path.empty() ? "" : "\\") + name;
    return path;
}

// The value's data on one line (lists as quoted items) or, for `get`, one item per line.
std::string format(const Value &v, bool oneLine) {
    switch (v.kind) {
        case KIV_REG_BYTES:
            return regtext::hex(v.items[0]);
        case KIV_REG_INT32:
        case KIV_REG_INT64:
            return std::to_string(v.number);
        case KIV_REG_STRING:
            return v.items[0];
        case KIV_REG_STRING_LIST: {
            std::string text;
            for (size_t i = 0; i < v.items.size(); ++i) {
                if (oneLine)
                    text += std::string(i ? ", " : "") + "\"" + v.items[i] + "\"";
                else
                    text += v.items[i] + (i + 1 < v.items.size() ? "\n" : "");
            }
            return text;
        }
        default:
            return {};
    }
}

// The values of a key, one per line for people or as a JSON array; a value that cannot be read
// is shown with its error.
kivResult printValues(const Registry &reg, int32_t key, const std::string &indent, bool json,
                      std::string &out) {
    std::vector<std::string> valueNames;
    if (kivResult rc = reg.names(key, false, valueNames)) return rc;
    if (json) out += "[";
    for (size_t i = 0; i < valueNames.size(); ++i) {
        const std::string &name = valueNames[i];
        Value value;
        kivResult read = reg.query(key, name, value);
        if (json) {
            out += i ? "," : "";
            out += read ? "{\"name\":" + regtext::jsonString(name) +
                              ",\"error\":" + regtext::jsonString(kivStrError(read)) + "}"
                        : regtext::jsonValue(value);
            continue;
        }
        std::string shown = name.empty() ? "(default)" : name;
        if (read == 0)
            out += indent + shown + "  " + regtext::kindName(value.kind) + "  " +
                   format(value, true) + "\n";
        else
            out += indent + shown + "  (" + kivStrError(read) + ")\n";
    }
    if (json) out += "]";
    return 0;
}

// A depth-first walk of the keys below one key, parents before children, in name order. It
// keeps its own stack of open keys instead of recursing, so a key thousands of levels deep
// costs memory, not the process's stack. The registry checks every parent-to-child step
// against its key table, so a damaged store ends the walk with an error instead of a loop.
class TreeWalk {
  public:
    // Called on entering a key (after its name is on the path) and on leaving it.
    struct Visitor {
        virtual ~Visitor() = default;
        virtual kivResult enter(int32_t key, size_t depth) = 0;
        virtual void beforeChild(size_t index, const std::string &name, size_t depth) = 0;
        // Called after the key's handle is closed; its name is still last on the path.
        virtual kivResult leave(size_t depth) = 0;
    };

    TreeWalk(const Registry &reg, std::vector<std::string> &path) : reg_(reg), path_(path) {}

    kivResult run(int32_t top, Visitor &visitor) {
        frames_.clear();
        frames_.push_back(Frame{nullptr, top, {}, 0});
        if (kivResult rc = open(visitor)) return rc;
        while (!frames_.empty()) {
            Frame &frame = frames_.back();
            size_t depth = frames_.size() - 1;
            if (frame.next == frame.children.size()) {
                frames_.pop_back();
                if (kivResult rc = visitor.leave(depth)) return rc;
                if (!frames_.empty()) path_.pop_back();
                continue;
            }
            const std::string &name = frame.children[frame.next];
            visitor.beforeChild(frame.next++, name, depth);
            auto child = std::make_unique<RegistryKey>(reg_.get());
            if (kivResult rc = reg_.open(frame.key, name, 0, kRead, *child)) return rc;
            int32_t handle = child->get();
            path_.push_back(name);
            frames_.push_back(Frame{std::move(child), handle, {}, 0});
            if (kivResult rc = open(visitor)) return rc;
        }
        return 0;
    }

  private:
    struct Frame {
        std::unique_ptr<RegistryKey> owned;  // null for the walk's top key
        int32_t key;
        std::vector<std::string> children;
        size_t next;
    };

    kivResult open(Visitor &visitor) {
        Frame &frame = frames_.back();
        if (kivResult rc = visitor.enter(frame.key, frames_.size() - 1)) return rc;
        return reg_.names(frame.key, true, frame.children);
    }

    const Registry &reg_;
    std::vector<std::string> &path_;
    std::vector<Frame> frames_;
};

kivResult Registry::removeKey(int32_t parent, const std::string &name, bool recursive) const {
    if (recursive) {
        // Children go before their parent: each key is deleted as the walk leaves it.
        struct Remover : TreeWalk::Visitor {
            const Registry &reg;
            std::vector<int32_t> open;  // the key handles on the way down
            std::vector<std::string> &path;
            Remover(const Registry &r, std::vector<std::string> &p) : reg(r), path(p) {}
            kivResult enter(int32_t key, size_t) override {
                open.push_back(key);
                return 0;
            }
            void beforeChild(size_t, const std::string &, size_t) override {}
            kivResult leave(size_t depth) override {
                open.pop_back();
                if (depth == 0) return 0;
                return reg.get()->vtbl->deleteKey(reg.get(), open.back(), path.back().c_str());
            }
        };
        RegistryKey key(reg_);
        if (kivResult rc = open(parent, name, 0, kRead, key)) return rc;
        std::vector<std::string> path;
        Remover remover(*this, path);
        TreeWalk walk(*this, path);
        if (kivResult rc = walk.run(key.get(), remover)) return rc;
    }
    return reg_->vtbl->deleteKey(reg_, parent, name.c_str());
}

// Indentation stops growing past this depth, so that a very deep key prints in linear space.
constexpr size_t kMaxIndentDepth = 64;

std::string indentFor(size_t depth) {
    return std::string(2 * std::min(depth, kMaxIndentDepth), ' ');
}

// `kiv reg tree`: every key below one, with its values, as indented text or nested JSON.
kivResult printTree(const Registry &reg, int32_t top, const std::string &name, bool json,
                    std::string &out) {
    struct Printer : TreeWalk::Visitor {
        const Registry &reg;
        bool json;
        std::string &out;
        const std::string &topName;
        Printer(const Registry &r, bool j, std::string &o, const std::string &n)
            : reg(r), json(j), out(o), topName(n) {}
        kivResult enter(int32_t key, size_t depth) override {
            if (json) out += "{\"name\":" + regtext::jsonString(name(depth)) + ",\"values\":";
            if (kivResult rc = printValues(reg, key, indentFor(depth + 1), json, out)) return rc;
            if (json) out += ",\"subkeys\":[";
            return 0;
        }
        void beforeChild(size_t index, const std::string &child, size_t depth) override {
            if (json)
                out += index ? "," : "";
            else
                out += indentFor(depth + 1) + child + "\\\n";
            current = child;
        }
        kivResult leave(size_t) override {
            if (json) out += "]}";
            return 0;
        }
        std::string name(size_t depth) const { return depth ? current : topName; }
        std::string current;
    };
    if (!json) out += name + "\\\n";
    Printer printer(reg, json, out, name);
    std::vector<std::string> path;
    return TreeWalk(reg, path).run(top, printer);
}

// `kiv reg export`: every key from `top` down with its values, in the export format.
kivResult exportTree(const Registry &reg, int32_t top, std::vector<std::string> path,
                     std::string &out) {
    struct Exporter : TreeWalk::Visitor {
        const Registry &reg;
        std::vector<std::string> &path;
        std::string &out;
        Exporter(const Registry &r, std::vector<std::string> &p, std::string &o)
            : reg(r), path(p), out(o) {}
        kivResult enter(int32_t key, size_t) override {
            std::vector<std::string> valueNames;
            if (kivResult rc = reg.names(key, false, valueNames)) return rc;
            out.append("\n").append(regtext::keyLine(path)).append("\n");
            for (const auto &name : valueNames) {
                Value value;
                if (kivResult rc = reg.query(key, name, value)) return rc;
                out += regtext::valueLine(value) + "\n";
            }
            return 0;
        }
        void beforeChild(size_t, const std::string &, size_t) override {}
        kivResult leave(size_t) override { return 0; }
    };
    out = std::string(regtext::kHeader) + "\n";
    Exporter exporter(reg, path, out);
    return TreeWalk(reg, path).run(top, exporter);
}

// Parses an integer of at most `bits` bits: decimal (negative ones as two's complement) or
// hexadecimal with 0x.
std::optional<uint64_t> parseInteger(const std::string &text, int bits) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char *end = nullptr;
    bool negative = text[0] == '-';
    uint64_t value;
    if (negative) {
        long long n = std::strtoll(text.c_str(), &end, 0);
        if (bits == 32 && n < INT32_MIN) return std::nullopt;
        value = static_cast<uint64_t>(n);
        if (bits == 32) value &= 0xFFFFFFFFu;
    } else {
        value = std::strtoull(text.c_str(), &end, 0);
        if (bits == 32 && value > UINT32_MAX) return std::nullopt;
    }
    if (errno || *end != '\0') return std::nullopt;
    return value;
}

// Builds the value that `set` writes.
std::optional<Value> buildValue(const RegArgs &a, std::string &error) {
    std::vector<std::string> items(a.positional.begin() + 2, a.positional.end());
    std::string type = a.type.value_or("string");
    Value value{a.positional[1], regtext::kindNamed(type), 0, {}};
    bool single =
        value.kind == KIV_REG_STRING || value.kind == KIV_REG_INT32 || value.kind == KIV_REG_INT64;
    if (value.kind == KIV_REG_NONE) {
        error = "reg: unknown --type '" + type + "' (string, int32, int64, bytes or list)";
        return std::nullopt;
    }
    if (single && items.size() != 1) {
        error = "reg set: --type " + type + " takes exactly one VALUE";
        return std::nullopt;
    }
    if (value.kind == KIV_REG_INT32 || value.kind == KIV_REG_INT64) {
        auto number = parseInteger(items[0], value.kind == KIV_REG_INT32 ? 32 : 64);
        if (!number) {
            error = "reg set: not a valid " + type + ": " + items[0];
            return std::nullopt;
        }
        value.number = *number;
    } else if (value.kind == KIV_REG_BYTES) {
        std::string joined;
        for (const auto &item : items) {
            auto bytes = item.size() % 2 ? std::nullopt : regtext::unhex(item);
            if (!bytes) {
                error = "reg set: bytes are pairs of hexadecimal digits";
                return std::nullopt;
            }
            joined += *bytes;
        }
        value.items = {joined};
    } else {
        value.items = std::move(items);
    }
    return value;
}

constexpr OptionSpec kOptions[] = {
    {"--machine", false, 1},
    {"--user", false, 1},
    {"--json"},
    {"--type", true},
    // Of the short forms only -r is an option, so that a negative number is a VALUE.
    {"-r", false, 0, false, "--recursive"},
};

std::optional<RegArgs> parse(Args args, std::string &error) {
    RegArgs a;
    if (args.size() < 2) {
        error = "reg: expected ls, tree, get, set, rm, export, import or where";
        return std::nullopt;
    }
    a.action = args[1];
    const auto options = Options::parse(args, 2, kOptions, error);
    if (!options) {
        error = "reg: " + error;
        return std::nullopt;
    }
    if (options->has("--machine") || options->has("--user")) a.machine = options->has("--machine");
    if (auto type = options->value("--type")) a.type = std::string(*type);
    a.json = options->has("--json");
    a.recursive = options->has("-r");
    a.positional.assign(options->operands().begin(), options->operands().end());
    return a;
}

// The usage problem of a parsed command line, if any.
std::optional<std::string> usageProblem(const RegArgs &a) {
    const std::string &action = a.action;
    size_t count = a.positional.size();
    if (std::find(std::begin(kActions), std::end(kActions), action) == std::end(kActions))
        return "reg: unknown action '" + action + "'" +
               didYouMean(action, kActions, " (ls, tree, get, set, rm, export, import, where)");
    if (a.type && action != "set") return "reg " + action + ": --type is for set only";
    if (a.json && action != "ls" && action != "tree" && action != "get")
        return "reg " + action + ": --json is for ls, tree and get only";
    if (a.recursive && action != "rm") return "reg " + action + ": --recursive is for rm only";
    if (action == "where" && (count || a.machine)) return "reg where: takes no arguments";
    bool atMostKey = action == "ls" || action == "tree" || action == "export" || action == "import";
    if (atMostKey && count > 1) return "reg " + action + ": expected at most one KEY";
    if ((action == "get" || action == "rm") && (count < 1 || count > 2))
        return "reg " + action + ": expected KEY [VALUE-NAME]";
    if (action == "rm" && count == 2 && a.recursive)
        return "reg rm: --recursive removes keys, not values";
    if (action == "set" && count < 1) return "reg set: expected KEY [VALUE-NAME VALUE...]";
    if (action == "set" && count == 1 && a.type) return "reg set: --type needs a VALUE-NAME";
    if (action == "rm" && count == 1 && keyPath(a.positional[0]).empty())
        return "reg rm: the root key cannot be removed";
    return std::nullopt;
}

// Writes `text` to stdout; a failed write (a full disk, a closed pipe) is a failure.
int emit(const std::string &text, const std::string &what) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout))
        return failure(what, KIV_E_SYSTEM(errno ? errno : EIO));
    return kExitOk;
}

// The installation root as the library finds it: KIV_ROOT_DIR, else the folder of the library's
// file, one up when that folder is lib or bin.
std::string installationRoot() {
    if (const char *root = std::getenv("KIV_ROOT_DIR"); root && *root) return root;
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&kivInitialize), &info) || !info.dli_fname) return {};
    std::error_code ec;
    auto folder = std::filesystem::weakly_canonical(info.dli_fname, ec).parent_path();
    if (ec) return {};
    if (folder.filename() == "lib" || folder.filename() == "bin") folder = folder.parent_path();
    return folder.string();
}

int runWhere(const Registry &reg) {
    std::string root = installationRoot();
    const struct {
        const char *name;
        bool machine;
        std::string path;
    } stores[] = {{"machine", true, kiv::regdb::machineStorePath(root.c_str())},
                  {"user", false, kiv::regdb::userStorePath()}};
    std::string out;
    for (const auto &store : stores) {
        RegistryKey key(reg.get());
        kivResult rc = reg.openRoot(store.machine, kWrite, key);
        std::string state = rc == 0 ? "writable"
                            : rc == KIV_E_ACCESSDENIED
                                ? "read-only"
                                : std::string("unusable: ") + kivStrError(rc);
        out += std::string(store.name) + std::string(9 - std::strlen(store.name), ' ') +
               (store.path.empty() ? "(none)" : store.path) + "  " + state + "\n";
    }
    return emit(out, "reg where");
}

int runImport(const Registry &reg, const RegArgs &a, RegistryKey &root) {
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    std::string error;
    auto keys = regtext::parse(text, error);
    if (!keys) return usageError("reg import: " + error);
    std::vector<std::string> base =
        splitKeyPath(keyPath(a.positional.empty() ? std::string() : a.positional[0]));
    for (auto &entry : *keys) {
        std::vector<std::string> names = base;
        names.insert(names.end(), entry.path.begin(), entry.path.end());
        std::string path = joinKeyPath(names);
        RegistryKey key(reg.get());
        kivResult rc = reg.open(root.get(), path, KIV_REG_OPTION_CREATE, kWrite, key);
        for (auto &value : entry.values) {
            if (rc) break;
            rc = reg.set(key.get(), value);
            if (rc) path += " " + value.name;
        }
        if (!rc) rc = reg.get()->vtbl->flushKey(reg.get(), key.get());
        if (rc) return failure("reg import " + (path.empty() ? std::string("\\") : path), rc);
    }
    return kExitOk;
}

int run(const RegArgs &a) {
    if (auto problem = usageProblem(a)) return usageError(*problem);
    const std::string &action = a.action;
    size_t count = a.positional.size();
    std::string key = keyPath(count ? a.positional[0] : std::string());
    bool machine = a.machine.value_or(false);

    std::optional<Value> value;
    if (action == "set" && count >= 2) {
        std::string error;
        value = buildValue(a, error);
        if (!value) return usageError(error);
    }

    Registry reg;
    if (kivResult rc = reg.create()) return failure("reg: registry", rc);
    if (action == "where") return runWhere(reg);
    std::string what = "reg " + action + " " + (key.empty() ? "\\" : key);
    bool writing = action == "set" || action == "rm" || action == "import";
    RegistryKey root(reg.get());
    if (kivResult rc = reg.openRoot(machine, writing ? kWrite : kRead, root))
        return failure(what, rc);
    if (action == "import") return runImport(reg, a, root);

    if (action == "rm" && count == 1) {
        size_t split = key.rfind('\\');
        std::string parentPath = split == std::string::npos ? std::string() : key.substr(0, split);
        std::string name = key.substr(split == std::string::npos ? 0 : split + 1);
        RegistryKey parent(reg.get());
        kivResult rc = reg.open(root.get(), parentPath, 0, kRead, parent);
        if (!rc) rc = reg.removeKey(parent.get(), name, a.recursive);
        if (!rc) rc = reg.get()->vtbl->flushKey(reg.get(), parent.get());
        std::vector<std::string> children;
        if (rc == KIV_E_ACCESSDENIED && !a.recursive) {
            RegistryKey doomed(reg.get());
            if (!reg.open(parent.get(), name, 0, kRead, doomed) &&
                !reg.names(doomed.get(), true, children) && !children.empty())
                rc = kHasSubkeys;
        }
        if (rc == kHasSubkeys) {
            std::fprintf(stderr, "kiv: %s: the key has subkeys (rm -r removes them as well)\n",
                         what.c_str());
            return kExitFailure;
        }
        return rc ? failure(what, rc) : kExitOk;
    }

    RegistryKey target(reg.get());
    uint32_t options = action == "set" ? KIV_REG_OPTION_CREATE : 0;
    if (kivResult rc = reg.open(root.get(), key, options, writing ? kWrite : kRead, target))
        return failure(what, rc);
    std::string valueName = count >= 2 ? a.positional[1] : std::string();
    IRegistry *r = reg.get();

    std::string out;
    kivResult rc = 0;
    if (action == "ls") {
        std::vector<std::string> children;
        rc = reg.names(target.get(), true, children);
        if (a.json) {
            out = "{\"key\":" + regtext::jsonString(key) + ",\"subkeys\":[";
            for (size_t i = 0; i < children.size(); ++i)
                out += (i ? "," : "") + regtext::jsonString(children[i]);
            out += "],\"values\":";
        } else {
            for (const auto &name : children) out += name + "\\\n";
        }
        if (!rc) rc = printValues(reg, target.get(), "", a.json, out);
        if (a.json) out += "}\n";
    } else if (action == "tree") {
        std::string name = key.empty() ? "Software" : key;
        rc = printTree(reg, target.get(), name, a.json, out);
        if (a.json) out += "\n";
    } else if (action == "get") {
        Value read;
        rc = reg.query(target.get(), valueName, read);
        if (rc) return failure(what + " " + valueName, rc);
        bool nothing =
            read.kind == KIV_REG_NONE || (read.kind == KIV_REG_STRING_LIST && read.items.empty());
        if (a.json)
            out = regtext::jsonValue(read) + "\n";
        else if (!nothing)
            out = format(read, false) + "\n";
    } else if (action == "export") {
        rc = exportTree(reg, target.get(), splitKeyPath(key), out);
    } else if (action == "set") {
        if (value) rc = reg.set(target.get(), *value);
        if (!rc) rc = r->vtbl->flushKey(r, target.get());
        if (rc) return failure(what + (value ? " " + valueName : std::string()), rc);
    } else {
        rc = r->vtbl->deleteValue(r, target.get(), valueName.c_str());
        if (!rc) rc = r->vtbl->flushKey(r, target.get());
        if (rc) return failure(what + " " + valueName, rc);
    }
    if (rc) return failure(what, rc);
    return emit(out, what);
}

}  // namespace

int runReg(Args args) {
    std::string error;
    auto parsed = parse(args, error);
    if (!parsed) return usageError(error);
    return run(*parsed);
}

}  // namespace kivtool
