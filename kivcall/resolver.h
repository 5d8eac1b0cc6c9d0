// SPDX-License-Identifier: Apache-2.0
// Reads definitions of one library into a Model: types with their native layout, interfaces
// with their slots. Every library is untrusted: a type that cannot be laid out, a wrong tag or
// a loop gives a result code and never a crash.
#pragma once

#include "model.h"

namespace kcall {

class Resolver {
  public:
    Resolver(Model &model, kivTLib *tlib) : model_(model), tlib_(tlib) {}

    kivResult resolveInterface(const char *iid, Interface *&out);
    // Any definition that names a type (an interface names its reference type).
    kivResult resolveNamed(const char *repoId, Type *&out);

  private:
    kivResult typeOf(const kivTLibTypeRef &ref, const kcallType *&out, int depth);
    kivResult definition(const char *id, uint32_t kind, const kivTLibDef *&def);
    kivResult structType(const kivTLibDef *def, Type &t, int depth);
    kivResult unionType(const kivTLibDef *def, Type &t, int depth);
    kivResult enumType(const kivTLibDef *def, Type &t);
    kivResult interfaceRef(const char *iid, const kcallType *&out, int depth);
    kivResult resolveInterfaceAt(const char *iid, Interface *&out, int depth);
    kivResult layout(Type &t, int depth);
    kivResult members(const kivTLibDef *def, Interface &iface, int depth);
    std::string scopedName(const kivTLibDef *def);
    Type &newType(const char *repoId, uint32_t kind);

    Model &model_;
    kivTLib *tlib_;
};

}  // namespace kcall
