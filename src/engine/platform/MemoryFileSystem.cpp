#include "platform/MemoryFileSystem.h"

#include "platform/IClock.h"
#include "platform/Paths.h"
#include "platform/ShareMode_internal.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace tesvar::platform {

namespace {

class MemoryFile;

// The content of one file. Held by its directory entry while the file has a name and by every
// open handle, so that a deleted-on-close file lives until its last handle goes.
struct FileData {
  std::vector<uint8_t> bytes;
  FileTimes times;
  bool readOnly = false;
  bool deleteOnClose = false;              // set by any handle opened with deleteOnClose
  std::vector<const MemoryFile*> handles;  // open handles, in opening order
  MemoryFileSystem::Node* node = nullptr;  // directory entry; nullptr once unlinked
};

bool fail(const char* what, const std::string& path) {
  SetLastErrorText(std::string(what) + ": \"" + path + "\"");
  return false;
}

}  // namespace

struct MemoryFileSystem::Node {
  bool isDirectory = false;
  std::string name;
  Node* parent = nullptr;
  FileTimes times;                                        // directories; files keep theirs in data
  bool readOnly = false;                                  // directories
  std::shared_ptr<FileData> data;                         // files
  std::map<std::string, std::unique_ptr<Node>> children;  // directories

  const FileTimes& Times() const { return data ? data->times : times; }
  bool ReadOnly() const { return data ? data->readOnly : readOnly; }
};

struct MemoryFileSystem::Shared {
  Node root;
  int64_t capacity = -1;
  int64_t used = 0;  // bytes of every living FileData

  Shared() { root.isDirectory = true; }

  int64_t Free() const { return capacity < 0 ? kUnlimitedFreeSpace : std::max<int64_t>(0, capacity - used); }

  Node* Find(const std::vector<std::string>& parts) {
    Node* node = &root;
    for (auto part = parts.begin(); node != nullptr && part != parts.end(); ++part)
      node = node->isDirectory ? Child(*node, *part) : nullptr;
    return node;
  }

  Node* Find(const std::string& path) { return Find(SplitPathComponents(path)); }

  // The directory that holds (or would hold) the entry; nullptr when it does not exist or the
  // path names the root. leaf receives the entry's name.
  Node* FindParent(const std::string& path, std::string& leaf) {
    std::vector<std::string> parts = SplitPathComponents(path);
    if (parts.empty()) return nullptr;
    leaf = std::move(parts.back());
    parts.pop_back();
    Node* parent = Find(parts);
    return parent != nullptr && parent->isDirectory ? parent : nullptr;
  }

  static Node* Child(Node& dir, const std::string& name) {
    auto it = dir.children.find(name);
    return it == dir.children.end() ? nullptr : it->second.get();
  }

  static Node* AddChild(Node& parent, const std::string& name, bool isDirectory) {
    auto node = std::make_unique<Node>();
    node->isDirectory = isDirectory;
    node->name = name;
    node->parent = &parent;
    const int64_t now = Clock().NowUtc();
    FileTimes times{now, now, now};
    if (isDirectory) {
      node->times = times;
    } else {
      node->data = std::make_shared<FileData>();
      node->data->times = times;
      node->data->node = node.get();
    }
    return parent.children.emplace(name, std::move(node)).first->second.get();
  }

  // Resizes a file's content, keeping the used-bytes figure; false (nothing changed) when the
  // memory cannot be had.
  bool Resize(FileData& data, size_t size) {
    try {
      const auto old = static_cast<int64_t>(data.bytes.size());
      data.bytes.resize(size);
      used += static_cast<int64_t>(size) - old;
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    } catch (const std::length_error&) {
      return false;
    }
  }

  // Frees a file's content once it has neither a name nor an open handle.
  void ReleaseIfDead(FileData& data) {
    if (data.node != nullptr || !data.handles.empty()) return;
    used -= static_cast<int64_t>(data.bytes.size());
    std::vector<uint8_t>().swap(data.bytes);
  }

  // Removes a file's directory entry; its content lives on while handles are open.
  void Unlink(Node& node) {
    std::shared_ptr<FileData> data = node.data;
    data->node = nullptr;
    const std::string name = node.name;  // the node dies in erase
    node.parent->children.erase(name);
    ReleaseIfDead(*data);
  }

  static bool HasOpenFiles(const Node& node) {
    if (node.data) return !node.data->handles.empty();
    return std::any_of(node.children.begin(), node.children.end(),
                       [](const auto& child) { return HasOpenFiles(*child.second); });
  }
};

namespace {

class MemoryFile final : public IFile {
public:
  MemoryFile(std::shared_ptr<MemoryFileSystem::Shared> shared, std::shared_ptr<FileData> data,
             FileAccess access, FileShare share)
      : FShared(std::move(shared)), FData(std::move(data)), FAccess(access), FShare(share) {
    FData->handles.push_back(this);
  }

  FileAccess Access() const { return FAccess; }
  FileShare Share() const { return FShare; }

  ~MemoryFile() override {
    auto& handles = FData->handles;
    handles.erase(std::find(handles.begin(), handles.end(), this));
    if (handles.empty() && FData->deleteOnClose && FData->node != nullptr)
      FShared->Unlink(*FData->node);
    else
      FShared->ReleaseIfDead(*FData);
  }

  int64_t Read(void* buffer, int64_t count) override {
    if (count < 0) return failCount("Invalid read count");
    const auto size = static_cast<int64_t>(FData->bytes.size());
    if (FPosition >= size || count == 0) return 0;
    const int64_t n = std::min(count, size - FPosition);
    std::memcpy(buffer, FData->bytes.data() + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
  }

  int64_t Write(const void* buffer, int64_t count) override {
    if (!CheckWritable()) return -1;
    if (count < 0 || FPosition > std::numeric_limits<int64_t>::max() - count)
      return failCount("Invalid write count");
    if (count == 0) return 0;
    const auto size = static_cast<int64_t>(FData->bytes.size());
    const int64_t growth = std::max<int64_t>(0, FPosition + count - size);
    if (growth > FShared->Free()) {
      // Write what fits after the zeros of any gap up to the position.
      const int64_t gap = std::max<int64_t>(0, FPosition - size);
      const int64_t overwritten = std::max<int64_t>(0, size - FPosition);
      const int64_t fits = overwritten + FShared->Free() - gap;
      if (fits <= 0) return failCount("There is not enough space on the disk");
      count = std::min(count, fits);
    }
    if (FPosition + count > size && !FShared->Resize(*FData, static_cast<size_t>(FPosition + count)))
      return failCount("Not enough memory");
    std::memcpy(FData->bytes.data() + FPosition, buffer, static_cast<size_t>(count));
    FPosition += count;
    Touch();
    return count;
  }

  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    int64_t base = 0;
    if (origin == SeekOrigin::Current)
      base = FPosition;
    else if (origin == SeekOrigin::End)
      base = static_cast<int64_t>(FData->bytes.size());
    if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) || base + offset < 0)
      return failCount("Invalid seek position");
    FPosition = base + offset;
    return FPosition;
  }

  int64_t Size() override { return static_cast<int64_t>(FData->bytes.size()); }

  bool SetSize(int64_t size) override {
    if (!CheckWritable()) return false;
    if (size < 0) return fail("Invalid size");
    const auto old = static_cast<int64_t>(FData->bytes.size());
    if (size - old > FShared->Free()) return fail("There is not enough space on the disk");
    if (!FShared->Resize(*FData, static_cast<size_t>(size))) return fail("Not enough memory");
    Touch();
    return true;
  }

  bool Flush() override { return true; }

private:
  static bool fail(const char* what) {
    SetLastErrorText(what);
    return false;
  }
  static int64_t failCount(const char* what) {
    SetLastErrorText(what);
    return -1;
  }

  bool CheckWritable() {
    return detail::AccessWrites(FAccess) || fail("The file was opened for reading only");
  }

  void Touch() {
    const int64_t now = Clock().NowUtc();
    FData->times.lastWrite = now;
    FData->times.lastAccess = now;
  }

  // Declared first so that it is destroyed last: the destructor above still uses it.
  std::shared_ptr<MemoryFileSystem::Shared> FShared;
  std::shared_ptr<FileData> FData;
  FileAccess FAccess;
  FileShare FShare;
  int64_t FPosition = 0;
};

}  // namespace

MemoryFileSystem::MemoryFileSystem() : FShared(std::make_shared<Shared>()) {}

MemoryFileSystem::~MemoryFileSystem() = default;

void MemoryFileSystem::SetCapacity(int64_t bytes) { FShared->capacity = bytes; }

int64_t MemoryFileSystem::UsedBytes() const { return FShared->used; }

std::unique_ptr<IFile> MemoryFileSystem::Open(const std::string& path, const FileOpenOptions& options) {
  std::string leaf;
  Node* parent = FShared->FindParent(path, leaf);
  if (parent == nullptr) {
    fail(SplitPathComponents(path).empty() ? "Access denied" : "The system cannot find the path specified", path);
    return nullptr;
  }
  Node* node = Shared::Child(*parent, leaf);
  if (node != nullptr && node->isDirectory) {
    fail("Access denied", path);
    return nullptr;
  }
  if (node == nullptr) {
    if (options.creation == FileCreation::OpenExisting) {
      fail("The system cannot find the file specified", path);
      return nullptr;
    }
    node = Shared::AddChild(*parent, leaf, false);
  } else {
    if (options.creation == FileCreation::CreateNew) {
      fail("The file exists", path);
      return nullptr;
    }
    FileData& data = *node->data;
    const bool writes =
        detail::AccessWrites(options.access) || options.creation == FileCreation::CreateAlways;
    if (data.readOnly && writes) {
      fail("Access denied", path);
      return nullptr;
    }
    // Truncating writes, whatever access the new handle asks for.
    const FileAccess needed =
        options.creation == FileCreation::CreateAlways ? FileAccess::ReadWrite : options.access;
    if (!std::all_of(data.handles.begin(), data.handles.end(), [&](const MemoryFile* handle) {
          return detail::SharingCompatible(needed, options.share, handle->Access(), handle->Share());
        })) {
      fail("The process cannot access the file because it is being used by another process", path);
      return nullptr;
    }
    if (options.creation == FileCreation::CreateAlways) {
      FShared->Resize(data, 0);
      data.times.lastWrite = data.times.lastAccess = Clock().NowUtc();
    }
  }
  if (options.deleteOnClose) node->data->deleteOnClose = true;
  return std::make_unique<MemoryFile>(FShared, node->data, options.access, options.share);
}

bool MemoryFileSystem::FileExists(const std::string& path) {
  const Node* node = FShared->Find(path);
  return node != nullptr && !node->isDirectory;
}

bool MemoryFileSystem::DirectoryExists(const std::string& path) {
  const Node* node = FShared->Find(path);
  return node != nullptr && node->isDirectory;
}

bool MemoryFileSystem::DeleteFile(const std::string& path) {
  Node* node = FShared->Find(path);
  if (node == nullptr || node->isDirectory) return fail("The system cannot find the file specified", path);
  if (node->data->readOnly) return fail("Access denied", path);
  if (!node->data->handles.empty())
    return fail("The process cannot access the file because it is being used by another process", path);
  FShared->Unlink(*node);
  return true;
}

bool MemoryFileSystem::RenameFile(const std::string& oldPath, const std::string& newPath) {
  std::string oldLeaf;
  std::string newLeaf;
  Node* oldParent = FShared->FindParent(oldPath, oldLeaf);
  Node* node = oldParent != nullptr ? Shared::Child(*oldParent, oldLeaf) : nullptr;
  if (node == nullptr) return fail("The system cannot find the file specified", oldPath);
  Node* newParent = FShared->FindParent(newPath, newLeaf);
  if (newParent == nullptr) return fail("The system cannot find the path specified", newPath);
  if (newParent->children.count(newLeaf) != 0)
    return fail("Cannot create a file when that file already exists", newPath);
  for (const Node* p = newParent; p != nullptr; p = p->parent)
    if (p == node) return fail("The directory cannot be moved into itself", newPath);
  if (Shared::HasOpenFiles(*node))
    return fail("The process cannot access the file because it is being used by another process", oldPath);
  std::unique_ptr<Node> moved = std::move(oldParent->children[oldLeaf]);
  oldParent->children.erase(oldLeaf);
  moved->name = newLeaf;
  moved->parent = newParent;
  newParent->children.emplace(newLeaf, std::move(moved));
  return true;
}

bool MemoryFileSystem::SyncDirectory(const std::string& path) {
  return DirectoryExists(path) || fail("The system cannot find the path specified", path);
}

bool MemoryFileSystem::CreateDirectory(const std::string& path) {
  std::string leaf;
  Node* parent = FShared->FindParent(path, leaf);
  if (parent == nullptr) {
    return fail(SplitPathComponents(path).empty() ? "Cannot create a file when that file already exists"
                                        : "The system cannot find the path specified",
                path);
  }
  if (parent->children.count(leaf) != 0)
    return fail("Cannot create a file when that file already exists", path);
  Shared::AddChild(*parent, leaf, true);
  return true;
}

bool MemoryFileSystem::RemoveDirectory(const std::string& path) {
  Node* node = FShared->Find(path);
  if (node == nullptr || !node->isDirectory) return fail("The directory name is invalid", path);
  if (node == &FShared->root) return fail("Access denied", path);
  if (!node->children.empty()) return fail("The directory is not empty", path);
  const std::string name = node->name;  // the node dies in erase
  node->parent->children.erase(name);
  return true;
}

bool MemoryFileSystem::ListDirectory(const std::string& path, std::vector<DirEntry>& entries) {
  entries.clear();
  const Node* node = FShared->Find(path);
  if (node == nullptr || !node->isDirectory) return fail("The system cannot find the path specified", path);
  entries.reserve(node->children.size());
  for (const auto& [name, child] : node->children) {
    DirEntry entry;
    entry.name = name;
    entry.isDirectory = child->isDirectory;
    entry.readOnly = child->ReadOnly();
    entry.size = child->data ? static_cast<int64_t>(child->data->bytes.size()) : 0;
    entry.times = child->Times();
    entries.push_back(std::move(entry));
  }
  return true;
}

bool MemoryFileSystem::GetFileTimes(const std::string& path, FileTimes& times) {
  const Node* node = FShared->Find(path);
  if (node == nullptr) return fail("The system cannot find the file specified", path);
  times = node->Times();
  return true;
}

bool MemoryFileSystem::SetReadOnly(const std::string& path, bool readOnly) {
  Node* node = FShared->Find(path);
  if (node == nullptr) return fail("The system cannot find the file specified", path);
  (node->data ? node->data->readOnly : node->readOnly) = readOnly;
  return true;
}

int64_t MemoryFileSystem::FreeSpace(const std::string&) { return FShared->Free(); }

std::vector<uint8_t> MemoryFileSystem::ReadAll(const std::string& path) const {
  const Node* node = FShared->Find(path);
  return node != nullptr && node->data ? node->data->bytes : std::vector<uint8_t>();
}

void MemoryFileSystem::WriteAll(const std::string& path, const std::vector<uint8_t>& data) {
  const std::vector<std::string> parts = SplitPathComponents(path);
  if (parts.empty()) throw std::invalid_argument("MemoryFileSystem::WriteAll - not a file: " + path);
  Node* dir = &FShared->root;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    Node* next = Shared::Child(*dir, parts[i]);
    if (next == nullptr) next = Shared::AddChild(*dir, parts[i], true);
    if (!next->isDirectory)
      throw std::invalid_argument("MemoryFileSystem::WriteAll - not a directory: " + path);
    dir = next;
  }
  Node* node = Shared::Child(*dir, parts.back());
  if (node == nullptr) node = Shared::AddChild(*dir, parts.back(), false);
  if (node->isDirectory) throw std::invalid_argument("MemoryFileSystem::WriteAll - a directory: " + path);
  if (!FShared->Resize(*node->data, data.size())) throw std::bad_alloc();
  std::copy(data.begin(), data.end(), node->data->bytes.begin());
  node->data->times.lastWrite = node->data->times.lastAccess = Clock().NowUtc();
}

int MemoryFileSystem::OpenHandleCount(const std::string& path) const {
  const Node* node = FShared->Find(path);
  return node != nullptr && node->data ? static_cast<int>(node->data->handles.size()) : 0;
}

}  // namespace tesvar::platform
