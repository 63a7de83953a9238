// The system's error types. Every error knows the class name that the program
// prints in "class name: message"; a plain error prints as "Exception".
#pragma once

#include <stdexcept>
#include <string>

class EAEError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  virtual const char* ClassName() const noexcept { return "Exception"; }
};

// A text that is not a valid number where one is required.
class EAEConvertError : public EAEError {
 public:
  using EAEError::EAEError;
  const char* ClassName() const noexcept override { return "EConvertError"; }
};

// Malformed bytes from a peer or a file.
class EAEProtocolError : public EAEError {
 public:
  using EAEError::EAEError;
  const char* ClassName() const noexcept override { return "EProtocolError"; }
};

// A failed operating-system call; the message names the step (and the path), the
// code is errno or GetLastError().
class EAEOsError : public EAEError {
 public:
  EAEOsError(const std::string& what, int osError) : EAEError(what), FOsError(osError) {}
  const char* ClassName() const noexcept override { return "EOSError"; }
  int OsError() const noexcept { return FOsError; }

 private:
  int FOsError;
};

// A file that cannot be opened, read, created or written.
class EAEFileError : public EAEOsError {
 public:
  using EAEOsError::EAEOsError;
  const char* ClassName() const noexcept override { return "EFileError"; }
};

// "class name: message" for any exception that reaches a top-level handler.
inline std::string DescribeException(const std::exception& e) {
  if (const auto* ae = dynamic_cast<const EAEError*>(&e))
    return std::string(ae->ClassName()) + ": " + ae->what();
  return std::string("Exception: ") + e.what();
}
