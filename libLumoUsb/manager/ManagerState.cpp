// ManagerState has no code of its own. Compiling its header here, first and
// alone, checks that the header includes everything it uses.
#include "manager/ManagerState.h"
