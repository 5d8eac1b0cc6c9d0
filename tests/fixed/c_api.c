/* The public interface from strict C11: records declared on the stack, arithmetic and text.
 * Returns the number of failed checks. */
#include <stdio.h>
#include <string.h>

#include "kiv.h"

static int failures;

static void expect(const kivFixed *v, int precision, const char *want) {
    char text[64];
    kivFixedGetString(v, precision, text, sizeof text);
    if (strcmp(text, want) != 0) {
        fprintf(stderr, "expected %s, got %s\n", want, text);
        ++failures;
    }
}

int main(void) {
    KIV_FIXED_DECLARE(price, 9, 2);
    KIV_FIXED_DECLARE(rate, 5, 4);
    KIV_FIXED_DECLARE(total, 12, 2);
    KIV_FIXED_DECLARE(nines, 31, 10);
    char *end;

    expect(price, 2, "0.00");
    kivFixedSetString(price, "1234.5", &end);
    kivFixedSetString(rate, "0.0825", &end);
    kivFixedMul(total, price, rate);
    expect(total, 2, "101.84");
    kivFixedRound(total, total, 1);
    expect(total, 2, "101.80");
    kivFixedSetString(nines, "999999999999999999999.9999999999", &end);
    kivFixedAdd(nines, nines, nines);
    if (kivFixedGetState(nines) != KIV_FIXED_POS_INF) ++failures;
    if (KIV_FIXED_SIZE(9) != 9 || sizeof(kivFixed) > KIV_FIXED_SIZE(2)) ++failures;
    return failures;
}
