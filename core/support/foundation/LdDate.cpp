// LdDate is header-only; this unit keeps its header compiled on its own.
#include "core/support/foundation/LdDate.h"
