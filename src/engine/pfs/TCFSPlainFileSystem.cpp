#include "pfs/TCFSPlainFileSystem.h"

#include "pfs/PlainFileSystem_internal.h"
#include "pfs/TCFSFile.h"
#include "container/ContainerFormat.h"
#include "container/DirectoryFormat.h"
#include "container/TContainerFileSystem.h"
#include "platform/AnsiCase.h"

#include <algorithm>

namespace tesvar::pfs {

using namespace container;

namespace {

uint16_t ContainerMode(bool CreateNew, bool ReadOnly) {
  if (CreateNew) return kModeCreate;
  if (ReadOnly) return kModeRead | kModeShareDenyNone;
  return kModeReadWrite | kModeShareDenyWrite;
}

}  // namespace

TCFSPlainFileSystem::TCFSPlainFileSystem(const std::string& FileName, bool CreateNew, bool InMemory,
                                         bool ReadOnly, const std::string& Password)
    : TAbstractPlainFileSystem(FileName, fsmSingleFile),
      FReadOnly(ReadOnly),
      FInMemory(InMemory),
      FContainer(std::make_unique<TContainerFileSystem>(FileName, ContainerMode(CreateNew, ReadOnly), InMemory,
                                                        Password, std::string(), std::string(), kPageSizeKB,
                                                        kExtentPageCount)) {}

TCFSPlainFileSystem::~TCFSPlainFileSystem() { DestroyAllFiles(); }

TAbstractFile& TCFSPlainFileSystem::OpenFile(const std::string& FileName, bool Create, bool Exclusive,
                                             bool ReadOnly) {
  if (FindOpenFile(FileName) != nullptr) {
    throw Exception("TCFSPlainFileSystem.OpenFile - File " + quoted(FileName) + " is already open.");
  }
  auto File = std::make_unique<TCFSFile>(this, *FContainer, FileName, Exclusive, ReadOnly);
  File->Open(Create);
  return RegisterFile(std::move(File));
}

void TCFSPlainFileSystem::CloseFile(TAbstractFile& File) { DestroyFile(File); }

bool TCFSPlainFileSystem::DeleteFile(const std::string& FileName) { return FContainer->DeleteFile(FileName); }

bool TCFSPlainFileSystem::RenameFile(const std::string& OldName, const std::string& NewName) {
  return FContainer->RenameFile(OldName, NewName);
}

bool TCFSPlainFileSystem::FileExists(const std::string& FileName) { return FContainer->FileExists(FileName); }

void TCFSPlainFileSystem::GetFileNames(const std::string& Extension, std::vector<std::string>& List) {
  List.clear();
  TSearchRec SearchRec;
  for (int32_t Found = FContainer->FindFirst("\\*" + Extension, kSearchAnyAttr, SearchRec); Found == 0;
       Found = FContainer->FindNext(SearchRec)) {
    if ((SearchRec.Attr & kDirectoryAttr) != 0) continue;
    const std::string& Name = SearchRec.Name;
    const size_t Dot = Name.find_last_of('.');
    std::string Stem = Dot == std::string::npos ? Name : Name.substr(0, Dot);
    const bool Listed = std::any_of(List.begin(), List.end(),
                                    [&Stem](const std::string& Item) { return platform::AnsiSameText(Item, Stem); });
    if (!Listed) List.push_back(std::move(Stem));
  }
  FContainer->FindClose(SearchRec);
}

void TCFSPlainFileSystem::SetInMemory(bool Value) {
  if (!FContainer->SetInMemory(Value)) {
    throw Exception("TCFSPlainFileSystem.SetInMemory - Cannot move the container " + quoted(Name()) +
                    (Value ? " into memory" : " to disk") + ": " + ContainerErrorText(FContainer->LastError()) + ".");
  }
  FInMemory = FContainer->InMemory();
}

}  // namespace tesvar::pfs
