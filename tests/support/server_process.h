// Runs the real srvlarvek binary as a child process in a private program directory, the way an
// operator runs it: a copy of the binary, srvlarvek.INI beside it, ../larvek05.ini above it, and
// a working directory for u.txt. Log lines are read from its standard output.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <csignal>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "temp_dir.h"

namespace larvek::testing {

class ServerProcess {
 public:
  ServerProcess();
  ~ServerProcess();  // stops the server when still running

  // Files of the program directory (Windows-1250 bytes as given).
  void WriteOwnConfig(const std::string& bytes);
  void WriteSharedConfig(const std::string& bytes);
  const std::string& ProgramDir() const { return program_dir_; }
  const std::string& WorkDir() const { return work_dir_; }
  std::string OwnConfigPath() const { return program_dir_ + "srvlarvek.INI"; }
  // Today's file of the activity log (Windows-1250, CR LF after each line).
  std::string DayLogPath() const;

  // The command line after the program name; {"--console"} unless set.
  void SetArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
  // Runs this file (e.g. a symlink to Executable()) instead of the copy.
  void SetExecutable(std::string path) { executable_ = std::move(path); }
  std::string Executable() const { return program_dir_ + "srvlarvek"; }
  // An environment variable for the child.
  void SetEnvironment(const std::string& name, const std::string& value) {
    environment_.emplace_back(name, value);
  }
  // The private temporary directory that holds the program directory ("prog/"), ending in "/".
  const std::string& Root() const { return dir_.Path(); }

  // Starts `srvlarvek --console` (or the arguments set).
  void Start();
  // Sends `sig` (SIGTERM unless given) and waits; returns the exit status (or -signal).
  int Stop(int sig = SIGTERM);
  // Waits for the server to end by itself; its exit status (or -signal), nullopt on time-out.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // Log lines printed so far (UTF-8, time stamp and, in service mode, priority mark included).
  std::vector<std::string> Lines() const;
  // Log lines without their "hh:nn:ss  " time stamp (and priority mark).
  std::vector<std::string> Messages() const;
  // Waits until a log message (without time stamp) contains `needle`; false on time-out.
  bool WaitForMessage(const std::string& needle,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Waits until `count` log messages contain `needle`; false on time-out.
  bool WaitForMessages(const std::string& needle, size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Waits until the number of log lines reaches `count`.
  bool WaitForLineCount(size_t count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Standard error so far.
  std::string Stderr() const;
  bool WaitForStderr(const std::string& needle,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // The address the server listens on (the host's first IPv4 address) and a port that was
  // free a moment ago.
  static std::string ListenAddress();
  static int FreePort();

 private:
  void ReadPipe(int fd, bool is_stdout);

  TempDir dir_;
  std::string program_dir_;
  std::string work_dir_;
  std::vector<std::string> arguments_{"--console"};
  std::string executable_;
  std::vector<std::pair<std::string, std::string>> environment_;
  pid_t pid_ = -1;
  std::thread out_reader_, err_reader_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::string stderr_;
};

// A terminal: a blocking TCP client.
class Terminal {
 public:
  Terminal(const std::string& address, int port);
  ~Terminal();
  Terminal(Terminal&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  bool Connected() const { return fd_ >= 0; }
  void Send(const std::string& bytes);
  // Reads until `terminator` has arrived (or, with an empty terminator, until `idle` passes
  // without bytes); returns what arrived.
  std::string ReadUntil(const std::string& terminator,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Reads whatever arrives within `window`.
  std::string ReadFor(std::chrono::milliseconds window);
  // Request + CR, then the reply up to its CR.
  std::string Ask(const std::string& request);
  void Close();
  // Closes with a reset (linger 0).
  void Reset();

 private:
  int fd_ = -1;
};

// A terminal connected to `server`, which listens on ListenAddress() and `port`: tried for 5 s
// while its listener starts. When it does not listen by then, the test fails with the
// server's standard error and the terminal returned is not connected.
Terminal ConnectWhenListening(const ServerProcess& server, int port);

// Calls `done` every `step` until it returns true; false when `timeout` passed first.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = std::chrono::milliseconds(20));

}  // namespace larvek::testing
