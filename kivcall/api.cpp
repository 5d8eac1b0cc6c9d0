// SPDX-License-Identifier: Apache-2.0
// Exported entry points for type information and calls.
#include <cstring>
#include <string>

#include "catalog.h"
#include "invoke.h"

using namespace kcall;

namespace {

// A lookup by id: the argument checks, and *out set only on success.
template <typename Public, typename Internal, typename Find>
kivResult lookUp(const char *id, const Public **out, const char *nullId, Find find) {
    if (!out) return fail(KIV_E_INVALIDARG, "a null out pointer");
    *out = nullptr;
    if (!id) return fail(KIV_E_INVALIDARG, nullId);
    const Internal *found = nullptr;
    kivResult rc = find(id, &found);
    if (KIV_SUCCEEDED(rc)) *out = found;
    return rc;
}

}  // namespace

KIV_API kivResult kcallFindInterface(const char *iid, const kcallInterface **out) noexcept {
    return lookUp<kcallInterface, Interface>(
        iid, out, "a null interface id",
        [](const char *id, const Interface **found) { return findInterface(id, found); });
}

KIV_API kivResult kcallHoldInterface(const char *iid, const kcallInterface **out) noexcept {
    return lookUp<kcallInterface, Interface>(iid, out, "a null interface id", holdInterface);
}

KIV_API kivResult kcallReleaseInterface(const kcallInterface *iface) noexcept {
    if (!iface) return fail(KIV_E_INVALIDARG, "a null interface");
    if (!releaseHold(iface)) return fail(KIV_E_INVALIDARG, "an interface that is not held");
    return 0;
}

KIV_API kivResult kcallFindType(const char *repoId, const kcallType **out) noexcept {
    return lookUp<kcallType, Type>(repoId, out, "a null repository id", findType);
}

KIV_API const kcallType *kcallBasicType(uint32_t kind) noexcept {
    if (kind > KIV_TYPE_DOUBLE && kind != KIV_TYPE_STRING && kind != KIV_TYPE_WSTRING &&
        kind < KIV_TYPE_DECIMAL32)
        return nullptr;
    return basicType(kind);
}

KIV_API const kcallMember *kcallFindMember(const kcallInterface *iface, const char *name) noexcept {
    if (!iface || !name) return nullptr;
    for (uint32_t i = 0; i < iface->memberCount; ++i)
        if (std::strcmp(iface->members[i].name, name) == 0) return &iface->members[i];
    return nullptr;
}

KIV_API kivResult kcallLocateInterface(const char *iid, char **path, uint32_t *source) noexcept {
    if (!iid || !path) return fail(KIV_E_INVALIDARG, "a null argument");
    *path = nullptr;
    std::string found;
    uint32_t where = 0;
    kivResult rc = locateInterface(iid, found, where);
    if (KIV_FAILED(rc)) return rc;
    *path = kivStrDup(found.c_str());
    if (source) *source = where;
    return 0;
}

KIV_API kivResult kcallEnumInterfaces(kcallInterfaceVisitor visit, void *context) noexcept {
    if (!visit) return fail(KIV_E_INVALIDARG, "a null visitor");
    for (const ServedInterface &i : servedInterfaces())
        if (visit(context, i.iid.c_str(), i.name.c_str(), i.library.c_str()) != 0) break;
    return 0;
}

KIV_API kivResult kcallPrepare(const char *iid, const char *name, uint32_t access,
                               const kcallMethod **out) noexcept {
    if (!out) return fail(KIV_E_INVALIDARG, "a null out pointer");
    *out = nullptr;
    if (!iid || !name) return fail(KIV_E_INVALIDARG, "a null interface id or member name");
    const Interface *iface = nullptr;
    ModelPin pin;  // the version stays while the method is made, whatever other threads read
    kivResult rc = findInterface(iid, &iface, &pin);
    if (KIV_FAILED(rc)) return rc;
    const Method *m = nullptr;
    if (KIV_FAILED(rc = prepareByName(*iface, name, access, m))) return rc;
    *out = m;
    return 0;
}

KIV_API kivResult kcallPrepareMember(const kcallInterface *iface, const kcallMember *member,
                                     uint32_t access, const kcallMethod **out) noexcept {
    if (!out) return fail(KIV_E_INVALIDARG, "a null out pointer");
    *out = nullptr;
    if (!iface || !member || member < iface->members ||
        member >= iface->members + iface->memberCount)
        return fail(KIV_E_INVALIDARG, "a member of another interface");
    if (!iface->library || !*iface->library)
        return fail(KCALL_E_NO_MEMBER, "a built-in interface without members");
    const Method *m = nullptr;
    kivResult rc = prepareMethod(*asInterface(iface), *member, access, m);
    if (KIV_SUCCEEDED(rc)) *out = m;
    return rc;
}

KIV_API kivResult kcallInvoke(const kcallMethod *method, void *object, kcallValue *args,
                              uint32_t argCount, kcallValue *result) noexcept {
    if (!method) return fail(KIV_E_INVALIDARG, "a null method");
    return invoke(*static_cast<const Method *>(method), object, args, argCount, result);
}

namespace {

// The version pinned stays alive during the call even if another thread reads the library again.
kivResult attribute(void *object, const char *iid, const char *name, uint32_t access,
                    const Method *&m, ModelPin &pin) {
    if (!iid || !name) return fail(KIV_E_INVALIDARG, "a null interface id or name");
    const Interface *iface = nullptr;
    kivResult rc = findInterface(iid, &iface, &pin);
    if (KIV_FAILED(rc)) return rc;
    if (!object) return fail(KIV_E_POINTER, "a null object");
    const kcallMember *member = kcallFindMember(iface, name);
    if (!member || member->kind != KIV_MEMBER_ATTRIBUTE)
        return fail(KCALL_E_NO_MEMBER, std::string(iface->name) + " has no attribute " + name);
    return prepareMethod(*iface, *member, access, m);
}

}  // namespace

KIV_API kivResult kcallGetAttribute(void *object, const char *iid, const char *name,
                                    kcallValue *value) noexcept {
    if (!value) return fail(KIV_E_INVALIDARG, "a null value");
    const Method *m = nullptr;
    ModelPin pin;
    kivResult rc = attribute(object, iid, name, KCALL_GET, m, pin);
    return KIV_FAILED(rc) ? rc : invoke(*m, object, nullptr, 0, value);
}

KIV_API kivResult kcallSetAttribute(void *object, const char *iid, const char *name,
                                    const kcallValue *value) noexcept {
    if (!value) return fail(KIV_E_INVALIDARG, "a null value");
    const Method *m = nullptr;
    ModelPin pin;
    kivResult rc = attribute(object, iid, name, KCALL_SET, m, pin);
    // An `in` argument is only read, so the const value can be passed as it is.
    return KIV_FAILED(rc) ? rc : invoke(*m, object, const_cast<kcallValue *>(value), 1, nullptr);
}
