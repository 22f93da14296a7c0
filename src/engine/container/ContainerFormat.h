#pragma once
// Byte layout of the .edb container file. All integers little-endian; counts signed 32-bit.
//
// Part file (every host file of the chain):
//   0    8   signature "EDMVHFSS"
//   8    8   maximum part size in bytes (int64, header included): 2147483647
//   16   261 file name of the next part (no directory), NUL-terminated; zero in the last part
//   277  3   zero
//   280  ... (maximum part size - 280) bytes of the logical space
//
// Logical space: pages of PageSize bytes; page N at N * PageSize.
// Page 0, container header (first 256 bytes; the rest of page 0 is unused):
//   0    8   signature "EDCFSSGN"
//   8    4   checksum: XOR of the 61 dwords at 12..255
//   12   4   format version, float 1.2 (0x3F99999A)
//   16   4   PageSize          20  4  ExtentPageCount     24  4  ReservedPageCount (1)
//   28   4   GAMPageCount      32  4  PFSPageCount        36  4  DirPageCount
//   40   4   FirstDirPageNo    44  4  DirItemCount        48  4  PageCount
//   52   172 password block    224 1  EncryptionType      225 31 zero
// Password block (172 bytes; also per directory item):
//   0    32  page key bytes (each 1..254), encrypted with the password
//   32   32  password copy encrypted with the answer (zero: no question)
//   64   4   CRC-16/ARC of the plain key bytes
//   68   4   CRC-16/ARC of the plain password area (zero: no question)
//   72   100 question, encrypted with the fixed engine key (zero: no question)
// Page header (32 bytes before the data of every page but page 0):
//   0    4   next page in a chain, -1 none
//   4    4   checksum of the stored (encrypted) data bytes
//   8    1   page type     9  1  encryption type     10  1  checksum kind     11  21  zero

#include <cstdint>
#include <string>

namespace tesvar::container {

// Part files.
inline constexpr char kPartSignature[8] = {'E', 'D', 'M', 'V', 'H', 'F', 'S', 'S'};
inline constexpr int64_t kPartHeaderSize = 280;
inline constexpr int64_t kPartMaxSizeDefault = 2147483647;
inline constexpr int kPartNextNameOffset = 16;
inline constexpr int kPartNextNameSize = 261;

// Container header.
inline constexpr char kContainerSignature[8] = {'E', 'D', 'C', 'F', 'S', 'S', 'G', 'N'};
inline constexpr int kContainerHeaderSize = 256;
inline constexpr uint32_t kContainerVersionBits = 0x3F99999A;  // 1.2f
inline constexpr int kHeaderChecksumOffset = 8;
inline constexpr int kHeaderChecksummedOffset = 12;            // dwords 12..255
inline constexpr int kHeaderVersionOffset = 12;
inline constexpr int kHeaderPageSizeOffset = 16;
inline constexpr int kHeaderExtentPageCountOffset = 20;
inline constexpr int kHeaderReservedPageCountOffset = 24;
inline constexpr int kHeaderGAMPageCountOffset = 28;
inline constexpr int kHeaderPFSPageCountOffset = 32;
inline constexpr int kHeaderDirPageCountOffset = 36;
inline constexpr int kHeaderFirstDirPageNoOffset = 40;
inline constexpr int kHeaderDirItemCountOffset = 44;
inline constexpr int kHeaderPageCountOffset = 48;
inline constexpr int kHeaderPasswordBlockOffset = 52;
inline constexpr int kHeaderEncryptionTypeOffset = 224;
inline constexpr int32_t kBytesPerKB = 1024;                   // PageSize = page size in KB * 1024

// Start-offset scan of a first part stored behind foreign bytes: the file is read in blocks of
// kStartOffsetScanBlock bytes for the part signature's first kStartOffsetScanMarkSize bytes
// ("EDMV"); a place counts only with at least kStartOffsetScanMinTail bytes from it to the end of
// the file (the part header and the container signature behind it). Blocks overlap by
// kStartOffsetScanMarkSize - 1 bytes, so that a mark across a block edge is found.
inline constexpr int64_t kStartOffsetScanBlock = 65535;
inline constexpr int kStartOffsetScanMarkSize = 4;
inline constexpr int64_t kStartOffsetScanMinTail = kPartHeaderSize + sizeof kContainerSignature;  // 288

// Password block.
inline constexpr int kPasswordBlockSize = 172;
inline constexpr int kPageKeyBytes = 32;
inline constexpr int kPasswordAreaOffset = 32;
inline constexpr int kKeyCrcOffset = 64;
inline constexpr int kPasswordCrcOffset = 68;
inline constexpr int kQuestionOffset = 72;
inline constexpr int kMaxPasswordLength = 32;
inline constexpr int kMaxQuestionLength = 100;
inline constexpr uint32_t kPasswordCheckMilliseconds = 255;  // verify loops until more than this passed

// Pages.
inline constexpr int kPageHeaderSize = 32;
inline constexpr int kPageNextOffset = 0;
inline constexpr int kPageChecksumOffset = 4;
inline constexpr int kPageTypeOffset = 8;
inline constexpr int kPageEncryptionOffset = 9;
inline constexpr int kPageChecksumKindOffset = 10;
inline constexpr int kDefaultPageSizeKB = 4;
inline constexpr int kDefaultExtentPageCount = 16;
inline constexpr int kReservedPageCount = 1;
// Page sizes a container has: whole KB (kBytesPerKB bytes) from kMinPageSizeKB to
// kMaxPageSizeKB. Creation accepts no others; a header with another page size is damaged.
inline constexpr int32_t kMinPageSizeKB = 1;
inline constexpr int32_t kMaxPageSizeKB = 64;
// The most pages an extent may have: one PFS page describes at least one extent (one bit per
// page of its page data).
constexpr int64_t MaxExtentPageCount(int32_t PageSize) { return 8 * int64_t(PageSize - kPageHeaderSize); }

// Free-space bitmap pages. Each sits in the first extent of the span it describes: the PFS page
// first, the GAM page second and its SGAM page third. The i-th PFS page is page kFirstPFSPageNo +
// i * ExtentsPerPFSPage * ExtentPageCount, the i-th GAM page kFirstGAMPageNo + i *
// ExtentsPerGAMPage * ExtentPageCount, and its SGAM page the page kSGAMAfterGAM after it.
inline constexpr int32_t kPFSPageInExtent = 0;
inline constexpr int32_t kGAMPageInExtent = 1;
inline constexpr int32_t kSGAMPageInExtent = 2;
inline constexpr int32_t kFirstPFSPageNo = kReservedPageCount + kPFSPageInExtent;
inline constexpr int32_t kFirstGAMPageNo = kReservedPageCount + kGAMPageInExtent;
inline constexpr int32_t kSGAMAfterGAM = kSGAMPageInExtent - kGAMPageInExtent;

enum TPageType : uint8_t {
  ptDirectory = 1,
  ptGAM = 2,
  ptSGAM = 3,
  ptPFS = 4,
  ptPageMap = 5,
  ptUserData = 6,
};

enum TEncryptionType : uint8_t { etNone = 0, etPageCipher = 1 };

// Open mode word.
inline constexpr uint16_t kModeCreate = 0xFFFF;
inline constexpr uint16_t kModeAccessMask = 0x0003;
inline constexpr uint16_t kModeRead = 0x0000;
inline constexpr uint16_t kModeReadWrite = 0x0002;
inline constexpr uint16_t kModeShareExclusive = 0x0010;
inline constexpr uint16_t kModeShareDenyWrite = 0x0020;
inline constexpr uint16_t kModeShareDenyNone = 0x0040;

// Error codes of the container (0 = success): LastError of the page file, the directory and
// TContainerFileSystem, and the negative results of TDIRManager::FindFile and
// TContainerFileSystem::FileSetSize. The values appear in messages and callers compare them, so
// they never change; ContainerErrorText gives each one's text.
enum TContainerError : int32_t {
  ceOk = 0,
  cePathMalformed = -2,      // an empty path, an empty component, or a name "." or ".." to create
  cePathNotFound = -3,       // a component of the path is missing or is not a directory
  ceInvalidHandle = -6,      // the handle number is not in the handle table
  cePageHeaderRead = -7,     // page header read incomplete
  cePageHeaderWrite = -8,    // page header write incomplete
  cePageDataRead = -9,       // page data read incomplete
  cePageDataWrite = -10,     // page data write incomplete
  cePageChecksum = -11,      // page data checksum mismatch
  cePageDecrypt = -12,       // page data decryption failed
  cePageEncrypt = -13,       // page data encryption failed
  ceRepairBuffer = -14,      // compaction could not allocate its page buffer
  ceRepairRename = -15,      // compaction could not give the new file the container's name
  ceFileInUse = -16,         // the file is open (it cannot be replaced, deleted or renamed)
  ceNoSpace = -17,           // page allocation failed: disk full or the container cannot grow
  ceReadOnly = -18,          // a change was asked of a read-only container
  ceInvalidArgument = -19,   // negative size or position, bad origin, a directory moved into itself
  ceIsDirectory = -20,       // a file operation named a directory (or the root)
  ceFileExists = -21,        // the name is taken by another item
  ceDirectoryNotEmpty = -22, // a directory that still holds items cannot be deleted
  ceInvalidPassword = -23,   // the file's own password does not verify
  ceFlushFailed = -24,       // the host file did not write its data through to the device
};

// A short English text for Code ("not enough space"); "error <Code>" for a code not listed.
std::string ContainerErrorText(int32_t Code);

// Directory items.
inline constexpr int kDirItemSize = 512;
inline constexpr int kMaxFileNameLength = 259;
inline constexpr uint32_t kDirectoryAttr = 16;

}  // namespace tesvar::container
