#include "platform/Exception.h"

#include <cstdio>

namespace tesvar {

EEdbException::EEdbException(int32_t nativeError, const std::string& message,
                             const std::string& componentName)
    : Exception(FormatText(nativeError, message, componentName)), FNativeError(nativeError) {}

std::string EEdbException::FormatText(int32_t nativeError, const std::string& message,
                                      const std::string& componentName) {
  char code[16];
  std::snprintf(code, sizeof code, "%05d", static_cast<int>(nativeError));
  std::string text;
  if (!componentName.empty()) text = componentName + ": ";
  return text + message + " - Native error: " + code;
}

}  // namespace tesvar
