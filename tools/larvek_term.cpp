// larvek_term: a minimal terminal for the srvlarvek server.
//
//   larvek_term [--timeout MS] [--no-wait] HOST:PORT [REQUEST...]
//
// Connects to the server, sends each REQUEST (or, when none is given, each non-empty line of
// standard input) followed by CR, and prints each reply on a line of its own. Requests are
// typed in UTF-8 and sent as Windows-1250; replies are printed back in UTF-8 with control
// bytes made visible: CR as \r, LF as \n, a backslash as \\, any other control byte as \xNN.
//
// A reply ends at its CR. A reply without CR (the server's timeout record) ends when no new
// byte has arrived for MS milliseconds (default 10000); whatever arrived is printed. Bytes
// that arrive between a reply and the next request (a late timeout record) are printed on a
// line of their own before that request is sent.
//
// --no-wait sends the requests without reading any reply, then closes the connection.
//
// Exit status: 0 every request got a reply; 1 a reply did not arrive in time or the server
// closed the connection first; 2 usage or connection errors.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "base/codepage.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kNoReply = 1;

void Usage() {
  std::fprintf(stderr,
               "usage: larvek_term [--timeout MS] [--no-wait] HOST:PORT [REQUEST...]\n"
               "  sends each REQUEST (or each line of standard input) followed by CR and\n"
               "  prints each reply; e.g. larvek_term 127.0.1.1:2000 'STAV;A1'\n");
}

// Opens a TCP connection to host:port; returns -1 after printing the reason.
int Connect(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0) {
    std::fprintf(stderr, "larvek_term: %s:%s: %s\n", host.c_str(), port.c_str(), gai_strerror(rc));
    return -1;
  }
  int fd = -1;
  int last_errno = 0;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd < 0) {
      last_errno = errno;
      continue;
    }
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) break;
    last_errno = errno;
    close(fd);
    fd = -1;
  }
  freeaddrinfo(list);
  if (fd < 0) {
    std::fprintf(stderr, "larvek_term: cannot connect to %s:%s: %s\n", host.c_str(), port.c_str(),
                 std::strerror(last_errno));
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads until `pending` holds a CR, the connection ends, or `timeout_ms` pass without a new
// byte. Returns the reply (up to and including its CR, or everything that arrived) and
// leaves the rest in `pending`. `closed` tells that the server ended the connection.
std::string ReadReply(int fd, int timeout_ms, std::string& pending, bool& closed) {
  for (;;) {
    size_t cr = pending.find('\r');
    if (cr != std::string::npos) {
      std::string reply = pending.substr(0, cr + 1);
      pending.erase(0, cr + 1);
      return reply;
    }
    if (closed) break;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;  // idle for timeout_ms (or poll failed): take what we have
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closed = true;
      continue;
    }
    pending.append(buf, static_cast<size_t>(n));
  }
  std::string reply;
  reply.swap(pending);
  return reply;
}

}  // namespace

int main(int argc, char** argv) {
  int timeout_ms = 10000;
  bool wait_for_reply = true;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
    std::string opt = argv[i];
    if (opt == "--timeout" && i + 1 < argc) {
      char* end = nullptr;
      long ms = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || ms < 0 || ms > 24L * 3600 * 1000) {
        Usage();
        return kUsageError;
      }
      timeout_ms = static_cast<int>(ms);
    } else if (opt == "--no-wait") {
      wait_for_reply = false;
    } else if (opt == "--help") {
      Usage();
      return 0;
    } else {
      Usage();
      return kUsageError;
    }
  }
  if (i >= argc) {
    Usage();
    return kUsageError;
  }
  std::string address = argv[i++];
  size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) {
    Usage();
    return kUsageError;
  }
  std::string host = address.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);  // [::1]:2000
  }
  int fd = Connect(host, address.substr(colon + 1));
  if (fd < 0) return kUsageError;

  std::vector<std::string> args(argv + i, argv + argc);
  bool from_stdin = args.empty();
  size_t next_arg = 0;
  std::string pending;
  bool closed = false;
  int status = 0;
  for (;;) {
    std::string request;
    if (from_stdin) {
      if (!std::getline(std::cin, request)) break;
      while (!request.empty() && (request.back() == '\r' || request.back() == '\n')) {
        request.pop_back();
      }
      if (request.empty()) continue;
    } else {
      if (next_arg == args.size()) break;
      request = args[next_arg++];
    }
    // Bytes that arrived since the last reply (a late timeout record) are no answer to this
    // request: show them on a line of their own first.
    if (wait_for_reply) {
      std::string late = ReadReply(fd, 0, pending, closed);
      if (!late.empty()) std::printf("%s\n", larvek::VisibleCp1250(late).c_str());
    }
    if (!SendAll(fd, larvek::Utf8ToCp1250(request) + "\r")) {
      std::fprintf(stderr, "larvek_term: sending failed: %s\n", std::strerror(errno));
      status = kNoReply;
      break;
    }
    if (!wait_for_reply) continue;
    std::string reply = ReadReply(fd, timeout_ms, pending, closed);
    if (reply.empty()) {
      if (closed) {
        std::fprintf(stderr, "larvek_term: no reply to '%s': connection closed by the server\n",
                     request.c_str());
      } else {
        std::fprintf(stderr, "larvek_term: no reply to '%s' within %d ms\n", request.c_str(),
                     timeout_ms);
      }
      status = kNoReply;
      if (closed) break;
      continue;
    }
    std::printf("%s\n", larvek::VisibleCp1250(reply).c_str());
    std::fflush(stdout);
  }
  close(fd);
  return status;
}
