// BLOB storage of the table manager: values in the blocks of T.bdf, the directory in T.bif.

#include "storage/TEdbDataManager.h"

#include "codec/Checksums.h"
#include "codec/EdbCompress.h"
#include "platform/Exception.h"
#include "storage/BLOBFormat.h"
#include "storage/TEdbDataManager_internal.h"
#include "storage/TableFormat.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tesvar::storage {

using namespace blobformat;

namespace {

const std::string kWrite = "Error in TEdbDataManager.edWriteBLOBValue - ";
const std::string kRead = "Error in TEdbDataManager.edReadBLOBValue - ";

// Bytes of T.bdf a read-only table reads at once (512 values of one 512-byte block): reading
// the values in block order costs one file read per window.
constexpr int64_t kBdfWindowSize = int64_t{256} << 10;
// A value read keeps its buffers for the next one up to this size; a larger one frees them.
constexpr size_t kKeptReadBuffer = size_t{4} << 20;

}  // namespace

bool TEdbDataManager::IsStreamGraphic(toolkit::TMemoryStream& Stream) {
  bool graphic = false;
  if (Stream.Size() >= kGraphicMinSize) {
    uint8_t head[kGraphicMinSize];
    Stream.SetPosition(0);
    graphic = Stream.Read(head, sizeof head) == sizeof head &&
              std::memcmp(head, kGraphicSignature, sizeof kGraphicSignature) == 0 &&
              std::memcmp(head + kGraphicHeaderSize, kBitmapSignature, sizeof kBitmapSignature) == 0;
  }
  Stream.SetPosition(0);
  return graphic;
}

int32_t TEdbDataManager::BLOBFieldIndex(const char* Call, int32_t FieldNo, int32_t RecNo) const {
  const bool valid = FOpen && FieldNo >= 0 && static_cast<size_t>(FieldNo) < FBLOBFieldIndex.size() &&
                     FBLOBFieldIndex[static_cast<size_t>(FieldNo)] >= 0 && RecNo >= 0 &&
                     RecNo < FBLOBs.MapCount();
  if (!valid)
    throw Exception(std::string("TEdbDataManager.") + Call + " - invalid field or record number (FieldNo = " +
                    std::to_string(FieldNo) + ", RecNo = " + std::to_string(RecNo) + ").");
  return FBLOBFieldIndex[static_cast<size_t>(FieldNo)];
}

void TEdbDataManager::WriteBLOBValue(toolkit::TMemoryStream& Stream, int32_t FieldNo, int32_t RecNo) {
  const int32_t k = BLOBFieldIndex("WriteBLOBValue", FieldNo, RecNo);
  if (FReadOnly) throw Exception("TEdbDataManager.WriteBLOBValue - table \"" + FTableName + "\" is read only.");
  if (Stream.Size() == 0) {
    DeleteBLOBValue(FieldNo, RecNo);
    return;
  }
  const int64_t skip = IsStreamGraphic(Stream) ? kGraphicHeaderSize : 0;
  const int64_t length = Stream.Size() - skip;
  if (length > std::numeric_limits<int32_t>::max() / 2)
    throw Exception(kWrite + "the value of " + std::to_string(length) + " bytes is too large.");
  const auto size = static_cast<int32_t>(length);
  const uint8_t* data = Stream.Bytes().data() + skip;

  // The new value is made ready before the one it replaces is freed: a failure keeps the old one.
  TBLOBHeader header;
  header.Size = size;
  try {
    PutShortString(header.Crc, codec::THash_CRC32::CalcBuffer(data, static_cast<size_t>(size)).substr(0, kCrcCapacity),
                   kCrcCapacity);
  } catch (const std::exception&) {
    throw Exception(kWrite + "crc calc error");
  }
  std::vector<uint8_t> packed;
  const uint8_t level = FTableHeader.BLOBCompression;
  int32_t storedSize = size;
  if (level != codec::clNone) {
    bool packedOk = false;
    try {
      packedOk = codec::edCompressBuffer(data, size, packed, level, storedSize);
    } catch (const std::exception&) {
      packedOk = false;
    }
    if (!packedOk)
      throw Exception(kWrite + "edCompress compressing error! mode = " + std::to_string(level) +
                      ", tSize = " + std::to_string(size) + ", hSize = " + std::to_string(storedSize));
    data = packed.data();
  }
  const int32_t blocks = static_cast<int32_t>((static_cast<int64_t>(storedSize) + FBLOBBlockSize - 1) / FBLOBBlockSize);
  const size_t bufferSize = static_cast<size_t>(blocks) * static_cast<size_t>(FBLOBBlockSize);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[bufferSize]);
  std::memcpy(buffer.get(), data, static_cast<size_t>(storedSize));
  std::memset(buffer.get() + storedSize, 0, bufferSize - static_cast<size_t>(storedSize));
  if (FTableHeader.Encrypted) {
    if (FPassword.empty()) throw Exception(kWrite + "no password specified.");
    try {
      Cipher().EncodeBuffer(buffer.get(), buffer.get(), static_cast<size_t>(storedSize));
    } catch (const std::exception&) {
      throw Exception(kWrite + "encoding error.");
    }
  }
  header.StoredSize = storedSize;

  TBLOBHeader& h = FBLOBs.Header(RecNo, k);
  FBLOBs.FreeValue(h);
  h = header;
  FBLOBs.Allocate(h, blocks);
  FBLOBHeadersChanged = true;
  FLog->LogWrite(TedBufferLogArray::kBLOBEntry, std::move(buffer), h.PartCount, FBLOBs.Parts(h), RecNo,
                 static_cast<int32_t>(bufferSize));
  FlushIfDue();
}

const uint8_t* TEdbDataManager::WindowBdf(int64_t Offset, int64_t Bytes) {
  if (Offset < FBdfWindowStart || Offset + Bytes > FBdfWindowStart + FBdfWindowBytes) {
    FBdfWindowBytes = 0;
    FBdfWindow.resize(static_cast<size_t>(kBdfWindowSize));
    if (FBdfFile->Seek(Offset, platform::SeekOrigin::Begin) < 0) return nullptr;
    const int64_t read = FBdfFile->Read(FBdfWindow.data(), kBdfWindowSize);
    if (read < Bytes) return nullptr;
    FBdfWindowStart = Offset;
    FBdfWindowBytes = read;
  }
  return FBdfWindow.data() + (Offset - FBdfWindowStart);
}

bool TEdbDataManager::ReadBdf(int64_t Offset, int64_t Bytes, uint8_t* Dest) {
  if (!(FReadOnly && Bytes <= kBdfWindowSize))
    return FBdfFile->Seek(Offset, platform::SeekOrigin::Begin) >= 0 && FBdfFile->Read(Dest, Bytes) == Bytes;
  const uint8_t* bytes = WindowBdf(Offset, Bytes);
  if (!bytes) return false;
  std::memcpy(Dest, bytes, static_cast<size_t>(Bytes));
  return true;
}

void TEdbDataManager::ReadBLOBValue(toolkit::TMemoryStream& Stream, int32_t FieldNo, int32_t RecNo) {
  Stream.Clear();
  const int32_t k = BLOBFieldIndex("ReadBLOBValue", FieldNo, RecNo);
  const TBLOBHeader header = FBLOBs.Header(RecNo, k);
  if (!header.HasValue()) return;
  // Only the blocks need to be in T.bdf; the directory follows with the next flush.
  if (FLog->BLOBCount() > 0) FLog->FlushBuffers();

  const TBLOBPart* parts = FBLOBs.Parts(header);
  int64_t total = 0;
  for (int32_t i = 0; i < header.PartCount; ++i) total += static_cast<int64_t>(parts[i].BlockCount) * FBLOBBlockSize;
  if (header.StoredSize <= 0 || header.StoredSize > total || header.Size < 0) throw Exception(kRead + "crc error");
  // A value of one run of blocks that nothing changes in place is used where the read window
  // holds it; the others are gathered in the scratch buffer, reused from value to value.
  const uint8_t* stored = nullptr;
  std::unique_ptr<uint8_t[]> large;
  if (header.PartCount == 1 && !FTableHeader.Encrypted && FReadOnly && total <= kBdfWindowSize) {
    stored = WindowBdf(static_cast<int64_t>(parts[0].FirstBlock) * FBLOBBlockSize, total);
    if (!stored) throw Exception(kRead + "blob data is missing.");
  } else {
    uint8_t* scratch = nullptr;
    if (static_cast<size_t>(total) > kKeptReadBuffer) {
      large.reset(new uint8_t[static_cast<size_t>(total)]);
      scratch = large.get();
    } else {
      if (FBLOBScratchSize < static_cast<size_t>(total)) {
        FBLOBScratch.reset(new uint8_t[static_cast<size_t>(total)]);
        FBLOBScratchSize = static_cast<size_t>(total);
      }
      scratch = FBLOBScratch.get();
    }
    uint8_t* at = scratch;
    for (int32_t i = 0; i < header.PartCount; ++i) {
      const int64_t bytes = static_cast<int64_t>(parts[i].BlockCount) * FBLOBBlockSize;
      if (!ReadBdf(static_cast<int64_t>(parts[i].FirstBlock) * FBLOBBlockSize, bytes, at))
        throw Exception(kRead + "blob data is missing.");
      at += bytes;
    }
    if (FTableHeader.Encrypted) {
      if (FPassword.empty()) throw Exception(kRead + "no password specified.");
      try {
        Cipher().DecodeBuffer(scratch, scratch, static_cast<size_t>(header.StoredSize));
      } catch (const std::exception&) {
        throw Exception(kRead + "decoding error.");
      }
    }
    stored = scratch;
  }
  const uint8_t level = FTableHeader.BLOBCompression;
  const uint8_t* value = stored;
  if (level != codec::clNone) {
    int32_t produced = header.Size;
    bool unpackedOk = false;
    try {
      unpackedOk = codec::edDecompressBuffer(stored, header.StoredSize, FBLOBUnpacked, level, produced);
    } catch (const std::exception&) {
      unpackedOk = false;
    }
    if (!unpackedOk || produced != header.Size || FBLOBUnpacked.size() < static_cast<size_t>(header.Size))
      throw Exception(kRead + "decompressing error, mode=" + std::to_string(level) + ".");
    value = FBLOBUnpacked.data();
  } else if (header.Size != header.StoredSize) {
    throw Exception(kRead + "crc error");
  }
  uint8_t crc[kCrcBytes];
  PutShortString(crc, codec::THash_CRC32::CalcBuffer(value, static_cast<size_t>(header.Size)).substr(0, kCrcCapacity),
                 kCrcCapacity);
  if (GetShortString(crc, kCrcCapacity) != header.CrcText()) throw Exception(kRead + "crc error");
  Stream.Write(value, static_cast<size_t>(header.Size));
  Stream.SetPosition(0);
  if (FBLOBUnpacked.capacity() > kKeptReadBuffer) std::vector<uint8_t>().swap(FBLOBUnpacked);
}

void TEdbDataManager::DeleteBLOBValue(int32_t FieldNo, int32_t RecNo) {
  if (FBLOBs.MapCount() == 0) return;
  const int32_t k = BLOBFieldIndex("DeleteBLOBValue", FieldNo, RecNo);
  TBLOBHeader& h = FBLOBs.Header(RecNo, k);
  if (!h.HasValue() && h.StoredSize == 0 && h.Size == 0) return;
  FBLOBs.FreeValue(h);
  FBLOBHeadersChanged = true;
}

void TEdbDataManager::edAddBLOBRecord() {
  if (FBLOBs.MapCount() != FBLOBs.RecordCount())
    throw Exception("TEdbDataManager.edAddBLOBRecord - blobMap.ItemCount <> blobFileHeader.RecordCount");
  FBLOBs.AddRecord();
  FBLOBHeadersChanged = true;
}

void TEdbDataManager::edDeleteBLOBRecord(int32_t RecNo) {
  if (FBLOBs.MapCount() == 0) return;
  if (RecNo < 0 || RecNo >= FBLOBs.MapCount())
    throw Exception("TEdbDataManager.edDeleteBLOBRecord - invalid record number " + std::to_string(RecNo) + ".");
  FBLOBs.DeleteRecord(RecNo);
  FBLOBHeadersChanged = true;
}

void TEdbDataManager::TrimBLOBRecords() {
  while (FBLOBs.MapCount() > FTableHeader.RecordCount) FBLOBs.DeleteRecord(FBLOBs.MapCount() - 1);
  while (FBLOBs.MapCount() < FTableHeader.RecordCount) FBLOBs.AddRecord();
  FBLOBHeadersChanged = true;
  ++FTableHeader.ChangeCount;
  FlushBuffers();
}

void TEdbDataManager::SaveBLOBHeaders(bool Force) {
  if (!Force && (FReadOnly || !FHasBLOBs)) return;
  // Without records the directory is written empty and T.bdf is cut when it is committed; the
  // log's blocks go first so that none of them lands behind the cut.
  if (FBLOBs.MapCount() == 0 && FLog && FLog->BLOBCount() > 0) FLog->FlushBuffers();
  const std::vector<uint8_t>& block = FBLOBs.Serialize();
  std::vector<uint8_t> packed;
  int32_t packedSize = 0;
  if (!codec::edCompressBuffer(block.data(), static_cast<int32_t>(block.size()), packed, codec::clFastest, packedSize))
    throw Exception("TEdbDataManager.SaveBLOBHeaders - cannot compress the BLOB directory.");
  // One write from the start, the size set after it: a write that fails leaves the file as it
  // was (a longer file keeps its old length word and stream, a shorter one gains ignored bytes).
  std::vector<uint8_t> file(static_cast<size_t>(kLengthPrefixSize) + static_cast<size_t>(packedSize));
  PutInt32(file.data(), static_cast<int32_t>(block.size()));
  std::memcpy(file.data() + kLengthPrefixSize, packed.data(), static_cast<size_t>(packedSize));
  FBifFile->SetPosition(0);
  FBifFile->WriteBuffer(file.data(), static_cast<int64_t>(file.size()));
  if (FBifFile->GetSize() != static_cast<int64_t>(file.size())) FBifFile->SetSize(static_cast<int64_t>(file.size()));
  FBLOBs.DirectoryWritten();
  FBLOBHeadersChanged = false;
}

void TEdbDataManager::LoadBLOBHeaders() {
  const double version = FTableHeader.Version;
  if (version >= kUncompressedDirectoryVersion && version < kCompressedDirectoryVersion)
    throw Exception("Error in TEdbDataManager.LoadBLOBHeaders - this table format is not supported, version = " +
                    detail::fixed2(version));
  const int64_t size = FBifFile->GetSize();
  if (size < 0 || size > std::numeric_limits<int32_t>::max())
    throw Exception("TEdbDataManager.LoadBLOBHeaders - file \"" + FileName(kBifExt) + "\" cannot be read.");
  std::vector<uint8_t> file(static_cast<size_t>(size));
  FBifFile->SetPosition(0);
  if (size > 0) FBifFile->ReadBuffer(file.data(), size);
  const int32_t fieldCount = static_cast<int32_t>(
      std::count_if(FBLOBFieldIndex.begin(), FBLOBFieldIndex.end(), [](int32_t k) { return k >= 0; }));
  const int64_t dataBytes = FBdfFile->GetSize();
  if (version < kUncompressedDirectoryVersion) {
    FBLOBs.Parse(file.data(), file.size(), fieldCount, dataBytes);
  } else {
    const int32_t length = size >= kLengthPrefixSize ? GetInt32(file.data()) : 0;
    std::vector<uint8_t> block;
    int32_t produced = length;
    if (length < kFileHeaderSize ||
        !codec::edDecompressBuffer(file.data() + kLengthPrefixSize, static_cast<int32_t>(size) - kLengthPrefixSize,
                                   block, codec::clFastest, produced) ||
        produced < length)
      throw Exception("TEdbDataManager.LoadBLOBHeaders - cannot decompress the BLOB directory.");
    FBLOBs.Parse(block.data(), static_cast<size_t>(length), fieldCount, dataBytes);
  }
  FBLOBBlockSize = FBLOBs.BlockSize();
  FBLOBHeadersChanged = false;
}

}  // namespace tesvar::storage
