#include "pfs/ContainerMaintenance.h"

#include "container/TContainerFileSystem.h"
#include "pfs/TCFSPlainFileSystem.h"

namespace tesvar::pfs {

bool IsContainerEncrypted(const TAbstractPlainFileSystem& PFS) {
  const auto* cfs = dynamic_cast<const TCFSPlainFileSystem*>(&PFS);
  return cfs != nullptr && const_cast<TCFSPlainFileSystem*>(cfs)->Container().IsEncrypted();
}

bool IsContainerFileEncrypted(const std::string& FileName) {
  return container::TContainerFileSystem::IsFileEncrypted(FileName);
}

bool CompactContainer(TAbstractPlainFileSystem& PFS, std::string& Log, const TContainerProgress& OnProgress) {
  auto* cfs = dynamic_cast<TCFSPlainFileSystem*>(&PFS);
  if (cfs == nullptr) return false;
  container::TContainerFileSystem& Container = cfs->Container();
  auto previous = std::move(Container.OnProgress);
  if (OnProgress)
    Container.OnProgress = [&OnProgress](container::TContainerFileSystem&, bool& Cancel, double Percent) {
      OnProgress(Percent, Cancel);
    };
  else
    Container.OnProgress = nullptr;
  bool ok = false;
  try {
    ok = Container.RepairFile(Log);
  } catch (...) {
    Container.OnProgress = std::move(previous);
    throw;
  }
  Container.OnProgress = std::move(previous);
  return ok;
}

}  // namespace tesvar::pfs
