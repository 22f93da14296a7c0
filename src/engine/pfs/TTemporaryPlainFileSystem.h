#pragma once
// The plain file system of the temporary store mode: disk files in the folder Name, each created
// delete-on-close. Files stay open (and so alive on disk) from their first OpenFile until
// DeleteFile, RenameFile or the destruction of this plain file system, which removes them all.

#include "pfs/TDiskPlainFileSystem.h"

namespace tesvar::pfs {

class TTemporaryPlainFileSystem : public TDiskPlainFileSystem {
public:
  explicit TTemporaryPlainFileSystem(const std::string& Name);
  ~TTemporaryPlainFileSystem() override;

  // A name already open returns that file, emptied when Create, rewound to 0. Otherwise opens a
  // delete-on-close TDiskFile (errors as TDiskFile::Open) and registers it.
  TAbstractFile& OpenFile(const std::string& FileName, bool Create, bool Exclusive,
                          bool ReadOnly) override;
  // Does nothing: the file stays open and registered.
  void CloseFile(TAbstractFile& File) override;
  // Destroys the open file of that name (which removes it from disk), then deletes the disk file
  // if one is left. True when a file was removed either way.
  bool DeleteFile(const std::string& FileName) override;
  // A file that is not open is renamed on disk. An open file cannot be renamed (closing it
  // removes it), so its content moves to a new delete-on-close file NewName, which replaces it
  // in the open-file list with the same flags, rewound to 0. False, with nothing changed, when
  // NewName is another existing file, or when the copy fails.
  // NewName differing from OldName in letter case only renames the open file in the list; its disk
  // file keeps the old spelling, which FileExists and GetFileNames then answer under the new one.
  bool RenameFile(const std::string& OldName, const std::string& NewName) override;
  // An open file (under the name it has in the list) or a disk file.
  bool FileExists(const std::string& FileName) override;
  // The disk files, each open one under the name it has in the list.
  void GetFileNames(const std::string& Extension, std::vector<std::string>& List) override;
};

}  // namespace tesvar::pfs
