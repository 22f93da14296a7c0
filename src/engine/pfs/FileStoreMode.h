#pragma once
// Where a database keeps its table files. The value is stored as one byte.

#include <cstdint>

namespace tesvar::pfs {

enum TFileStoreMode : uint8_t {
  fsmDefault = 0,     // no store of its own: the caller substitutes the database's mode
  fsmDirectory = 1,   // a folder of ordinary disk files (TDiskPlainFileSystem)
  fsmSingleFile = 2,  // one container file (TCFSPlainFileSystem)
  fsmInMemory = 3,    // memory streams (TMemoryPlainFileSystem)
  fsmTemporary = 4,   // delete-on-close disk files (TTemporaryPlainFileSystem)
};

}  // namespace tesvar::pfs
