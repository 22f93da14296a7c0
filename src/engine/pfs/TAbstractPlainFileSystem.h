#pragma once
// A plain file system: a flat set of named files with open, close, delete, rename, exists and list
// operations, over which table storage keeps every table file. One implementation per store mode.
//
// Ownership: the plain file system owns the files opened through it (its open-file list). A file
// leaves the list only through the plain file system (CloseFile, DeleteFile, RenameFile, its
// destruction), which destroys it at the same time; references to a file are valid until then.
// Destroying the plain file system destroys its files one by one from the front of the list, each
// closing itself first.
//
// File names are 8-bit ANSI (Windows-1251) and compare case-insensitively in the open-file list.

#include "pfs/FileStoreMode.h"
#include "pfs/TAbstractFile.h"

#include <memory>
#include <string>
#include <vector>

namespace tesvar::pfs {

class TAbstractPlainFileSystem {
public:
  TAbstractPlainFileSystem(std::string Name, TFileStoreMode StoreMode);
  virtual ~TAbstractPlainFileSystem();
  TAbstractPlainFileSystem(const TAbstractPlainFileSystem&) = delete;
  TAbstractPlainFileSystem& operator=(const TAbstractPlainFileSystem&) = delete;

  // Opens (Create = false) or creates (Create = true) FileName and returns the file, owned by
  // this plain file system. Raises when the file cannot be opened.
  virtual TAbstractFile& OpenFile(const std::string& FileName, bool Create, bool Exclusive,
                                  bool ReadOnly) = 0;
  // Hands a file back. Whether it is destroyed (and File then invalid) depends on the mode.
  virtual void CloseFile(TAbstractFile& File) = 0;
  // True when the file was deleted.
  virtual bool DeleteFile(const std::string& FileName) = 0;
  // True when the file was renamed.
  virtual bool RenameFile(const std::string& OldName, const std::string& NewName) = 0;
  virtual bool FileExists(const std::string& FileName) = 0;
  // Clears List, then adds the files with the extension Extension (with its dot).
  virtual void GetFileNames(const std::string& Extension, std::vector<std::string>& List) = 0;

  // The first file of the open-file list named FileName (case-insensitive), or null.
  TAbstractFile* FindOpenFile(const std::string& FileName) const;

  const std::string& Name() const { return FName; }
  TFileStoreMode StoreMode() const { return FStoreMode; }
  size_t OpenFileCount() const { return FFiles.size(); }
  TAbstractFile& OpenFiles(size_t Index) const { return *FFiles.at(Index); }

protected:
  // Appends File to the open-file list and returns it.
  TAbstractFile& RegisterFile(std::unique_ptr<TAbstractFile> File);
  // Takes File out of the open-file list, closes and destroys it. The close's error, if any, is
  // raised after the file is destroyed. Does nothing for a file that is not in the list.
  void DestroyFile(TAbstractFile& File);
  // Destroys every open file from the front of the list, ignoring close errors. A subclass whose
  // files depend on its own members calls it in its destructor.
  void DestroyAllFiles() noexcept;

private:
  std::vector<std::unique_ptr<TAbstractFile>> FFiles;
  std::string FName;
  TFileStoreMode FStoreMode;
};

}  // namespace tesvar::pfs
