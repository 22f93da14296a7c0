#include "codec/TCipher_Rijndael.h"

#include <crypto++/aes.h>
#include <crypto++/misc.h>
#include <crypto++/ripemd.h>

#include <algorithm>
#include <cstring>

namespace tesvar::codec {

namespace {

constexpr size_t kBlockSize = 16;
static_assert(CryptoPP::AES::BLOCKSIZE == kBlockSize);

// Decryption handles this many bytes per batch call: large enough for the parallel AES path to
// pay off, small enough to keep the per-block feedback values on the stack.
constexpr size_t kDecodeBatchBytes = 256 * kBlockSize;

using CryptoPP::BlockTransformation;

// out = a ^ b for one 16-byte block; out may be a or b; none needs to be aligned.
inline void xorBlock(uint8_t* out, const uint8_t* a, const uint8_t* b) {
  uint64_t x[2];
  uint64_t y[2];
  std::memcpy(x, a, kBlockSize);
  std::memcpy(y, b, kBlockSize);
  x[0] ^= y[0];
  x[1] ^= y[1];
  std::memcpy(out, x, kBlockSize);
}

inline void xorBlockInto(uint8_t* a, const uint8_t* b) { xorBlock(a, a, b); }

}  // namespace

std::array<uint8_t, 32> Ripemd256(const std::string& key) {
  static_assert(CryptoPP::RIPEMD256::DIGESTSIZE == 32);
  std::array<uint8_t, 32> digest{};
  CryptoPP::RIPEMD256().CalculateDigest(digest.data(), reinterpret_cast<const CryptoPP::byte*>(key.data()),
                                        key.size());
  return digest;
}

struct TCipher_Rijndael::Impl {
  CryptoPP::AES::Encryption FEncryption;
  CryptoPP::AES::Decryption FDecryption;
  alignas(16) uint8_t FInitialFeedback[kBlockSize];

  // The final n < 16 bytes of a buffer: XOR with AES_K(feedback), the same in both directions.
  void xorTail(const uint8_t* feedback, const uint8_t* source, uint8_t* dest, size_t n) const {
    alignas(16) uint8_t pad[kBlockSize];
    FEncryption.ProcessBlock(feedback, pad);
    for (size_t i = 0; i < n; ++i) dest[i] = source[i] ^ pad[i];
  }
};

TCipher_Rijndael::TCipher_Rijndael(const std::string& key) : FImpl(std::make_unique<Impl>()) {
  std::array<uint8_t, 32> digest = Ripemd256(key);
  FImpl->FEncryption.SetKey(digest.data(), digest.size());
  FImpl->FDecryption.SetKey(digest.data(), digest.size());
  // The key schedules hold everything needed from here on; do not leave the raw key behind.
  CryptoPP::SecureWipeArray(digest.data(), digest.size());

  std::memset(FImpl->FInitialFeedback, 0xFF, kBlockSize);
  FImpl->FEncryption.ProcessBlock(FImpl->FInitialFeedback);
}

TCipher_Rijndael::~TCipher_Rijndael() = default;

const uint8_t* TCipher_Rijndael::InitialFeedback() const { return FImpl->FInitialFeedback; }

// Full blocks: C[i] = AES_K(P[i] xor F[i]) with F[0] = F0 and F[i] = F[i-1] xor C[i-1]. Each block
// depends on the one before, so this runs one block per cipher call. To keep our own work off that
// chain, the cipher input is taken as (P[i] xor F[i-1]) xor C[i-1]: the first part needs only the
// blocks up to i-2 and is written into dest ahead of the call; the second is the previous output
// block, which the cipher XORs in itself, so the chain is as short as CBC's.
void TCipher_Rijndael::EncodeBuffer(const uint8_t* source, uint8_t* dest, size_t size) {
  const CryptoPP::AES::Encryption& encryption = FImpl->FEncryption;
  const uint8_t* initial = FImpl->FInitialFeedback;
  const size_t full = size - size % kBlockSize;
  alignas(16) uint8_t feedback[kBlockSize];  // F[i-1] while block i is processed
  std::memcpy(feedback, initial, kBlockSize);
  if (full > 0) {
    encryption.AdvancedProcessBlocks(source, initial, dest, kBlockSize, BlockTransformation::BT_XorInput);
    for (size_t i = kBlockSize; i < full; i += kBlockSize) {
      xorBlock(dest + i, source + i, feedback);  // reads P_i before writing when source == dest
      encryption.AdvancedProcessBlocks(dest + i, dest + i - kBlockSize, dest + i, kBlockSize,
                                       BlockTransformation::BT_XorInput);
      xorBlockInto(feedback, dest + i - kBlockSize);
    }
    xorBlockInto(feedback, dest + full - kBlockSize);  // F for the partial block
  }
  if (full < size) FImpl->xorTail(feedback, source + full, dest + full, size - full);
}

// Full blocks: P[i] = AES_K^-1(C[i]) xor F[i]. Every block's cipher input is known in advance, so
// each batch first records F[i] for each of its blocks (reading the source before the batch
// overwrites it when source == dest), then decrypts the whole batch in one parallel call that XORs
// those values into the output.
void TCipher_Rijndael::DecodeBuffer(const uint8_t* source, uint8_t* dest, size_t size) {
  alignas(16) uint8_t feedback[kBlockSize];
  alignas(16) uint8_t batchFeedback[kDecodeBatchBytes];
  std::memcpy(feedback, FImpl->FInitialFeedback, kBlockSize);
  const size_t full = size - size % kBlockSize;
  for (size_t done = 0; done < full;) {
    const size_t n = std::min(full - done, kDecodeBatchBytes);
    for (size_t i = 0; i < n; i += kBlockSize) {
      std::memcpy(batchFeedback + i, feedback, kBlockSize);
      xorBlockInto(feedback, source + done + i);
    }
    FImpl->FDecryption.AdvancedProcessBlocks(source + done, batchFeedback, dest + done, n,
                                             BlockTransformation::BT_AllowParallel);
    done += n;
  }
  if (full < size) FImpl->xorTail(feedback, source + full, dest + full, size - full);
}

}  // namespace tesvar::codec
