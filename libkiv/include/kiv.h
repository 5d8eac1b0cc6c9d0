// SPDX-License-Identifier: Apache-2.0
/*
 * kiv: the shared object model of the product family.
 * Including this header gives the whole public interface; it compiles as C11 and as C++.
 */
#ifndef KIV_H
#define KIV_H

#include "kiv_base.h"
#include "kiv_tlib.h"
#include "kiv_com.h"
#include "kiv_fixed.h"

#endif /* KIV_H */
