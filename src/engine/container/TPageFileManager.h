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
  // read-only.") and raises "Cannot create file \"<path>\"" when the host file cannot be created
  // or made durable. Opening first recovers an interrupted commit (TCFSHugeFile::Recover) and
  // raises its refusal's message (a read-only open of a container that needs a rollback, a
  // journal of another container). Opening an encrypted container derives the page key from
  // Password without checking it (VerifyPassword does; a wrong password gives a useless key). A
  // writable disk container runs in transactions: Flush commits.
  TPageFileManager(const std::string& FileName, uint16_t Mode, const std::string& Password,
                   const std::string& Question, const std::string& Answer, bool InMemory,
                   int32_t PageSizeKB, int32_t ExtentPageCount);
  ~TPageFileManager();
  TPageFileManager(const TPageFileManager&) = delete;
  TPageFileManager& operator=(const TPageFileManager&) = delete;

  int32_t PageDataSize() const { return FHeader.PageSize - kPageHeaderSize; }
  TContainerHeader& Header() { return FHeader; }
  const TContainerHeader& Header() const { return FHeader; }

  // Reads page PageNo in one host transfer: its header, then (Size != 0) Size bytes of data into
  // PageHeader.Data (Size -1 = the page data size, at most the page data size), verified by
  // DecodePage and, unless NoDecrypt, decrypted with Key (empty = the page key). False with
  // LastError cePageHeaderRead, cePageDataRead, cePageChecksum or cePageDecrypt on failure.
  // Raises "TPageFileManager.ReadPage - pData is nil." when data is wanted but Data is null.
  [[nodiscard]] bool ReadPage(TPageHeader& PageHeader, int32_t PageNo, bool NoDecrypt = false,
                              const std::string& Key = {}, int32_t Size = -1);
  // Writes page PageNo in one host transfer (a failed write leaves the stored page as it was):
  // encrypts the caller's data in place by PageHeader.EncryptionType (Key empty = the page key),
  // stores its checksum in PageHeader and writes header and Size data bytes (-1 = the page data
  // size); with no data (Data null or Size 0) the header alone, its checksum as given. False with
  // LastError cePageHeaderWrite (a read-only container included), cePageDataWrite or
  // cePageEncrypt; raises EncodePage's message for an unknown encryption type.
  [[nodiscard]] bool WritePage(TPageHeader& PageHeader, int32_t PageNo, const std::string& Key = {},
                               int32_t Size = -1);

  // The page codec, the one place that builds and checks stored pages (ReadPage and WritePage
  // here, the page runs of TPageRunIO). Arguments in the order of ReadPage / WritePage.
  //
  // Builds the stored image of a page at Image: the 32-byte header, then Size data bytes (0 ..
  // page data size). Data (left unchanged; apart from the image) is encrypted by
  // PageHeader.EncryptionType under Key (empty = the page key) and checksummed by
  // PageHeader.ChecksumKind; the checksum goes into the image and into PageHeader.Checksum. Data
  // null: a page of zeros, stored unencrypted. Size 0: the header alone, with PageHeader.Checksum
  // as given. False with LastError cePageEncrypt when there is no key or the cipher cannot be set
  // up; raises "TPageFileManager.EncodeBuffer - Unknown encryption type" for a type other than
  // etNone and etPageCipher.
  [[nodiscard]] bool EncodePage(uint8_t* Image, TPageHeader& PageHeader, const uint8_t* Data,
                                const std::string& Key, int32_t Size);
  // Reads a stored image: PageHeader from its header (its Data pointer untouched), the Size data
  // bytes verified against the checksum (kinds other than 0 and 1 always match) and, unless
  // NoDecrypt, decrypted under Key (empty = the page key), into Data. Data lies apart from the
  // image's data or at or below it (an image read into its own destination); the image may be
  // changed. False with LastError cePageChecksum, or cePageDecrypt for an encryption type other
  // than etNone and etPageCipher, a missing key or a cipher that cannot be set up; Data is
  // undefined then.
  [[nodiscard]] bool DecodePage(uint8_t* Image, TPageHeader& PageHeader, uint8_t* Data, bool NoDecrypt,
                                const std::string& Key, int32_t Size);
  // Host transfers of page images: Bytes bytes at page PageNo's place from / into Images. They
  // return the bytes moved: 0 for a page outside the container (or, writing, for a read-only
  // container), less than Bytes when the host stops short.
  [[nodiscard]] int64_t WriteImages(int32_t PageNo, const uint8_t* Images, int64_t Bytes);
  [[nodiscard]] int64_t ReadImages(int32_t PageNo, uint8_t* Images, int64_t Bytes);
  // ReadImages in the background (TCFSHugeFile::StartReadAt): Images must stay valid and
  // untouched until FinishReadImages(Images); that returns the bytes ReadImages would have given,
  // or -1 when the transfer failed or no longer counts (the host file changed meanwhile).
  void StartReadImages(int32_t PageNo, uint8_t* Images, int64_t Bytes);
  [[nodiscard]] int64_t FinishReadImages(const uint8_t* Images);
  // The error of a transfer that stopped short at byte Moved of a page's image.
  static TContainerError ShortReadError(int64_t Moved) {
    return Moved < kPageHeaderSize ? cePageHeaderRead : cePageDataRead;
  }
  static TContainerError ShortWriteError(int64_t Moved) {
    return Moved < kPageHeaderSize ? cePageHeaderWrite : cePageDataWrite;
  }

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
  // Writes the host file's data through to the device. False when a part did not; a read-only
  // container has nothing to write through and gives true without asking the host (which may
  // refuse to flush a handle opened for reading).
  [[nodiscard]] bool Flush();
  void Close();
  // Moves the host file between memory and disk (TCFSHugeFile::SetInMemory), committing what is
  // pending first. False, still where it was, when the commit or the switch fails.
  [[nodiscard]] bool SetInMemory(bool Value);
  // The header stored in FileName, read without opening the container (no recovery: the fields a
  // probe reads, the password block and the encryption type, are the same before and after an
  // interrupted commit). Raises the open's header messages.
  static TContainerHeader StoredHeader(const std::string& FileName);

private:
  // Reads and checks the header at the start of File's logical space; raises the corrupted-header
  // message.
  static TContainerHeader readHeader(TCFSHugeFile& File);

  std::string FFileName;
  bool FInMemory = false;
  TContainerHeader FHeader;
  bool FReadOnly = false;
  bool FExclusive = false;
  std::string FPageKey;
  std::string FPassword;
  int32_t FLastError = 0;
  std::unique_ptr<TCFSHugeFile> FFile;
  // The cached cipher for Key (empty = the page key), owned here; null when there is no key or
  // its key schedule cannot be set up.
  codec::TCipher_Rijndael* Cipher(const std::string& Key) noexcept;

  std::vector<uint8_t> FPageImage;  // page image of ReadPage / WritePage (header and data, one transfer)
  struct CipherCache;
  std::unique_ptr<CipherCache> FCiphers;  // cipher objects per key string, reused across pages
};

}  // namespace tesvar::container
