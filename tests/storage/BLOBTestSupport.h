#pragma once
// BLOB tests: a table with two BLOB fields in every store mode, records inserted the way the
// dataset layer does (header group, values, then the record), values moved through streams, and
// the table's stored files read and changed through the database's plain file system.

#include "StorageTestSupport.h"
#include "codec/EdbCompress.h"
#include "storage/BLOBFormat.h"
#include "toolkit/TMemoryStream.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace tesvar::storagetest {

// Name (string of 20), Notes (memo), Pic (graphic), Num (integer).
inline TFieldDefs blobFields() {
  return {{"Name", ftString, 20, false}, {"Notes", ftMemo, 0, false}, {"Pic", ftGraphic, 0, false},
          {"Num", ftInteger, 0, false}};
}
inline constexpr int32_t kNotes = 1;
inline constexpr int32_t kPic = 2;

// n bytes that do not compress (a linear congruential sequence from Seed).
inline std::vector<uint8_t> noise(size_t n, uint32_t Seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = Seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return v;
}
// n bytes of repetitive text.
inline std::vector<uint8_t> text(size_t n) {
  const std::string line = "Диск 12: сборник программ и драйверов, описание и заметки. ";
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(line[i % line.size()]);
  return v;
}

// A store and a BLOB compression level.
struct TLevelCase {
  TStoreCase Store;
  uint8_t Level;
};
// Every store with each of Levels.
inline std::vector<TLevelCase> levelCases(std::initializer_list<uint8_t> Levels) {
  std::vector<TLevelCase> cases;
  for (const TStoreCase& s : allStoreCases())
    for (uint8_t level : Levels) cases.push_back({s, level});
  return cases;
}
inline std::string levelCaseName(const TLevelCase& c) { return caseName(c.Store) + "Level" + std::to_string(c.Level); }

class TBlobEnv : public TTableEnv {
public:
  TBlobEnv(TStoreCase Case, uint8_t Level, std::string Table = "T") : TTableEnv(Case, std::move(Table)) {
    FDataset.Compression = Level;
  }

  void CreateBlobTable() { Create(blobFields()); }

  // Inserts a record named Name with the given Notes and Pic values (empty: none), as a post
  // does: the header group, the values for the record about to be appended, then the record.
  int32_t Add(const std::string& Name, const std::vector<uint8_t>& Notes = {}, const std::vector<uint8_t>& Pic = {}) {
    std::vector<uint8_t> r = FManager->NewRecordBuffer();
    std::memcpy(r.data(), Name.data(), std::min<size_t>(Name.size(), 20));
    r[static_cast<size_t>(FManager->DataSize() + 4)] &= 0xFE;
    const int32_t recNo = FManager->RecordCount();
    FManager->DisableAutoFlush();
    FManager->edAddBLOBRecord();
    Write(recNo, kNotes, Notes);
    Write(recNo, kPic, Pic);
    FManager->edInsertRecord(r.data(), 0);
    FManager->EnableAutoFlush(true);
    return recNo;
  }
  // Deletes a record with its values, as the dataset layer does.
  void Remove(int32_t RecNo) {
    FManager->edDeleteBLOBRecord(RecNo);
    FManager->edDeleteRecord(0, RecNo);
  }
  void Write(int32_t RecNo, int32_t FieldNo, const std::vector<uint8_t>& Bytes) {
    toolkit::TMemoryStream stream(Bytes);
    stream.SetPosition(static_cast<int64_t>(Bytes.size()));  // the write reads from position 0
    FManager->WriteBLOBValue(stream, FieldNo, RecNo);
  }
  std::vector<uint8_t> Read(int32_t RecNo, int32_t FieldNo) {
    toolkit::TMemoryStream stream(std::vector<uint8_t>{1, 2, 3});
    FManager->ReadBLOBValue(stream, FieldNo, RecNo);
    if (stream.Position() != 0) throw tesvar::Exception("the stream is not at position 0");
    return stream.Bytes();
  }
  // Blocks of a value (the sum over its parts).
  int32_t BlocksOf(int32_t RecNo, int32_t FieldNo) {
    const storage::TedBLOBDirectory& d = FManager->BLOBDirectory();
    const storage::TBLOBHeader& h = HeaderOf(RecNo, FieldNo);
    int32_t blocks = 0;
    for (int32_t i = 0; i < h.PartCount; ++i) blocks += d.Parts(h)[i].BlockCount;
    return blocks;
  }
  const storage::TBLOBHeader& HeaderOf(int32_t RecNo, int32_t FieldNo) {
    return FManager->BLOBDirectory().Header(RecNo, FieldNo == kNotes ? 0 : 1);
  }

  pfs::TFileStoreMode FileMode() const {
    return FDataset.Temp ? pfs::fsmTemporary : FDataset.Memory ? pfs::fsmInMemory : pfs::fsmDefault;
  }
  // The stored bytes of a file of the (closed) table.
  std::vector<uint8_t> FileBytes(const std::string& Extension) {
    std::vector<uint8_t> bytes;
    ChangeFile(Extension, [&bytes](std::vector<uint8_t>& b) {
      bytes = b;
      return false;
    });
    return bytes;
  }
  // Hands the stored bytes of a file of the (closed) table to Change, and stores them again when
  // it returns true.
  void ChangeFile(const std::string& Extension, const std::function<bool(std::vector<uint8_t>&)>& Change) {
    FDatabase->OpenStore();
    pfs::TAbstractFile& f = FDatabase->OpenFile(FTable + Extension, FileMode(), false, false, false);
    std::vector<uint8_t> b(static_cast<size_t>(f.GetSize()));
    f.SetPosition(0);
    f.ReadBuffer(b.data(), static_cast<int64_t>(b.size()));
    if (Change(b)) {
      f.SetSize(0);
      f.SetPosition(0);
      f.WriteBuffer(b.data(), static_cast<int64_t>(b.size()));
    }
    FDatabase->CloseFile(f);
    FDatabase->CloseStore();
  }
  // The decompressed directory block of T.bif.
  std::vector<uint8_t> DirectoryBlock() { return DirectoryBlockOf(FileBytes(".bif")); }
  // The directory block of the bytes of a T.bif.
  static std::vector<uint8_t> DirectoryBlockOf(const std::vector<uint8_t>& file) {
    if (file.size() < 4) throw tesvar::Exception("T.bif is too short");
    const int32_t length = GetInt32(file.data());
    std::vector<uint8_t> block;
    int32_t produced = length;
    if (!codec::edDecompressBuffer(file.data() + 4, static_cast<int32_t>(file.size()) - 4, block, codec::clFastest,
                                   produced) ||
        produced != length)
      throw tesvar::Exception("T.bif does not decompress");
    return block;
  }
};

}  // namespace tesvar::storagetest
