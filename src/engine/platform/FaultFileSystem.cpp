#include "platform/FaultFileSystem.h"

namespace tesvar::platform {

namespace {

// A file of the wrapped file system whose counted operations ask the wrapper first.
class FaultFile final : public IFile {
public:
  FaultFile(std::unique_ptr<IFile> inner, FaultFileSystem& owner) : FInner(std::move(inner)), FOwner(owner) {}

  int64_t Read(void* buffer, int64_t count) override {
    FaultMode mode = FaultMode::Fail;
    const bool hit = FOwner.Hit(FaultKind::Read, mode);
    if (hit && mode != FaultMode::Short) {
      SetLastErrorText("Injected read fault");
      return -1;
    }
    const int64_t got = FInner->Read(buffer, hit ? count / 2 : count);
    FOwner.NoteRead(got);
    return got;
  }

  int64_t Write(const void* buffer, int64_t count) override {
    FaultMode mode = FaultMode::Fail;
    if (!FOwner.Hit(FaultKind::Write, mode)) return FInner->Write(buffer, count);
    if (mode == FaultMode::Short) return FInner->Write(buffer, count / 2);
    SetLastErrorText("Injected write fault");
    return -1;
  }

  int64_t Seek(int64_t offset, SeekOrigin origin) override { return FInner->Seek(offset, origin); }

  bool StartFlush() override { return FInner->StartFlush(); }

  bool IsRegular() const override { return FInner->IsRegular(); }

  int64_t Size() override { return FInner->Size(); }

  bool SetSize(int64_t size) override {
    FaultMode mode = FaultMode::Fail;
    if (!FOwner.Hit(FaultKind::SizeChange, mode)) return FInner->SetSize(size);
    SetLastErrorText("Injected size change fault");
    return false;
  }

  bool Flush() override {
    FaultMode mode = FaultMode::Fail;
    if (!FOwner.Hit(FaultKind::Flush, mode)) return FInner->Flush();
    SetLastErrorText("Injected flush fault");
    return false;
  }

private:
  std::unique_ptr<IFile> FInner;
  FaultFileSystem& FOwner;
};

}  // namespace

void FaultFileSystem::FailAt(FaultKind kind, uint64_t n, FaultMode mode) {
  std::lock_guard<std::mutex> lock(FLock);
  KindState& state = FState[static_cast<size_t>(kind)];
  state.at = state.count + n;
  state.from = false;
  state.mode = mode;
}

void FaultFileSystem::FailFrom(FaultKind kind, uint64_t n, FaultMode mode) {
  std::lock_guard<std::mutex> lock(FLock);
  KindState& state = FState[static_cast<size_t>(kind)];
  state.at = state.count + n;
  state.from = true;
  state.mode = mode;
}

void FaultFileSystem::Reset() {
  std::lock_guard<std::mutex> lock(FLock);
  FState = {};
  FInjected = 0;
  FBytesRead = 0;
}

bool FaultFileSystem::Hit(FaultKind kind, FaultMode& mode) {
  std::lock_guard<std::mutex> lock(FLock);
  KindState& state = FState[static_cast<size_t>(kind)];
  ++state.count;
  if (state.at == 0 || state.count < state.at || (!state.from && state.count != state.at)) return false;
  ++FInjected;
  mode = state.mode;
  return true;
}

void FaultFileSystem::NoteRead(int64_t got) {
  if (got <= 0) return;
  std::lock_guard<std::mutex> lock(FLock);
  FBytesRead += static_cast<uint64_t>(got);
}

bool FaultFileSystem::failed(FaultKind kind, const char* text) {
  FaultMode mode = FaultMode::Fail;
  if (!Hit(kind, mode)) return false;
  SetLastErrorText(text);
  return true;
}

bool FaultFileSystem::DeleteFile(const std::string& path) {
  return !failed(FaultKind::Delete, "Injected delete fault") && FInner.DeleteFile(path);
}

bool FaultFileSystem::DeleteFileQuick(const std::string& path) {
  return !failed(FaultKind::Delete, "Injected delete fault") && FInner.DeleteFileQuick(path);
}

bool FaultFileSystem::RenameFile(const std::string& oldPath, const std::string& newPath) {
  return !failed(FaultKind::Rename, "Injected rename fault") && FInner.RenameFile(oldPath, newPath);
}

bool FaultFileSystem::SyncDirectory(const std::string& path) {
  return !failed(FaultKind::DirSync, "Injected directory sync fault") && FInner.SyncDirectory(path);
}

std::unique_ptr<IFile> FaultFileSystem::Open(const std::string& path, const FileOpenOptions& options) {
  std::unique_ptr<IFile> inner = FInner.Open(path, options);
  if (!inner) return nullptr;
  return std::make_unique<FaultFile>(std::move(inner), *this);
}

}  // namespace tesvar::platform
