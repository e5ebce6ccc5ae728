// Structured logging to the syslog sink over loopback UDP.
//
//   Log/call        what a producer pays per Log call (the post to the logging
//                   thread); records are made beforehand, outside the timing.
//   Log/throughput  records from Log until their datagrams have arrived at a
//                   UDP collector in this process: records per second end to
//                   end (JSON form, datagram, send, receive).
// No peer library is measured here; the figures stand on their own.
#include <basalt/logging/StructuredLogging.h>

#include "logging/LoggingTestSupport.h"

#include <benchmark/benchmark.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using basalt::logging::LogMessage;
using MessagePtr = boost::shared_ptr<LogMessage>;

MessagePtr Record(int inNumber) {
  MessagePtr message = LogMessage::Create();
  message->severity = 6;
  message->timestamp = boost::posix_time::microsec_clock::universal_time();
  message->line = 42;
  std::strcpy(message->file, "LoggingBench.cpp");
  std::strcpy(message->function, "Record");
  std::strcpy(message->traceCategory, "Bench");
  std::snprintf(message->message, sizeof message->message, "record %d", inNumber);
  std::strcpy(message->data[0].name, "number");
  message->data[0].value = static_cast<std::int64_t>(inNumber);
  return message;
}

struct Sink {
  Sink() : mCollector(64 << 20, false), mLogger(basalt::logging::CreateSyslogLogger(false, basalt::utility::Guid::CreateUnique())) {
    basalt::logging::SetStructuredLogger(mLogger);
    mLogger->SetServer(basalt::utility::ImmutableString::CreateDynamic("127.0.0.1"), mCollector.Port());
  }
  basalt::testing::UdpCollector mCollector;
  boost::shared_ptr<basalt::logging::INetworkLogger> mLogger;
};

Sink& TheSink() {
  static Sink* sSink = new Sink;
  return *sSink;
}

void LogCall(benchmark::State& ioState) {
  Sink& sink = TheSink();
  constexpr int kBatch = 1000;
  std::vector<MessagePtr> records;
  std::size_t sent = sink.mCollector.Count();
  for (auto _ : ioState) {
    records.clear();
    for (int i = 0; i < kBatch; ++i) records.push_back(Record(i));
    const auto start = std::chrono::steady_clock::now();
    for (MessagePtr& record : records) basalt::logging::Log(std::move(record));
    const auto end = std::chrono::steady_clock::now();
    ioState.SetIterationTime(std::chrono::duration<double>(end - start).count());
    // Let the batch drain, so queued records do not pile up between batches.
    sent += kBatch;
    sink.mCollector.WaitFor(sent);
  }
  ioState.SetItemsProcessed(ioState.iterations() * kBatch);
  ioState.counters["ns_per_call"] =
      benchmark::Counter(static_cast<double>(ioState.iterations() * kBatch),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void Throughput(benchmark::State& ioState) {
  Sink& sink = TheSink();
  constexpr int kRecords = 20000;
  std::size_t sent = sink.mCollector.Count();
  for (auto _ : ioState) {
    for (int i = 0; i < kRecords; ++i) {
      // Keep at most a few thousand records in flight.
      if (i % 1000 == 0 && i >= 4000) sink.mCollector.WaitFor(sent + static_cast<std::size_t>(i - 4000));
      basalt::logging::Log(Record(i));
    }
    sent += kRecords;
    if (!sink.mCollector.WaitFor(sent)) ioState.SkipWithError("datagrams were lost");
  }
  ioState.SetItemsProcessed(ioState.iterations() * kRecords);
}

}  // namespace

BENCHMARK(LogCall)->Name("Log/call")->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(Throughput)->Name("Log/throughput")->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
