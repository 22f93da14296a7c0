#include "pfs/TTemporaryPlainFileSystem.h"

#include "platform/AnsiCase.h"
#include "platform/Paths.h"

#include <algorithm>

namespace tesvar::pfs {

TTemporaryPlainFileSystem::TTemporaryPlainFileSystem(const std::string& Name)
    : TDiskPlainFileSystem(Name, fsmTemporary) {}

TTemporaryPlainFileSystem::~TTemporaryPlainFileSystem() = default;

TAbstractFile& TTemporaryPlainFileSystem::OpenFile(const std::string& FileName, bool Create,
                                                   bool Exclusive, bool ReadOnly) {
  if (TAbstractFile* open = FindOpenFile(FileName)) {
    if (Create) open->SetSize(0);
    open->SetPosition(0);
    return *open;
  }
  std::unique_ptr<TAbstractFile> file = NewDiskFile(FileName, Exclusive, ReadOnly);
  file->SetTemporary(true);
  file->Open(Create);
  return RegisterFile(std::move(file));
}

void TTemporaryPlainFileSystem::CloseFile(TAbstractFile&) {}

bool TTemporaryPlainFileSystem::DeleteFile(const std::string& FileName) {
  bool wasOpen = false;
  if (TAbstractFile* open = FindOpenFile(FileName)) {
    wasOpen = true;
    try {
      DestroyFile(*open);
    } catch (...) {
      // A failed final flush of a file that is being removed loses nothing.
    }
  }
  const bool deleted = TDiskPlainFileSystem::DeleteFile(FileName);
  return deleted || (wasOpen && !FileExists(FileName));
}

bool TTemporaryPlainFileSystem::RenameFile(const std::string& OldName,
                                           const std::string& NewName) {
  TAbstractFile* old = FindOpenFile(OldName);
  if (old == nullptr) return TDiskPlainFileSystem::RenameFile(OldName, NewName);
  TAbstractFile* target = FindOpenFile(NewName);
  if (target == old) {
    // The names differ in letter case only.
    old->SetFileName(NewName);
    return true;
  }
  if (target != nullptr || FileExists(NewName)) return false;

  std::unique_ptr<TAbstractFile> copy = NewDiskFile(NewName, old->Exclusive(), false);
  copy->SetTemporary(true);
  try {
    copy->Open(true);
    const int64_t position = old->GetPosition();
    copy->CopyFrom(*old, 0);
    old->SetPosition(position);
    copy->SetPosition(0);
    copy->SetReadOnly(old->ReadOnly());
  } catch (...) {
    return false;  // the partial copy removes itself as it is destroyed
  }
  RegisterFile(std::move(copy));
  try {
    DestroyFile(*old);
  } catch (...) {
    // As in DeleteFile.
  }
  return true;
}

bool TTemporaryPlainFileSystem::FileExists(const std::string& FileName) {
  return FindOpenFile(FileName) != nullptr || TDiskPlainFileSystem::FileExists(FileName);
}

void TTemporaryPlainFileSystem::GetFileNames(const std::string& Extension, std::vector<std::string>& List) {
  TDiskPlainFileSystem::GetFileNames(Extension, List);
  for (size_t i = 0; i < OpenFileCount(); ++i) {
    const std::string& name = OpenFiles(i).FileName();
    if (!platform::AnsiSameText(platform::ExtractFileExt(name), Extension)) continue;
    const std::string bare = name.substr(0, name.size() - Extension.size());
    const auto listed = std::find_if(List.begin(), List.end(),
                                     [&](const std::string& entry) { return platform::AnsiSameText(entry, bare); });
    if (listed != List.end()) *listed = bare;
    else List.push_back(bare);
  }
  std::sort(List.begin(), List.end(),
            [](const std::string& a, const std::string& b) { return platform::AnsiCompareTextCI(a, b) < 0; });
}

}  // namespace tesvar::pfs
