#pragma once
// Byte layout of a container's rollback journal, the file "<container file>-journal" beside it.
// It exists only while a change of the container is being made durable: it holds the images
// the changed pages had at the last commit, so that an interrupted commit can be undone. All
// integers little-endian.
//
// Header (512 bytes):
//   0    8   signature "EDCFSJRN"
//   8    4   format version (1)
//   12   4   page size of the container
//   16   8   committed logical size: the container's size to roll back to
//   24   8   maximum part size of the container's host file
//   32   8   start offset of the container in its first part file
//   40   8   nonce: random, salts every record checksum
//   48   4   CRC-32 of the container header bytes (logical 0..255) as committed
//   52   261 file name of the container's first part (no directory), NUL-terminated
//   313  195 zero
//   508  4   CRC-32 of bytes 0..507
// Records follow the header back to back:
//   0    4   kind: 1 page image (a page-size payload follows), 2 commit mark (no payload)
//   4    4   zero
//   8    8   kind 1: page index (logical offset / page size); kind 2: CRC-32 of the container
//            header bytes (logical 0..255) the commit writes
//   16   4   CRC-32C of the nonce (8 bytes), record bytes 0..15 and the payload
//   20   12  zero
// Reading stops at the first record that does not check: a record is trusted only when its
// checksum matches, so a journal cut short anywhere is read up to its last whole record.

#include <cstdint>

namespace tesvar::container {

inline constexpr char kJournalSignature[8] = {'E', 'D', 'C', 'F', 'S', 'J', 'R', 'N'};
inline constexpr char kJournalSuffix[] = "-journal";
inline constexpr uint32_t kJournalVersion = 1;
inline constexpr int kJournalHeaderSize = 512;
inline constexpr int kJournalVersionOffset = 8;
inline constexpr int kJournalPageSizeOffset = 12;
inline constexpr int kJournalCommittedSizeOffset = 16;
inline constexpr int kJournalMaxPartSizeOffset = 24;
inline constexpr int kJournalStartOffsetOffset = 32;
inline constexpr int kJournalNonceOffset = 40;
inline constexpr int kJournalHeaderCrcBeforeOffset = 48;
inline constexpr int kJournalContainerNameOffset = 52;
inline constexpr int kJournalContainerNameSize = 261;
inline constexpr int kJournalHeaderChecksumOffset = 508;

inline constexpr int kJournalRecordHeaderSize = 32;
inline constexpr uint32_t kJournalRecordPage = 1;
inline constexpr uint32_t kJournalRecordCommit = 2;
inline constexpr int kJournalRecordKindOffset = 0;
inline constexpr int kJournalRecordValueOffset = 8;
inline constexpr int kJournalRecordChecksumOffset = 16;
inline constexpr int kJournalRecordChecksummedBytes = 16;  // record bytes 0..15

}  // namespace tesvar::container
