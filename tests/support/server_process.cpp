#include "server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

#include "net/host_address.h"
#include "terminal_peer.h"

namespace larvek::testing {
namespace {

// Where the message of a log line starts: after its "hh:nn:ss  " stamp (ten bytes), which in
// service mode follows the journal's priority mark ("<6>").
size_t MessageStart(const std::string& line) {
  const size_t stamp = line.size() >= 3 && line[0] == '<' && line[2] == '>' ? 3 : 0;
  return line.size() >= stamp + 10 && line[stamp + 2] == ':' && line[stamp + 5] == ':' ? stamp + 10
                                                                                       : 0;
}

std::string StripStamp(const std::string& line) {
  return line.substr(MessageStart(line));
}

}  // namespace

ServerProcess::ServerProcess()
    : program_dir_(dir_.Path() + "prog/"), work_dir_(dir_.Path() + "work/") {
  std::filesystem::create_directories(program_dir_);
  std::filesystem::create_directories(work_dir_);
  const char* binary = std::getenv("LARVEK_SRVLARVEK");
  if (binary == nullptr) throw std::runtime_error("LARVEK_SRVLARVEK is not set");
  std::filesystem::copy_file(binary, program_dir_ + "srvlarvek");
  std::filesystem::permissions(program_dir_ + "srvlarvek", std::filesystem::perms::owner_all);
}

ServerProcess::~ServerProcess() {
  if (Running()) Stop();
}

void ServerProcess::WriteOwnConfig(const std::string& bytes) {
  dir_.Write("prog/srvlarvek.INI", bytes);
}

void ServerProcess::WriteSharedConfig(const std::string& bytes) {
  dir_.Write("larvek05.ini", bytes);
}

void ServerProcess::Start() {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    if (chdir(work_dir_.c_str()) != 0) _exit(127);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    for (const auto& [name, value] : environment_) setenv(name.c_str(), value.c_str(), 1);
    std::string exe = executable_.empty() ? Executable() : executable_;
    std::vector<char*> argv{exe.data()};
    for (std::string& a : arguments_) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  out_reader_ = std::thread([this, fd = out[0]] { ReadPipe(fd, true); });
  err_reader_ = std::thread([this, fd = err[0]] { ReadPipe(fd, false); });
}

int ServerProcess::Stop(int sig) {
  if (pid_ <= 0) return -1;
  kill(pid_, sig);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  if (out_reader_.joinable()) out_reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::optional<int> ServerProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (done < 0 || std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  if (out_reader_.joinable()) out_reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void ServerProcess::ReadPipe(int fd, bool is_stdout) {
  std::string partial;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!is_stdout) {
      stderr_.append(buf, n);
      continue;
    }
    // Only the new bytes are searched for the line end: a line of megabytes comes in many
    // reads, and searching it from its start each time would slow the server's writes down.
    const size_t searched = partial.size();
    partial.append(buf, n);
    size_t start = 0;
    for (size_t nl = partial.find('\n', searched); nl != std::string::npos;
         nl = partial.find('\n', start)) {
      lines_.push_back(partial.substr(start, nl - start));
      start = nl + 1;
    }
    partial.erase(0, start);
  }
  close(fd);
}

std::vector<std::string> ServerProcess::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> ServerProcess::Messages() const {
  std::vector<std::string> out;
  for (const std::string& line : Lines()) out.push_back(StripStamp(line));
  return out;
}

static bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool ServerProcess::WaitForMessage(const std::string& needle,
                                   std::chrono::milliseconds timeout) const {
  return WaitForMessages(needle, 1, timeout);
}

bool ServerProcess::WaitForMessages(const std::string& needle, size_t count,
                                    std::chrono::milliseconds timeout) const {
  // Each line is searched once, in place: replies of megabytes are logged whole, and copying
  // every line at every look would keep the test busy instead of the server.
  size_t searched = 0, found = 0;
  return WaitFor(
      [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        for (; searched < lines_.size() && found < count; ++searched) {
          const std::string& line = lines_[searched];
          if (line.find(needle, MessageStart(line)) != std::string::npos) ++found;
        }
        return found >= count;
      },
      timeout);
}

bool ServerProcess::WaitForLineCount(size_t count, std::chrono::milliseconds timeout) const {
  return WaitFor([&] { return Lines().size() >= count; }, timeout);
}

std::string ServerProcess::Stderr() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stderr_;
}

bool ServerProcess::WaitForStderr(const std::string& needle,
                                  std::chrono::milliseconds timeout) const {
  return WaitFor([&] { return Stderr().find(needle) != std::string::npos; }, timeout);
}

std::string ServerProcess::DayLogPath() const {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char day[16];
  std::strftime(day, sizeof day, "%Y%m%d", &local);
  return program_dir_ + day + "/log.txt";
}

std::string ServerProcess::ListenAddress() {
  return DottedQuad(HostIPv4Address());
}

int ServerProcess::FreePort() {
  return FreeLoopbackPort(ListenAddress());
}

Terminal::Terminal(const std::string& address, int port) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

Terminal::~Terminal() {
  Close();
}

void Terminal::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("send failed");
    sent += n;
  }
}

std::string Terminal::ReadUntil(const std::string& terminator, std::chrono::milliseconds timeout) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (fd_ >= 0) {
    if (!terminator.empty() && got.size() >= terminator.size() &&
        got.compare(got.size() - terminator.size(), terminator.size(), terminator) == 0)
      break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, n);
  }
  return got;
}

std::string Terminal::ReadFor(std::chrono::milliseconds window) {
  return ReadUntil("", window);
}

std::string Terminal::Ask(const std::string& request) {
  Send(request + "\r");
  return ReadUntil("\r");
}

void Terminal::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void Terminal::Reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

Terminal ConnectWhenListening(const ServerProcess& server, int port) {
  for (int i = 0; i < 250; ++i) {
    Terminal t(ServerProcess::ListenAddress(), port);
    if (t.Connected()) return t;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "server does not listen; stderr: " << server.Stderr();
  return Terminal(ServerProcess::ListenAddress(), port);
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace larvek::testing
