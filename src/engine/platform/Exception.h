#pragma once
// The engine's exceptions.
//
// Exception carries the exact message text the engine raises ("TCFSHugeFile.Read - Stream read
// error.", "Cannot open file \"x\"" ...). EEdbException adds a native error code; its text is
// "<component>: <message> - Native error: <code in five digits>" (the component part only when
// the raising component has a name).

#include <cstdint>
#include <exception>
#include <string>

namespace tesvar {

class Exception : public std::exception {
public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

protected:
  std::string FMessage;
};

class EEdbException : public Exception {
public:
  // message: the code's message already formatted with its arguments.
  EEdbException(int32_t nativeError, const std::string& message, const std::string& componentName = {});
  int32_t NativeError() const noexcept { return FNativeError; }

  // The full exception text for a code, message and optional component name.
  static std::string FormatText(int32_t nativeError, const std::string& message,
                                const std::string& componentName);

private:
  int32_t FNativeError;
};

}  // namespace tesvar
