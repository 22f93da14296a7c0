#include "pfs/TAbstractPlainFileSystem.h"

#include "platform/AnsiCase.h"

#include <algorithm>

namespace tesvar::pfs {

TAbstractPlainFileSystem::TAbstractPlainFileSystem(std::string Name, TFileStoreMode StoreMode)
    : FName(std::move(Name)), FStoreMode(StoreMode) {}

TAbstractPlainFileSystem::~TAbstractPlainFileSystem() { DestroyAllFiles(); }

TAbstractFile* TAbstractPlainFileSystem::FindOpenFile(const std::string& FileName) const {
  for (const auto& file : FFiles)
    if (platform::AnsiSameText(file->FileName(), FileName)) return file.get();
  return nullptr;
}

TAbstractFile& TAbstractPlainFileSystem::RegisterFile(std::unique_ptr<TAbstractFile> File) {
  FFiles.push_back(std::move(File));
  return *FFiles.back();
}

void TAbstractPlainFileSystem::DestroyFile(TAbstractFile& File) {
  auto it = std::find_if(FFiles.begin(), FFiles.end(),
                         [&File](const auto& f) { return f.get() == &File; });
  if (it == FFiles.end()) return;
  std::unique_ptr<TAbstractFile> owned = std::move(*it);
  FFiles.erase(it);
  owned->Close();
}

void TAbstractPlainFileSystem::DestroyAllFiles() noexcept {
  while (!FFiles.empty()) {
    std::unique_ptr<TAbstractFile> owned = std::move(FFiles.front());
    FFiles.erase(FFiles.begin());
    try {
      owned->Close();
    } catch (...) {
      // Shutting down: the handle is released regardless and there is no one to tell.
    }
  }
}

}  // namespace tesvar::pfs
