// The metrics page as values: label values as the format wants them, the caps on label sets
// that terminals or the database could grow, histogram buckets, and a page promtool accepts.
#include "server/metrics.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "http_client.h"

namespace larvek {
namespace {

using namespace std::chrono_literals;

TEST(LabelValueTest, ConvertsEscapesAndCutsAtACharacterBoundary) {
  struct Case {
    std::string cp1250, label;
  };
  const Case cases[] = {
      {"STAV", "STAV"},
      {"V\xDD"
       "DEJ",
       "V\xC3\x9D"
       "DEJ"},  // Ý in UTF-8
      {"a\"b\\c\nd", "a\\\"b\\\\c\\nd"},
      // 63 ASCII bytes and a two-byte letter: the letter would end at byte 65, so it goes.
      {std::string(63, 'x') + "\x8A", std::string(63, 'x')},
      {std::string(62, 'x') + "\x8A", std::string(62, 'x') + "\xC5\xA0"},
      {std::string(100, 'y'), std::string(64, 'y')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cp1250);
    EXPECT_EQ(LabelValue(c.cp1250), c.label);
  }
}

TEST(ServerMetricsTest, CommandNamesAndErrorNumbersAreCappedUnderOther) {
  ServerMetrics metrics;
  for (size_t i = 0; i < ServerMetrics::kMaxCommands + 20; ++i)
    metrics.CountRequest(RequestEnd::kError, 1ms, "C" + std::to_string(i));
  for (int code = 1000; code < 1000 + static_cast<int>(ServerMetrics::kMaxErrorCodes) + 5; ++code)
    metrics.CountDatabaseError(code);
  metrics.CountDatabaseError(1000);  // a known number still counts under its own label
  const std::string page = metrics.Page({});
  EXPECT_NE(page.find("srvlarvek_command_requests_total{command=\"other\"} 20\n"),
            std::string::npos);
  EXPECT_NE(page.find("srvlarvek_command_errors_total{command=\"other\"} 20\n"),
            std::string::npos);
  EXPECT_NE(page.find("srvlarvek_database_errors_total{code=\"other\"} 5\n"), std::string::npos);
  EXPECT_NE(page.find("srvlarvek_database_errors_total{code=\"1000\"} 2\n"), std::string::npos);
  size_t command_lines = 0;
  for (size_t at = page.find("srvlarvek_command_requests_total{"); at != std::string::npos;
       at = page.find("srvlarvek_command_requests_total{", at + 1))
    ++command_lines;
  EXPECT_EQ(command_lines, ServerMetrics::kMaxCommands + 1);
  EXPECT_EQ(metrics.Requests(), ServerMetrics::kMaxCommands + 20);
  EXPECT_EQ(metrics.Errors(), ServerMetrics::kMaxCommands + 20);
}

TEST(HistogramTest, BucketsAreCumulativeAndABoundItselfCountsInItsBucket) {
  Histogram histogram({0.001, 0.01, 1});
  histogram.Observe(1ms);     // exactly on the first bound
  histogram.Observe(5ms);
  histogram.Observe(2s);      // beyond the last bound
  histogram.Observe(500us);
  const std::string lines = histogram.Lines("h");
  EXPECT_EQ(lines.substr(0, lines.find("h_sum ")),
            "h_bucket{le=\"0.001\"} 2\n"
            "h_bucket{le=\"0.01\"} 3\n"
            "h_bucket{le=\"1\"} 3\n"
            "h_bucket{le=\"+Inf\"} 4\n");
  EXPECT_NE(lines.find("\nh_count 4\n"), std::string::npos);
  EXPECT_DOUBLE_EQ(histogram.Sum(), 2.0065);
}

// Every kind of sample, with names that need escaping, passes Prometheus's own parser and linter.
TEST(ServerMetricsTest, APageWithEveryKindOfSamplePassesPromtool) {
  ServerMetrics metrics;
  metrics.CountRequest(RequestEnd::kRecords, 2ms, "STAV");
  metrics.CountRequest(RequestEnd::kCut, 3s, "V\xDD"
                                             "DEJ \"x\"\\");
  metrics.CountRequest(RequestEnd::kUnknownCommand, 1ms, "");
  metrics.CountLinkOpened(400us);
  metrics.CountDatabaseError(1146);
  metrics.CountConnectionAccepted();
  MetricsGauges gauges;
  gauges.definition_source = "table";
  gauges.database_up = true;
  gauges.process.cpu_seconds = 1.25;
  const std::string page = metrics.Page(gauges);
  EXPECT_EQ(testing::PromtoolCheckMetrics(page), "") << page;
}

}  // namespace
}  // namespace larvek
