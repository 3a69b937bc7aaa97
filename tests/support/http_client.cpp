#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "temp_dir.h"

namespace larvek::testing {

HttpAnswer HttpExchange(const std::string& address, int port, const std::string& request,
                        std::chrono::milliseconds timeout) {
  HttpAnswer answer;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return answer;
  }
  // A server that refuses a request may stop reading it: sending gives up after the time.
  timeval send_limit{static_cast<time_t>(timeout.count() / 1000),
                     static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may refuse a request before it has all of it
    sent += static_cast<size_t>(n);
  }
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[65536];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
    // A whole answer has come when its body has the length its headers give; the server may
    // keep the connection for a next request.
    const size_t head_end = got.find("\r\n\r\n");
    const size_t length_at = got.find("Content-Length: ");
    if (head_end != std::string::npos && length_at != std::string::npos && length_at < head_end &&
        got.size() - head_end - 4 >= std::stoul(got.substr(length_at + 16)))
      break;
  }
  close(fd);
  const size_t end = got.find("\r\n\r\n");
  if (got.rfind("HTTP/1.", 0) != 0 || got.size() < 12 || end == std::string::npos) return answer;
  answer.status = std::atoi(got.c_str() + 9);
  answer.headers = got.substr(0, end + 2);
  answer.body = got.substr(end + 4);
  return answer;
}

HttpAnswer HttpGet(const std::string& address, int port, const std::string& path,
                   std::chrono::milliseconds timeout) {
  return HttpExchange(address, port,
                      "GET " + path + " HTTP/1.1\r\nHost: " + address +
                          "\r\nConnection: close\r\n\r\n",
                      timeout);
}

std::string PromtoolCheckMetrics(const std::string& page) {
  TempDir dir;
  const std::string input = dir.Path() + "metrics.txt";
  const std::string output = dir.Path() + "promtool.txt";
  std::ofstream(input, std::ios::binary) << page;
  const std::string command =
      "promtool check metrics < '" + input + "' > '" + output + "' 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream in(output);
  std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (status != 0 && said.find("not found") != std::string::npos)
    throw std::runtime_error("promtool is missing (Debian package prometheus)");
  if (status != 0 && said.empty()) said = "promtool failed with status " + std::to_string(status);
  return said;
}

}  // namespace larvek::testing
