// A blocking HTTP/1.1 client for tests of the status pages: one request per connection
// ("Connection: close"), the answer read until the server closes.
#pragma once

#include <chrono>
#include <string>

namespace larvek::testing {

struct HttpAnswer {
  int status = 0;  // 0: no answer (refused, closed without a status line, timed out)
  std::string headers;
  std::string body;
};

// Sends `request` as it is (a whole request, or anything else) and reads the answer.
HttpAnswer HttpExchange(const std::string& address, int port, const std::string& request,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
// GET of `path`.
HttpAnswer HttpGet(const std::string& address, int port, const std::string& path,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs `promtool check metrics` on `page`; returns what it printed, "" when it found nothing
// wrong. Fails when promtool is missing.
std::string PromtoolCheckMetrics(const std::string& page);

}  // namespace larvek::testing
