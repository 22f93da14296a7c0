#pragma once
// The plain file system of the directory store mode: every file is an ordinary disk file in one
// folder, Directory + FileName.

#include "pfs/TAbstractPlainFileSystem.h"

namespace tesvar::pfs {

class TDiskPlainFileSystem : public TAbstractPlainFileSystem {
public:
  // Name is the folder; Directory is Name with the path delimiter appended (unless empty, which
  // stands for the current folder).
  explicit TDiskPlainFileSystem(const std::string& Name);
  ~TDiskPlainFileSystem() override;

  // A name already open raises "TDiskPlainFileSystem.OpenFile - File "<path>" is already
  // open.". Otherwise opens a TDiskFile (see TDiskFile::Open for its errors and the read-only
  // fallback) and registers it.
  TAbstractFile& OpenFile(const std::string& FileName, bool Create, bool Exclusive,
                          bool ReadOnly) override;
  // Closes and destroys File: File is invalid afterwards. Raises the system's error when the
  // final flush fails (the file is gone all the same).
  void CloseFile(TAbstractFile& File) override;
  // Deletes the disk file; the open-file list is not consulted.
  bool DeleteFile(const std::string& FileName) override;
  // Renames the disk file (false when NewName exists or OldName is missing or in use).
  bool RenameFile(const std::string& OldName, const std::string& NewName) override;
  bool FileExists(const std::string& FileName) override;
  // The names, without their extension, of the files of Directory (not its subfolders) whose
  // names end with Extension (letter case ignored; an empty Extension takes every file), in
  // case-insensitive name order.
  void GetFileNames(const std::string& Extension, std::vector<std::string>& List) override;

  const std::string& Directory() const { return FDirectory; }
  // Directory + FileName.
  std::string FullPath(const std::string& FileName) const { return FDirectory + FileName; }

protected:
  TDiskPlainFileSystem(const std::string& Name, TFileStoreMode StoreMode);
  // Creates the (closed) disk file object for FileName.
  std::unique_ptr<TAbstractFile> NewDiskFile(const std::string& FileName, bool Exclusive,
                                             bool ReadOnly);

private:
  std::string FDirectory;
};

}  // namespace tesvar::pfs
