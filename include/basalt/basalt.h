// Every public header of the basalt library.
#ifndef BASALT_BASALT_H
#define BASALT_BASALT_H

#include <basalt/config/ClientConfiguration.h>
#include <basalt/config/Errors.h>
#include <basalt/config/Locale.h>
#include <basalt/config/Localizer.h>
#include <basalt/config/ZString.h>
#include <basalt/geom/Geometry.h>
#include <basalt/logging/StructuredLogging.h>
#include <basalt/proplist/PropList.h>
#include <basalt/serialization/JSON.h>
#include <basalt/threads/AsyncExecutor.h>
#include <basalt/threads/Atomics.h>
#include <basalt/threads/Processes.h>
#include <basalt/threads/RepeatDelayFunction.h>
#include <basalt/threads/SharedThreads.h>
#include <basalt/threads/SubExecutor.h>
#include <basalt/threads/SyncPrimitives.h>
#include <basalt/threads/ThreadIdentity.h>
#include <basalt/utility/Base64.h>
#include <basalt/utility/Compression.h>
#include <basalt/utility/Export.h>
#include <basalt/utility/Flags.h>
#include <basalt/utility/Guid.h>
#include <basalt/utility/Hash.h>
#include <basalt/utility/HighPrecisionTime.h>
#include <basalt/utility/ImmutableString.h>
#include <basalt/utility/MemoryTracker.h>
#include <basalt/utility/NaturalCompare.h>
#include <basalt/utility/NumberConversion.h>
#include <basalt/utility/OSServices.h>
#include <basalt/utility/RecycledMemory.h>
#include <basalt/utility/RefCountedObject.h>
#include <basalt/utility/SmallBlockAllocator.h>
#include <basalt/utility/Streams.h>
#include <basalt/utility/StringCase.h>
#include <basalt/utility/SystemInformation.h>
#include <basalt/utility/UTFStreams.h>
#include <basalt/utility/UnicodeString.h>

#endif  // BASALT_BASALT_H
