#include "container/TPageFileManager.h"

#include "codec/Checksums.h"
#include "codec/TCipher_Rijndael.h"
#include "container/CFSBytes_internal.h"
#include "container/TCFSHugeFile.h"
#include "platform/Exception.h"
#include "platform/IClock.h"
#include "platform/IFileSystem.h"
#include "platform/Paths.h"
#include "platform/SystemInfo.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <map>
#include <random>

namespace tesvar::container {

namespace {

// The key under which the password question is stored. No caller sets a question, so it only
// matters for containers that carry one.
const std::string kQuestionKey = "Tesvar#Question!7";
static_assert(sizeof("Tesvar#Question!7") - 1 == 17);

constexpr int64_t kHeaderBytes = kContainerHeaderSize;

void encodeHeader(const TContainerHeader& h, uint8_t (&out)[kContainerHeaderSize]) {
  std::memset(out, 0, sizeof out);
  std::memcpy(out, kContainerSignature, sizeof kContainerSignature);
  putLE32(out + kHeaderVersionOffset, std::bit_cast<uint32_t>(h.Version));
  putLE32s(out + kHeaderPageSizeOffset, h.PageSize);
  putLE32s(out + kHeaderExtentPageCountOffset, h.ExtentPageCount);
  putLE32s(out + kHeaderReservedPageCountOffset, h.ReservedPageCount);
  putLE32s(out + kHeaderGAMPageCountOffset, h.GAMPageCount);
  putLE32s(out + kHeaderPFSPageCountOffset, h.PFSPageCount);
  putLE32s(out + kHeaderDirPageCountOffset, h.DirPageCount);
  putLE32s(out + kHeaderFirstDirPageNoOffset, h.FirstDirPageNo);
  putLE32s(out + kHeaderDirItemCountOffset, h.DirItemCount);
  putLE32s(out + kHeaderPageCountOffset, h.PageCount);
  std::memcpy(out + kHeaderPasswordBlockOffset, h.PasswordBlock, kPasswordBlockSize);
  out[kHeaderEncryptionTypeOffset] = h.EncryptionType;
  putLE32(out + kHeaderChecksumOffset,
          codec::XorDwords(out + kHeaderChecksummedOffset, kContainerHeaderSize - kHeaderChecksummedOffset));
}

// False when the signature or the checksum does not match.
bool decodeHeader(const uint8_t (&in)[kContainerHeaderSize], TContainerHeader& h) {
  if (std::memcmp(in, kContainerSignature, sizeof kContainerSignature) != 0) return false;
  if (getLE32(in + kHeaderChecksumOffset) !=
      codec::XorDwords(in + kHeaderChecksummedOffset, kContainerHeaderSize - kHeaderChecksummedOffset))
    return false;
  h.Version = std::bit_cast<float>(getLE32(in + kHeaderVersionOffset));
  h.PageSize = getLE32s(in + kHeaderPageSizeOffset);
  h.ExtentPageCount = getLE32s(in + kHeaderExtentPageCountOffset);
  h.ReservedPageCount = getLE32s(in + kHeaderReservedPageCountOffset);
  h.GAMPageCount = getLE32s(in + kHeaderGAMPageCountOffset);
  h.PFSPageCount = getLE32s(in + kHeaderPFSPageCountOffset);
  h.DirPageCount = getLE32s(in + kHeaderDirPageCountOffset);
  h.FirstDirPageNo = getLE32s(in + kHeaderFirstDirPageNoOffset);
  h.DirItemCount = getLE32s(in + kHeaderDirItemCountOffset);
  h.PageCount = getLE32s(in + kHeaderPageCountOffset);
  std::memcpy(h.PasswordBlock, in + kHeaderPasswordBlockOffset, kPasswordBlockSize);
  h.EncryptionType = in[kHeaderEncryptionTypeOffset];
  return true;
}

// The sizes this system creates containers with and counts that fit the container and each other;
// a header outside them is damaged (and would make the layers above allocate by its numbers).
bool plausible(const TContainerHeader& h) {
  if (h.PageSize % kBytesPerKB != 0 || h.PageSize < kMinPageSizeKB * kBytesPerKB ||
      h.PageSize > kMaxPageSizeKB * kBytesPerKB)
    return false;
  if (h.ExtentPageCount < 1 || h.ExtentPageCount > MaxExtentPageCount(h.PageSize)) return false;
  if (h.ReservedPageCount != kReservedPageCount || h.PageCount < 1) return false;
  if (h.EncryptionType != etNone && h.EncryptionType != etPageCipher) return false;
  if (h.PFSPageCount < 0 || h.GAMPageCount < 0 || h.DirPageCount < 0 || h.DirItemCount < 0) return false;
  // Bitmap pages (a GAM page comes with its SGAM page) and directory pages are distinct pages
  // after the reserved ones.
  const int64_t structure = int64_t(h.PFSPageCount) + 2 * int64_t(h.GAMPageCount) + h.DirPageCount;
  if (structure > int64_t(h.PageCount) - kReservedPageCount) return false;
  if (h.DirPageCount > 0 && (h.FirstDirPageNo < kReservedPageCount || h.FirstDirPageNo >= h.PageCount)) return false;
  return true;
}

// Copies Text into a zero-padded area of Size bytes.
void putPadded(uint8_t* area, size_t size, const std::string& text) {
  std::memset(area, 0, size);
  std::memcpy(area, text.data(), std::min(size, text.size()));
}

}  // namespace

// One cipher object per key string: setting up a key costs a digest and an AES key schedule,
// which every page of an encrypted container would otherwise repeat.
struct TPageFileManager::CipherCache {
  static constexpr size_t kMaxKeys = 8;
  std::map<std::string, std::unique_ptr<codec::TCipher_Rijndael>> ciphers;

  codec::TCipher_Rijndael& For(const std::string& key) {
    auto it = ciphers.find(key);
    if (it != ciphers.end()) return *it->second;
    if (ciphers.size() >= kMaxKeys) ciphers.clear();
    return *ciphers.emplace(key, std::make_unique<codec::TCipher_Rijndael>(key)).first->second;
  }

};

TPageFileManager::TPageFileManager(const std::string& FileName, uint16_t Mode, const std::string& Password,
                                   const std::string& Question, const std::string& Answer, bool InMemory,
                                   int32_t PageSizeKB, int32_t ExtentPageCount)
    : FFileName(FileName),
      FInMemory(InMemory),
      FReadOnly((Mode & kModeAccessMask) == 0),
      FExclusive((Mode & kModeShareExclusive) != 0),
      FPassword(Password),
      FCiphers(std::make_unique<CipherCache>()) {
  if (Mode == kModeCreate) {
    if (PageSizeKB < kMinPageSizeKB) throw Exception("TPageFileManager.Create - page size should be >= 1 Kb.");
    if (PageSizeKB > kMaxPageSizeKB) {
      throw Exception("TPageFileManager.Create - page size should be <= " + std::to_string(kMaxPageSizeKB) + " Kb.");
    }
    if (ExtentPageCount <= 0) throw Exception("TPageFileManager.Create - extent page count should be >= 1 Page.");
    const int64_t maxExtent = MaxExtentPageCount(PageSizeKB * kBytesPerKB);
    if (ExtentPageCount > maxExtent) {
      throw Exception("TPageFileManager.Create - extent page count should be <= " + std::to_string(maxExtent) +
                      " Pages.");
    }
    // Parameter errors surface before anything is written.
    if (!Password.empty()) {
      if (Password.size() > size_t(kMaxPasswordLength))
        throw Exception("Password length should be shorter then " + std::to_string(kMaxPasswordLength));
      if (Question.size() > size_t(kMaxQuestionLength))
        throw Exception("Question length should be shorter then " + std::to_string(kMaxQuestionLength));
    }
    FFile = std::make_unique<TCFSHugeFile>(FileName, FExclusive, FReadOnly, InMemory);
    if (!FFile->InternalOpen(true, false)) throw Exception("Cannot create file \"" + FileName + "\"");
    FHeader = TContainerHeader{};
    FHeader.Version = 1.2f;
    FHeader.PageSize = PageSizeKB * kBytesPerKB;
    FHeader.ExtentPageCount = ExtentPageCount;
    FHeader.ReservedPageCount = kReservedPageCount;
    FHeader.PageCount = 1;
    if (!Password.empty()) {
      FHeader.EncryptionType = etPageCipher;
      BuildPasswordBlock(Password, Question, Answer, FHeader.PasswordBlock, &FPageKey);
    }
    SaveHeader();
    // Transactions build on a durable container: the new one is flushed, its name included.
    // Without them nothing is durable before the owner flushes.
    if (!InMemory && TCFSTransaction::Enabled()) {
      if (!FFile->Flush() || !platform::FileSystem().SyncDirectory(platform::ExtractFileDir(FileName)))
        throw Exception("Cannot create file \"" + FileName + "\"");
      FFile->BeginTransactions(FHeader.PageSize);
    }
    return;
  }

  FFile = std::make_unique<TCFSHugeFile>(FileName, FExclusive, FReadOnly, InMemory);
  if (!FFile->InternalOpen(false, true))
    throw Exception("File " + platform::ExtractFileName(FileName) + " has corrupted header.");
  std::string refusal;
  if (FFile->Recover(FReadOnly, refusal) == TCFSTransaction::trRefused) throw Exception(refusal);
  FHeader = readHeader(*FFile);
  // Writing into a container that lost pages would build on pages that are not there.
  if (!FReadOnly && Truncated()) {
    throw Exception("TContainerFileSystem.LoadHeader - CFS file is truncated, it can only be opened read-only.");
  }
  // The key is taken without the verification delay: callers that accept a password from a user
  // verify it first (TContainerFileSystem does), so the delay is spent once per open.
  if (FHeader.EncryptionType != etNone) DecodePageKey(Password, FHeader.PasswordBlock, &FPageKey);
  FFile->BeginTransactions(FHeader.PageSize);
}

TContainerHeader TPageFileManager::readHeader(TCFSHugeFile& File) {
  uint8_t image[kContainerHeaderSize];
  TContainerHeader header;
  File.Seek(0, 0);
  if (File.Read(image, kHeaderBytes) != kHeaderBytes || !decodeHeader(image, header) || !plausible(header))
    throw Exception("TContainerFileSystem.LoadHeader - Invalid CFS file, header is corrupted.");
  return header;
}

TContainerHeader TPageFileManager::StoredHeader(const std::string& FileName) {
  TCFSHugeFile file(FileName, false, true, false);
  if (!file.InternalOpen(false, true))
    throw Exception("File " + platform::ExtractFileName(FileName) + " has corrupted header.");
  return readHeader(file);
}

TPageFileManager::~TPageFileManager() = default;

void TPageFileManager::EncodePageHeader(const TPageHeader& PageHeader, uint8_t* Out) {
  std::memset(Out, 0, kPageHeaderSize);
  putLE32s(Out + kPageNextOffset, PageHeader.NextPageNo);
  putLE32(Out + kPageChecksumOffset, PageHeader.Checksum);
  Out[kPageTypeOffset] = PageHeader.PageType;
  Out[kPageEncryptionOffset] = PageHeader.EncryptionType;
  Out[kPageChecksumKindOffset] = PageHeader.ChecksumKind;
}

void TPageFileManager::DecodePageHeader(const uint8_t* In, TPageHeader& PageHeader) {
  PageHeader.NextPageNo = getLE32s(In + kPageNextOffset);
  PageHeader.Checksum = getLE32(In + kPageChecksumOffset);
  PageHeader.PageType = In[kPageTypeOffset];
  PageHeader.EncryptionType = In[kPageEncryptionOffset];
  PageHeader.ChecksumKind = In[kPageChecksumKindOffset];
}

void TPageFileManager::BuildPasswordBlock(const std::string& Password, const std::string& Question,
                                          const std::string& Answer, uint8_t* PasswordBlock, std::string* Key) {
  if (Password.size() > size_t(kMaxPasswordLength))
    throw Exception("Password length should be shorter then " + std::to_string(kMaxPasswordLength));
  if (Question.size() > size_t(kMaxQuestionLength))
    throw Exception("Question length should be shorter then " + std::to_string(kMaxQuestionLength));
  std::memset(PasswordBlock, 0, kPasswordBlockSize);

  uint8_t key[kPageKeyBytes];
  std::random_device source;
  std::uniform_int_distribution<int> byte(1, 254);
  for (uint8_t& b : key) b = static_cast<uint8_t>(byte(source));
  putLE32(PasswordBlock + kKeyCrcOffset, codec::Crc16Arc(key, kPageKeyBytes));
  codec::TCipher_Rijndael(Password).EncodeBuffer(key, PasswordBlock, kPageKeyBytes);

  if (!Question.empty() && !Answer.empty()) {
    uint8_t* question = PasswordBlock + kQuestionOffset;
    uint8_t* password = PasswordBlock + kPasswordAreaOffset;
    putPadded(question, kMaxQuestionLength, Question);
    putPadded(password, kMaxPasswordLength, Password);
    codec::TCipher_Rijndael(kQuestionKey).EncodeBuffer(question, question, kMaxQuestionLength);
    putLE32(PasswordBlock + kPasswordCrcOffset, codec::Crc16Arc(password, kMaxPasswordLength));
    codec::TCipher_Rijndael(Answer).EncodeBuffer(password, password, kMaxPasswordLength);
  }
  if (Key) *Key = std::string(reinterpret_cast<const char*>(key), kPageKeyBytes) + '\0';
}

bool TPageFileManager::VerifyPassword(const std::string& Password, const uint8_t* PasswordBlock, std::string* Key) {
  if (Password.empty()) return false;
  codec::TCipher_Rijndael cipher(Password);

  // Spend a quarter of a second on repeated decryption, so that guessing passwords is slow.
  uint8_t work[kPageKeyBytes];
  std::memcpy(work, PasswordBlock, kPageKeyBytes);
  platform::IClock& clock = platform::Clock();
  const uint32_t start = clock.TickCount();
  while (uint32_t(clock.TickCount() - start) <= kPasswordCheckMilliseconds) {
    cipher.DecodeBuffer(work, work, kPageKeyBytes);
    (void)codec::Crc16Arc(work, kPageKeyBytes);
  }

  return DecodePageKey(Password, PasswordBlock, Key);
}

bool TPageFileManager::DecodePageKey(const std::string& Password, const uint8_t* PasswordBlock, std::string* Key) {
  if (Password.empty()) return false;
  uint8_t key[kPageKeyBytes];
  codec::TCipher_Rijndael(Password).DecodeBuffer(PasswordBlock, key, kPageKeyBytes);
  if (Key) *Key = std::string(reinterpret_cast<const char*>(key), kPageKeyBytes) + '\0';
  return codec::Crc16Arc(key, kPageKeyBytes) == getLE32(PasswordBlock + kKeyCrcOffset);
}

void TPageFileManager::SetPageKey(const std::string& Key) { FPageKey = Key; }

void TPageFileManager::SaveHeader() {
  if (FReadOnly) return;
  uint8_t image[kContainerHeaderSize];
  encodeHeader(FHeader, image);
  FFile->Seek(0, 0);
  FFile->WriteBuffer(image, kHeaderBytes);
}

codec::TCipher_Rijndael* TPageFileManager::Cipher(const std::string& Key) noexcept {
  const std::string& Used = Key.empty() ? FPageKey : Key;
  if (Used.empty()) return nullptr;
  try {
    return &FCiphers->For(Used);
  } catch (const std::exception&) {
    return nullptr;  // out of memory for the key schedule
  }
}

bool TPageFileManager::EncodePage(uint8_t* Image, TPageHeader& PageHeader, const uint8_t* Data,
                                  const std::string& Key, int32_t Size) {
  const auto Count = static_cast<size_t>(std::max(Size, 0));
  uint8_t* Stored = Image + kPageHeaderSize;
  uint8_t Encryption = PageHeader.EncryptionType;
  if (Count > 0) {
    if (!Data) {
      std::memset(Stored, 0, Count);
      Encryption = etNone;
      PageHeader.Checksum = codec::CalcChecksum(Stored, Count, PageHeader.ChecksumKind);
    } else if (Encryption == etNone) {
      // Plain pages: copied and checksummed in one pass.
      if (PageHeader.ChecksumKind == codec::kChecksumXorDwords) {
        PageHeader.Checksum = codec::CopyXorDwords(Data, Stored, Count);
      } else {
        std::memcpy(Stored, Data, Count);
        PageHeader.Checksum = codec::CalcChecksum(Stored, Count, PageHeader.ChecksumKind);
      }
    } else if (Encryption == etPageCipher) {
      codec::TCipher_Rijndael* PageCipher = Cipher(Key);
      if (!PageCipher) {
        FLastError = cePageEncrypt;
        return false;
      }
      PageCipher->EncodeBuffer(Data, Stored, Count);
      PageHeader.Checksum = codec::CalcChecksum(Stored, Count, PageHeader.ChecksumKind);
    } else {
      throw Exception("TPageFileManager.EncodeBuffer - Unknown encryption type");
    }
  }
  TPageHeader StoredHeader = PageHeader;
  StoredHeader.EncryptionType = Encryption;
  EncodePageHeader(StoredHeader, Image);
  return true;
}

bool TPageFileManager::DecodePage(uint8_t* Image, TPageHeader& PageHeader, uint8_t* Data, bool NoDecrypt,
                                  const std::string& Key, int32_t Size) {
  DecodePageHeader(Image, PageHeader);
  const auto Count = static_cast<size_t>(std::max(Size, 0));
  uint8_t* Stored = Image + kPageHeaderSize;
  const bool Plain = NoDecrypt || PageHeader.EncryptionType == etNone;
  const uint8_t Kind = PageHeader.ChecksumKind;
  if (Plain && Kind == codec::kChecksumXorDwords) {
    // Plain pages: copied and verified in one pass (the copy is undefined when it fails).
    if (codec::CopyXorDwords(Stored, Data, Count) == PageHeader.Checksum) return true;
    FLastError = cePageChecksum;
    return false;
  }
  if ((Kind == codec::kChecksumXorDwords || Kind == codec::kChecksumCrc16) &&
      codec::CalcChecksum(Stored, Count, Kind) != PageHeader.Checksum) {
    FLastError = cePageChecksum;
    return false;
  }
  if (Plain) {
    std::memmove(Data, Stored, Count);
    return true;
  }
  codec::TCipher_Rijndael* PageCipher = PageHeader.EncryptionType == etPageCipher ? Cipher(Key) : nullptr;
  if (!PageCipher) {
    FLastError = cePageDecrypt;
    return false;
  }
  // The cipher takes the same buffer or two apart: an image that overlaps its destination is
  // decrypted where it lies and then moved down.
  const auto To = reinterpret_cast<uintptr_t>(Data);
  const auto From = reinterpret_cast<uintptr_t>(Stored);
  if (To + Count <= From || From + Count <= To || To == From) {
    PageCipher->DecodeBuffer(Stored, Data, Count);
  } else {
    PageCipher->DecodeBuffer(Stored, Stored, Count);
    std::memmove(Data, Stored, Count);
  }
  return true;
}

int64_t TPageFileManager::WriteImages(int32_t PageNo, const uint8_t* Images, int64_t Bytes) {
  if (FReadOnly || PageNo < 0) return 0;
  FFile->Seek(int64_t{PageNo} * FHeader.PageSize, 0);
  return std::max<int64_t>(FFile->Write(Images, Bytes), 0);
}

int64_t TPageFileManager::ReadImages(int32_t PageNo, uint8_t* Images, int64_t Bytes) {
  const int64_t Offset = int64_t{PageNo} * FHeader.PageSize;
  if (PageNo < 0 || Offset > FFile->GetSize()) return 0;
  FFile->Seek(Offset, 0);
  return std::max<int64_t>(FFile->Read(Images, Bytes), 0);
}

void TPageFileManager::StartReadImages(int32_t PageNo, uint8_t* Images, int64_t Bytes) {
  if (PageNo < 0) return;
  FFile->StartReadAt(int64_t{PageNo} * FHeader.PageSize, Images, Bytes);
}

int64_t TPageFileManager::FinishReadImages(const uint8_t* Images) { return FFile->FinishReadAt(Images); }

bool TPageFileManager::ReadPage(TPageHeader& PageHeader, int32_t PageNo, bool NoDecrypt, const std::string& Key,
                                int32_t Size) {
  FLastError = ceOk;
  const int32_t Count = Size < 0 ? PageDataSize() : std::min(Size, PageDataSize());
  const int64_t Total = kPageHeaderSize + int64_t{Count};
  if (FPageImage.size() < static_cast<size_t>(Total)) FPageImage.resize(static_cast<size_t>(Total));
  const int64_t Got = ReadImages(PageNo, FPageImage.data(), Total);
  if (Got < kPageHeaderSize) {
    FLastError = cePageHeaderRead;
    return false;
  }
  if (Count == 0) {
    DecodePageHeader(FPageImage.data(), PageHeader);
    return true;
  }
  if (PageHeader.Data == nullptr) throw Exception("TPageFileManager.ReadPage - pData is nil.");
  if (Got < Total) {
    FLastError = ShortReadError(Got);
    return false;
  }
  return DecodePage(FPageImage.data(), PageHeader, PageHeader.Data, NoDecrypt, Key, Count);
}

bool TPageFileManager::WritePage(TPageHeader& PageHeader, int32_t PageNo, const std::string& Key, int32_t Size) {
  FLastError = ceOk;
  const int32_t Count = PageHeader.Data == nullptr ? 0 : Size < 0 ? PageDataSize() : std::min(Size, PageDataSize());
  const int64_t Total = kPageHeaderSize + int64_t{std::max(Count, 0)};
  if (FPageImage.size() < static_cast<size_t>(Total)) FPageImage.resize(static_cast<size_t>(Total));
  if (!EncodePage(FPageImage.data(), PageHeader, PageHeader.Data, Key, Count)) return false;
  // The caller's data carries what was stored, as the page file has always left it.
  if (Count > 0 && PageHeader.EncryptionType != etNone) {
    std::memcpy(PageHeader.Data, FPageImage.data() + kPageHeaderSize, static_cast<size_t>(Count));
  }
  // Header and data go out in one transfer, so a failed write leaves the page as it was
  // instead of a new header over old data (which would no longer match its checksum).
  const int64_t Written = WriteImages(PageNo, FPageImage.data(), Total);
  if (Written != Total) {
    FLastError = ShortWriteError(Written);
    return false;
  }
  return true;
}

bool TPageFileManager::AddPages(int32_t Count) {
  if (Count < 0 || int64_t(FHeader.PageCount) + Count > std::numeric_limits<int32_t>::max()) return false;
  const int32_t previous = FHeader.PageCount;
  try {
    const int64_t target = (int64_t(FHeader.PageCount) + Count) * FHeader.PageSize;
    if (!FFile->SetSize(target) || FFile->GetSize() != target) return false;
    FHeader.PageCount += Count;
    SaveHeader();
    return true;
  } catch (const std::exception&) {
    FHeader.PageCount = previous;
    return false;
  }
}

int64_t TPageFileManager::NeededHostSize() const {
  return FHeader.PageCount <= 1 ? kHeaderBytes : int64_t(FHeader.PageCount) * FHeader.PageSize;
}

bool TPageFileManager::Truncated() const { return FFile->GetSize() < NeededHostSize(); }

int32_t TPageFileManager::StoredPageCount() const {
  const int64_t size = FFile->GetSize();
  const int64_t stored = size <= 0 ? 0 : (size - 1) / FHeader.PageSize + 1;
  return static_cast<int32_t>(std::min<int64_t>(stored, FHeader.PageCount));
}

int64_t TPageFileManager::GetFreeSpace() const {
  if (FInMemory) {
    const uint64_t heap = platform::FreeHeapBytes();
    return heap > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                 : int64_t(heap);
  }
  const std::string dir = platform::ExtractFileDir(FFileName);
  return platform::FileSystem().FreeSpace(dir.empty() ? FFileName : dir);
}

bool TPageFileManager::RenameFile(const std::string& NewName) {
  const bool ok = FFile->RenameFile(NewName);
  FFileName = FFile->FileName();
  return ok;
}

bool TPageFileManager::DeleteFiles(bool Quick) { return FFile->DeleteFiles(Quick); }

bool TPageFileManager::Flush() { return FReadOnly || FFile->Flush(); }

void TPageFileManager::Close() { FFile->Close(); }

bool TPageFileManager::SetInMemory(bool Value) {
  if (Value == FInMemory) return true;
  // The switch copies what the host holds: everything pending is committed first.
  if (!FReadOnly && !FFile->Flush()) return false;
  FFile->EndTransactions();
  const bool switched = FFile->SetInMemory(Value);
  if (switched) FInMemory = Value;
  FFile->BeginTransactions(FHeader.PageSize);
  return switched;
}

}  // namespace tesvar::container
