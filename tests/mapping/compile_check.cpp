// SPDX-License-Identifier: Apache-2.0
// The generated headers compile as C++ (both mappings in one translation unit).
#include "everykind.h"
#include "everykind.hpp"

int mappingCompileCheck();
int mappingCompileCheck() {
    constexpr kivDecimal128 d = Geo::D128;
    static_assert(d.words[0] == 5);
    static_assert(Geo::TOP == Geo::Level::HIGH);
    return static_cast<int>(sizeof(Geo::IShape_Cell) == sizeof(Geo_IShape_Cell));
}
