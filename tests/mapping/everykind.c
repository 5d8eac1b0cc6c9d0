// SPDX-License-Identifier: Apache-2.0
/* Builds a type library that uses every type tag, value tag, definition kind, parameter
 * direction and interface shape that the header mapping handles:
 *
 *   mapping_everykind FILE.tlb */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "kiv.h"

#define GEO "IDL:Geo:1.0"
#define SUB "IDL:Geo/Sub:1.0"
#define POINT "IDL:Geo/Point:1.0"
#define LEVEL "IDL:Geo/Level:1.0"
#define MAYBE "IDL:Geo/Maybe:1.0"
#define PICK "IDL:Geo/Pick:1.0"
#define GRID "IDL:Geo/Grid:1.0"
#define NAME "IDL:Geo/Name:1.0"
#define NODE "IDL:Geo/Node:1.0"
#define IBASE "IDL:Geo/IBase:1.0"
#define ISHAPE "IDL:Geo/IShape:1.0"
#define IDERIVED "IDL:Geo/IDerived:1.0"
#define IPLAIN "IDL:Geo/Sub/IPlain:1.0"
#define CELL "IDL:Geo/IShape/Cell:1.0"

static int failed;

static void check(const char *what, kivResult rc) {
    if (rc == 0) return;
    fprintf(stderr, "mapping_everykind: %s: %s\n", what, kivStrError(rc));
    failed = 1;
}

static kivTLibTypeRef type(kivTLibTypeTag tag, const char *id) {
    kivTLibTypeRef t = {tag, id};
    return t;
}

static void constant(kivTLib *t, const char *name, kivTLibTypeRef ty, kivTLibValue v) {
    char id[64];
    snprintf(id, sizeof id, "IDL:Geo/%s:1.0", name);
    v.tag = ty.tag;
    check(name, kivTLibCreateConstant(t, name, id, GEO, 0, &ty, &v, NULL));
}

static void constants(kivTLib *t) {
    kivTLibValue v;
    memset(&v, 0, sizeof v);
    v.u8 = 1;
    constant(t, "B", type(KIV_TYPE_BOOLEAN, NULL), v);
    v.u8 = 255;
    constant(t, "O", type(KIV_TYPE_OCTET, NULL), v);
    v.u8 = '\'';
    constant(t, "C", type(KIV_TYPE_CHAR, NULL), v);
    v.u16 = 0x20AC;
    constant(t, "W", type(KIV_TYPE_WCHAR, NULL), v);
    v.u16 = 0x8000;
    constant(t, "S", type(KIV_TYPE_SHORT, NULL), v);
    v.u16 = 0xFFFF;
    constant(t, "US", type(KIV_TYPE_USHORT, NULL), v);
    v.u32 = 0x80000000u;
    constant(t, "L", type(KIV_TYPE_LONG, NULL), v);
    v.u32 = 0xFFFFFFFFu;
    constant(t, "UL", type(KIV_TYPE_ULONG, NULL), v);
    v.u64 = UINT64_C(1) << 63;
    constant(t, "LL", type(KIV_TYPE_LONGLONG, NULL), v);
    v.u64 = ~UINT64_C(0);
    constant(t, "ULL", type(KIV_TYPE_ULONGLONG, NULL), v);
    v.f32 = 0.1f;
    constant(t, "F", type(KIV_TYPE_FLOAT, NULL), v);
    v.f64 = -INFINITY;
    constant(t, "D", type(KIV_TYPE_DOUBLE, NULL), v);
    v.f64 = NAN;
    constant(t, "DNAN", type(KIV_TYPE_DOUBLE, NULL), v);
    v.u32 = (99u << 23) | 100;
    constant(t, "D32", type(KIV_TYPE_DECIMAL32, NULL), v);
    v.u64 = (UINT64_C(401) << 53) | 1;
    constant(t, "D64", type(KIV_TYPE_DECIMAL64, NULL), v);
    v.d128[0] = 5;
    v.d128[1] = UINT64_C(6176) << 49;
    constant(t, "D128", type(KIV_TYPE_DECIMAL128, NULL), v);
    v.str =
        "say \"hi\"?\?=\\\n\x01"
        "1";
    constant(t, "STR", type(KIV_TYPE_STRING, NULL), v);
    v.str = "\xe2\x82\xac \xf0\x9f\x98\x80 \"";
    constant(t, "WSTR", type(KIV_TYPE_WSTRING, NULL), v);
    memset(&v, 0, sizeof v);
    v.u32 = 0xFFFFFFFFu;
    constant(t, "TOP", type(KIV_TYPE_ENUM, LEVEL), v);
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: mapping_everykind FILE.tlb\n");
        return 2;
    }
    kivTLib *t = NULL;
    check("create", kivTLibCreate(argv[1], 0, &t));
    if (failed) return 1;
    check("root", kivTLibCreateRoot(t, 0, NULL));
    check("Geo", kivTLibCreateModule(t, "Geo", GEO, KIV_TLIB_ROOT_ID, 0, NULL));
    check("Sub", kivTLibCreateModule(t, "Sub", SUB, GEO, 0, NULL));
    /* The base of every interface, as IDL files declare it; headers take it from kiv.h. */
    check("kiv", kivTLibCreateModule(t, "kiv", "IDL:kiv:1.0", KIV_TLIB_ROOT_ID, 0, NULL));
    check("IUnknown", kivTLibCreateInterface(t, "IUnknown", KIV_IID_IUNKNOWN, "IDL:kiv:1.0", 0,
                                             NULL, 0, NULL, NULL));

    kivTLibTypeRef longT = type(KIV_TYPE_LONG, NULL), doubleT = type(KIV_TYPE_DOUBLE, NULL),
                   stringT = type(KIV_TYPE_STRING, NULL), pointT = type(KIV_TYPE_STRUCT, POINT),
                   levelT = type(KIV_TYPE_ENUM, LEVEL);
    /* Anonymous types: long[3], long[2][3], sequence<long>, sequence<Point, 10>,
     * sequence<sequence<long>>, string<8>, wstring<4>, sequence<long[3]>, sequence<Node>,
     * sequence<IShape>. */
    check("row", kivTLibCreateArray(t, "LOCAL:1", 0, 3, &longT, NULL));
    kivTLibTypeRef rowT = type(KIV_TYPE_ARRAY, "LOCAL:1");
    check("grid", kivTLibCreateArray(t, "LOCAL:2", 0, 2, &rowT, NULL));
    check("longs", kivTLibCreateSequence(t, "LOCAL:3", 0, 0, &longT, NULL));
    check("points", kivTLibCreateSequence(t, "LOCAL:4", 0, 10, &pointT, NULL));
    kivTLibTypeRef longsT = type(KIV_TYPE_SEQUENCE, "LOCAL:3");
    check("longs2", kivTLibCreateSequence(t, "LOCAL:5", 0, 0, &longsT, NULL));
    check("string8", kivTLibCreateString(t, "LOCAL:6", 0, 8, NULL));
    check("wstring4", kivTLibCreateWString(t, "LOCAL:7", 0, 4, NULL));
    check("rows", kivTLibCreateSequence(t, "LOCAL:8", 0, 0, &rowT, NULL));
    kivTLibTypeRef nodeT = type(KIV_TYPE_STRUCT, NODE), shapeT = type(KIV_TYPE_INTERFACE, ISHAPE);
    check("nodes", kivTLibCreateSequence(t, "LOCAL:9", 0, 0, &nodeT, NULL));
    check("shapes", kivTLibCreateSequence(t, "LOCAL:10", 0, 0, &shapeT, NULL));
    kivTLibTypeRef gridT = type(KIV_TYPE_ARRAY, "LOCAL:2");

    kivTLibEnumMember levels[] = {{"LOW", 0}, {"MID", 7}, {"HIGH", 0xFFFFFFFFu}};
    check("Level", kivTLibCreateEnum(t, "Level", LEVEL, GEO, 0, 3, levels, NULL));
    constants(t);

    kivTLibStructMember point[] = {{"x", doubleT}, {"y", doubleT}};
    check("Point", kivTLibCreateStruct(t, "Point", POINT, GEO, 0, 2, point, NULL));
    check("Grid", kivTLibCreateAlias(t, "Grid", GRID, GEO, 0, &gridT, NULL));
    kivTLibTypeRef stringBoundT = type(KIV_TYPE_STRING, "LOCAL:6");
    check("Name", kivTLibCreateAlias(t, "Name", NAME, GEO, 0, &stringBoundT, NULL));

    /* union Maybe switch (long) { case 1: long n; case 2: case 3: string s; default: Point p; } */
    kivTLibUnionCase maybe[4];
    memset(maybe, 0, sizeof maybe);
    maybe[0].name = "n", maybe[0].type = longT, maybe[0].label.tag = KIV_TYPE_LONG;
    maybe[0].label.u32 = 1;
    maybe[1].name = "s", maybe[1].type = stringT, maybe[1].label.tag = KIV_TYPE_LONG;
    maybe[1].label.u32 = 2;
    maybe[2] = maybe[1];
    maybe[2].label.u32 = 3;
    maybe[3].name = "p", maybe[3].type = pointT, maybe[3].label.tag = KIV_VALUE_NONE;
    check("Maybe", kivTLibCreateUnion(t, "Maybe", MAYBE, GEO, 0, &longT, 4, maybe, NULL));
    /* union Pick switch (Level) { case LOW: Grid g; case HIGH: sequence<long> v; } */
    kivTLibUnionCase pick[2];
    memset(pick, 0, sizeof pick);
    pick[0].name = "g", pick[0].type = type(KIV_TYPE_ALIAS, GRID);
    pick[0].label.tag = KIV_TYPE_ENUM;
    pick[1].name = "v", pick[1].type = longsT, pick[1].label.tag = KIV_TYPE_ENUM;
    pick[1].label.u32 = 0xFFFFFFFFu;
    check("Pick", kivTLibCreateUnion(t, "Pick", PICK, GEO, 0, &levelT, 2, pick, NULL));

    /* A structure that holds a sequence of itself. */
    kivTLibStructMember node[] = {{"value", longT},
                                  {"children", type(KIV_TYPE_SEQUENCE, "LOCAL:9")}};
    check("Node", kivTLibCreateStruct(t, "Node", NODE, GEO, 0, 2, node, NULL));

    /* interface IBase { attribute long id; readonly attribute string label; void ping(); } */
    kivTLibMember base[] = {{KIV_MEMBER_ATTRIBUTE, "id", 0, longT, 0, NULL},
                            {KIV_MEMBER_ATTRIBUTE, "label", KIV_MEMBER_READONLY, stringT, 0, NULL},
                            {KIV_MEMBER_OPERATION, "ping", 0, type(KIV_TYPE_VOID, NULL), 0, NULL}};
    check("IBase",
          kivTLibCreateInterface(t, "IBase", IBASE, GEO, 0, KIV_IID_IUNKNOWN, 3, base, NULL));
    check("IDerived fwd", kivTLibCreateInterfaceFwd(t, "IDerived", IDERIVED, GEO, 0, NULL));
    check("IShape fwd", kivTLibCreateInterfaceFwd(t, "IShape", ISHAPE, GEO, 0, NULL));

    /* Cell, nested in IShape, holds one member of every type tag. */
    kivTLibStructMember cell[] = {{"b", type(KIV_TYPE_BOOLEAN, NULL)},
                                  {"o", type(KIV_TYPE_OCTET, NULL)},
                                  {"c", type(KIV_TYPE_CHAR, NULL)},
                                  {"w", type(KIV_TYPE_WCHAR, NULL)},
                                  {"s", type(KIV_TYPE_SHORT, NULL)},
                                  {"us", type(KIV_TYPE_USHORT, NULL)},
                                  {"l", longT},
                                  {"ul", type(KIV_TYPE_ULONG, NULL)},
                                  {"ll", type(KIV_TYPE_LONGLONG, NULL)},
                                  {"ull", type(KIV_TYPE_ULONGLONG, NULL)},
                                  {"f", type(KIV_TYPE_FLOAT, NULL)},
                                  {"d", doubleT},
                                  {"str", stringT},
                                  {"bounded", stringBoundT},
                                  {"ws", type(KIV_TYPE_WSTRING, NULL)},
                                  {"ws4", type(KIV_TYPE_WSTRING, "LOCAL:7")},
                                  {"at", pointT},
                                  {"maybe", type(KIV_TYPE_UNION, MAYBE)},
                                  {"level", levelT},
                                  {"longs", longsT},
                                  {"points", type(KIV_TYPE_SEQUENCE, "LOCAL:4")},
                                  {"nested", type(KIV_TYPE_SEQUENCE, "LOCAL:5")},
                                  {"grid", gridT},
                                  {"named", type(KIV_TYPE_ALIAS, GRID)},
                                  {"rows", type(KIV_TYPE_SEQUENCE, "LOCAL:8")},
                                  {"shape", shapeT},
                                  {"any", type(KIV_TYPE_INTERFACE, KIV_IID_IUNKNOWN)},
                                  {"d32", type(KIV_TYPE_DECIMAL32, NULL)},
                                  {"d64", type(KIV_TYPE_DECIMAL64, NULL)},
                                  {"d128", type(KIV_TYPE_DECIMAL128, NULL)},
                                  {"class", type(KIV_TYPE_ALIAS, NAME)}};
    check("Cell", kivTLibCreateStruct(t, "Cell", CELL, ISHAPE, 0, sizeof cell / sizeof cell[0],
                                      cell, NULL));

    /* interface IShape : IBase, with every direction of every kind of type. */
    kivTLibTypeRef cellT = type(KIV_TYPE_STRUCT, CELL), maybeT = type(KIV_TYPE_UNION, MAYBE),
                   namedGridT = type(KIV_TYPE_ALIAS, GRID), wideT = type(KIV_TYPE_WSTRING, NULL),
                   derivedT = type(KIV_TYPE_INTERFACE, IDERIVED),
                   d128T = type(KIV_TYPE_DECIMAL128, NULL);
    kivTLibParam move[] = {{"dx", doubleT, KIV_PARAM_IN}, {"dy", doubleT, KIV_PARAM_IN}};
    kivTLibParam ins[] = {{"text", stringT, KIV_PARAM_IN},
                          {"wide", wideT, KIV_PARAM_IN},
                          {"cell", cellT, KIV_PARAM_IN},
                          {"maybe", maybeT, KIV_PARAM_IN},
                          {"longs", longsT, KIV_PARAM_IN},
                          {"grid", gridT, KIV_PARAM_IN},
                          {"named", namedGridT, KIV_PARAM_IN},
                          {"other", derivedT, KIV_PARAM_IN},
                          {"level", levelT, KIV_PARAM_IN},
                          {"amount", d128T, KIV_PARAM_IN},
                          {"name", type(KIV_TYPE_ALIAS, NAME), KIV_PARAM_IN}};
    kivTLibParam outs[] = {{"text", stringT, KIV_PARAM_OUT},
                           {"wide", wideT, KIV_PARAM_OUT},
                           {"cell", cellT, KIV_PARAM_OUT},
                           {"maybe", maybeT, KIV_PARAM_OUT},
                           {"longs", longsT, KIV_PARAM_OUT},
                           {"grid", gridT, KIV_PARAM_OUT},
                           {"other", derivedT, KIV_PARAM_OUT},
                           {"level", levelT, KIV_PARAM_OUT},
                           {"name", type(KIV_TYPE_ALIAS, NAME), KIV_PARAM_OUT}};
    kivTLibParam inouts[] = {{"text", stringT, KIV_PARAM_INOUT},
                             {"cell", cellT, KIV_PARAM_INOUT},
                             {"grid", namedGridT, KIV_PARAM_INOUT},
                             {"other", derivedT, KIV_PARAM_INOUT},
                             {"result", levelT, KIV_PARAM_INOUT}};
    kivTLibMember shape[] = {
        {KIV_MEMBER_ATTRIBUTE, "origin", 0, pointT, 0, NULL},
        {KIV_MEMBER_OPERATION, "move", 0, type(KIV_TYPE_VOID, NULL), 2, move},
        {KIV_MEMBER_ATTRIBUTE, "cell", KIV_MEMBER_READONLY, cellT, 0, NULL},
        {KIV_MEMBER_OPERATION, "ins", 0, stringT, 11, ins},
        {KIV_MEMBER_OPERATION, "outs", 0, namedGridT, 9, outs},
        {KIV_MEMBER_OPERATION, "inouts", 0, derivedT, 5, inouts},
        {KIV_MEMBER_OPERATION, "delete", 0, maybeT, 0, NULL},
        {KIV_MEMBER_ATTRIBUTE, "amount", 0, d128T, 0, NULL},
        {KIV_MEMBER_OPERATION, "children", 0, type(KIV_TYPE_SEQUENCE, "LOCAL:10"), 0, NULL}};
    check("IShape", kivTLibCreateInterface(t, "IShape", ISHAPE, GEO, 0, IBASE,
                                           sizeof shape / sizeof shape[0], shape, NULL));
    kivTLibMember derived[] = {{KIV_MEMBER_ATTRIBUTE, "wide", 0, wideT, 0, NULL},
                               {KIV_MEMBER_OPERATION, "back", 0, shapeT, 0, NULL}};
    check("IDerived",
          kivTLibCreateInterface(t, "IDerived", IDERIVED, GEO, 0, ISHAPE, 2, derived, NULL));

    /* Owned: what the free helpers must walk, arrays of strings and sequences of records. */
    check("names", kivTLibCreateArray(t, "LOCAL:11", 0, 2, &stringT, NULL));
    kivTLibTypeRef namesT = type(KIV_TYPE_ARRAY, "LOCAL:11");
    check("names2", kivTLibCreateArray(t, "LOCAL:12", 0, 2, &namesT, NULL));
    check("cells", kivTLibCreateSequence(t, "LOCAL:13", 0, 0, &cellT, NULL));
    kivTLibStructMember owned[] = {{"names", type(KIV_TYPE_ARRAY, "LOCAL:12")},
                                   {"cells", type(KIV_TYPE_SEQUENCE, "LOCAL:13")},
                                   {"pick", type(KIV_TYPE_UNION, PICK)},
                                   {"shapes", type(KIV_TYPE_SEQUENCE, "LOCAL:10")}};
    check("Owned", kivTLibCreateStruct(t, "Owned", "IDL:Geo/Owned:1.0", GEO, 0, 4, owned, NULL));

    /* Geo::Sub::IPlain has no base at all and uses Geo's types from another namespace. */
    kivTLibParam plain[] = {{"p", pointT, KIV_PARAM_IN}};
    kivTLibMember plainMembers[] = {{KIV_MEMBER_OPERATION, "at", 0, levelT, 1, plain}};
    check("IPlain",
          kivTLibCreateInterface(t, "IPlain", IPLAIN, SUB, 0, NULL, 1, plainMembers, NULL));
    check("close", kivTLibClose(t));
    return failed;
}
