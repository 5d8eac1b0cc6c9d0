// A process that uses the registry through its factory entry, for the multi-process tests; its
// user store is the one KIV_REGISTRY_USER names.
//
//   registry_client write ID COUNT        COUNT values under Shared, named wID-N
//   registry_client churn                 rewrites Churn\blob until killed
//   registry_client check-readonly [UID]  reports what a reader (running as UID) may do
#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "regdb/regdb.h"

namespace {

constexpr uint32_t kReadWrite = 0x001 | 0x004 | 0x008 | 0x010;

void check(kivResult rc, const char *what) {
    if (rc == 0) return;
    std::fprintf(stderr, "%s: 0x%08x\n", what, rc);
    std::exit(1);
}

IRegistry *registry() {
    IObjectFactory *factory = nullptr;
    void *out = nullptr;
    check(kiv::regdb::factoryEntry(KIV_CLSID_REGISTRY, KIV_IID_IOBJECTFACTORY,
                                   reinterpret_cast<void **>(&factory)),
          "factory");
    check(factory->vtbl->createInstance(factory, nullptr, KIV_IID_IREGISTRY, &out), "registry");
    return static_cast<IRegistry *>(out);
}

int32_t openKey(IRegistry *reg, const char *path) {
    int32_t root, key;
    check(reg->vtbl->openUserRoot(reg, 0, kReadWrite, &root), "root");
    check(reg->vtbl->openKey(reg, root, path, KIV_REG_OPTION_CREATE, kReadWrite, 0, &key), path);
    return key;
}

void setValue(IRegistry *reg, int32_t key, const std::string &name, RegistryValue value) {
    check(reg->vtbl->setValue(reg, key, name.c_str(), &value), name.c_str());
}

int checkReadOnly(IRegistry *reg) {
    int32_t root = KIV_REG_NO_KEY, key = KIV_REG_NO_KEY, created;
    std::printf("write-root 0x%08x\n", reg->vtbl->openUserRoot(reg, 0x60000, 9, &root));
    std::printf("read-root 0x%08x\n", reg->vtbl->openUserRoot(reg, 0x60000, 8, &root));
    std::printf("create 0x%08x\n", reg->vtbl->openKey(reg, root, "New", 1, 8, 0, &created));
    std::printf("open 0x%08x\n", reg->vtbl->openKey(reg, root, "Shared", 1, 8, 0, &key));
    RegistryValue value;
    kivResult rc = reg->vtbl->queryValue(reg, key, "greeting", &value);
    std::printf("value 0x%08x %s\n", rc, value.kind == KIV_REG_STRING ? value.string : "");
    kivRegistryValueClear(&value);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "check-readonly" && argc > 2) {
        uid_t uid = static_cast<uid_t>(std::atoi(argv[2]));
        if (setgroups(0, nullptr) || setgid(uid) || setuid(uid)) return 1;
    }
    IRegistry *reg = registry();
    if (command == "write" && argc == 4) {
        int32_t key = openKey(reg, "Shared");
        for (int i = 0; i < std::atoi(argv[3]); ++i) {
            std::string name = std::string("w") + argv[2] + "-" + std::to_string(i);
            setValue(reg, key, name, {.kind = KIV_REG_STRING, .string = name.data(), .bytes = {}});
        }
        return 0;
    }
    if (command == "churn") {
        // Version v of the blob: v in its first 8 bytes, then 64 KiB of the byte v & 0xff.
        int32_t key = openKey(reg, "Churn");
        std::vector<uint8_t> blob(65536);
        for (uint64_t version = 1;; ++version) {
            std::memset(blob.data(), static_cast<int>(version & 0xFF), blob.size());
            std::memcpy(blob.data(), &version, sizeof version);
            setValue(reg, key, "blob",
                     {.kind = KIV_REG_BYTES,
                      .count = static_cast<uint32_t>(blob.size()),
                      .bytes = blob.data()});
        }
    }
    if (command == "check-readonly") return checkReadOnly(reg);
    std::fprintf(stderr, "usage: registry_client write ID COUNT | churn | check-readonly [UID]\n");
    return 2;
}
