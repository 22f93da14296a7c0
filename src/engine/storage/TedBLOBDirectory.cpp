#include "storage/TedBLOBDirectory.h"

#include "platform/Exception.h"
#include "storage/TableFormat.h"

#include <algorithm>
#include <cstring>

namespace tesvar::storage {

using namespace blobformat;

std::string TBLOBHeader::CrcText() const { return GetShortString(Crc, kCrcCapacity); }

void TedBLOBDirectory::Clear() {
  FRecordCount = 0;
  FTotalBlocks = 0;
  FHeaders.clear();
  FHeaders.shrink_to_fit();
  FMap.SetCount(0);
  FPool.clear();
  FFree.clear();
  FPending.clear();
  FBlock = {};
  FWrittenPending = 0;
  FWrittenEmpty = false;
}

void TedBLOBDirectory::Reset(int32_t BlockSize, int32_t FieldCount, double Version) {
  Clear();
  FBlockSize = BlockSize;
  FFieldCount = FieldCount;
  FVersion = Version;
}

void TedBLOBDirectory::Parse(const uint8_t* Block, size_t Length, int32_t ExpectedFieldCount, int64_t FileBytes) {
  auto damaged = [](const std::string& Detail) {
    return Exception("TEdbDataManager.LoadBLOBHeaders - the BLOB directory is damaged: " + Detail + ".");
  };
  if (Length < static_cast<size_t>(kFileHeaderSize)) throw damaged("its header is incomplete");
  const int32_t blockSize = GetInt32(Block + kFHBlockSize);
  const int32_t freeCount = GetInt32(Block + kFHFreePartCount);
  const int32_t fieldCount = GetInt32(Block + kFHFieldCount);
  const int32_t recordCount = GetInt32(Block + kFHRecordCount);
  if (blockSize <= 0) throw damaged("invalid block size");
  if (fieldCount != ExpectedFieldCount) throw damaged("it describes another number of BLOB fields");
  const auto headerCount = static_cast<uint64_t>(recordCount) * static_cast<uint64_t>(fieldCount);
  if (recordCount < 0 || freeCount < 0 ||
      kFileHeaderSize + headerCount * kHeaderSize + static_cast<uint64_t>(freeCount) * kPartSize > Length)
    throw damaged("invalid record or free part count");
  Reset(blockSize, fieldCount, GetDouble(Block + kFHVersion));
  const size_t freeAt = Length - static_cast<size_t>(freeCount) * kPartSize;
  const size_t partsFrom = kFileHeaderSize + headerCount * kHeaderSize;
  int64_t endBlock = FileBytes / blockSize;
  auto readPart = [&](const uint8_t* p) {
    const TBLOBPart part{GetInt32(p + kPartFirstBlock), GetInt32(p + kPartBlockCount)};
    if (part.FirstBlock < 0 || part.BlockCount <= 0 ||
        static_cast<int64_t>(part.FirstBlock) + part.BlockCount > INT32_MAX)
      throw damaged("invalid part");
    endBlock = std::max(endBlock, static_cast<int64_t>(part.FirstBlock) + part.BlockCount);
    return part;
  };
  FHeaders.resize(static_cast<size_t>(headerCount));
  for (size_t i = 0; i < FHeaders.size(); ++i) {
    const uint8_t* h = Block + kFileHeaderSize + i * kHeaderSize;
    TBLOBHeader& header = FHeaders[i];
    const int32_t partCount = GetInt32(h + kBHPartCount);
    header.StoredSize = GetInt32(h + kBHStoredSize);
    header.Size = GetInt32(h + kBHSize);
    std::memcpy(header.Crc, h + kBHCrc, kCrcBytes);
    if (partCount <= 0) continue;
    const int64_t offset = GetInt32(h + kBHPartsOffset);
    if (offset < static_cast<int64_t>(partsFrom) ||
        offset + static_cast<int64_t>(partCount) * kPartSize > static_cast<int64_t>(freeAt))
      throw damaged("the parts of header " + std::to_string(i) + " lie outside the block");
    header.PartCount = partCount;
    header.PartsAt = static_cast<int32_t>(FPool.size());
    for (int32_t k = 0; k < partCount; ++k)
      FPool.push_back(readPart(Block + offset + static_cast<int64_t>(k) * kPartSize));
  }
  FFree.reserve(static_cast<size_t>(freeCount));
  for (int32_t k = 0; k < freeCount; ++k) FFree.push_back(readPart(Block + freeAt + static_cast<size_t>(k) * kPartSize));
  FRecordCount = recordCount;
  FMap.SetCount(recordCount);
  for (int32_t r = 0; r < recordCount; ++r) FMap[r] = r * fieldCount;
  if (endBlock > INT32_MAX) throw damaged("too many blocks");
  FTotalBlocks = static_cast<int32_t>(endBlock);
}

void TedBLOBDirectory::Compact() {
  std::vector<TBLOBHeader> headers;
  TedBLOBPartsArray pool;
  headers.reserve(static_cast<size_t>(FMap.Count()) * static_cast<size_t>(FFieldCount));
  for (int32_t r = 0; r < FMap.Count(); ++r) {
    for (int32_t k = 0; k < FFieldCount; ++k) {
      TBLOBHeader h = FHeaders[static_cast<size_t>(FMap[r] + k)];
      if (h.StoredSize <= 0 || h.PartCount <= 0) {
        h = TBLOBHeader{};
      } else {
        const TBLOBPart* parts = FPool.data() + h.PartsAt;
        h.PartsAt = static_cast<int32_t>(pool.size());
        pool.insert(pool.end(), parts, parts + h.PartCount);
      }
      headers.push_back(h);
    }
  }
  FHeaders = std::move(headers);
  FPool = std::move(pool);
  for (int32_t r = 0; r < FMap.Count(); ++r) FMap[r] = r * FFieldCount;
}

const std::vector<uint8_t>& TedBLOBDirectory::Serialize() {
  // The parts the block lists for its headers, and what deleted records and replaced values
  // left behind in the headers and the pool.
  size_t liveParts = 0;
  for (int32_t r = 0; r < FMap.Count(); ++r)
    for (int32_t k = 0; k < FFieldCount; ++k) {
      const TBLOBHeader& h = FHeaders[static_cast<size_t>(FMap[r] + k)];
      if (h.StoredSize > 0 && h.PartCount > 0) liveParts += static_cast<size_t>(h.PartCount);
    }
  const size_t liveHeaders = static_cast<size_t>(FMap.Count()) * static_cast<size_t>(FFieldCount);
  if (FHeaders.size() - liveHeaders > liveHeaders / 2 + 64 || FPool.size() - liveParts > liveParts / 2 + 64)
    Compact();
  FWrittenPending = 0;
  FWrittenEmpty = false;

  // Without records nothing refers to any block: the directory starts again empty.
  const size_t freeCount = FMap.Count() == 0 ? 0 : FFree.size() + FPending.size();
  const size_t partsFrom = kFileHeaderSize + liveHeaders * kHeaderSize;
  FBlock.resize(partsFrom + (liveParts + freeCount) * kPartSize);
  uint8_t* b = FBlock.data();
  std::memset(b, 0, kFileHeaderSize);
  PutInt32(b + kFHBlockSize, FBlockSize);
  PutInt32(b + kFHFreePartCount, static_cast<int32_t>(freeCount));
  PutInt32(b + kFHFieldCount, FFieldCount);
  PutInt32(b + kFHRecordCount, FRecordCount);
  PutDouble(b + kFHVersion, FVersion);
  auto putPart = [](uint8_t* p, const TBLOBPart& Part) {
    PutInt32(p + kPartFirstBlock, Part.FirstBlock);
    PutInt32(p + kPartBlockCount, Part.BlockCount);
  };
  // Headers in map order, each header's parts after those of the headers before it.
  uint8_t* header = b + kFileHeaderSize;
  size_t partAt = partsFrom;
  for (int32_t r = 0; r < FMap.Count(); ++r) {
    for (int32_t k = 0; k < FFieldCount; ++k, header += kHeaderSize) {
      const TBLOBHeader& h = FHeaders[static_cast<size_t>(FMap[r] + k)];
      if (h.StoredSize <= 0 || h.PartCount <= 0) {
        std::memset(header, 0, kHeaderSize);
        continue;
      }
      std::memset(header, 0, kHeaderSize);
      PutInt32(header + kBHPartCount, h.PartCount);
      PutInt32(header + kBHPartsOffset, static_cast<int32_t>(partAt));
      PutInt32(header + kBHStoredSize, h.StoredSize);
      PutInt32(header + kBHSize, h.Size);
      std::memcpy(header + kBHCrc, h.Crc, kCrcBytes);
      const TBLOBPart* parts = FPool.data() + h.PartsAt;
      for (int32_t i = 0; i < h.PartCount; ++i, partAt += kPartSize) putPart(b + partAt, parts[i]);
    }
  }
  for (const TedBLOBPartsArray* list : {&FFree, &FPending}) {
    if (freeCount == 0) break;
    for (const TBLOBPart& part : *list) {
      putPart(b + partAt, part);
      partAt += kPartSize;
    }
  }
  return FBlock;
}

void TedBLOBDirectory::DirectoryWritten() {
  FWrittenPending = FPending.size();
  FWrittenEmpty = FMap.Count() == 0;
}

bool TedBLOBDirectory::DirectoryCommitted() {
  if (FWrittenEmpty && FMap.Count() == 0) {
    Clear();
    return true;
  }
  const auto released = FPending.begin() + static_cast<std::ptrdiff_t>(FWrittenPending);
  FFree.insert(FFree.end(), FPending.begin(), released);
  FPending.erase(FPending.begin(), released);
  FWrittenPending = 0;
  FWrittenEmpty = false;
  return false;
}

void TedBLOBDirectory::AddRecord() {
  FMap.Append(static_cast<int32_t>(FHeaders.size()));
  FHeaders.resize(FHeaders.size() + static_cast<size_t>(FFieldCount));
  ++FRecordCount;
}

void TedBLOBDirectory::DeleteRecord(int32_t RecNo) {
  for (int32_t k = 0; k < FFieldCount; ++k) FreeValue(Header(RecNo, k));
  const int32_t last = FMap.Count() - 1;
  FMap[RecNo] = FMap[last];
  FMap.SetCount(last);
  --FRecordCount;
}

void TedBLOBDirectory::FreeValue(TBLOBHeader& H) {
  if (H.PartCount > 0) {
    const TBLOBPart* parts = FPool.data() + H.PartsAt;
    FPending.insert(FPending.end(), parts, parts + H.PartCount);
  }
  H = TBLOBHeader{};
}

void TedBLOBDirectory::Allocate(TBLOBHeader& H, int32_t Blocks) {
  H.PartsAt = static_cast<int32_t>(FPool.size());
  int32_t needed = Blocks;
  while (needed > 0 && !FFree.empty()) {
    TBLOBPart& free = FFree.back();
    if (free.BlockCount > needed) {
      FPool.push_back(TBLOBPart{free.FirstBlock, needed});
      free.FirstBlock += needed;
      free.BlockCount -= needed;
      needed = 0;
    } else {
      FPool.push_back(free);
      needed -= free.BlockCount;
      FFree.pop_back();
    }
  }
  if (needed > 0) {
    FPool.push_back(TBLOBPart{FTotalBlocks, needed});
    FTotalBlocks += needed;
  }
  H.PartCount = static_cast<int32_t>(FPool.size()) - H.PartsAt;
}

}  // namespace tesvar::storage
