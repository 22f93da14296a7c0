#include "container/TPFSManager.h"

#include "container/TDiskPlainFileSystem.h"
#include "container/TMemoryPlainFileSystem.h"
#include "container/TTemporaryPlainFileSystem.h"
#include "platform/AnsiCase.h"
#include "platform/Exception.h"

#include <algorithm>

namespace tesvar::container {

namespace {

TSingleFilePFSHooks& singleFileHooks() {
  static TSingleFilePFSHooks hooks;
  return hooks;
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
  const TSingleFilePFSHooks& hooks =
      singleFileHooks().Create != nullptr ? singleFileHooks() : ContainerHooks();
  if (TAbstractPlainFileSystem* found = FindPFS(FileName, mode)) {
    if (mode == fsmSingleFile && hooks.IsReadOnly != nullptr) ReadOnly = hooks.IsReadOnly(*found);
    return found;
  }
  try {
    std::unique_ptr<TAbstractPlainFileSystem> created;
    switch (mode) {
      case fsmDirectory:
        created = std::make_unique<TDiskPlainFileSystem>(FileName);
        break;
      case fsmSingleFile:
        if (hooks.Create != nullptr) {
          bool readOnly = ReadOnly;
          created = hooks.Create(FileName, Password, readOnly, InMemory);
          if (created) ReadOnly = readOnly;
        }
        break;
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

void TPFSManager::SetSingleFileHooks(const TSingleFilePFSHooks& Hooks) {
  singleFileHooks() = Hooks;
}

const TSingleFilePFSHooks& TPFSManager::SingleFileHooks() { return singleFileHooks(); }

}  // namespace tesvar::container
