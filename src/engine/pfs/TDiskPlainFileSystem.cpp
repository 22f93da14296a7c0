#include "pfs/TDiskPlainFileSystem.h"

#include "pfs/PlainFileSystem_internal.h"
#include "pfs/TDiskFile.h"
#include "platform/AnsiCase.h"
#include "platform/Paths.h"

#include <algorithm>

namespace tesvar::pfs {

TDiskPlainFileSystem::TDiskPlainFileSystem(const std::string& Name)
    : TDiskPlainFileSystem(Name, fsmDirectory) {}

TDiskPlainFileSystem::TDiskPlainFileSystem(const std::string& Name, TFileStoreMode StoreMode)
    : TAbstractPlainFileSystem(Name, StoreMode),
      FDirectory(platform::IncludeTrailingPathDelimiter(Name)) {}

TDiskPlainFileSystem::~TDiskPlainFileSystem() = default;

std::unique_ptr<TAbstractFile> TDiskPlainFileSystem::NewDiskFile(const std::string& FileName,
                                                                 bool Exclusive, bool ReadOnly) {
  return std::make_unique<TDiskFile>(this, FDirectory, FileName, Exclusive, ReadOnly);
}

TAbstractFile& TDiskPlainFileSystem::OpenFile(const std::string& FileName, bool Create,
                                              bool Exclusive, bool ReadOnly) {
  if (FindOpenFile(FileName) != nullptr)
    throw Exception("TDiskPlainFileSystem.OpenFile - File " + quoted(FullPath(FileName)) +
                    " is already open.");
  std::unique_ptr<TAbstractFile> file = NewDiskFile(FileName, Exclusive, ReadOnly);
  file->Open(Create);
  return RegisterFile(std::move(file));
}

void TDiskPlainFileSystem::CloseFile(TAbstractFile& File) { DestroyFile(File); }

bool TDiskPlainFileSystem::DeleteFile(const std::string& FileName) {
  return platform::FileSystem().DeleteFile(FullPath(FileName));
}

bool TDiskPlainFileSystem::RenameFile(const std::string& OldName, const std::string& NewName) {
  return platform::FileSystem().RenameFile(FullPath(OldName), FullPath(NewName));
}

bool TDiskPlainFileSystem::FileExists(const std::string& FileName) {
  return platform::FileSystem().FileExists(FullPath(FileName));
}

void TDiskPlainFileSystem::GetFileNames(const std::string& Extension,
                                        std::vector<std::string>& List) {
  List.clear();
  std::vector<platform::DirEntry> entries;
  if (!platform::FileSystem().ListDirectory(FDirectory.empty() ? "." : FDirectory, entries))
    return;
  for (const platform::DirEntry& entry : entries) {
    if (entry.isDirectory) continue;
    const std::string& name = entry.name;
    if (name.size() < Extension.size() ||
        !platform::AnsiSameText(std::string_view(name).substr(name.size() - Extension.size()),
                                Extension))
      continue;
    List.push_back(name.substr(0, name.size() - platform::ExtractFileExt(name).size()));
  }
  std::sort(List.begin(), List.end(), [](const std::string& a, const std::string& b) {
    return platform::AnsiCompareTextCI(a, b) < 0;
  });
}

}  // namespace tesvar::pfs
