/* kiv fixed interface. */
#ifndef KIV_FIXED_H
#define KIV_FIXED_H

#include "kiv_base.h"

#endif /* KIV_FIXED_H */
