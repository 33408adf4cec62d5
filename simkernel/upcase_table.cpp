/* Placeholder until the upcase table lands. */
#include "simkernel/internal.h"
