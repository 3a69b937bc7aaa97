// Failures travel as exceptions of one type, Error, that carries a kind, a message text and an
// error number. The kinds form a closed set; each has a class name that shows up in log lines
// such as "Chyba serveru: ESocketException: ...", so the names are data the program writes
// out, not C++ types. An Error is made by the factory function of its kind.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace larvek {

enum class ErrorKind {
  kGeneric,     // a failure from outside the program's own kinds (a std::exception)
  kRange,       // a number did not fit where it had to go
  kConvert,     // a text could not be read as a value
  kStringList,  // a list index out of bounds
  kFileOpen,    // a file could not be opened for reading
  kFileCreate,  // a file could not be created
  kWrite,       // writing to an open file failed
  kIniFile,     // a configuration file could not be written
  kOs,          // a system call of the event machinery failed
  kDatabase,    // the database link or a statement failed
  kSocket,      // a terminal link or the listening socket failed
};

// The class name of each kind, as it appears in messages and log lines.
constexpr const char* ClassNameOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kGeneric:
      return "Exception";
    case ErrorKind::kRange:
      return "ERangeError";
    case ErrorKind::kConvert:
      return "EConvertError";
    case ErrorKind::kStringList:
      return "EStringListError";
    case ErrorKind::kFileOpen:
      return "EFOpenError";
    case ErrorKind::kFileCreate:
      return "EFCreateError";
    case ErrorKind::kWrite:
      return "EWriteError";
    case ErrorKind::kIniFile:
      return "EIniFileException";
    case ErrorKind::kOs:
      return "EOSError";
    case ErrorKind::kDatabase:
      return "EDatabaseError";
    case ErrorKind::kSocket:
      return "ESocketException";
  }
  return "Exception";
}

// The class names as text, for code that compares or prints them.
inline constexpr const char* kRangeError = ClassNameOf(ErrorKind::kRange);
inline constexpr const char* kConvertError = ClassNameOf(ErrorKind::kConvert);
inline constexpr const char* kFileOpenError = ClassNameOf(ErrorKind::kFileOpen);
inline constexpr const char* kFileCreateError = ClassNameOf(ErrorKind::kFileCreate);
inline constexpr const char* kWriteError = ClassNameOf(ErrorKind::kWrite);
inline constexpr const char* kIniFileError = ClassNameOf(ErrorKind::kIniFile);
inline constexpr const char* kDatabaseError = ClassNameOf(ErrorKind::kDatabase);

class Error : public std::exception {
 public:
  static Error Generic(std::string message) {
    return Error(ErrorKind::kGeneric, std::move(message));
  }
  // "Range check error", or the given message.
  static Error Range();
  static Error Range(std::string message) { return Error(ErrorKind::kRange, std::move(message)); }
  static Error Convert(std::string message) {
    return Error(ErrorKind::kConvert, std::move(message));
  }
  static Error StringList(std::string message) {
    return Error(ErrorKind::kStringList, std::move(message));
  }
  // "Cannot open file \"<path>\". " + the system's text for `err`.
  static Error FileOpen(const std::string& path, int err);
  // "Cannot create file \"<path>\". " + the system's text for `err`.
  static Error FileCreate(const std::string& path, int err);
  // "Stream write error".
  static Error Write();
  static Error IniFile(std::string message) {
    return Error(ErrorKind::kIniFile, std::move(message));
  }
  // "<what>: " + the system's text for `err`, carrying `err` as the code.
  static Error Os(const std::string& what, int err);
  static Error Database(std::string message, int code = 0) {
    return Error(ErrorKind::kDatabase, std::move(message), code);
  }
  static Error Socket(std::string message, int code = 0) {
    return Error(ErrorKind::kSocket, std::move(message), code);
  }

  ErrorKind Kind() const { return kind_; }
  std::string ClassName() const { return ClassNameOf(kind_); }
  const std::string& Message() const { return message_; }
  // An error number that travels with the message (database server errors, socket codes, errno
  // of a system call); 0 if none.
  int Code() const { return code_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  Error(ErrorKind kind, std::string message, int code = 0);

  ErrorKind kind_;
  std::string message_;
  int code_;
};

// Shorthand for `throw Error::Range()`.
[[noreturn]] void ThrowRangeError();

// Runs f and returns the error that escaped it, if any; other exceptions become class
// "Exception". For the places where an error is a value to route or answer rather than to
// propagate.
template <typename F>
std::optional<Error> CatchError(F&& f) {
  try {
    f();
    return std::nullopt;
  } catch (const Error& e) {
    return e;
  } catch (const std::exception& e) {
    return Error::Generic(e.what());
  }
}

}  // namespace larvek
