#include "pfs/TMemoryPlainFileSystem.h"

#include "pfs/TMemoryFile.h"
#include "platform/AnsiCase.h"
#include "platform/Paths.h"

namespace tesvar::pfs {

TMemoryPlainFileSystem::TMemoryPlainFileSystem(const std::string& Name)
    : TAbstractPlainFileSystem(Name, fsmInMemory) {}

TMemoryPlainFileSystem::~TMemoryPlainFileSystem() = default;

TAbstractFile& TMemoryPlainFileSystem::OpenFile(const std::string& FileName, bool Create,
                                                bool Exclusive, bool ReadOnly) {
  if (TAbstractFile* open = FindOpenFile(FileName)) {
    if (Create) open->SetSize(0);
    open->SetPosition(0);
    open->SetReadOnly(ReadOnly);
    return *open;
  }
  auto file = std::make_unique<TMemoryFile>(this, FileName, Exclusive, ReadOnly);
  file->Open(Create);
  return RegisterFile(std::move(file));
}

void TMemoryPlainFileSystem::CloseFile(TAbstractFile&) {}

bool TMemoryPlainFileSystem::DeleteFile(const std::string& FileName) {
  TAbstractFile* open = FindOpenFile(FileName);
  if (open == nullptr) return false;
  DestroyFile(*open);
  return true;
}

bool TMemoryPlainFileSystem::RenameFile(const std::string& OldName, const std::string& NewName) {
  TAbstractFile* old = FindOpenFile(OldName);
  if (old == nullptr) return false;
  const TAbstractFile* target = FindOpenFile(NewName);
  if (target != nullptr && target != old) return false;
  old->SetFileName(NewName);
  return true;
}

bool TMemoryPlainFileSystem::FileExists(const std::string& FileName) {
  return FindOpenFile(FileName) != nullptr;
}

void TMemoryPlainFileSystem::GetFileNames(const std::string& Extension,
                                          std::vector<std::string>& List) {
  List.clear();
  for (size_t i = 0; i < OpenFileCount(); ++i) {
    const std::string& name = OpenFiles(i).FileName();
    if (platform::AnsiSameText(platform::ExtractFileExt(name), Extension)) List.push_back(name);
  }
}

}  // namespace tesvar::pfs
