#pragma once
// The plain file system of the in-memory store mode: every file is a memory stream that lives
// from its creation until DeleteFile or the destruction of this plain file system. CloseFile
// keeps the file open and registered, which is what keeps its data.

#include "pfs/TAbstractPlainFileSystem.h"

namespace tesvar::pfs {

class TMemoryPlainFileSystem : public TAbstractPlainFileSystem {
public:
  explicit TMemoryPlainFileSystem(const std::string& Name);
  ~TMemoryPlainFileSystem() override;

  // A registered name returns that file, emptied when Create, rewound to 0, with ReadOnly set to
  // the given value. Otherwise Create = true makes and registers a new empty TMemoryFile;
  // Create = false raises "TMemoryFile.Open - File cannot be open, only creation is available."
  // and registers nothing.
  TAbstractFile& OpenFile(const std::string& FileName, bool Create, bool Exclusive,
                          bool ReadOnly) override;
  // Does nothing: the data stays in memory and the file stays registered.
  void CloseFile(TAbstractFile& File) override;
  // Unregisters and destroys the file of that name (its data is gone); false when there is none.
  bool DeleteFile(const std::string& FileName) override;
  // The registered file OldName takes the name NewName. False when OldName is not registered or
  // NewName is another registered file.
  bool RenameFile(const std::string& OldName, const std::string& NewName) override;
  // True when a file of that name is registered.
  bool FileExists(const std::string& FileName) override;
  // The full names of the registered files whose extension equals Extension, letter case
  // ignored, in the order of the open-file list.
  void GetFileNames(const std::string& Extension, std::vector<std::string>& List) override;
};

}  // namespace tesvar::pfs
