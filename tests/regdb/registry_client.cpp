// A process that uses the registry through its factory entry, for the multi-process tests.
// The stores are the ones KIV_REGISTRY_USER and KIV_REGISTRY_MACHINE name.
//
//   registry_client write ID COUNT        COUNT values under Shared and Writers\ID
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

constexpr uint32_t kReadWrite = 0x001 | 0x002 | 0x004 | 0x008 | 0x010;

IRegistry *registry() {
    IObjectFactory *factory = nullptr;
    void *out = nullptr;
    if (kiv::regdb::factoryEntry(KIV_CLSID_REGISTRY, KIV_IID_IOBJECTFACTORY,
                                 reinterpret_cast<void **>(&factory)) ||
        factory->vtbl->createInstance(factory, nullptr, KIV_IID_IREGISTRY, &out)) {
        std::fprintf(stderr, "no registry\n");
        std::exit(1);
    }
    factory->vtbl->release(factory);
    return static_cast<IRegistry *>(out);
}

void check(kivResult rc, const char *what) {
    if (rc == 0) return;
    std::fprintf(stderr, "%s: 0x%08x\n", what, rc);
    std::exit(1);
}

int32_t openPath(IRegistry *reg, int32_t root, const std::string &path) {
    int32_t key;
    check(reg->vtbl->openKey(reg, root, path.c_str(), KIV_REG_OPTION_CREATE, kReadWrite, 0, &key),
          path.c_str());
    return key;
}

int write(IRegistry *reg, const char *id, int count) {
    int32_t root;
    check(reg->vtbl->openUserRoot(reg, 0, kReadWrite, &root), "root");
    int32_t shared = openPath(reg, root, "Shared");
    int32_t own = openPath(reg, root, std::string("Writers\\") + id);
    for (int i = 0; i < count; ++i) {
        std::string name = std::string("w") + id + "-" + std::to_string(i);
        RegistryValue text{};
        text.kind = KIV_REG_STRING;
        text.string = name.data();
        check(reg->vtbl->setValue(reg, shared, name.c_str(), &text), "set shared");
        RegistryValue number{};
        number.kind = KIV_REG_INT32;
        number.int32 = static_cast<uint32_t>(i);
        check(reg->vtbl->setValue(reg, own, std::to_string(i).c_str(), &number), "set own");
    }
    return 0;
}

// Each version of the blob is 64 KiB of one byte value, preceded by its version number.
int churn(IRegistry *reg) {
    int32_t root;
    check(reg->vtbl->openUserRoot(reg, 0, kReadWrite, &root), "root");
    int32_t key = openPath(reg, root, "Churn");
    std::vector<uint8_t> blob(65536);
    for (uint64_t version = 1;; ++version) {
        std::memcpy(blob.data(), &version, sizeof version);
        std::memset(blob.data() + sizeof version, static_cast<int>(version & 0xFF),
                    blob.size() - sizeof version);
        RegistryValue value{};
        value.kind = KIV_REG_BYTES;
        value.count = static_cast<uint32_t>(blob.size());
        value.bytes = blob.data();
        check(reg->vtbl->setValue(reg, key, "blob", &value), "set blob");
    }
}

void dropTo(uid_t uid) {
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) {
        std::perror("dropping privileges");
        std::exit(1);
    }
}

int checkReadOnly(IRegistry *reg) {
    int32_t root = KIV_REG_NO_KEY, key = KIV_REG_NO_KEY, created = KIV_REG_NO_KEY;
    std::printf("write-root 0x%08x\n", reg->vtbl->openUserRoot(reg, 0x60000, 9, &root));
    std::printf("read-root 0x%08x\n", reg->vtbl->openUserRoot(reg, 0x60000, 8, &root));
    std::printf("create 0x%08x\n",
                reg->vtbl->openKey(reg, root, "New", KIV_REG_OPTION_CREATE, 8, 0, &created));
    std::printf("open 0x%08x\n",
                reg->vtbl->openKey(reg, root, "Shared", KIV_REG_OPTION_CREATE, 8, 0, &key));
    RegistryValue value;
    kivResult rc = reg->vtbl->queryValue(reg, key, "greeting", &value);
    if (rc == 0 && value.kind == KIV_REG_STRING)
        std::printf("value %s\n", value.string);
    else
        std::printf("value-error 0x%08x\n", rc);
    kivRegistryValueClear(&value);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "check-readonly" && argc > 2) dropTo(static_cast<uid_t>(std::atoi(argv[2])));
    IRegistry *reg = registry();
    if (command == "write" && argc == 4) return write(reg, argv[2], std::atoi(argv[3]));
    if (command == "churn") return churn(reg);
    if (command == "check-readonly") return checkReadOnly(reg);
    std::fprintf(stderr, "usage: registry_client write ID COUNT | churn | check-readonly [UID]\n");
    return 2;
}
