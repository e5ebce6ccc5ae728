#define BSL_STREAMS_IMPLEMENTATION 1
#include <basalt/utility/Streams.h>

#include "utility/StreamBuffersInternal.h"

#include <atomic>
#include <iostream>
#include <mutex>
#include <new>

// The references below must be bound before any dynamic initialiser runs, so
// they and the storage they name are constant-initialised, and the compiler
// is asked to prove it.
#if defined(__clang__)
#define BSL_CONSTANT_INIT [[clang::require_constant_initialization]]
#elif defined(__GNUC__)
#define BSL_CONSTANT_INIT __constinit
#else
#define BSL_CONSTANT_INIT
#endif

namespace basalt {
namespace utility {
namespace streams {

namespace {

// Room for a stream that ScStreamsInit constructs in place and nothing ever
// destroys.
template <class T>
union StreamStorage {
  constexpr StreamStorage() : mNone() {}
  ~StreamStorage() {}
  char mNone;
  T mStream;
};

BSL_CONSTANT_INIT StreamStorage<UTF16OutputStream> sUTF16Out;
BSL_CONSTANT_INIT StreamStorage<UTF16OutputStream> sDebug;

std::atomic<int> sInitCount{0};

void BuildStreams() {
  new (&sUTF16Out.mStream) UTF16OutputStream(&internal::StandardOutputUTF16Buffer());
  new (&sDebug.mStream) UTF16OutputStream(&internal::DebugUTF16Buffer());
}

void FlushUTF16Streams() noexcept {
  for (UTF16OutputStream* stream : {&sUTF16Out.mStream, &sDebug.mStream}) {
    try {
      stream->flush();
    } catch (...) {
      // A failing buffer at exit has nobody left to tell.
    }
  }
  internal::StandardOutputUTF16Buffer().FlushPendingSurrogate();
  internal::DebugUTF16Buffer().FlushPendingSurrogate();
}

}  // namespace

BSL_CONSTANT_INIT std::ostream& Out = std::cout;
BSL_CONSTANT_INIT std::ostream& Err = std::cerr;
BSL_CONSTANT_INIT std::ostream& Log = std::clog;
BSL_CONSTANT_INIT std::istream& In = std::cin;
BSL_CONSTANT_INIT UTF16OutputStream& UTF16Out = sUTF16Out.mStream;
BSL_CONSTANT_INIT UTF16OutputStream& Debug = sDebug.mStream;

ScStreamsInit::ScStreamsInit() {
  // Static initialisers of libraries loaded from several threads at once may
  // meet here; the one-time construction keeps them apart.
  static std::once_flag sBuilt;
  std::call_once(sBuilt, BuildStreams);
  sInitCount.fetch_add(1, std::memory_order_relaxed);
}

ScStreamsInit::~ScStreamsInit() {
  if (sInitCount.fetch_sub(1, std::memory_order_acq_rel) == 1) FlushUTF16Streams();
}

std::streambuf* SetStreamBuffer(std::ostream& inStream, std::streambuf* inBuffer) {
  inStream.flush();
  return inStream.rdbuf(inBuffer);
}

std::basic_streambuf<UTF16Char>* SetStreamBuffer(UTF16OutputStream& inStream,
                                                 std::basic_streambuf<UTF16Char>* inBuffer) {
  inStream.flush();
  return inStream.rdbuf(inBuffer);
}

}  // namespace streams
}  // namespace utility
}  // namespace basalt
