/* Placeholder until the Rtl string routines land. */
#include "simkernel/internal.h"
