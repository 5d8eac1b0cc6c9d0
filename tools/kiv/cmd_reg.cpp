// kiv reg ls|tree|get|set|rm: the registry database from the command line, through IRegistry.
//
// KEY is a path below the root ("Software" of the user store, or of the machine store with
// --machine); '\' and '/' both separate names, and an empty KEY or "/" is the root itself.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"

namespace kivtool {

namespace {

constexpr uint32_t kRead = 0x004 | 0x008;  // enumerate, query
constexpr uint32_t kCreate = 0x001;
constexpr uint32_t kSet = 0x010;

struct RegArgs {
    std::string action;
    bool machine = false;
    std::string type = "string";
    std::vector<std::string> positional;  // KEY, VALUE-NAME, VALUE...
};

// A key handle closed when it goes out of scope.
class OpenKey {
  public:
    OpenKey(IRegistry *reg) : reg_(reg) {}
    ~OpenKey() {
        if (handle_ != KIV_REG_NO_KEY) reg_->vtbl->closeKey(reg_, handle_);
    }
    OpenKey(const OpenKey &) = delete;
    OpenKey &operator=(const OpenKey &) = delete;

    int32_t *out() { return &handle_; }
    int32_t get() const { return handle_; }

  private:
    IRegistry *reg_;
    int32_t handle_ = KIV_REG_NO_KEY;
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
    IRegistry *operator->() const { return reg_; }
    IRegistry *get() const { return reg_; }

  private:
    IRegistry *reg_ = nullptr;
};

std::string keyPath(std::string path) {
    for (char &c : path)
        if (c == '/') c = '\\';
    size_t start = path.find_first_not_of('\\');
    return start == std::string::npos ? std::string() : path.substr(start);
}

const char *kindName(uint32_t kind) {
    static const char *const kNames[] = {"none", "bytes", "int32", "int64", "string", "list"};
    return kind < std::size(kNames) ? kNames[kind] : "unknown";
}

std::string hex(const void *data, uint32_t count) {
    std::string text;
    char digits[3];
    for (uint32_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<const uint8_t *>(data)[i]);
        text += digits;
    }
    return text;
}

// The value's data on one line (lists as quoted items) or, for `get`, one item per line.
std::string format(const RegistryValue &v, bool oneLine) {
    char number[32];
    switch (v.kind) {
        case KIV_REG_BYTES:
            return hex(v.bytes, v.count);
        case KIV_REG_INT32:
            std::snprintf(number, sizeof number, "%" PRIu32, v.int32);
            return number;
        case KIV_REG_INT64:
            std::snprintf(number, sizeof number, "%" PRIu64, v.int64);
            return number;
        case KIV_REG_STRING:
            return v.string;
        case KIV_REG_STRING_LIST: {
            std::string text;
            for (uint32_t i = 0; i < v.count; ++i) {
                if (oneLine)
                    text += std::string(i ? ", " : "") + "\"" + v.strings[i] + "\"";
                else
                    text += std::string(v.strings[i]) + (i + 1 < v.count ? "\n" : "");
            }
            return text;
        }
        default:
            return {};
    }
}

std::vector<std::string> names(IRegistry *reg, int32_t key, bool subKeys, kivResult &rc) {
    StringList list;
    rc = subKeys ? reg->vtbl->enumKeys(reg, key, &list) : reg->vtbl->enumValues(reg, key, &list);
    std::vector<std::string> result;
    if (rc == 0) result.assign(list.strings, list.strings + list.count);
    kivStringListClear(&list);
    return result;
}

kivResult printValues(IRegistry *reg, int32_t key, const std::string &indent) {
    kivResult rc;
    for (const auto &name : names(reg, key, false, rc)) {
        RegistryValue value;
        kivResult read = reg->vtbl->queryValue(reg, key, name.c_str(), &value);
        std::string shown = name.empty() ? "(default)" : name;
        if (read == 0)
            std::printf("%s%s  %s  %s\n", indent.c_str(), shown.c_str(), kindName(value.kind),
                        format(value, true).c_str());
        else
            std::printf("%s%s  (%s)\n", indent.c_str(), shown.c_str(), kivStrError(read));
        kivRegistryValueClear(&value);
    }
    return rc;
}

kivResult printTree(IRegistry *reg, int32_t key, const std::string &indent) {
    if (kivResult rc = printValues(reg, key, indent)) return rc;
    kivResult rc;
    for (const auto &name : names(reg, key, true, rc)) {
        std::printf("%s%s\\\n", indent.c_str(), name.c_str());
        OpenKey child(reg);
        if (kivResult open = reg->vtbl->openKey(reg, key, name.c_str(), 0, kRead, 0, child.out()))
            return open;
        if (kivResult sub = printTree(reg, child.get(), indent + "  ")) return sub;
    }
    return rc;
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

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Pairs of hexadecimal digits, the arguments taken one after the other.
std::optional<std::string> parseHex(const std::vector<std::string> &parts) {
    std::string bytes;
    for (const auto &part : parts) {
        if (part.size() % 2) return std::nullopt;
        for (size_t i = 0; i < part.size(); i += 2) {
            int high = nibble(part[i]), low = nibble(part[i + 1]);
            if (high < 0 || low < 0) return std::nullopt;
            bytes.push_back(static_cast<char>(high << 4 | low));
        }
    }
    return bytes;
}

// Builds the value that `set` writes; the strings in `storage` back its pointers.
std::optional<RegistryValue> buildValue(const RegArgs &a, std::vector<std::string> &storage,
                                        std::vector<char *> &pointers, std::string &error) {
    std::vector<std::string> items(a.positional.begin() + 2, a.positional.end());
    RegistryValue value{};
    bool single = a.type == "string" || a.type == "int32" || a.type == "int64";
    if (single && items.size() != 1) {
        error = "reg set: --type " + a.type + " takes exactly one VALUE";
        return std::nullopt;
    }
    if (a.type == "string") {
        storage = items;
        value.kind = KIV_REG_STRING;
        value.string = storage[0].data();
    } else if (a.type == "int32" || a.type == "int64") {
        auto number = parseInteger(items[0], a.type == "int32" ? 32 : 64);
        if (!number) {
            error = "reg set: not a valid " + a.type + ": " + items[0];
            return std::nullopt;
        }
        value.kind = a.type == "int32" ? KIV_REG_INT32 : KIV_REG_INT64;
        if (value.kind == KIV_REG_INT32)
            value.int32 = static_cast<uint32_t>(*number);
        else
            value.int64 = *number;
    } else if (a.type == "bytes") {
        auto bytes = parseHex(items);
        if (!bytes) {
            error = "reg set: bytes are pairs of hexadecimal digits";
            return std::nullopt;
        }
        storage = {*bytes};
        value.kind = KIV_REG_BYTES;
        value.count = static_cast<uint32_t>(storage[0].size());
        value.bytes = storage[0].data();
    } else if (a.type == "list") {
        storage = items;
        for (auto &s : storage) pointers.push_back(s.data());
        value.kind = KIV_REG_STRING_LIST;
        value.count = static_cast<uint32_t>(pointers.size());
        value.strings = pointers.data();
    } else {
        error = "reg: unknown --type '" + a.type + "' (string, int32, int64, bytes or list)";
        return std::nullopt;
    }
    return value;
}

std::optional<RegArgs> parse(Args args, std::string &error) {
    RegArgs a;
    if (args.size() < 2) {
        error = "reg: expected ls, tree, get, set or rm";
        return std::nullopt;
    }
    a.action = args[1];
    bool options = true;
    for (size_t i = 2; i < args.size(); ++i) {
        std::string arg = args[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && arg == "--machine") {
            a.machine = true;
        } else if (options && arg == "--user") {
            a.machine = false;
        } else if (options && (arg == "--type" || arg.starts_with("--type="))) {
            if (arg == "--type" && i + 1 == args.size()) {
                error = "reg: --type needs a value";
                return std::nullopt;
            }
            a.type = arg == "--type" ? std::string(args[++i]) : arg.substr(7);
        } else if (options && arg.starts_with("--")) {
            error = "reg: unknown option " + arg;
            return std::nullopt;
        } else {
            a.positional.push_back(arg);
        }
    }
    return a;
}

int run(const RegArgs &a) {
    const std::string action = a.action;
    size_t count = a.positional.size();
    bool known =
        action == "ls" || action == "tree" || action == "get" || action == "set" || action == "rm";
    if (!known) return usageError("reg: unknown action '" + action + "' (ls, tree, get, set, rm)");
    if ((action == "ls" || action == "tree") && count > 1)
        return usageError("reg " + action + ": expected at most one KEY");
    if ((action == "get" || action == "rm") && (count < 1 || count > 2))
        return usageError("reg " + action + ": expected KEY [VALUE-NAME]");
    if (action == "set" && count < 1)
        return usageError("reg set: expected KEY [VALUE-NAME VALUE...]");
    std::string key = keyPath(count ? a.positional[0] : std::string());
    if (action == "rm" && count == 1 && key.empty())
        return usageError("reg rm: the root key cannot be removed");

    std::vector<std::string> storage;
    std::vector<char *> pointers;
    std::optional<RegistryValue> value;
    if (action == "set" && count >= 2) {
        std::string error;
        value = buildValue(a, storage, pointers, error);
        if (!value) return usageError(error);
    } else if (action == "set" && a.type != "string") {
        return usageError("reg set: --type needs a VALUE-NAME");
    }

    Registry reg;
    if (kivResult rc = reg.create()) return failure("reg: registry", rc);
    std::string what = "reg " + action + " " + (key.empty() ? "\\" : key);
    bool writing = action == "set" || action == "rm";
    uint32_t rootAccess = action == "set" ? kCreate | 0x008 : 0x008 | (writing ? 0 : kRead);
    OpenKey root(reg.get());
    kivResult rc = a.machine ? reg->vtbl->openMachineRoot(reg.get(), 0, rootAccess, root.out())
                             : reg->vtbl->openUserRoot(reg.get(), 0, rootAccess, root.out());
    if (rc) return failure(what, rc);

    if (action == "rm" && count == 1) {
        size_t split = key.rfind('\\');
        std::string parentPath = split == std::string::npos ? std::string() : key.substr(0, split);
        std::string name = key.substr(split == std::string::npos ? 0 : split + 1);
        OpenKey parent(reg.get());
        rc = reg->vtbl->openKey(reg.get(), root.get(), parentPath.c_str(), 0, 0x008, 0,
                                parent.out());
        if (!rc) rc = reg->vtbl->deleteKey(reg.get(), parent.get(), name.c_str());
        if (!rc) rc = reg->vtbl->flushKey(reg.get(), parent.get());
        return rc ? failure(what, rc) : kExitOk;
    }

    OpenKey target(reg.get());
    uint32_t options = action == "set" ? KIV_REG_OPTION_CREATE : 0;
    uint32_t access = action == "set" ? kCreate | kSet | 0x008 : action == "rm" ? kSet : kRead;
    rc = reg->vtbl->openKey(reg.get(), root.get(), key.c_str(), options, access, 0, target.out());
    if (rc) return failure(what, rc);
    const char *valueName = count >= 2 ? a.positional[1].c_str() : "";

    if (action == "ls") {
        kivResult listed;
        for (const auto &name : names(reg.get(), target.get(), true, listed))
            std::printf("%s\\\n", name.c_str());
        if (!listed) listed = printValues(reg.get(), target.get(), "");
        return listed ? failure(what, listed) : kExitOk;
    }
    if (action == "tree") {
        std::printf("%s\\\n", key.empty() ? "Software" : key.c_str());
        rc = printTree(reg.get(), target.get(), "  ");
        return rc ? failure(what, rc) : kExitOk;
    }
    if (action == "get") {
        RegistryValue read;
        rc = reg->vtbl->queryValue(reg.get(), target.get(), valueName, &read);
        if (rc) return failure(what + " " + valueName, rc);
        std::string text = format(read, false);
        bool nothing =
            read.kind == KIV_REG_NONE || (read.kind == KIV_REG_STRING_LIST && !read.count);
        kivRegistryValueClear(&read);
        if (!nothing) std::printf("%s\n", text.c_str());
        return kExitOk;
    }
    if (action == "set") {
        if (value) rc = reg->vtbl->setValue(reg.get(), target.get(), valueName, &*value);
        if (!rc) rc = reg->vtbl->flushKey(reg.get(), target.get());
        return rc ? failure(what, rc) : kExitOk;
    }
    rc = reg->vtbl->deleteValue(reg.get(), target.get(), valueName);
    if (!rc) rc = reg->vtbl->flushKey(reg.get(), target.get());
    return rc ? failure(what + " " + valueName, rc) : kExitOk;
}

}  // namespace

int runReg(Args args) {
    std::string error;
    auto parsed = parse(args, error);
    if (!parsed) return usageError(error);
    return run(*parsed);
}

}  // namespace kivtool
