#pragma once
// Whole-container operations for the layers above, which reach the container only through the
// plain file systems.

#include "pfs/TAbstractPlainFileSystem.h"

#include <functional>
#include <string>

namespace tesvar::pfs {

// Whether the single-file plain file system's container is encrypted; false for any other plain
// file system.
bool IsContainerEncrypted(const TAbstractPlainFileSystem& PFS);
// Whether the container file FileName (not open) is encrypted. Raises the container's header
// messages for a damaged file.
bool IsContainerFileEncrypted(const std::string& FileName);

// Progress of a compaction: percentage done; the handler may set Cancel to stop it (the original
// container is then kept).
using TContainerProgress = std::function<void(double Percent, bool& Cancel)>;
// Rewrites the container of a single-file plain file system compactly (the container's repair).
// Log receives the container's report. False when PFS is not a single-file plain file system or
// the compaction failed or was cancelled.
[[nodiscard]] bool CompactContainer(TAbstractPlainFileSystem& PFS, std::string& Log,
                                    const TContainerProgress& OnProgress);

}  // namespace tesvar::pfs
