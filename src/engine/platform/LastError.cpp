#include "platform/IFileSystem.h"

namespace tesvar::platform {

namespace {
thread_local std::string tLastErrorText;
}

const std::string& LastErrorText() { return tLastErrorText; }

void SetLastErrorText(std::string text) { tLastErrorText = std::move(text); }

}  // namespace tesvar::platform
