// The registry's single-file store mode: the container plain file system behind GetPFSHandle,
// and ReleasePFS / CreateContainer.

#include "container/TCFSPlainFileSystem.h"
#include "container/TPFSManager.h"
#include "platform/IFileSystem.h"

namespace tesvar::container {

namespace {

// Opens an existing container for GetPFSHandle. A container another process holds open for
// writing cannot be had for writing: the probe (read-write, others denied writing) fails and the
// container is opened read-only. Raises for a wrong password or a damaged container.
std::unique_ptr<TAbstractPlainFileSystem> OpenContainerPFS(const std::string& FileName, const std::string& Password,
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

bool ContainerPFSReadOnly(const TAbstractPlainFileSystem& PFS) {
  const auto* Container = dynamic_cast<const TCFSPlainFileSystem*>(&PFS);
  return Container != nullptr && Container->ReadOnly();
}

}  // namespace

const TSingleFilePFSHooks& TPFSManager::ContainerHooks() {
  static const TSingleFilePFSHooks Hooks{OpenContainerPFS, ContainerPFSReadOnly};
  return Hooks;
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

}  // namespace tesvar::container
