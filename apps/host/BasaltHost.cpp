// Reference host: starts the library the way the family's applications do,
// runs a text workload over the files named on the command line, prints a
// report and shuts down.
//
//   basalt_host [--repeat N] [--json FILE] [--syslog HOST:PORT] FILE...
//   (N defaults to 100)
//
// The settings live in a property list; the report is printed as text and
// written as JSON (to FILE, or after the text), and the JSON is read back to
// check that it parses to the same tree.
//
// The files are taken in natural order ("take2" before "take10") and their
// names interned; sizes are shown as memory sizes ("2.00 KB"). A gzip copy
// of the JSON report is kept in recycled memory and checked by inflating it.
// For every file: decode it from UTF-8 to UTF-16, encode it back, compare,
// count characters, normalise it to the four Unicode forms and time each step.
// Files are processed in parallel on the shared CPU-bound executor; each
// finished file is recorded, in completion order, by a serial queue running
// on the shared IO-bound executor.
// With --syslog, structured log records (start-up, one per file, the end)
// go to the syslog collector at HOST:PORT over UDP.
// Exit status: 0 when every file was read, 1 when one could not be, 2 on usage.
#include <basalt/basalt.h>

#include "HostServices.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iomanip>
#include <iterator>
#include <list>
#include <string>
#include <utility>
#include <vector>

namespace {

using basalt::UTF16Char;
using basalt::UTF16String;
using basalt::UTF8String;
namespace bu = basalt::utility;
namespace bt = basalt::threads;
using Clock = std::chrono::steady_clock;

struct FormResult {
  const char* mName;
  bu::UnicodeNormalizationForm mForm;
  std::size_t mUnits = 0;
  bool mChanged = false;
  double mMicros = 0;
};

struct FileReport {
  std::string mPath;
  bool mRead = false;
  std::size_t mBytes = 0;
  bu::UnicodeErrorCode mOutcome = bu::kUnicodeError_None;
  std::uint64_t mUnits = 0;
  std::size_t mStopOffset = 0;  // bytes decoded before a stop
  std::size_t mCodePoints = 0;
  std::size_t mSupplementary = 0;
  std::size_t mLoneSurrogates = 0;
  int mCountedCharacters = 0;  // GetUTF8CharacterCount over the decoded bytes
  bool mRoundTrip = false;
  double mDecodeMicros = 0;
  double mEncodeMicros = 0;
  std::string mIdentifier;  // MurmurHash3 of the bytes, as a GUID
  std::vector<FormResult> mForms;
};

double MicrosSince(Clock::time_point inStart, int inRepeat) {
  return std::chrono::duration<double, std::micro>(Clock::now() - inStart).count() / inRepeat;
}

UTF8String U8(const std::string& inText) { return UTF8String(inText.begin(), inText.end()); }

// One structured record, when a sink is installed; inData are name/value
// pairs of the record's data part.
void LogRecord(unsigned int inSeverity, const char* inFunction, int inLine, const char* inMessage,
               std::initializer_list<std::pair<const char*, boost::any>> inData = {}) {
  if (!basalt::logging::LoggingIsEnabled()) return;
  const boost::shared_ptr<basalt::logging::LogMessage> record = basalt::logging::LogMessage::Create();
  record->severity = inSeverity;
  record->timestamp = boost::posix_time::microsec_clock::universal_time();
  record->threadID = bt::GetCurrentThreadID();
  record->line = inLine;
  std::snprintf(record->file, sizeof record->file, "%s", "BasaltHost.cpp");
  std::snprintf(record->function, sizeof record->function, "%s", inFunction);
  std::snprintf(record->traceCategory, sizeof record->traceCategory, "%s", "Host");
  std::snprintf(record->message, sizeof record->message, "%s", inMessage);
  std::size_t entry = 0;
  for (const auto& pair : inData) {
    if (entry == basalt::logging::LogMessage::kMaxDataEntries) break;
    std::snprintf(record->data[entry].name, sizeof record->data[entry].name, "%s", pair.first);
    record->data[entry++].value = pair.second;
  }
  basalt::logging::Log(record);
}

bool ReadFile(const std::string& inPath, UTF8String& outBytes) {
  std::ifstream in(inPath, std::ios::binary);
  if (!in) return false;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  outBytes.assign(bytes.begin(), bytes.end());
  return true;
}

void CountCharacters(const UTF16String& inText, FileReport& ioReport) {
  for (std::size_t i = 0; i < inText.size(); ++i) {
    const bu::UnicodeSurrogateT kind = bu::UnicodeSurrogate(inText[i]);
    if (kind == bu::kUnicodeSurrogate_Leading && i + 1 < inText.size() &&
        bu::UnicodeSurrogate(inText[i + 1]) == bu::kUnicodeSurrogate_Trailing) {
      ++ioReport.mSupplementary;
      ++i;
    } else if (kind != bu::kUnicodeSurrogate_None) {
      ++ioReport.mLoneSurrogates;
    }
    ++ioReport.mCodePoints;
  }
}

FileReport ProcessFile(const std::string& inPath, int inRepeat) {
  FileReport report;
  report.mPath = inPath;
  UTF8String bytes;
  if (!ReadFile(inPath, bytes)) return report;
  report.mRead = true;
  report.mBytes = bytes.size();
  bu::Murmur3Mixer mixer;
  mixer.Mix(bytes.data(), bytes.size());
  report.mIdentifier = bu::UTF16toStdString(mixer.ToGuid().AsString());
  LogRecord(6, "ProcessFile", __LINE__, "file read",
            {{"path", U8(inPath)}, {"bytes", static_cast<std::uint64_t>(report.mBytes)},
             {"identifier", U8(report.mIdentifier)}});

  UTF16String wide;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < inRepeat; ++i) wide = bu::UTF8to16(bytes, &report.mOutcome, &report.mUnits);
  report.mDecodeMicros = MicrosSince(start, inRepeat);

  UTF8String back;
  start = Clock::now();
  for (int i = 0; i < inRepeat; ++i) back = bu::UTF16to8(wide);
  report.mEncodeMicros = MicrosSince(start, inRepeat);

  // A stop leaves the valid prefix; its encoding tells how far decoding got.
  report.mStopOffset = back.size();
  report.mRoundTrip = report.mOutcome == bu::kUnicodeError_None && back == bytes;
  CountCharacters(wide, report);
  report.mCountedCharacters =
      bu::GetUTF8CharacterCount(back.c_str(), static_cast<int>(std::min<std::size_t>(back.size(), INT32_MAX)));

  const FormResult forms[] = {{"NFC", bu::kUnicodeNormalization_C},
                              {"NFD", bu::kUnicodeNormalization_D},
                              {"NFKC", bu::kUnicodeNormalization_KC},
                              {"NFKD", bu::kUnicodeNormalization_KD}};
  for (FormResult form : forms) {
    UTF16String normalized;
    start = Clock::now();
    for (int i = 0; i < inRepeat; ++i) normalized = bu::NormalizedString(wide, form.mForm);
    form.mMicros = MicrosSince(start, inRepeat);
    form.mUnits = normalized.size();
    form.mChanged = normalized != wide;
    report.mForms.push_back(form);
  }
  return report;
}

const char* OutcomeText(bu::UnicodeErrorCode inOutcome) {
  switch (inOutcome) {
    case bu::kUnicodeError_None:
      return "valid";
    case bu::kUnicodeError_Truncated:
      return "truncated sequence";
    case bu::kUnicodeError_OutputExhausted:
      return "output exhausted";
    case bu::kUnicodeError_IllegalSequence:
      return "illegal sequence";
  }
  return "unknown";
}

// What start-up installed, as the host sees it.
struct StartupReport {
  double mMicros = 0;
  std::vector<std::pair<std::string, int>> mDictionaries;
  std::size_t mEntries = 0;
  std::uint32_t mProcessors = 0;
  std::uint64_t mMemory = 0;
  unsigned mKernelMajor = 0, mKernelMinor = 0;
  std::string mLocalizedError;  // the library's test error as the host's manager raised it
  std::uint32_t mErrorGroup = 0;
  std::int32_t mErrorNumber = 0;
};

// How the workload ran on the executors.
struct RunReport {
  int mCPUThreads = 0;
  int mIOThreads = 0;
  int mRunners = 0;                  // runners that took part in the file loop
  std::vector<std::size_t> mOrder;   // file indices in completion order, as the serial queue saw them
  std::vector<int> mFilesPerRunner;
  bool mSharedReleased = false;      // no shared executor outlived its holders
  std::size_t mNamesShared = 0;      // completions whose interned name was the one interned at start-up
};

void PrintReport(const StartupReport& inStartup, const RunReport& inRun, const std::vector<FileReport>& inReports,
                 double inTotalMillis, int inRepeat) {
  std::ostream& out = bu::streams::Out;
  out << "basalt reference host\n";
  out << "client: " << bu::UTF16toStdString(basalt::config::GetSuiteClientName()) << ", library "
      << bu::UTF16toStdString(basalt::config::GetVersionString()) << ", language "
      << bu::UTF16toStdString(basalt::Locale::ApplicationLangauge()) << "\n";
  out << "machine: " << inStartup.mProcessors << " processors, "
      << bu::UTF16toStdString(bu::NumberToMemoryString(inStartup.mMemory, 1, true)) << ", kernel "
      << inStartup.mKernelMajor << "." << inStartup.mKernelMinor << "\n";
  out << "start-up: " << std::fixed << std::setprecision(1) << inStartup.mMicros << " us\n";
  for (const auto& dictionary : inStartup.mDictionaries) {
    out << "dictionary: " << dictionary.first << " ("
        << (dictionary.second < 0 ? std::string("unreadable") : std::to_string(dictionary.second) + " entries")
        << ")\n";
  }
  out << "localized error " << inStartup.mErrorGroup << "/" << inStartup.mErrorNumber << ": "
      << inStartup.mLocalizedError << "\n";
  out << "files: " << inReports.size() << ", repeat: " << inRepeat << "\n\n";

  std::size_t totalBytes = 0, totalCodePoints = 0, failed = 0, unreadable = 0;
  for (const FileReport& r : inReports) {
    out << r.mPath << (r.mRead ? " " + r.mIdentifier : std::string()) << "\n";
    if (!r.mRead) {
      out << "  cannot read the file\n";
      ++unreadable;
      continue;
    }
    totalBytes += r.mBytes;
    totalCodePoints += r.mCodePoints;
    if (r.mOutcome != bu::kUnicodeError_None) ++failed;
    out << "  bytes " << r.mBytes << " (" << bu::UTF16toStdString(bu::NumberToMemoryString(r.mBytes)) << "), UTF-16 units " << r.mUnits << ", characters " << r.mCodePoints
        << " (supplementary " << r.mSupplementary << ", lone surrogates " << r.mLoneSurrogates << ")\n";
    out << "  UTF-8 -> UTF-16: " << OutcomeText(r.mOutcome);
    if (r.mOutcome != bu::kUnicodeError_None) out << " after " << r.mStopOffset << " of " << r.mBytes << " bytes";
    out << ", round trip " << (r.mRoundTrip ? "identical" : "differs")
        << ", character count check " << (r.mCountedCharacters == static_cast<int>(r.mCodePoints) ? "ok" : "MISMATCH")
        << "\n";
    out << std::setprecision(2) << "  decode " << r.mDecodeMicros << " us, encode " << r.mEncodeMicros << " us\n";
    out << "  normalisation:";
    for (const FormResult& f : r.mForms)
      out << " " << f.mName << " " << f.mUnits << (f.mChanged ? " (changed)" : " (same)") << " " << f.mMicros << " us;";
    out << "\n";
  }
  out << "\ntotal: " << bu::UTF16toStdString(bu::NumberToMemoryString(totalBytes)) << ", " << totalCodePoints << " characters, " << failed
      << " with conversion errors, " << unreadable << " unreadable\n";
  out << "workload: " << std::setprecision(1) << inTotalMillis << " ms on the CPU-bound executor ("
      << inRun.mCPUThreads << " threads, " << inRun.mRunners << " runners:";
  for (int files : inRun.mFilesPerRunner) out << " " << files;
  out << " files), recorded in completion order by a serial queue on the IO-bound executor (" << inRun.mIOThreads
      << " threads):";
  for (std::size_t index : inRun.mOrder) out << " " << index + 1;
  out << "\n";
}

namespace bs = basalt::serialization;


// The report as one JSON object; numbers as the JSON model keeps them.
bs::JSONValuePtr BuildJSONReport(const StartupReport& inStartup, const RunReport& inRun,
                                 const std::vector<FileReport>& inReports, double inTotalMillis, int inRepeat) {
  bs::JSONValuePtr report = boost::make_shared<boost::any>(bs::JSONObject());
  bs::JSONValuePtr machine = boost::make_shared<boost::any>(bs::JSONObject());
  bs::AddToObject(*machine, "processors", std::uint64_t(inStartup.mProcessors));
  bs::AddToObject(*machine, "memory", std::uint64_t(inStartup.mMemory));
  bs::AddToObject(*machine, "kernel", U8(std::to_string(inStartup.mKernelMajor) + "." +
                                          std::to_string(inStartup.mKernelMinor)));
  bs::AddToObject(*report, "machine", machine);
  bs::AddToObject(*report, "repeat", std::uint64_t(inRepeat));
  bs::AddToObject(*report, "localizedError", U8(inStartup.mLocalizedError));
  bs::JSONValuePtr files = boost::make_shared<boost::any>(bs::JSONArray());
  for (const FileReport& r : inReports) {
    boost::any file = bs::JSONObject();
    bs::AddToObject(file, "path", U8(r.mPath));
    bs::AddToObject(file, "read", r.mRead);
    if (r.mRead) {
      bs::AddToObject(file, "murmur3", U8(r.mIdentifier));
      bs::AddToObject(file, "bytes", std::uint64_t(r.mBytes));
      bs::AddToObject(file, "utf16Units", std::uint64_t(r.mUnits));
      bs::AddToObject(file, "characters", std::uint64_t(r.mCodePoints));
      bs::AddToObject(file, "outcome", U8(OutcomeText(r.mOutcome)));
      bs::AddToObject(file, "roundTrip", r.mRoundTrip);
      bs::AddToObject(file, "decodeMicros", r.mDecodeMicros);
      bs::AddToObject(file, "encodeMicros", r.mEncodeMicros);
    }
    bs::AppendToArray(*files, file);
  }
  bs::AddToObject(*report, "files", files);
  bs::JSONValuePtr order = boost::make_shared<boost::any>(bs::JSONArray());
  for (std::size_t index : inRun.mOrder) bs::AppendToArray(*order, std::uint64_t(index + 1));
  bs::AddToObject(*report, "completionOrder", order);
  bs::AddToObject(*report, "workloadMillis", inTotalMillis);
  return report;
}

}  // namespace

int main(int argc, char** argv) {
  // The settings, as a host keeps its preferences: in a property list.
  basalt::proplist::PropList settings;
  settings.SetValue(BSL_UTF8("repeat"), 100);
  std::list<UTF8String> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--repeat" && i + 1 < argc) {
      settings.SetValue(BSL_UTF8("repeat"), std::max(1, std::atoi(argv[++i])));
    } else if (arg == "--json" && i + 1 < argc) {
      settings.SetValue(BSL_UTF8("jsonReport"), U8(argv[++i]));
    } else if (arg == "--syslog" && i + 1 < argc) {
      settings.SetValue(BSL_UTF8("syslogServer"), U8(argv[++i]));
    } else if (arg == "--help" || arg == "-h") {
      std::fprintf(stdout, "usage: %s [--repeat N] [--json FILE] [--syslog HOST:PORT] FILE...\n", argv[0]);
      return 0;
    } else {
      files.push_back(U8(arg));
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s [--repeat N] [--json FILE] [--syslog HOST:PORT] FILE...\n", argv[0]);
    return 2;
  }
  settings.SetValue(BSL_UTF8("files"), files);

  int repeat = 1;
  settings.GetValue(BSL_UTF8("repeat"), repeat);
  std::list<UTF8String> fileSetting;
  settings.GetValue(BSL_UTF8("files"), fileSetting);
  // Inputs in natural order, as a file list shows them: "take2" before "take10".
  std::vector<UTF16String> naturalOrder;
  for (const UTF8String& file : fileSetting) naturalOrder.push_back(bu::UTF8to16(file));
  std::stable_sort(naturalOrder.begin(), naturalOrder.end(), bu::NaturalStringLessThan);
  std::vector<std::string> paths;
  for (const UTF16String& file : naturalOrder) paths.push_back(bu::UTF16toStdString(file));
  // The files' names, interned: every later lookup of the same text shares
  // one representation, so comparing names is comparing pointers.
  std::vector<bu::ImmutableString> names;
  for (const std::string& path : paths) names.push_back(bu::ImmutableString::CreateDynamic(path));
  UTF8String jsonPath;
  settings.GetValue(BSL_UTF8("jsonReport"), jsonPath);
  UTF8String syslogServer;
  settings.GetValue(BSL_UTF8("syslogServer"), syslogServer);

  // Start-up, as a host of the family does it: install the error manager and
  // the localizer, set the language (which loads the library's dictionary)
  // and the client identity. The allocator and the locales come up lazily;
  // touching them here keeps their cost out of the first measurement.
  StartupReport startup;
  const Clock::time_point startupBegin = Clock::now();
  host::ThrowingErrorManager errorManager;
  basalt::config::ErrorManager::Set(&errorManager);
  basalt::config::ErrorManager::NewHandlerInitializer purgeOnAllocationFailure;
  host::DictionaryLocalizer localizer;
  basalt::config::Localizer::Set(&localizer);
  basalt::Locale::Initialize(BSL_STR("en_US"));
  basalt::config::SetClientName(BSL_STR("Reference Host"));
  basalt::config::SetCompanyName(BSL_STR("basalt"));
  basalt::config::SetClientVersion(BSL_STR("0.1"));
  bu::SmallBlockAllocator::Dispose(bu::SmallBlockAllocator::Allocate(16), 16);
  (void)basalt::Locale::Native();
  startup.mMicros = MicrosSince(startupBegin, 1);
  startup.mDictionaries = localizer.LoadedDictionaries();
  startup.mEntries = localizer.EntryCount();
  startup.mProcessors = bu::CPUCount();
  startup.mMemory = bu::TotalPhysicalMemory();
  bu::GetSystemVersion(startup.mKernelMajor, startup.mKernelMinor);

  // Structured logging to a syslog collector, when one is named. Records
  // logged before the server is known wait in the sink and follow it.
  if (!syslogServer.empty()) {
    const std::string server(syslogServer.begin(), syslogServer.end());
    const std::size_t colon = server.rfind(':');
    const int port = colon == std::string::npos ? 0 : std::atoi(server.c_str() + colon + 1);
    if (colon == std::string::npos || port <= 0 || port > 65535) {
      std::fprintf(stderr, "--syslog wants HOST:PORT, not %s\n", server.c_str());
      return 2;
    }
    const boost::shared_ptr<basalt::logging::INetworkLogger> logger =
        basalt::logging::CreateSyslogLogger(false, bu::Guid::CreateUnique());
    basalt::logging::SetStructuredLogger(logger);
    LogRecord(6, "main", __LINE__, "host started", {{"files", static_cast<std::uint64_t>(paths.size())}});
    logger->SetServer(bu::ImmutableString::CreateDynamic(server.substr(0, colon)), static_cast<unsigned short>(port));
  }

  // Every failure leaves the library through the installed manager.
  try {
    basalt::config::TestThrowError(false);
  } catch (const host::host_error& error) {
    startup.mLocalizedError = error.what();
    startup.mErrorGroup = error.Group();
    startup.mErrorNumber = error.Number();
  }

  // The workload: files spread over the CPU-bound executor; every finished
  // file is recorded by a serial queue on the IO-bound executor, so the
  // record needs no lock of its own.
  RunReport run;
  std::vector<FileReport> reports(paths.size());
  const std::uint64_t workBegin = bu::HighPrecisionTime::GetTickCount();
  {
    boost::shared_ptr<bt::AsyncExecutor> cpu = bt::CreateCPUBoundExecutor();
    boost::shared_ptr<bt::AsyncExecutor> io = bt::CreateIOBoundExecutor();
    boost::shared_ptr<bt::AsyncThreadedExecutor> recorder = bt::CreateSubExecutor(io, 1);
    run.mCPUThreads = cpu->ThreadCount();
    run.mIOThreads = io->ThreadCount();
    run.mFilesPerRunner.assign(static_cast<std::size_t>(std::max(1, cpu->ThreadCount())), 0);
    boost::shared_ptr<bt::IMultithreadedTask> task = bt::AsyncExecuteTaskOnAllThreadsWithProcessorIndex(
        [&](int inIndex, int inRunner) {
          reports[static_cast<std::size_t>(inIndex)] = ProcessFile(paths[static_cast<std::size_t>(inIndex)], repeat);
          recorder->CallAsynchronously(
              [&run, &names, &paths, inIndex, inRunner] {
                run.mOrder.push_back(static_cast<std::size_t>(inIndex));
                const std::size_t index = static_cast<std::size_t>(inIndex);
                if (bu::ImmutableString::CreateDynamic(paths[index]) == names[index]) ++run.mNamesShared;
                if (inRunner >= static_cast<int>(run.mFilesPerRunner.size()))
                  run.mFilesPerRunner.resize(static_cast<std::size_t>(inRunner) + 1, 0);
                ++run.mFilesPerRunner[static_cast<std::size_t>(inRunner)];
              },
              0);
        },
        static_cast<int>(paths.size()), cpu);
    if (task) task->WaitForCompletion();
    // Every record was queued before this point; Flush waits exactly for them.
    recorder->Flush();
    run.mRunners = static_cast<int>(
        std::count_if(run.mFilesPerRunner.begin(), run.mFilesPerRunner.end(), [](int files) { return files > 0; }));
    // Shutdown of the workload's executors: the serial queue first (it runs
    // on the IO-bound executor's threads), then the shared executors by
    // letting go of them.
    recorder->Terminate();
    recorder->Flush();
  }
  run.mSharedReleased = !bt::GetCPUBoundExecutor() && !bt::GetIOBoundExecutor();
  const double workMillis =
      bu::HighPrecisionTime::ConvertTimeStampToMilliSeconds(bu::HighPrecisionTime::GetTickCount() - workBegin);

  PrintReport(startup, run, reports, workMillis, repeat);

  // The JSON report, checked by reading it back.
  const bs::JSONValuePtr json = BuildJSONReport(startup, run, reports, workMillis, repeat);
  const UTF8String jsonText = bs::GetJSONUTF8String(*json);
  const bs::JSONValuePtr reread = bs::JSONParse(jsonText);
  const bool jsonStable = reread && bs::GetJSONUTF8String(*reread) == jsonText;
  if (jsonPath.empty()) {
    bu::streams::Out << "report (JSON): " << std::string(jsonText.begin(), jsonText.end()) << "\n";
  } else {
    std::ofstream out(std::string(jsonPath.begin(), jsonPath.end()), std::ios::binary);
    out.write(reinterpret_cast<const char*>(jsonText.data()), static_cast<std::streamsize>(jsonText.size()));
    bu::streams::Out << "report (JSON): " << jsonText.size() << " bytes written to "
                     << std::string(jsonPath.begin(), jsonPath.end()) << (out ? "" : " (FAILED)") << "\n";
  }
  bu::streams::Out << "report (JSON) reads back " << (jsonStable ? "identical" : "DIFFERENT") << "\n";

  // A gzip copy of the report kept in recycled memory, checked by inflating
  // it again.
  const boost::shared_ptr<bu::RecycledMemory> plain = bu::RecycledMemory::Create(jsonText.size());
  std::copy(jsonText.begin(), jsonText.end(), static_cast<unsigned char*>(plain->Buffer()));
  boost::shared_ptr<bu::RecycledMemory> packed;
  boost::shared_ptr<bu::RecycledMemory> unpacked;
  const bool packedStable =
      bu::CompressRecycledMemory(plain, bu::kCompressionFlavor_Gzip, packed) &&
      bu::DecompressRecycledMemory(packed, bu::kCompressionFlavor_Gzip, unpacked) && unpacked->Size() == plain->Size() &&
      std::equal(jsonText.begin(), jsonText.end(), static_cast<const unsigned char*>(unpacked->Buffer()));
  bu::streams::Out << "report (gzip): " << (packed ? packed->Size() : 0) << " of " << plain->Size()
                   << " bytes kept in recycled memory, " << (packedStable ? "inflates identical" : "DIFFERENT")
                   << "; names: " << names.size() << " interned, " << run.mNamesShared << " of " << run.mOrder.size()
                   << " lookups shared them\n";

  // Shutdown: end structured logging (every record logged so far is handed
  // to the sink, which sends what it holds before the logging thread ends),
  // end the idle temporary threads, then take the host's services out again,
  // newest first, before they are destroyed; flush so the report is complete
  // even through a pipe.
  const bool logging = basalt::logging::LoggingIsEnabled();
  LogRecord(6, "main", __LINE__, "host finished", {{"milliseconds", workMillis}});
  basalt::logging::SetStructuredLogger(boost::shared_ptr<basalt::logging::IStructuredLogger>());
  if (logging) {
    bu::streams::Out << "logging: " << paths.size() + 2 << " records sent to "
                     << std::string(syslogServer.begin(), syslogServer.end()) << ", logging ended\n";
  }
  bt::CleanupAllSharedThreads();
  names.clear();
  const bool namesPurged = bu::ImmutableString::PurgeUnusedStrings();
  basalt::config::Localizer::Set(nullptr);
  basalt::config::ErrorManager::Set(nullptr);
  bu::streams::Out << "shutdown: " << (run.mSharedReleased ? "shared executors released" : "SHARED EXECUTORS LEAKED")
                   << (namesPurged ? ", unused names purged" : "") << ", done" << std::endl;
  const bool allRead = std::all_of(reports.begin(), reports.end(), [](const FileReport& r) { return r.mRead; });
  return allRead && jsonStable && packedStable ? 0 : 1;
}
