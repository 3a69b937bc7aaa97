#include "server/metrics.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/codepage.h"

namespace larvek {
namespace {

// From 1 ms to 30 s: a one-row lookup takes about a millisecond, SQLtimeout cuts at 30 s.
const std::vector<double> kRequestBuckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                             0.25,  0.5,    1,     2.5,  5,     10,   30};
// A link over loopback opens in well under a millisecond; a remote or failing one in seconds.
const std::vector<double> kLinkBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                          0.1,    0.25,  0.5,    1,     2.5,  5,     10};

// A number as the format writes it: the shortest of 15 and 17 digits that reads back as the
// same value (0.001, not 0.0010000000000000000208).
std::string Number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.15g", value);
  if (std::strtod(text, nullptr) != value) std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

void Header(std::string& page, const char* name, const char* type, const char* help) {
  page += "# HELP ";
  page += name;
  page += ' ';
  page += help;
  page += "\n# TYPE ";
  page += name;
  page += ' ';
  page += type;
  page += '\n';
}

void Sample(std::string& page, const char* name, uint64_t value) {
  page += name;
  page += ' ';
  page += std::to_string(value);
  page += '\n';
}

void Sample(std::string& page, const char* name, double value) {
  page += name;
  page += ' ';
  page += Number(value);
  page += '\n';
}

// A metric with one sample of a whole number.
struct Single {
  const char* name;
  const char* type;
  const char* help;
  uint64_t value;
};

void LabelledSample(std::string& page, const char* name, const char* label,
                    const std::string& value, uint64_t count) {
  page += name;
  page += '{';
  page += label;
  page += "=\"";
  page += value;
  page += "\"} ";
  page += std::to_string(count);
  page += '\n';
}

}  // namespace

Histogram::Histogram(std::vector<double> upper_bounds)
    : bounds_(std::move(upper_bounds)), counts_(bounds_.size() + 1, 0) {}

void Histogram::Observe(std::chrono::nanoseconds took) {
  const double seconds = std::chrono::duration<double>(took).count();
  const size_t bucket = static_cast<size_t>(
      std::lower_bound(bounds_.begin(), bounds_.end(), seconds) - bounds_.begin());
  ++counts_[bucket];
  ++count_;
  sum_ += seconds;
}

std::string Histogram::Lines(std::string_view name) const {
  std::string lines;
  uint64_t cumulative = 0;
  for (size_t i = 0; i <= bounds_.size(); ++i) {
    cumulative += counts_[i];
    lines += name;
    lines += "_bucket{le=\"";
    lines += i < bounds_.size() ? Number(bounds_[i]) : "+Inf";
    lines += "\"} ";
    lines += std::to_string(cumulative);
    lines += '\n';
  }
  lines += name;
  lines += "_sum " + Number(sum_) + "\n";
  lines += name;
  lines += "_count " + std::to_string(count_) + "\n";
  return lines;
}

const char* RequestEndLabel(RequestEnd end) {
  switch (end) {
    case RequestEnd::kRecords:
      return "records";
    case RequestEnd::kEmpty:
      return "empty";
    case RequestEnd::kError:
      return "error";
    case RequestEnd::kUnknownCommand:
      return "unknown_command";
    case RequestEnd::kTimeout:
      return "timeout";
    case RequestEnd::kNoReply:
      return "no_reply";
    case RequestEnd::kCut:
      return "cut";
  }
  return "error";
}

std::string LabelValue(std::string_view cp1250) {
  std::string utf8 = Cp1250ToUtf8(cp1250);
  if (utf8.size() > 64) {
    size_t end = 64;
    // Back to the first byte of a character: continuation bytes are 10xxxxxx.
    while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
    utf8.resize(end);
  }
  std::string escaped;
  escaped.reserve(utf8.size());
  for (char c : utf8) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '"') {
      escaped += "\\\"";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

ServerMetrics::ServerMetrics()
    : request_duration_(kRequestBuckets), link_open_duration_(kLinkBuckets) {}

bool ServerMetrics::IsError(RequestEnd end) {
  return end == RequestEnd::kError || end == RequestEnd::kTimeout || end == RequestEnd::kNoReply ||
         end == RequestEnd::kCut;
}

void ServerMetrics::CountRequest(RequestEnd end, std::chrono::nanoseconds took,
                                 std::string_view command) {
  ++requests_[static_cast<size_t>(end)];
  request_duration_.Observe(took);
  if (command.empty()) return;
  CommandCounts* counts = &other_commands_;
  const std::string name(command);
  auto label = command_labels_.find(name);
  if (label != command_labels_.end()) {
    counts = &commands_[label->second];
  } else if (command_labels_.size() < kMaxCommands) {
    // Two names may share a label value once cut; they then share its counts.
    label = command_labels_.emplace(name, LabelValue(command)).first;
    counts = &commands_[label->second];
  }
  ++counts->requests;
  if (IsError(end)) ++counts->errors;
}

void ServerMetrics::CountLinkOpened(std::chrono::nanoseconds took) {
  link_open_duration_.Observe(took);
}

void ServerMetrics::CountDatabaseError(int code) {
  auto found = database_errors_.find(code);
  if (found != database_errors_.end()) {
    ++found->second;
  } else if (database_errors_.size() < kMaxErrorCodes) {
    database_errors_.emplace(code, 1);
  } else {
    ++other_database_errors_;
  }
}

uint64_t ServerMetrics::Requests() const {
  uint64_t total = 0;
  for (uint64_t n : requests_) total += n;
  return total;
}

uint64_t ServerMetrics::Errors() const {
  uint64_t total = socket_errors_;
  for (size_t i = 0; i < kRequestEnds; ++i)
    if (IsError(static_cast<RequestEnd>(i))) total += requests_[i];
  return total;
}

std::string ServerMetrics::Page(const MetricsGauges& gauges) const {
  std::string page;
  page.reserve(8192 + commands_.size() * 160);

  Header(page, "srvlarvek_build_info", "gauge", "Version of the running server.");
  page += "srvlarvek_build_info{version=\"" LARVEK_VERSION "\"} 1\n";
  Header(page, "srvlarvek_definition_source_info", "gauge",
         "Where command definitions come from: the server_term table or the own INI file.");
  if (gauges.definition_source != nullptr)
    page += std::string("srvlarvek_definition_source_info{source=\"") + gauges.definition_source +
            "\"} 1\n";

  Header(page, "srvlarvek_requests_total", "counter", "Requests ended, by how they ended.");
  for (size_t i = 0; i < kRequestEnds; ++i)
    LabelledSample(page, "srvlarvek_requests_total", "outcome",
                   RequestEndLabel(static_cast<RequestEnd>(i)), requests_[i]);
  Header(page, "srvlarvek_request_duration_seconds", "histogram",
         "Time from a reception to the end of its request.");
  page += request_duration_.Lines("srvlarvek_request_duration_seconds");
  Header(page, "srvlarvek_link_open_duration_seconds", "histogram",
         "Time to open a database link.");
  page += link_open_duration_.Lines("srvlarvek_link_open_duration_seconds");

  // The figures of one sample each.
  const Single singles[] = {
      {"srvlarvek_requests_in_flight", "gauge", "Requests started and not ended.",
       gauges.requests_in_flight},
      {"srvlarvek_requests_waiting", "gauge",
       "Requests waiting for a database link (parallel mode).", gauges.requests_waiting},
      {"srvlarvek_links_open", "gauge", "Database links open.", gauges.links_open},
      {"srvlarvek_links_idle", "gauge", "Database links open and kept for reuse.",
       gauges.links_idle},
      {"srvlarvek_database_up", "gauge", "1 when the last contact with the database succeeded.",
       gauges.database_up ? 1u : 0u},
      {"srvlarvek_terminals_connected", "gauge", "Terminals connected now.",
       gauges.terminals_connected},
      {"srvlarvek_connections_accepted_total", "counter", "Terminal connections accepted.",
       connections_accepted_},
      {"srvlarvek_slow_terminals_disconnected_total", "counter",
       "Terminals disconnected because they did not read their replies.", slow_terminals_},
      {"srvlarvek_long_receptions_total", "counter",
       "Receptions cut at 64 KiB because the input was longer.", long_receptions_},
      {"srvlarvek_accept_pauses_total", "counter",
       "Pauses of accepting for lack of descriptors or memory.", gauges.accept_pauses},
      {"srvlarvek_socket_errors_total", "counter",
       "Failures of the listener and of terminal connections.", socket_errors_},
      {"srvlarvek_log_write_failures_total", "counter",
       "Log lines that could not be written to the day file.", gauges.log_write_failures},
      {"srvlarvek_watchdog_expiries_total", "counter",
       "Expiries of the statement watchdog (Max_time).", watchdog_expiries_},
      {"process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
       gauges.process.resident_bytes},
      {"process_open_fds", "gauge", "Number of open file descriptors.",
       gauges.process.open_descriptors},
      {"process_max_fds", "gauge", "Maximum number of open file descriptors.",
       gauges.process.max_descriptors},
  };
  for (const Single& single : singles) {
    Header(page, single.name, single.type, single.help);
    Sample(page, single.name, single.value);
  }

  Header(page, "srvlarvek_database_errors_total", "counter",
         "Database failures of requests, by the database's error number.");
  for (const auto& [code, count] : database_errors_)
    LabelledSample(page, "srvlarvek_database_errors_total", "code", std::to_string(code), count);
  if (other_database_errors_ > 0)
    LabelledSample(page, "srvlarvek_database_errors_total", "code", "other",
                   other_database_errors_);

  struct PerCommand {
    const char* name;
    const char* help;
    uint64_t CommandCounts::*count;
  };
  for (const PerCommand& metric : {
           PerCommand{"srvlarvek_command_requests_total",
                      "Requests that found a definition, by the definition's name.",
                      &CommandCounts::requests},
           PerCommand{"srvlarvek_command_errors_total",
                      "Requests that found a definition and ended without their answer, by "
                      "its name.",
                      &CommandCounts::errors},
       }) {
    Header(page, metric.name, "counter", metric.help);
    for (const auto& [name, counts] : commands_)
      LabelledSample(page, metric.name, "command", name, counts.*metric.count);
    // "other" appears once a name beyond the cap has come, for both figures alike.
    if (other_commands_.requests > 0)
      LabelledSample(page, metric.name, "command", "other", other_commands_.*metric.count);
  }

  const ProcessStats& process = gauges.process;
  Header(page, "process_cpu_seconds_total", "counter",
         "Total user and system CPU time spent in seconds.");
  Sample(page, "process_cpu_seconds_total", process.cpu_seconds);
  Header(page, "process_start_time_seconds", "gauge",
         "Start time of the process since unix epoch in seconds.");
  Sample(page, "process_start_time_seconds", process.start_time_seconds);
  return page;
}

}  // namespace larvek
