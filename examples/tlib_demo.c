// SPDX-License-Identifier: Apache-2.0
/* Builds a small type library through the public interface:
 *
 *   module Demo {
 *       struct Point { double x; double y; };
 *       enum Color { RED, GREEN, BLUE };
 *       interface IShape {
 *           attribute Demo::Point origin;
 *           attribute string name;
 *           void move(in double dx, in double dy);
 *           boolean contains(in Demo::Point p, out Demo::Color hit);
 *       };
 *       union Fill switch (Demo::Color) {
 *           case Demo::RED: double intensity;
 *           case Demo::GREEN: Demo::Point pattern;
 *           default: string<32> label;
 *       };
 *       const unsigned long MAX_POINTS = 1000;
 *       typedef sequence<Demo::Point, 10> Path;
 *   };
 *
 * Usage: tlib_demo [--next] FILE (the file is replaced). Every change reaches the file at once
 * (KIV_TLIB_AUTOFLUSH); `kiv tlib dump FILE` prints the library back as IDL. With --next, Point
 * gets a third member z, a change that `kiv tlib check` refuses. */
#include <stdio.h>
#include <string.h>

#include "kiv.h"

#define DEMO "IDL:Demo:1.0"
#define POINT "IDL:Demo/Point:1.0"
#define COLOR "IDL:Demo/Color:1.0"

static int check(const char *what, kivResult rc) {
    if (rc == 0) return 0;
    fprintf(stderr, "tlib_demo: %s: %s\n", what, kivStrError(rc));
    return 1;
}

/* A new local id for an anonymous type. */
static int localId(kivTLib *tlib, char *buffer, size_t size) {
    return check("local id", kivTLibCreateLocalRepoId(tlib, buffer, size));
}

static int build(kivTLib *tlib, int next) {
    const kivTLibTypeRef doubleType = {KIV_TYPE_DOUBLE, NULL};
    const kivTLibTypeRef pointType = {KIV_TYPE_STRUCT, POINT};
    const kivTLibTypeRef colorType = {KIV_TYPE_ENUM, COLOR};
    char label[32], path[32];

    if (check("root", kivTLibCreateRoot(tlib, 0, NULL)) ||
        check("module", kivTLibCreateModule(tlib, "Demo", DEMO, KIV_TLIB_ROOT_ID, 0, NULL)))
        return 1;

    const kivTLibStructMember point[] = {{"x", doubleType}, {"y", doubleType}, {"z", doubleType}};
    if (check("struct",
              kivTLibCreateStruct(tlib, "Point", POINT, DEMO, 0, next ? 3 : 2, point, NULL)))
        return 1;

    const kivTLibEnumMember colors[] = {{"RED", 0}, {"GREEN", 1}, {"BLUE", 2}};
    if (check("enum", kivTLibCreateEnum(tlib, "Color", COLOR, DEMO, 0, 3, colors, NULL))) return 1;

    const kivTLibParam move[] = {{"dx", doubleType, KIV_PARAM_IN},
                                 {"dy", doubleType, KIV_PARAM_IN}};
    const kivTLibParam contains[] = {{"p", pointType, KIV_PARAM_IN},
                                     {"hit", colorType, KIV_PARAM_OUT}};
    const kivTLibMember shape[] = {
        {KIV_MEMBER_ATTRIBUTE, "origin", 0, pointType, 0, NULL},
        {KIV_MEMBER_ATTRIBUTE, "name", 0, {KIV_TYPE_STRING, NULL}, 0, NULL},
        {KIV_MEMBER_OPERATION, "move", 0, {KIV_TYPE_VOID, NULL}, 2, move},
        {KIV_MEMBER_OPERATION, "contains", 0, {KIV_TYPE_BOOLEAN, NULL}, 2, contains},
    };
    if (check("interface", kivTLibCreateInterface(tlib, "IShape", "IDL:Demo/IShape:1.0", DEMO, 0,
                                                  NULL, 4, shape, NULL)))
        return 1;

    if (localId(tlib, label, sizeof label) ||
        check("string", kivTLibCreateString(tlib, label, 0, 32, NULL)))
        return 1;
    kivTLibUnionCase fill[] = {{"intensity", doubleType, {KIV_TYPE_ENUM, {0}}},
                               {"pattern", pointType, {KIV_TYPE_ENUM, {0}}},
                               {"label", {KIV_TYPE_STRING, label}, {KIV_VALUE_NONE, {0}}}};
    fill[0].label.u32 = 0; /* RED */
    fill[1].label.u32 = 1; /* GREEN */
    if (check("union", kivTLibCreateUnion(tlib, "Fill", "IDL:Demo/Fill:1.0", DEMO, 0, &colorType, 3,
                                          fill, NULL)))
        return 1;

    const kivTLibTypeRef ulongType = {KIV_TYPE_ULONG, NULL};
    kivTLibValue maxPoints = {KIV_TYPE_ULONG, {0}};
    maxPoints.u32 = 1000;
    if (check("constant", kivTLibCreateConstant(tlib, "MAX_POINTS", "IDL:Demo/MAX_POINTS:1.0", DEMO,
                                                0, &ulongType, &maxPoints, NULL)))
        return 1;

    if (localId(tlib, path, sizeof path) ||
        check("sequence", kivTLibCreateSequence(tlib, path, 0, 10, &pointType, NULL)))
        return 1;
    const kivTLibTypeRef pathType = {KIV_TYPE_SEQUENCE, path};
    return check("alias",
                 kivTLibCreateAlias(tlib, "Path", "IDL:Demo/Path:1.0", DEMO, 0, &pathType, NULL));
}

int main(int argc, char **argv) {
    int next = argc == 3 && strcmp(argv[1], "--next") == 0;
    if (argc != 2 + next) {
        fprintf(stderr, "usage: tlib_demo [--next] FILE\n");
        return 2;
    }
    const char *path = argv[argc - 1];
    if (check("initialise", kivInitialize())) return 1;
    kivTLib *tlib = NULL;
    if (check(path, kivTLibCreate(path, KIV_TLIB_AUTOFLUSH, &tlib))) return 1;
    int failed = build(tlib, next);
    if (check("close", kivTLibClose(tlib))) failed = 1;
    if (!failed) printf("wrote %s\n", path);
    return failed;
}
