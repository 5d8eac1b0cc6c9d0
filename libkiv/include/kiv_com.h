/* kiv com interface. */
#ifndef KIV_COM_H
#define KIV_COM_H

#include "kiv_base.h"

#endif /* KIV_COM_H */
