// SPDX-License-Identifier: Apache-2.0
/* The generated free helpers on values filled the way a callee fills out values: every string,
 * buffer and reference is released exactly once (under AddressSanitizer a leak or a double free
 * fails the run), only a union's valid member is touched, and the value is left empty. */
#include <stdio.h>
#include <string.h>

#include "everykind.h"

static int failed;
#define EXPECT(condition)                                                           \
    do {                                                                            \
        if (!(condition)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            failed = 1;                                                             \
        }                                                                           \
    } while (0)

/* An object that counts its references; the helpers must release every one they hold. */
typedef struct Counted {
    const IUnknownVtbl *vtbl;
    uint32_t refs;
} Counted;
static uint32_t countedRelease(void *self) {
    return --((Counted *)self)->refs;
}
static const IUnknownVtbl countedVtbl = {.release = countedRelease};
static Counted object = {&countedVtbl, 0};

static void *reference(void) {
    ++object.refs;
    return &object;
}
static kivWChar *wide(void) {
    kivWChar *w = kivMalloc(2 * sizeof *w);
    w[0] = 'w';
    w[1] = 0;
    return w;
}
static void *elements(uint32_t count, size_t size) {
    void *p = kivMalloc(count * size);
    memset(p, 0, count * size);
    return p;
}

static void fillCell(Geo_IShape_Cell *cell) {
    memset(cell, 0, sizeof *cell);
    cell->str = kivStrDup("s");
    cell->bounded = kivStrDup("b");
    cell->ws = wide();
    cell->ws4 = wide();
    cell->maybe._d = 2;
    cell->maybe._u.s = kivStrDup("m");
    cell->longs.length = cell->longs.maximum = 3;
    cell->longs.buffer = elements(3, sizeof(int32_t));
    cell->points.length = 1;
    cell->points.maximum = 2;
    cell->points.buffer = elements(2, sizeof(Geo_Point));
    cell->nested.length = cell->nested.maximum = 2;
    cell->nested.buffer = elements(2, sizeof(kivSeq_long));
    cell->nested.buffer[1].length = cell->nested.buffer[1].maximum = 1;
    cell->nested.buffer[1].buffer = elements(1, sizeof(int32_t));
    cell->rows.length = cell->rows.maximum = 1;
    cell->rows.buffer = elements(1, sizeof *cell->rows.buffer);
    cell->shape = reference();
    cell->any = reference();
    cell->class_ = kivStrDup("c");
}

static void nodeWithChildren(Geo_Node *node, int depth) {
    node->value = depth;
    node->children.length = node->children.maximum = depth ? 2 : 0;
    node->children.buffer = depth ? elements(2, sizeof(Geo_Node)) : NULL;
    for (uint32_t i = 0; i < node->children.length; ++i)
        nodeWithChildren(&node->children.buffer[i], depth - 1);
}

int main(void) {
    Geo_IShape_Cell cell;
    fillCell(&cell);
    Geo_IShape_Cell_freeContents(&cell);
    EXPECT(object.refs == 0);
    EXPECT(!cell.str && !cell.ws && !cell.maybe._u.s && !cell.shape && !cell.any && !cell.class_);
    EXPECT(!cell.longs.buffer && cell.longs.length == 0 && cell.longs.maximum == 0);
    Geo_IShape_Cell_freeContents(&cell); /* an emptied value frees nothing more */

    /* Only the valid member: a number or a record where a string could be is left alone. */
    Geo_Maybe number = {1, {.n = 0x1234}}, other = {9, {.p = {1.0, 2.0}}};
    Geo_Maybe_freeContents(&number);
    Geo_Maybe_freeContents(&other);
    EXPECT(number._u.n == 0x1234);
    Geo_Pick low = {Geo_Level_LOW, {.g = {{1, 2, 3}, {4, 5, 6}}}};
    Geo_Pick_freeContents(&low);

    Geo_Node tree;
    nodeWithChildren(&tree, 3);
    Geo_Node_freeContents(&tree);
    EXPECT(!tree.children.buffer && tree.children.length == 0);

    Geo_Owned owned;
    memset(&owned, 0, sizeof owned);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) owned.names[i][j] = kivStrDup("n");
    owned.cells.length = owned.cells.maximum = 2;
    owned.cells.buffer = elements(2, sizeof(Geo_IShape_Cell));
    fillCell(&owned.cells.buffer[0]);
    fillCell(&owned.cells.buffer[1]);
    owned.pick._d = Geo_Level_HIGH;
    owned.pick._u.v.length = owned.pick._u.v.maximum = 1;
    owned.pick._u.v.buffer = elements(1, sizeof(int32_t));
    owned.shapes.length = 2;
    owned.shapes.maximum = 3;
    owned.shapes.buffer = elements(3, sizeof(Geo_IShape *));
    owned.shapes.buffer[0] = reference();
    owned.shapes.buffer[1] = NULL; /* a null reference is allowed */
    Geo_Owned_freeContents(&owned);
    EXPECT(object.refs == 0);
    EXPECT(!owned.names[1][1] && !owned.cells.buffer && !owned.shapes.buffer);
    return failed;
}
