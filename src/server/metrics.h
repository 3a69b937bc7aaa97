// The server's running figures for monitoring: counters and histograms that the server adds to
// as events happen, and the page that shows them with the figures read at that moment (gauges),
// in the Prometheus text exposition format, version 0.0.4.
//
// Counting is a few additions and, for a request, one histogram bucket search and one lookup
// of its command's name; nothing is formatted until a page is asked for. Label sets that a
// terminal or the database can grow are capped: at most kMaxCommands command names and
// kMaxErrorCodes database error numbers, the rest counted under "other".
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/process_stats.h"

namespace larvek {

// Counts of observations at or below each bound (seconds), their sum and their number.
class Histogram {
 public:
  explicit Histogram(std::vector<double> upper_bounds);
  void Observe(std::chrono::nanoseconds took);
  uint64_t Count() const { return count_; }
  double Sum() const { return sum_; }
  // The bucket, _sum and _count lines of `name`.
  std::string Lines(std::string_view name) const;

 private:
  std::vector<double> bounds_;
  std::vector<uint64_t> counts_;  // per bucket, not cumulative
  uint64_t count_ = 0;
  double sum_ = 0;
};

// How a request ended, as the metrics name it.
enum class RequestEnd { kRecords, kEmpty, kError, kUnknownCommand, kTimeout, kNoReply, kCut };
inline constexpr size_t kRequestEnds = 7;
// The label value of each end.
const char* RequestEndLabel(RequestEnd end);

// What is read when the page is made.
struct MetricsGauges {
  uint64_t requests_in_flight = 0;
  uint64_t requests_waiting = 0;
  uint64_t links_open = 0;
  uint64_t links_idle = 0;
  uint64_t terminals_connected = 0;
  // Counters kept where the events happen.
  uint64_t accept_pauses = 0;       // by the listener
  uint64_t log_write_failures = 0;  // by the day log
  bool database_up = false;
  const char* definition_source = nullptr;  // "table", "file", or nullptr while unknown
  ProcessStats process;
};

// A label value as the format wants it: the Windows-1250 text in UTF-8, cut to at most 64
// bytes at a character boundary, with backslash, double quote and line feed escaped.
std::string LabelValue(std::string_view cp1250);

class ServerMetrics {
 public:
  static constexpr size_t kMaxCommands = 500;
  static constexpr size_t kMaxErrorCodes = 50;

  ServerMetrics();

  // A request ended. `command` is the definition's own name (Windows-1250) when the request
  // found one, empty otherwise; its count and errors go under that name.
  void CountRequest(RequestEnd end, std::chrono::nanoseconds took, std::string_view command);
  void CountLinkOpened(std::chrono::nanoseconds took);
  void CountDatabaseError(int code);
  void CountConnectionAccepted() { ++connections_accepted_; }
  void CountSlowTerminal() { ++slow_terminals_; }
  void CountLongReception() { ++long_receptions_; }
  void CountWatchdogExpiry() { ++watchdog_expiries_; }
  void CountSocketError() { ++socket_errors_; }

  uint64_t ConnectionsAccepted() const { return connections_accepted_; }
  // Requests ended, whatever their end.
  uint64_t Requests() const;
  // Requests that ended without their answer (error record, time-out, no reply, cut) and
  // failures of the listener and of terminal connections.
  uint64_t Errors() const;

  // The whole page.
  std::string Page(const MetricsGauges& gauges) const;

 private:
  struct CommandCounts {
    uint64_t requests = 0;
    uint64_t errors = 0;
  };
  static bool IsError(RequestEnd end);

  std::array<uint64_t, kRequestEnds> requests_{};
  Histogram request_duration_;
  Histogram link_open_duration_;
  // By label value (already converted); kept sorted for a stable page.
  std::map<std::string, CommandCounts> commands_;
  std::unordered_map<std::string, std::string> command_labels_;  // the raw name's label value
  CommandCounts other_commands_;
  std::map<int, uint64_t> database_errors_;
  uint64_t other_database_errors_ = 0;
  uint64_t connections_accepted_ = 0;
  uint64_t slow_terminals_ = 0;
  uint64_t long_receptions_ = 0;
  uint64_t watchdog_expiries_ = 0;
  uint64_t socket_errors_ = 0;
};

}  // namespace larvek
