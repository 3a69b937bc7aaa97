// Failures travel as exceptions that carry a class name and a message text.
// The class name shows up in log lines such as "Chyba serveru: ESocketException: ...",
// so it is data, not a C++ type: one exception type serves every kind of failure.
#pragma once

#include <exception>
#include <string>

namespace larvek {

class Error : public std::exception {
 public:
  Error(std::string class_name, std::string message, int code = 0);

  const std::string& ClassName() const { return class_name_; }
  const std::string& Message() const { return message_; }
  // An error number that travels with the message (database server errors, socket codes); 0 if
  // none.
  int Code() const { return code_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string class_name_;
  std::string message_;
  int code_;
};

// The class names used across the program.
inline constexpr const char* kRangeError = "ERangeError";
inline constexpr const char* kConvertError = "EConvertError";
inline constexpr const char* kFileOpenError = "EFOpenError";
inline constexpr const char* kFileCreateError = "EFCreateError";
inline constexpr const char* kWriteError = "EWriteError";
inline constexpr const char* kDatabaseError = "EDatabaseError";
inline constexpr const char* kSocketError = "ESocketException";

// "Range check error": a number did not fit where it had to go.
[[noreturn]] void ThrowRangeError();

}  // namespace larvek
