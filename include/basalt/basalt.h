// Every public header of the basalt library.
#ifndef BASALT_BASALT_H
#define BASALT_BASALT_H

#include <basalt/utility/Export.h>
#include <basalt/utility/SmallBlockAllocator.h>
#include <basalt/utility/UnicodeString.h>

#endif  // BASALT_BASALT_H
