#pragma once
// The page file: divides a container's logical byte space (held by TCFSHugeFile) into pages,
// keeps the container header in page 0, verifies the password and reads and writes single
// pages with their checksum and optional encryption.

#include "container/ContainerFormat.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::codec {
class TCipher_Rijndael;
}

namespace tesvar::container {

class TCFSHugeFile;

// In-memory image of the 256-byte container header.
struct TContainerHeader {
  float Version = 1.2f;
  int32_t PageSize = 0;
  int32_t ExtentPageCount = 0;
  int32_t ReservedPageCount = 0;
  int32_t GAMPageCount = 0;
  int32_t PFSPageCount = 0;
  int32_t DirPageCount = 0;
  int32_t FirstDirPageNo = 0;
  int32_t DirItemCount = 0;
  int32_t PageCount = 0;
  uint8_t PasswordBlock[kPasswordBlockSize] = {};
  uint8_t EncryptionType = etNone;
};

// The 32-byte page header plus a reference to the caller's data buffer (not owned).
struct TPageHeader {
  int32_t NextPageNo = -1;
  uint32_t Checksum = 0;
  uint8_t PageType = 0;
  uint8_t EncryptionType = etNone;
  uint8_t ChecksumKind = 0;
  uint8_t* Data = nullptr;
};

class TPageFileManager {
public:
  // Mode kModeCreate (0xFFFF) creates a new container (deleting any part files of that name);
  // any other mode opens an existing one. Read-only when (Mode & 3) == 0; host files opened
  // without sharing when (Mode & 0x10) != 0 (and when creating), with full sharing otherwise.
  // Raises tesvar::Exception with the container's messages on bad parameters (a page size outside
  // kMinPageSizeKB..kMaxPageSizeKB, an extent page count outside 1..MaxExtentPageCount), a
  // missing or damaged file ("File <name> has corrupted header.", "TContainerFileSystem.LoadHeader
  // - Invalid CFS file, header is corrupted." also for a page size Create does not accept, an
  // unknown encryption type and counts that do not fit the container), a truncated file opened
  // for writing ("TContainerFileSystem.LoadHeader - CFS file is truncated, it can only be opened
  // read-only.") and raises "Cannot create file \"<path>\"" when the host file cannot be created. Opening an encrypted container derives the page key from Password without
  // checking it (VerifyPassword does; a wrong password gives a useless key).
  TPageFileManager(const std::string& FileName, uint16_t Mode, const std::string& Password,
                   const std::string& Question, const std::string& Answer, bool InMemory,
                   int32_t PageSizeKB, int32_t ExtentPageCount);
  ~TPageFileManager();
  TPageFileManager(const TPageFileManager&) = delete;
  TPageFileManager& operator=(const TPageFileManager&) = delete;

  int32_t PageDataSize() const { return FHeader.PageSize - kPageHeaderSize; }
  TContainerHeader& Header() { return FHeader; }
  const TContainerHeader& Header() const { return FHeader; }

  // Reads page PageNo: its header, then (Size != 0) Size bytes of data into PageHeader.Data
  // (Size -1 = the page data size), verifies the checksum and, unless NoDecrypt, decrypts with
  // Key (empty = the page key). False with LastError() set to -7, -9, -11 or -12 on failure.
  // Raises "TPageFileManager.ReadPage - pData is nil." when data is wanted but Data is null.
  bool ReadPage(TPageHeader& PageHeader, int32_t PageNo, bool NoDecrypt = false,
                const std::string& Key = {}, int32_t Size = -1);
  // Encrypts the caller's data in place by PageHeader.EncryptionType (Key empty = page key),
  // stores its checksum in PageHeader and writes header and data. False with LastError() -8,
  // -10 or -13 on failure.
  bool WritePage(TPageHeader& PageHeader, int32_t PageNo, const std::string& Key = {},
                 int32_t Size = -1);
  // Writes the 256-byte header (with its checksum) unless read-only.
  void SaveHeader();
  // Grows the container by Count pages and saves the header; false on any failure.
  bool AddPages(int32_t Count);
  // Bytes available for growth: the free heap in memory, else the free space of the drive.
  int64_t GetFreeSpace() const;
  // The host file size the header's pages need (the header alone while PageCount is 1); a shorter
  // host file is truncated: it lost pages.
  int64_t NeededHostSize() const;
  bool Truncated() const;
  // Pages the host file holds, whole or in part: PageCount unless it is truncated.
  int32_t StoredPageCount() const;

  // Password check against a password block: spends more than 255 ms of platform::Clock() on
  // repeated decryption first. An empty password fails at once; otherwise Key receives the
  // 33-byte key derived from Password (32 key bytes and a zero byte), which is useless when the
  // result is false.
  static bool VerifyPassword(const std::string& Password, const uint8_t* PasswordBlock,
                             std::string* Key);
  // The same check without the delay: decrypts the page key and compares its CRC. For callers
  // that have verified the password already (opening a container after its password check).
  static bool DecodePageKey(const std::string& Password, const uint8_t* PasswordBlock, std::string* Key);
  // Builds a password block for Password (not empty; with Question and Answer both given, the
  // question area too) around 32 fresh random key bytes in 1..254; raises "Password length should
  // be shorter then 32" / "Question length should be shorter then 100". Key receives the page key.
  static void BuildPasswordBlock(const std::string& Password, const std::string& Question,
                                 const std::string& Answer, uint8_t* PasswordBlock, std::string* Key);

  // The 32-byte page header image (other fields and the reserved bytes zero) and back.
  static void EncodePageHeader(const TPageHeader& PageHeader, uint8_t* Out);
  static void DecodePageHeader(const uint8_t* In, TPageHeader& PageHeader);
  // The cached cipher for Key (empty = the page key); null when there is no key. Owned by the
  // page file; valid until the next call with a different key.
  codec::TCipher_Rijndael* Cipher(const std::string& Key);

  const std::string& PageKey() const { return FPageKey; }
  void SetPageKey(const std::string& Key);
  const std::string& Password() const { return FPassword; }
  const std::string& FileName() const { return FFileName; }
  bool ReadOnly() const { return FReadOnly; }
  bool Exclusive() const { return FExclusive; }
  bool InMemory() const { return FInMemory; }
  int32_t LastError() const { return FLastError; }
  void SetLastError(int32_t Code) { FLastError = Code; }

  TCFSHugeFile& HostFile() { return *FFile; }
  bool RenameFile(const std::string& NewName);
  // TCFSHugeFile::DeleteFiles.
  bool DeleteFiles(bool Quick = false);
  void Flush();
  void Close();
  void SetInMemory(bool Value);

private:
  std::string FFileName;
  bool FInMemory = false;
  TContainerHeader FHeader;
  bool FReadOnly = false;
  bool FExclusive = false;
  std::string FPageKey;
  std::string FPassword;
  int32_t FLastError = 0;
  std::unique_ptr<TCFSHugeFile> FFile;
  std::vector<uint8_t> FWriteBuffer;  // page image of WritePage (header and data, one transfer)
  struct CipherCache;
  std::unique_ptr<CipherCache> FCiphers;  // cipher objects per key string, reused across pages
};

}  // namespace tesvar::container
