#pragma once
// The framework's exceptions. All derive from tesvar::Exception, which carries the exact text.
//
// EDatabaseError: a dataset, field, data link or parameter refused an operation ("Dataset not in
// edit or insert mode", "Field 'Title' not found" ...). EAbort: the silent exception with which a
// Before event or an error event stops an operation; the window program does not show it.
// EConvertError: a text that is no number, date or time. EVariantError: a TValue that cannot take
// the type asked for. EStreamError: a stream that could not read or write the bytes asked for.

#include "platform/Exception.h"

#include <exception>
#include <functional>
#include <string>

namespace tesvar::toolkit {

class EDatabaseError : public Exception {
public:
  using Exception::Exception;
};

class EAbort : public Exception {
public:
  EAbort();
};

class EConvertError : public Exception {
public:
  using Exception::Exception;
};

class EVariantError : public Exception {
public:
  using Exception::Exception;
};

// The value's type cannot be converted into the type asked for.
class EVariantTypeCastError : public EVariantError {
public:
  using EVariantError::EVariantError;
};

// The value does not fit the type asked for.
class EVariantOverflowError : public EVariantError {
public:
  using EVariantError::EVariantError;
};

class EStreamError : public Exception {
public:
  using Exception::Exception;
};

// Raises EDatabaseError with Message, preceded by ComponentName and ": " when a name is given.
[[noreturn]] void DatabaseError(const std::string& Message, const std::string& ComponentName = {});

// Raises EAbort.
[[noreturn]] void Abort();

// The program's handler for exceptions that cannot be raised to a caller (a dataset closing while
// it is destroyed). Without one, HandleException writes the exception's text to the standard
// error stream. EAbort is never reported.
using TExceptionHandler = std::function<void(const std::exception& E)>;
void SetExceptionHandler(TExceptionHandler Handler);
void HandleException(const std::exception& E) noexcept;

}  // namespace tesvar::toolkit
