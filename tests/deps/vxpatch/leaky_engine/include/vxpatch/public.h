// Public, but leans on a private header.
#include "private.h"
