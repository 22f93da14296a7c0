#include "platform/IFileSystem.h"

namespace tesvar::platform {

namespace {
// The file system installed by the innermost live ScopedFileSystem; nullptr = the OS's.
IFileSystem* gCurrentFileSystem = nullptr;
}  // namespace

IFileSystem& FileSystem() { return gCurrentFileSystem ? *gCurrentFileSystem : OsFileSystem(); }

ScopedFileSystem::ScopedFileSystem(IFileSystem& fs) : FPrevious(gCurrentFileSystem) {
  gCurrentFileSystem = &fs;
}

ScopedFileSystem::~ScopedFileSystem() { gCurrentFileSystem = FPrevious; }

}  // namespace tesvar::platform
