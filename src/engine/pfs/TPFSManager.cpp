#include "pfs/TPFSManager.h"

#include "pfs/TCFSPlainFileSystem.h"
#include "pfs/TDiskPlainFileSystem.h"
#include "pfs/TMemoryPlainFileSystem.h"
#include "pfs/TTemporaryPlainFileSystem.h"
#include "platform/AnsiCase.h"
#include "platform/Exception.h"
#include "platform/IFileSystem.h"

#include <algorithm>

namespace tesvar::pfs {

namespace {

// Opens an existing container for GetPFSHandle. A container another process holds open for
// writing cannot be had for writing: the probe (read-write, others denied writing) fails and the
// container is opened read-only. Raises for a wrong password or a damaged container; null when
// there is no such file.
std::unique_ptr<TAbstractPlainFileSystem> openContainerPFS(const std::string& FileName, const std::string& Password,
                                                           bool& ReadOnly, bool InMemory) {
  platform::IFileSystem& Fs = platform::FileSystem();
  if (!Fs.FileExists(FileName)) return nullptr;
  if (!ReadOnly) {
    platform::FileOpenOptions Probe;
    Probe.access = platform::FileAccess::ReadWrite;
    Probe.share = platform::FileShare::Read;
    Probe.creation = platform::FileCreation::OpenExisting;
    if (!Fs.Open(FileName, Probe)) ReadOnly = true;
  }
  return std::make_unique<TCFSPlainFileSystem>(FileName, false, InMemory, ReadOnly, Password);
}

}  // namespace

TPFSManager::TPFSManager() = default;

TPFSManager::~TPFSManager() {
  while (!FList.empty()) {
    std::unique_ptr<TAbstractPlainFileSystem> owned = std::move(FList.front());
    FList.erase(FList.begin());
  }
}

TAbstractPlainFileSystem* TPFSManager::FindPFS(const std::string& FileName,
                                               TFileStoreMode StoreMode) const {
  for (auto it = FList.rbegin(); it != FList.rend(); ++it)
    if ((*it)->StoreMode() == StoreMode && platform::AsciiSameText((*it)->Name(), FileName))
      return it->get();
  return nullptr;
}

TAbstractPlainFileSystem* TPFSManager::GetPFSHandle(const std::string& FileName,
                                                    const std::string& Password,
                                                    uint8_t StoreMode, bool& ReadOnly,
                                                    bool InMemory) {
  const auto mode = static_cast<TFileStoreMode>(StoreMode);
  if (TAbstractPlainFileSystem* found = FindPFS(FileName, mode)) {
    if (mode == fsmSingleFile) {
      const auto* Container = dynamic_cast<const TCFSPlainFileSystem*>(found);
      ReadOnly = Container != nullptr && Container->ReadOnly();
    }
    return found;
  }
  try {
    std::unique_ptr<TAbstractPlainFileSystem> created;
    switch (mode) {
      case fsmDirectory:
        created = std::make_unique<TDiskPlainFileSystem>(FileName);
        break;
      case fsmSingleFile: {
        bool readOnly = ReadOnly;
        created = openContainerPFS(FileName, Password, readOnly, InMemory);
        if (created) ReadOnly = readOnly;
        break;
      }
      case fsmInMemory:
        created = std::make_unique<TMemoryPlainFileSystem>(FileName);
        break;
      case fsmTemporary:
        created = std::make_unique<TTemporaryPlainFileSystem>(FileName);
        break;
      default:
        throw Exception("TPFSManager.GetPFSHandle - Unsuuported file store mode.");
    }
    if (!created) return nullptr;
    return &AddPFS(std::move(created));
  } catch (...) {
    return nullptr;
  }
}

TAbstractPlainFileSystem& TPFSManager::AddPFS(std::unique_ptr<TAbstractPlainFileSystem> PFS) {
  FList.push_back(std::move(PFS));
  return *FList.back();
}

bool TPFSManager::RemovePFS(TAbstractPlainFileSystem& PFS) {
  auto it = std::find_if(FList.begin(), FList.end(),
                         [&PFS](const auto& p) { return p.get() == &PFS; });
  if (it == FList.end()) return false;
  std::unique_ptr<TAbstractPlainFileSystem> owned = std::move(*it);
  FList.erase(it);
  return true;
}

void TPFSManager::ReleasePFS(const std::string& FileName) {
  if (TAbstractPlainFileSystem* PFS = FindPFS(FileName, fsmSingleFile)) RemovePFS(*PFS);
}

bool TPFSManager::CreateContainer(const std::string& FileName, const std::string& Password, bool InMemory) {
  ReleasePFS(FileName);
  try {
    AddPFS(std::make_unique<TCFSPlainFileSystem>(FileName, true, InMemory, false, Password));
  } catch (...) {
    return false;
  }
  if (!InMemory) ReleasePFS(FileName);
  return true;
}

}  // namespace tesvar::pfs
