#include "storage/TedBufferLogArray.h"

#include "platform/Exception.h"
#include "platform/IClock.h"
#include "platform/SystemInfo.h"

#include <algorithm>
#include <cstring>

namespace tesvar::storage {

namespace {

// Arena memory kept across flushes; more is given back.
constexpr size_t kArenaKeep = 64u << 20;

}  // namespace

int32_t TedBuffersArray::Add(const void* Buffer, int32_t Size) {
  const auto size = static_cast<size_t>(Size);
  if (FArenaUsed + size > FArena.size()) {
    size_t capacity = std::max<size_t>(FArena.size() * 2, 1u << 16);
    while (capacity < FArenaUsed + size) capacity *= 2;
    FArena.resize(capacity);
  }
  std::memcpy(FArena.data() + FArenaUsed, Buffer, size);
  FItems.push_back(Item{static_cast<int64_t>(FArenaUsed), Size, nullptr});
  FArenaUsed += size;
  FTotalSize += Size;
  return static_cast<int32_t>(FItems.size() - 1);
}

int32_t TedBuffersArray::Adopt(std::unique_ptr<uint8_t[]> Buffer, int32_t Size) {
  FItems.push_back(Item{-1, Size, std::move(Buffer)});
  FTotalSize += Size;
  return static_cast<int32_t>(FItems.size() - 1);
}

const uint8_t* TedBuffersArray::Data(int32_t Index) const {
  const Item& item = FItems[static_cast<size_t>(Index)];
  return item.Offset >= 0 ? FArena.data() + item.Offset : item.Owned.get();
}

void TedBuffersArray::ReleaseFront(int32_t Count) {
  for (int32_t i = 0; i < Count && FFirst < FItems.size(); ++i, ++FFirst) {
    Item& item = FItems[FFirst];
    FTotalSize -= item.Size;
    item.Owned.reset();
  }
}

void TedBuffersArray::Clear() {
  FItems.clear();
  FFirst = 0;
  FArenaUsed = 0;
  FTotalSize = 0;
  if (FArena.size() > kArenaKeep) {
    FArena.clear();
    FArena.shrink_to_fit();
  }
}

TedBufferLogArray::TedBufferLogArray(TAbstractFile* DataFile, int64_t DataStart, TAbstractFile* BLOBFile,
                                     int32_t BLOBBlockSize)
    : FDataFile(DataFile), FDataStart(DataStart), FBLOBFile(BLOBFile), FBLOBBlockSize(BLOBBlockSize),
      FMaxBytes(static_cast<int64_t>(platform::AvailablePhysicalMemory() / 10)) {}

void TedBufferLogArray::SetFiles(TAbstractFile* DataFile, TAbstractFile* BLOBFile) {
  FDataFile = DataFile;
  FBLOBFile = BLOBFile;
}

void TedBufferLogArray::LogWrite(uint8_t Kind, std::unique_ptr<uint8_t[]> Buffer, int32_t PartCount,
                                 const TBLOBPart* Parts, int32_t RecNo, int32_t Size) {
  if (Kind == kRecordEntry) {
    LogRecord(RecNo, Buffer.get(), Size);
    return;
  }
  Entry e{platform::Clock().TickCount(), RecNo, Kind, FBuffers.Adopt(std::move(Buffer), Size), {}};
  e.Parts.assign(Parts, Parts + PartCount);
  FEntries.push_back(std::move(e));
  ++FBLOBCount;
}

void TedBufferLogArray::LogRecord(int32_t RecNo, const uint8_t* Buffer, int32_t Size) {
  FEntries.push_back(Entry{platform::Clock().TickCount(), RecNo, kRecordEntry, FBuffers.Add(Buffer, Size), {}});
  FNewest[RecNo] = static_cast<int32_t>(FEntries.size() - 1);
}

const uint8_t* TedBufferLogArray::FindLoggedRecord(int32_t RecNo) const {
  if (FNewest.empty()) return nullptr;
  auto it = FNewest.find(RecNo);
  return it == FNewest.end() ? nullptr : FBuffers.Data(FEntries[static_cast<size_t>(it->second)].Buffer);
}

bool TedBufferLogArray::IsFlushDue() {
  if (Count() == 0) return false;
  const uint32_t age = platform::Clock().TickCount() - FEntries[FFirst].Time;
  if (FBuffers.TotalSize() >= FMaxBytes || Count() >= FMaxEntries || age > kMaxAgeMs) {
    FlushBuffers();
    return true;
  }
  return false;
}

void TedBufferLogArray::Release(size_t Upto) {
  FBuffers.ReleaseFront(static_cast<int32_t>(Upto - FFirst));
  for (size_t i = FFirst; i < Upto; ++i) {
    const Entry& e = FEntries[i];
    if (e.Kind != kRecordEntry) {
      --FBLOBCount;
      continue;
    }
    auto it = FNewest.find(e.RecNo);
    if (it != FNewest.end() && it->second == static_cast<int32_t>(i)) FNewest.erase(it);
  }
  FFirst = Upto;
  if (FFirst == FEntries.size()) {
    FEntries.clear();
    FFirst = 0;
    FBuffers.Clear();
    FNewest.clear();
    FBLOBCount = 0;
  }
}

void TedBufferLogArray::WriteRun(size_t First, size_t Last) {
  const Entry& e = FEntries[First];
  const int32_t size = FBuffers.Size(e.Buffer);
  const int64_t expected = static_cast<int64_t>(size) * static_cast<int64_t>(Last - First);
  int64_t written = -1;
  if (FDataFile->Seek(FDataStart + static_cast<int64_t>(e.RecNo) * size, platform::SeekOrigin::Begin) >= 0)
    written = FDataFile->Write(FBuffers.Data(e.Buffer), expected);
  if (written != expected)
    throw Exception("TedBufferLogArray.FlushBuffers - error writing data to table file, xx = " +
                    std::to_string(written) + ", bc = " + std::to_string(expected));
}

void TedBufferLogArray::WriteBLOB(const Entry& E) {
  const uint8_t* data = FBuffers.Data(E.Buffer);
  for (const TBLOBPart& part : E.Parts) {
    const int64_t expected = static_cast<int64_t>(part.BlockCount) * FBLOBBlockSize;
    int64_t written = -1;
    if (FBLOBFile != nullptr &&
        FBLOBFile->Seek(static_cast<int64_t>(part.FirstBlock) * FBLOBBlockSize, platform::SeekOrigin::Begin) >= 0)
      written = FBLOBFile->Write(data, expected);
    if (written != expected)
      throw Exception("TedBufferLogArray.FlushBuffers - error writing data to blob file, xx = " +
                      std::to_string(written) + ", bc = " + std::to_string(expected));
    data += expected;
  }
}

void TedBufferLogArray::FlushBuffers() {
  size_t i = FFirst;
  try {
    while (i < FEntries.size()) {
      const Entry& e = FEntries[i];
      if (e.Kind != kRecordEntry) {
        WriteBLOB(e);
        ++i;
        continue;
      }
      // Images of consecutive records logged one after the other lie one after the other in the
      // arena: they go to the file in one write, with the same result as one write each.
      size_t last = i + 1;
      const int32_t size = FBuffers.Size(e.Buffer);
      const uint8_t* next = FBuffers.Data(e.Buffer) + size;
      while (last < FEntries.size() && FEntries[last].Kind == kRecordEntry &&
             FEntries[last].RecNo == FEntries[last - 1].RecNo + 1 && FBuffers.Size(FEntries[last].Buffer) == size &&
             FBuffers.Data(FEntries[last].Buffer) == next) {
        next += size;
        ++last;
      }
      WriteRun(i, last);
      i = last;
    }
  } catch (...) {
    Release(i);
    throw;
  }
  Release(i);
}

}  // namespace tesvar::storage
