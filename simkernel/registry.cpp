/* Placeholder until the registry lands. */
#include "simkernel/internal.h"
namespace sk {
void ResetRegistry() {}
}
