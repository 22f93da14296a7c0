#include "platform/CrashFileSystem.h"

#include "platform/Paths.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>

namespace tesvar::platform {

namespace {

// One change of a file's bytes: a write of data at offset, or a cut/extension to size offset.
struct ByteOp {
  bool resize = false;
  int64_t offset = 0;
  std::vector<uint8_t> data;
};

void apply(std::vector<uint8_t>& bytes, const ByteOp& op, size_t keep = SIZE_MAX) {
  if (op.resize) {
    bytes.resize(static_cast<size_t>(op.offset));
    return;
  }
  const size_t n = std::min(keep, op.data.size());
  const size_t end = static_cast<size_t>(op.offset) + n;
  if (n == 0) return;
  if (bytes.size() < end) bytes.resize(end);
  std::memcpy(bytes.data() + op.offset, op.data.data(), n);
}

// The path's components joined by the platform delimiter: "a//b/./c/../d" -> "a/b/d".
std::string canonical(const std::string& path) {
  std::string result;
  for (const std::string& part : SplitPathComponents(path)) {
    if (!result.empty()) result += kPathDelimiter;
    result += part;
  }
  return result;
}

std::string folderOf(const std::string& canonicalPath) {
  const size_t cut = canonicalPath.rfind(kPathDelimiter);
  return cut == std::string::npos ? std::string() : canonicalPath.substr(0, cut);
}

bool dead(const char* what) {
  SetLastErrorText(std::string(what) + ": the process has crashed");
  return false;
}

}  // namespace

struct CrashFileSystem::Inode {
  std::vector<uint8_t> durable;
  std::vector<ByteOp> pending;
  bool temporary = false;

  std::vector<uint8_t> live() const {
    std::vector<uint8_t> bytes = durable;
    for (const ByteOp& op : pending) apply(bytes, op);
    return bytes;
  }
};

namespace {

// A file of the crash file system: the live file plus the record of its pending changes.
class CrashFile final : public IFile {
public:
  CrashFile(std::unique_ptr<IFile> inner, CrashFileSystem& owner, int inode)
      : FInner(std::move(inner)), FOwner(owner), FInode(inode), FGeneration(owner.Generation()) {}

  int64_t Read(void* buffer, int64_t count) override {
    if (!current()) return -1;
    return FInner->Read(buffer, count);
  }

  int64_t Write(const void* buffer, int64_t count) override {
    if (!current()) return -1;
    if (!FOwner.Step()) {
      dead("Cannot write");
      return -1;
    }
    const int64_t position = FInner->Seek(0, SeekOrigin::Current);
    const int64_t written = FInner->Write(buffer, count);
    if (written > 0 && position >= 0) {
      ByteOp op;
      op.offset = position;
      op.data.assign(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + written);
      FOwner.InodeOf(FInode).pending.push_back(std::move(op));
    }
    return written;
  }

  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    if (!current()) return -1;
    return FInner->Seek(offset, origin);
  }

  int64_t Size() override {
    if (!current()) return -1;
    return FInner->Size();
  }

  bool SetSize(int64_t size) override {
    if (!current()) return false;
    if (!FOwner.Step()) return dead("Cannot set size");
    if (!FInner->SetSize(size)) return false;
    ByteOp op;
    op.resize = true;
    op.offset = size;
    FOwner.InodeOf(FInode).pending.push_back(std::move(op));
    return true;
  }

  bool Flush() override {
    if (!current()) return false;
    if (!FOwner.Step()) return dead("Cannot flush");
    if (!FInner->Flush()) return false;
    CrashFileSystem::Inode& inode = FOwner.InodeOf(FInode);
    inode.durable = inode.live();
    inode.pending.clear();
    return true;
  }

private:
  // False (with an error text) for a handle opened before the last restart.
  bool current() {
    if (FGeneration == FOwner.Generation()) return true;
    SetLastErrorText("File handle from before a restart");
    return false;
  }

  std::unique_ptr<IFile> FInner;
  CrashFileSystem& FOwner;
  int FInode;
  uint64_t FGeneration;
};

}  // namespace

CrashFileSystem::CrashFileSystem() : FLive(std::make_unique<MemoryFileSystem>()) {}

CrashFileSystem::~CrashFileSystem() = default;

bool CrashFileSystem::Step() {
  if (Crashed()) return false;
  ++FSteps;
  return true;
}

void CrashFileSystem::CrashAfter(uint64_t n) { FCrashAt = n == 0 ? 0 : FSteps + n; }

int CrashFileSystem::newInode(bool temporary) {
  FInodes.push_back(std::make_unique<Inode>());
  FInodes.back()->temporary = temporary;
  return static_cast<int>(FInodes.size() - 1);
}

void CrashFileSystem::addFolder(const std::string& path) {
  if (!path.empty() && std::find(FFolders.begin(), FFolders.end(), path) == FFolders.end())
    FFolders.push_back(path);
}

std::unique_ptr<IFile> CrashFileSystem::Open(const std::string& path, const FileOpenOptions& options) {
  const std::string name = canonical(path);
  const bool exists = FLive->FileExists(path);
  const bool creates = !exists && options.creation != FileCreation::OpenExisting;
  const bool truncates = exists && options.creation == FileCreation::CreateAlways;
  if ((creates || truncates) && !Step()) {
    dead("Cannot create");
    return nullptr;
  }
  std::unique_ptr<IFile> inner = FLive->Open(path, options);
  if (!inner) return nullptr;
  auto known = FLiveNames.find(name);
  int inode;
  if (creates || known == FLiveNames.end()) {
    // A new file, or one whose earlier inode went with its last delete-on-close handle.
    inode = newInode(options.deleteOnClose);
    FLiveNames[name] = inode;
    FPendingNames.push_back({NameOpKind::Create, {}, name, inode, folderOf(name)});
  } else {
    inode = known->second;
    if (options.deleteOnClose) InodeOf(inode).temporary = true;
    if (truncates) {
      ByteOp op;
      op.resize = true;
      InodeOf(inode).pending.push_back(std::move(op));
    }
  }
  return std::make_unique<CrashFile>(std::move(inner), *this, inode);
}

bool CrashFileSystem::DeleteFile(const std::string& path) {
  if (!Step()) return dead("Cannot delete");
  if (!FLive->DeleteFile(path)) return false;
  const std::string name = canonical(path);
  auto known = FLiveNames.find(name);
  if (known != FLiveNames.end()) {
    FPendingNames.push_back({NameOpKind::Delete, name, {}, known->second, folderOf(name)});
    FLiveNames.erase(known);
  }
  return true;
}

bool CrashFileSystem::RenameFile(const std::string& oldPath, const std::string& newPath) {
  if (!Step()) return dead("Cannot rename");
  const bool folder = FLive->DirectoryExists(oldPath);
  if (!FLive->RenameFile(oldPath, newPath)) return false;
  const std::string from = canonical(oldPath);
  const std::string to = canonical(newPath);
  if (folder) {
    // Folder renames are durable at once: every name below the folder moves in both states.
    const std::string prefix = from + kPathDelimiter;
    for (auto* names : {&FLiveNames, &FDurableNames}) {
      std::map<std::string, int> moved;
      for (auto it = names->begin(); it != names->end();) {
        if (it->first.compare(0, prefix.size(), prefix) == 0) {
          moved[to + it->first.substr(from.size())] = it->second;
          it = names->erase(it);
        } else {
          ++it;
        }
      }
      names->insert(moved.begin(), moved.end());
    }
    for (std::string& f : FFolders)
      if (f == from || f.compare(0, prefix.size(), prefix) == 0) f = to + f.substr(from.size());
    return true;
  }
  auto known = FLiveNames.find(from);
  if (known != FLiveNames.end()) {
    const int inode = known->second;
    FLiveNames.erase(known);
    FLiveNames[to] = inode;
    FPendingNames.push_back({NameOpKind::Rename, from, to, inode, folderOf(to)});
  }
  return true;
}

void CrashFileSystem::applyName(std::map<std::string, int>& names, const NameOp& op) {
  switch (op.kind) {
    case NameOpKind::Create: names[op.to] = op.inode; break;
    case NameOpKind::Rename: {
      auto it = names.find(op.from);
      if (it != names.end() && it->second == op.inode) names.erase(it);
      names[op.to] = op.inode;
      break;
    }
    case NameOpKind::Delete: {
      auto it = names.find(op.from);
      if (it != names.end() && it->second == op.inode) names.erase(it);
      break;
    }
  }
}

bool CrashFileSystem::SyncDirectory(const std::string& path) {
  if (!Step()) return dead("Cannot sync directory");
  if (!FLive->SyncDirectory(path)) return false;
  const std::string folder = canonical(path);
  auto keep = FPendingNames.begin();
  for (auto it = FPendingNames.begin(); it != FPendingNames.end(); ++it) {
    if (it->folder == folder)
      applyName(FDurableNames, *it);
    else
      *keep++ = std::move(*it);
  }
  FPendingNames.erase(keep, FPendingNames.end());
  return true;
}

bool CrashFileSystem::CreateDirectory(const std::string& path) {
  if (!Step()) return dead("Cannot create directory");
  if (!FLive->CreateDirectory(path)) return false;
  addFolder(canonical(path));
  return true;
}

bool CrashFileSystem::RemoveDirectory(const std::string& path) {
  if (!Step()) return dead("Cannot remove directory");
  if (!FLive->RemoveDirectory(path)) return false;
  const std::string folder = canonical(path);
  FFolders.erase(std::remove(FFolders.begin(), FFolders.end(), folder), FFolders.end());
  return true;
}

bool CrashFileSystem::SetReadOnly(const std::string& path, bool readOnly) {
  return FLive->SetReadOnly(path, readOnly);
}

void CrashFileSystem::Put(const std::string& path, const std::vector<uint8_t>& data) {
  FLive->WriteAll(path, data);
  const std::string name = canonical(path);
  for (std::string folder = folderOf(name); !folder.empty(); folder = folderOf(folder)) addFolder(folder);
  std::sort(FFolders.begin(), FFolders.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), kPathDelimiter) < std::count(b.begin(), b.end(), kPathDelimiter);
  });
  const int inode = newInode(false);
  InodeOf(inode).durable = data;
  FLiveNames[name] = inode;
  FDurableNames[name] = inode;
}

void CrashFileSystem::MakeDurable() {
  for (auto& inode : FInodes) {
    inode->durable = inode->live();
    inode->pending.clear();
  }
  FDurableNames = FLiveNames;
  FPendingNames.clear();
}

std::string CrashFileSystem::Restart(uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string description;
  std::map<std::string, int> names = FDurableNames;
  size_t keptNames = 0;
  for (const NameOp& op : FPendingNames) {
    if (rng() & 1) {
      applyName(names, op);
      ++keptNames;
    }
  }
  description += "names " + std::to_string(keptNames) + "/" + std::to_string(FPendingNames.size());

  auto live = std::make_unique<MemoryFileSystem>();
  for (const std::string& folder : FFolders) live->CreateDirectory(folder);
  std::map<std::string, std::vector<uint8_t>> contents;
  for (const auto& [name, id] : names) {
    const Inode& inode = *FInodes.at(static_cast<size_t>(id));
    if (inode.temporary) continue;
    std::vector<uint8_t> bytes = inode.durable;
    const size_t n = inode.pending.size();
    if (n > 0) {
      const unsigned pattern = static_cast<unsigned>(rng() % 4);
      size_t kept = 0;
      switch (pattern) {
        case 0:  // nothing
          break;
        case 1:  // everything
          for (const ByteOp& op : inode.pending) apply(bytes, op);
          kept = n;
          break;
        case 2: {  // a random subset in a random order
          std::vector<size_t> order(n);
          std::iota(order.begin(), order.end(), size_t{0});
          std::shuffle(order.begin(), order.end(), rng);
          for (size_t i : order)
            if (rng() & 1) {
              apply(bytes, inode.pending[i]);
              ++kept;
            }
          break;
        }
        default: {  // in order up to a torn one
          const size_t whole = static_cast<size_t>(rng() % n);
          for (size_t i = 0; i < whole; ++i) apply(bytes, inode.pending[i]);
          const ByteOp& torn = inode.pending[whole];
          apply(bytes, torn, torn.resize || torn.data.empty() ? 0 : static_cast<size_t>(rng() % torn.data.size()));
          kept = whole;
          break;
        }
      }
      static const char* const kPatterns[] = {"none", "all", "subset", "torn"};
      description += "; " + name + ": " + kPatterns[pattern] + " " + std::to_string(kept) + "/" + std::to_string(n);
    }
    contents[name] = std::move(bytes);
  }

  FInodes.clear();
  FLiveNames.clear();
  FPendingNames.clear();
  for (auto& [name, bytes] : contents) {
    live->WriteAll(name, bytes);
    const int inode = newInode(false);
    FInodes.back()->durable = std::move(bytes);
    FLiveNames[name] = inode;
  }
  FDurableNames = FLiveNames;
  FLive = std::move(live);
  FSteps = 0;
  FCrashAt = 0;
  ++FGeneration;
  return description;
}

}  // namespace tesvar::platform
