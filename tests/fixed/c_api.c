// SPDX-License-Identifier: Apache-2.0
/* The public interface from strict C11: records declared on the stack, arithmetic, text and
 * the decimal conversions. Returns the number of failed checks. */
#include <string.h>

#include "kiv.h"
#include "kiv_decimal.h"

int main(void) {
    KIV_FIXED_DECLARE(price, 9, 2);
    KIV_FIXED_DECLARE(rate, 5, 4);
    KIV_FIXED_DECLARE(total, 12, 2);
    char text[64], *end;
    int failures = kivFixedGetState(price) != KIV_FIXED_POSITIVE;
    kivFixedSetString(price, "1234.5", &end);
    kivFixedSetString(rate, "0.0825", NULL);
    kivFixedMul(total, price, rate);
    kivFixedRound(total, total, 1);
    kivFixedGetString(total, 2, text, sizeof text);
    failures += strcmp(text, "101.80") != 0 || *end != '\0';
    kivFixedAdd(rate, rate, price);
    failures += kivFixedGetState(rate) != KIV_FIXED_POS_INF;
    failures += KIV_FIXED_SIZE(9) != 9 || sizeof(kivFixed) > KIV_FIXED_SIZE(2);
    {
        kivDecimal64 d;
        failures += kivDecimal64FromString(&d, "-12.34", NULL) != KIV_S_OK;
        failures += kivDecimal64ToFixed(price, d) != KIV_S_OK;
        failures += kivDecimal128ToString(kivFixedToDecimal128(price), text, sizeof text) != 6 ||
                    strcmp(text, "-12.34") != 0;
        failures += kivDecimal64ToFixed(rate, d) != KIV_E_INVALID_ARG;
    }
    return failures;
}
