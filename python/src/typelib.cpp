// SPDX-License-Identifier: Apache-2.0
// Type libraries for kiv.TypeLibrary: read-only handles whose definitions reach Python as
// plain dictionaries (the package wraps them in classes), and their IDL text.
#include <pybind11/stl.h>

#include <memory>
#include <string>

#include "idl_printer.h"
#include "kivpy.h"
#include "tlib_library.h"

namespace kivpy {
namespace {

py::object text(const char *s) {
    return s ? py::object(py::str(s)) : py::object(py::none());
}

py::tuple typeRef(const kivTLibTypeRef &type) {
    return py::make_tuple(type.tag, text(type.repoId));
}

// (tag, payload) with the payload as the tag's plain Python value: decimals as their bits,
// chars as one-character strings; (0, None) for a default union label.
py::tuple value(const kivTLibValue &v) {
    py::object payload = py::none();
    switch (v.tag) {
        case KIV_TYPE_BOOLEAN:
            payload = py::bool_(v.u8 != 0);
            break;
        case KIV_TYPE_OCTET:
            payload = py::int_(v.u8);
            break;
        case KIV_TYPE_CHAR:
            payload = py::str(std::string(1, static_cast<char>(v.u8)));
            break;
        case KIV_TYPE_WCHAR:
            payload = py::int_(v.u16);
            break;
        case KIV_TYPE_SHORT:
            payload = py::int_(static_cast<int16_t>(v.u16));
            break;
        case KIV_TYPE_USHORT:
            payload = py::int_(v.u16);
            break;
        case KIV_TYPE_LONG:
            payload = py::int_(static_cast<int32_t>(v.u32));
            break;
        case KIV_TYPE_ULONG:
        case KIV_TYPE_ENUM:
        case KIV_TYPE_DECIMAL32:
            payload = py::int_(v.u32);
            break;
        case KIV_TYPE_LONGLONG:
            payload = py::int_(static_cast<int64_t>(v.u64));
            break;
        case KIV_TYPE_ULONGLONG:
        case KIV_TYPE_DECIMAL64:
            payload = py::int_(v.u64);
            break;
        case KIV_TYPE_FLOAT:
            payload = py::float_(v.f32);
            break;
        case KIV_TYPE_DOUBLE:
            payload = py::float_(v.f64);
            break;
        case KIV_TYPE_STRING:
        case KIV_TYPE_WSTRING:
            payload = text(v.str);
            break;
        case KIV_TYPE_DECIMAL128:
            payload = py::int_(v.d128[1]).attr("__lshift__")(64).attr("__or__")(v.d128[0]);
            break;
        default:
            break;
    }
    return py::make_tuple(v.tag, payload);
}

py::list idList(uint32_t count, const char *const *ids) {
    py::list list;
    for (uint32_t i = 0; i < count; ++i) list.append(text(ids[i]));
    return list;
}

py::list interfaceMembers(const kivTLibInterfaceDef &def) {
    py::list members;
    for (uint32_t i = 0; i < def.memberCount; ++i) {
        const kivTLibMember &m = def.members[i];
        py::list params;
        for (uint32_t p = 0; p < m.paramCount; ++p)
            params.append(py::make_tuple(text(m.params[p].name), typeRef(m.params[p].type),
                                         m.params[p].direction));
        py::dict member;
        member["kind"] = m.kind;
        member["name"] = text(m.name);
        member["flags"] = m.flags;
        member["type"] = typeRef(m.type);
        member["params"] = params;
        members.append(member);
    }
    return members;
}

py::dict describe(const kivTLibDef *def) {
    py::dict d;
    d["kind"] = def->kind;
    d["name"] = text(def->name);
    d["repo_id"] = text(def->repoId);
    d["scope_id"] = text(def->scopeId);
    d["flags"] = def->flags;
    switch (def->kind) {
        case KIV_DEF_MODULE: {
            auto *m = reinterpret_cast<const kivTLibModuleDef *>(def);
            d["contents"] = idList(m->contentCount, m->contents);
            break;
        }
        case KIV_DEF_INTERFACE: {
            auto *i = reinterpret_cast<const kivTLibInterfaceDef *>(def);
            d["base_id"] = text(i->baseId);
            d["contents"] = idList(i->contentCount, i->contents);
            d["members"] = interfaceMembers(*i);
            break;
        }
        case KIV_DEF_CONSTANT: {
            auto *c = reinterpret_cast<const kivTLibConstantDef *>(def);
            d["type"] = typeRef(c->type);
            d["value"] = value(c->value);
            break;
        }
        case KIV_DEF_STRUCT: {
            auto *s = reinterpret_cast<const kivTLibStructDef *>(def);
            d["contents"] = idList(s->contentCount, s->contents);
            py::list members;
            for (uint32_t i = 0; i < s->memberCount; ++i)
                members.append(
                    py::make_tuple(text(s->members[i].name), typeRef(s->members[i].type)));
            d["members"] = members;
            break;
        }
        case KIV_DEF_UNION: {
            auto *u = reinterpret_cast<const kivTLibUnionDef *>(def);
            d["contents"] = idList(u->contentCount, u->contents);
            d["discriminator"] = typeRef(u->discriminator);
            py::list cases;
            for (uint32_t i = 0; i < u->caseCount; ++i)
                cases.append(py::make_tuple(text(u->cases[i].name), typeRef(u->cases[i].type),
                                            value(u->cases[i].label)));
            d["cases"] = cases;
            break;
        }
        case KIV_DEF_ENUM: {
            auto *e = reinterpret_cast<const kivTLibEnumDef *>(def);
            py::list members;
            for (uint32_t i = 0; i < e->memberCount; ++i)
                members.append(py::make_tuple(text(e->members[i].name), e->members[i].value));
            d["members"] = members;
            break;
        }
        case KIV_DEF_ALIAS:
            d["type"] = typeRef(reinterpret_cast<const kivTLibAliasDef *>(def)->type);
            break;
        case KIV_DEF_STRING:
        case KIV_DEF_WSTRING:
            d["bound"] = reinterpret_cast<const kivTLibStringDef *>(def)->bound;
            break;
        case KIV_DEF_SEQUENCE: {
            auto *s = reinterpret_cast<const kivTLibSequenceDef *>(def);
            d["bound"] = s->bound;
            d["element"] = typeRef(s->element);
            break;
        }
        case KIV_DEF_ARRAY: {
            auto *a = reinterpret_cast<const kivTLibArrayDef *>(def);
            d["length"] = a->length;
            d["element"] = typeRef(a->element);
            break;
        }
        default:
            break;
    }
    return d;
}

class TypeLibrary {
  public:
    explicit TypeLibrary(const std::string &path) {
        kivResult rc = kivtool::Library::open(path, &library_);
        if (KIV_FAILED(rc)) raiseError(rc, kivtool::whyNotOpened(path, rc));
    }

    py::list definitions() const {
        kivtool::Library::Reachable reachable;
        check(library_->walk(&reachable), "reading the library");
        py::list list;
        for (const kivTLibDef *def : reachable.definitions) list.append(describe(def));
        return list;
    }

    // None for an id the library does not hold; a damaged record raises.
    py::object find(const std::string &repoId) const {
        kivResult rc = 0;
        const kivTLibDef *def = library_->find(repoId.c_str(), &rc);
        if (def) return describe(def);
        if (rc == KIV_E_UNKNOWN_REPOID) return py::none();
        raiseError(rc, "reading '" + repoId + "'");
    }

    std::string idl() const { return kivtool::idl::printLibrary(*library_); }

    std::string definitionIdl(const std::string &repoId) const {
        kivResult rc = 0;
        const kivTLibDef *def = library_->find(repoId.c_str(), &rc);
        if (!def) raiseError(rc, "reading '" + repoId + "'");
        return kivtool::idl::printDefinition(*library_, def);
    }

  private:
    std::unique_ptr<kivtool::Library> library_;
};

}  // namespace

void bindTypeLibrary(py::module_ &m) {
    py::class_<TypeLibrary>(m, "TypeLibrary")
        .def(py::init<const std::string &>())
        .def("definitions", &TypeLibrary::definitions)
        .def("find", &TypeLibrary::find)
        .def("idl", &TypeLibrary::idl)
        .def("definition_idl", &TypeLibrary::definitionIdl);
}

}  // namespace kivpy
