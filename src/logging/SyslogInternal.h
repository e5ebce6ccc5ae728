// The syslog datagram, exported for the tests.
#ifndef BASALT_LOGGING_SYSLOGINTERNAL_H
#define BASALT_LOGGING_SYSLOGINTERNAL_H

#include <basalt/logging/StructuredLogging.h>

#include <boost/date_time/posix_time/ptime.hpp>

#include <cstdint>
#include <string>

namespace basalt {
namespace logging {
namespace internal {

// What every datagram of one sink says about its sender.
struct SyslogIdentity {
  utility::ImmutableString mHostName;
  UTF8String mApplicationName;
  utility::Guid mLoggerID;
  bool mIsService;
};

// "<" priority ">1 " time "Z " host " " application " " logger id " " message
// id " - " and the UTF-8 byte order mark. An unset time, and an empty host,
// application or id, is written "-" (the RFC's nil value).
BSL_EXPORT std::string SyslogHeader(const SyslogIdentity& inIdentity, unsigned int inPriority,
                                    const boost::posix_time::ptime& inTime);
// The header (priority 139 for a service, 147 for a client) and the text
// "Dropped SYSLOG Messages".
BSL_EXPORT std::string SyslogDroppedNotice(const SyslogIdentity& inIdentity, const boost::posix_time::ptime& inNow);
// The header, the record's message, a space and its JSON form; see
// CreateSyslogLogger for the size limit.
BSL_EXPORT std::string SyslogDatagram(const SyslogIdentity& inIdentity, const LogMessage& inMessage);

// Process-wide counts: resolutions begun by the sinks' connections, and
// datagrams discarded for want of an address or by a failed send.
BSL_EXPORT std::uint64_t SyslogResolveAttempts() noexcept;
BSL_EXPORT std::uint64_t SyslogDiscardedDatagrams() noexcept;

}  // namespace internal
}  // namespace logging
}  // namespace basalt

#endif  // BASALT_LOGGING_SYSLOGINTERNAL_H
