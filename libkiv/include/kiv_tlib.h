/* kiv tlib interface. */
#ifndef KIV_TLIB_H
#define KIV_TLIB_H

#include "kiv_base.h"

#endif /* KIV_TLIB_H */
