#pragma once
// The sharing rule of the host's file API, shared by the file systems of this layer.
//
// Every handle reads; a ReadWrite handle also writes. A new open is refused when an existing
// handle's share mode does not allow the new handle's access, or when the new share mode does
// not allow an existing handle's access.

#include "platform/IFileSystem.h"

namespace tesvar::platform::detail {

inline bool ShareAllowsRead(FileShare share) { return share != FileShare::None; }
inline bool ShareAllowsWrite(FileShare share) { return share == FileShare::ReadWrite; }
inline bool AccessWrites(FileAccess access) { return access == FileAccess::ReadWrite; }

// True when a handle (access, share) may be opened beside an existing one.
inline bool SharingCompatible(FileAccess access, FileShare share, FileAccess existingAccess,
                              FileShare existingShare) {
  if (!ShareAllowsRead(existingShare) || !ShareAllowsRead(share)) return false;
  if (AccessWrites(access) && !ShareAllowsWrite(existingShare)) return false;
  if (AccessWrites(existingAccess) && !ShareAllowsWrite(share)) return false;
  return true;
}

}  // namespace tesvar::platform::detail
