// SPDX-License-Identifier: Apache-2.0
/* Compiled with -std=c11 -pedantic -Wall -Wextra -Werror: the public headers are plain C. */
#include "kiv.h"

int kiv_c11_header_check(void);
int kiv_c11_header_check(void) {
    return (int)sizeof(kivResult);
}
