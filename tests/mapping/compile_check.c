// SPDX-License-Identifier: Apache-2.0
/* The generated C headers compile as strict C11; a structure's own header and the whole
 * library's can be included together. */
#include "everykind_point.h"
#include "everykind.h"

int mapping_compile_check(void);
int mapping_compile_check(void) {
    Geo_Point p = {1.0, 2.0};
    kivDecimal64 d = Geo_D64;
    return (int)p.x + (int)(d.bits & 1) + (int)sizeof(Geo_IShape_Cell);
}
