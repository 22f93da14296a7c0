#pragma once
// Page transfers of the user-file code: one host-file transfer per run of consecutive user-data
// pages. The pages are built and checked by the page file's codec (TPageFileManager::EncodePage /
// DecodePage: page header, checksum, page cipher by the page key or a file's own key), the same
// as its ReadPage / WritePage give and take single pages; only the transfers are joined. A run's
// write therefore either stores a page or, when the device refuses it, leaves the stored page as
// it was.

#include "container/ContainerFormat.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::container {

class TPageFileManager;

class TPageRunIO {
public:
  // Pages per transfer at most.
  static constexpr int32_t kMaxRunPages = 512;
  // Pages per host read inside ReadRun through the staging buffer (their images stay in the
  // processor's cache until they are verified and copied out).
  static constexpr int32_t kReadBatchPages = 64;
  // Pages per host read inside ReadRun straight into the caller's memory (the images are where
  // the data goes, so a longer transfer costs no cache; fewer transfers cost fewer system calls).
  static constexpr int32_t kStraightReadPages = kMaxRunPages;
  // The fewest pages read straight into the caller's memory when the end of its destinations cuts
  // a batch short (fewer go through the staging buffer in one transfer).
  static constexpr int32_t kMinInPlacePages = 16;

  // Bytes of page images a run holds at most: runs of pages larger than 4 KB are shorter.
  static constexpr int64_t kMaxRunBytes = int64_t{kMaxRunPages} * 4096;
  // Bytes of page images one read-ahead transfer brings at most (host reads much shorter than a
  // megabyte cost clearly more per byte; longer ones no less).
  static constexpr int64_t kReadAheadBytes = int64_t{1} << 20;

  // PageFile must outlive the object. MaxPages: the longest run it transfers, at most
  // kMaxRunBytes of pages. The buffer grows with the transfers to the longest run's size.
  explicit TPageRunIO(TPageFileManager& PageFile, int32_t MaxPages = kMaxRunPages);
  // Waits for a background transfer into its buffer.
  ~TPageRunIO();

  // The longest run WriteRun and ReadRun transfer.
  int32_t MaxPages() const { return FMaxPages; }
  // Pages of one read-ahead transfer (kReadAheadBytes of them): a run reads ahead only when it
  // is shorter, and never more pages than this in all.
  int32_t ReadAheadPages() const { return FAheadPages; }
  // Whether page PageNo is among the pages read ahead (a run up to it needs no host read).
  bool Holds(int32_t PageNo) const { return HeldPages(PageNo, 1) == 1; }

  // Writes Count (<= MaxPages) consecutive pages from FirstPage as user-data pages; page i takes
  // its page-data-size bytes from Sources[i] (left unchanged), zeros when null (a zero page, not
  // encrypted). EncryptionType etNone or etPageCipher (Key empty = the page key). Returns the pages
  // stored completely, with the page file's LastError set (cePageHeaderWrite, cePageDataWrite or
  // cePageEncrypt) when fewer than Count.
  [[nodiscard]] int32_t WriteRun(int32_t FirstPage, int32_t Count, const uint8_t* const* Sources, uint8_t EncryptionType,
                                 const std::string& Key);
  // The same with the pages' data one after another in Data.
  [[nodiscard]] int32_t WriteRun(int32_t FirstPage, int32_t Count, const uint8_t* Data, uint8_t EncryptionType,
                                 const std::string& Key);
  // Zero pages (type 6, not encrypted).
  [[nodiscard]] int32_t WriteZeroRun(int32_t FirstPage, int32_t Count);
  // Reads Count (<= MaxPages) consecutive pages in batches (see below), verifying checksums
  // and decrypting (Key empty = the page key) page i into Dests[i] (page-data-size bytes). Returns
  // the pages read completely; LastError cePageHeaderRead, cePageDataRead, cePageChecksum or
  // cePageDecrypt at the first page that failed. The destinations of that page and of the pages
  // after it are undefined then (they may hold page images). Dests must not overlap one another.
  // A null Dests[i] skips page i: it is transferred with the others but neither verified nor
  // decoded, and counts as read.
  //
  // Read-ahead: AheadPages > 0 says that the AheadPages pages after the run may be read as well
  // (they follow it in the host file and the caller is likely to want them next; up to two
  // transfers' worth). The images of such a longer transfer, up to kReadAheadBytes, stay in the
  // staging buffer, and later runs among them are verified and decoded from there without a host
  // read, for as long as the host file's bytes do not change (TCFSHugeFile::ChangeCount) and the
  // buffer serves nothing else. The pages after those held, as far as AheadPages reaches and one
  // transfer's worth, come in the background (TCFSHugeFile::StartReadAt) into a second buffer
  // while the run decodes; the run that reaches them takes that buffer over without a transfer of
  // its own, when the host file did not change meanwhile, and otherwise reads ahead itself.
  // Only the pages of a run are ever verified: a damaged page read ahead fails the run that
  // wants it, as it would have without read-ahead; a read-ahead transfer (in the background or
  // not) that stops short of the run's own pages fails the run there, as a direct read does.
  [[nodiscard]] int32_t ReadRun(int32_t FirstPage, int32_t Count, uint8_t* const* Dests, const std::string& Key,
                                int32_t AheadPages = 0);
  // The same into Data, the pages one after another.
  [[nodiscard]] int32_t ReadRun(int32_t FirstPage, int32_t Count, uint8_t* Data, const std::string& Key);

private:
  // Pages from PageNo on, read into Dests[0 .. Count - 1], that a batch reads straight into the
  // caller's memory: their images, from Lead bytes above Dests[0], fit into the destinations that
  // follow one another from Dests[0]. 0 when the batch goes through the staging buffer.
  int32_t InPlaceBatch(int32_t PageNo, uint8_t* const* Dests, int32_t Count, size_t& Lead) const;
  // Bytes (0 .. 63) above Memory where page PageNo's image sits at the offset within a cache line
  // that its place in the host file has.
  size_t LineLead(const uint8_t* Memory, int32_t PageNo) const;
  // The read without read-ahead (the staging buffer's batches and the straight reads).
  int32_t ReadDirect(int32_t FirstPage, int32_t Count, uint8_t* const* Dests, const std::string& Key);
  // How many pages from PageNo on (at most Count) the staging buffer holds as read ahead.
  int32_t HeldPages(int32_t PageNo, int32_t Count) const;
  // Reads Count pages from PageNo into the staging buffer as read ahead (the whole pages that
  // came are held); the bytes the host gave.
  int64_t ReadAhead(int32_t PageNo, int32_t Count);
  // Starts the background transfer of Count (<= FAheadPages) pages from PageNo into the second
  // buffer (first waiting for one still outstanding).
  void StartNext(int32_t PageNo, int32_t Count);
  // When the background transfer covers PageNo: waits for it and, when it counts, makes its
  // buffer the staging buffer holding its whole pages, and returns the bytes it gave from
  // PageNo's place on (0 when it stopped before), with Complete telling whether every page it
  // was to read came. -1 when there is no such transfer.
  int64_t TakeNext(int32_t PageNo, bool& Complete);

  TPageFileManager& FPageFile;
  // Makes the buffer hold at least Pages page images (at most FMaxPages).
  void ProvideBuffer(int32_t Pages);

  int32_t FMaxPages;
  static constexpr uintptr_t kCacheLine = 64;
  // Left uninitialised: every transfer fills what it uses, and an open container does not pay
  // for buffer memory it may never need.
  std::unique_ptr<uint8_t[]> FStorage;
  uint8_t* FBuffer = nullptr;  // FBufferPages page images inside FStorage
  int32_t FBufferPages = 0;
  // Pages read ahead: images of FHeldPages pages from FHeldFirst lie at the start of FBuffer,
  // read while the host file's ChangeCount was FHeldChange. Anything else that uses FBuffer
  // sets FHeldPages to 0.
  int32_t FHeldFirst = 0;
  int32_t FHeldPages = 0;
  uint64_t FHeldChange = 0;
  int32_t FAheadPages;  // pages of kReadAheadBytes
  // The second buffer, of FNextBufferPages page images, and the background transfer into it of
  // FNextPages pages from FNextFirst (0: none outstanding).
  std::unique_ptr<uint8_t[]> FNextStorage;
  uint8_t* FNextBuffer = nullptr;
  int32_t FNextBufferPages = 0;
  int32_t FNextFirst = 0;
  int32_t FNextPages = 0;
  // The page pointers the contiguous-buffer variants hand to the pointer-array ones.
  std::vector<const uint8_t*> FSources;
  std::vector<uint8_t*> FDests;
};

}  // namespace tesvar::container
