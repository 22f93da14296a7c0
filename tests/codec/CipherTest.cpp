// The page cipher: published AES-256 and RIPEMD-256 vectors, and the feedback mode against a
// block-by-block reference written from its definition.

#include "codec/TCipher_Rijndael.h"

#include <crypto++/aes.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace tesvar::codec {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
  Bytes bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string toHex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < size; ++i) {
    hex += kDigits[data[i] >> 4];
    hex += kDigits[data[i] & 15];
  }
  return hex;
}

Bytes randomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// --- Published vectors -------------------------------------------------------------------------

struct AesVector {
  const char* source;
  const char* key;
  const char* plain;
  const char* cipher;
};

// FIPS-197 appendix C.3 and NIST SP 800-38A F.1.5 (ECB-AES256).
constexpr AesVector kAesVectors[] = {
    {"FIPS-197 C.3", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    {"SP800-38A block 1", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "6bc1bee22e409f96e93d7e117393172a", "f3eed1bdb5d2a03c064b5a7e3db181f8"},
    {"SP800-38A block 2", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "ae2d8a571e03ac9c9eb76fac45af8e51", "591ccb10d410ed26dc5ba74a31362870"},
    {"SP800-38A block 3", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "30c81c46a35ce411e5fbc1191a0a52ef", "b6ed21b99ca6f4f9f153e7b1beafed1d"},
    {"SP800-38A block 4", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "f69f2445df4f9b17ad2b417be66c3710", "23304b7a39f9f3ff067d8d8f9e24ecc7"},
};

TEST(CipherVectors, Aes256EncryptsAndDecryptsPublishedBlocks) {
  for (const auto& v : kAesVectors) {
    SCOPED_TRACE(v.source);
    const Bytes key = fromHex(v.key);
    const Bytes plain = fromHex(v.plain);
    uint8_t block[16];
    CryptoPP::AES::Encryption(key.data(), key.size()).ProcessBlock(plain.data(), block);
    EXPECT_EQ(toHex(block, 16), v.cipher);
    CryptoPP::AES::Decryption(key.data(), key.size()).ProcessBlock(block);
    EXPECT_EQ(toHex(block, 16), v.plain);
  }
}

TEST(CipherVectors, Ripemd256MatchesPublishedDigests) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "02ba4c4e5f8ecd1877fc52d64d30e37a2d9774fb1e5d026380ae0168e3c5522d"},
      {"a", "f9333e45d857f5d90a91bab70a1eba0cfb1be4b0783c9acfcd883a9134692925"},
      {"abc", "afbd6e228b9d8cbbcef5ca2d03e6dba10ac0bc7dcbe4680e1e42d2e975459b65"},
      {"message digest", "87e971759a1ce47a514d5c914c392c9018c7c46bc14465554afcdf54a5070c0e"},
      {"abcdefghijklmnopqrstuvwxyz", "649d3034751ea216776bf9a18acc81bc7896118a5197968782dd1fd97d8d5133"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "3843045583aac6c8c8d9128573e7a9809afb2a0f34ccc36ea9e72f16f6368e3f"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "5740a408ac16b720b84424ae931cbb1fe363d1d0bf4017f1a89f7ea6de77a0b8"},
      {"1234567890123456789012345678901234567890"
       "1234567890123456789012345678901234567890",
       "06fdcc7a409548aaf91368c06a6275b553e3f099bf0ea4edfd6778df89a890dd"},
      {std::string(1000000, 'a'), "ac953744e10e31514c150d4d8d7b677342e33399788296e43ae4850ce4f97978"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 64));
    const auto digest = Ripemd256(c.message);
    EXPECT_EQ(toHex(digest.data(), digest.size()), c.digest);
  }
}

TEST(CipherVectors, KeyDerivationUsesEveryByteIncludingZeros) {
  // The container's page key is 32 random bytes followed by a zero byte: nothing may stop at a
  // zero byte, and the trailing zero counts.
  const std::string withZero("a\0b", 3);
  EXPECT_NE(Ripemd256(withZero), Ripemd256("a"));
  EXPECT_NE(Ripemd256(std::string("ab\0", 3)), Ripemd256("ab"));
}

// --- Feedback mode against a reference -----------------------------------------------------------

// The engine's feedback mode one block at a time, straight from its definition.
class ReferenceCipher {
 public:
  explicit ReferenceCipher(const std::string& key) {
    const auto digest = Ripemd256(key);
    FEnc.SetKey(digest.data(), digest.size());
    FDec.SetKey(digest.data(), digest.size());
    std::memset(FF0, 0xFF, 16);
    FEnc.ProcessBlock(FF0);
  }

  Bytes encode(const Bytes& plain) const { return run(plain, true); }
  Bytes decode(const Bytes& cipher) const { return run(cipher, false); }
  const uint8_t* f0() const { return FF0; }
  // AES_K(F0): the stream a buffer shorter than one block is XORed with.
  Bytes shortPad() const {
    Bytes pad(16);
    FEnc.ProcessBlock(FF0, pad.data());
    return pad;
  }

 private:
  Bytes run(const Bytes& in, bool encrypt) const {
    Bytes out(in.size());
    uint8_t f[16];
    std::memcpy(f, FF0, 16);
    size_t i = 0;
    for (; i + 16 <= in.size(); i += 16) {
      uint8_t block[16];
      if (encrypt) {
        for (int j = 0; j < 16; ++j) block[j] = in[i + j] ^ f[j];
        FEnc.ProcessBlock(block, &out[i]);
        for (int j = 0; j < 16; ++j) f[j] ^= out[i + j];
      } else {
        FDec.ProcessBlock(&in[i], block);
        for (int j = 0; j < 16; ++j) out[i + j] = block[j] ^ f[j];
        for (int j = 0; j < 16; ++j) f[j] ^= in[i + j];
      }
    }
    if (i < in.size()) {
      uint8_t t[16];
      FEnc.ProcessBlock(f, t);
      for (size_t j = 0; i + j < in.size(); ++j) out[i + j] = in[i + j] ^ t[j];
    }
    return out;
  }

  CryptoPP::AES::Encryption FEnc;
  CryptoPP::AES::Decryption FDec;
  uint8_t FF0[16];
};

const std::string kKey = std::string("page key \x01\x02\xfe", 12) + std::string(1, '\0');
constexpr uint32_t kSeed = 20240611;

// Lengths around the block size, a container page payload, and one spanning several decode batches.
class CipherLength : public testing::TestWithParam<size_t> {
 protected:
  size_t length() const { return GetParam(); }
  Bytes plain() const { return randomBytes(length(), kSeed + static_cast<uint32_t>(length())); }
  TCipher_Rijndael FCipher{kKey};
  ReferenceCipher FReference{kKey};
};

INSTANTIATE_TEST_SUITE_P(Lengths, CipherLength, testing::Values(0, 1, 5, 15, 16, 17, 31, 33, 4064, 8200));

// Decoding is checked on arbitrary bytes, not only on what EncodeBuffer produced.
TEST_P(CipherLength, EncodeAndDecodeMatchReference) {
  SCOPED_TRACE(testing::Message() << "seed " << kSeed + length());
  const Bytes data = plain();
  Bytes out(length());
  FCipher.EncodeBuffer(data.data(), out.data(), data.size());
  EXPECT_EQ(out, FReference.encode(data));
  FCipher.DecodeBuffer(data.data(), out.data(), data.size());
  EXPECT_EQ(out, FReference.decode(data));
}

TEST_P(CipherLength, InPlaceGivesTheSameBytesAndRoundTrips) {
  SCOPED_TRACE(testing::Message() << "seed " << kSeed + length());
  const Bytes p = plain();
  Bytes buffer = p;
  FCipher.EncodeBuffer(buffer.data(), buffer.data(), buffer.size());
  EXPECT_EQ(buffer, FReference.encode(p));
  // A separate object from the same key string restores the plaintext.
  TCipher_Rijndael other(kKey);
  other.DecodeBuffer(buffer.data(), buffer.data(), buffer.size());
  EXPECT_EQ(buffer, p);
}

TEST_P(CipherLength, EveryBufferStartsFromTheInitialFeedback) {
  const Bytes p = plain();
  const Bytes unrelated = randomBytes(100, kSeed);
  Bytes first(length()), second(length()), scratch(unrelated.size());
  FCipher.EncodeBuffer(p.data(), first.data(), p.size());
  FCipher.EncodeBuffer(unrelated.data(), scratch.data(), scratch.size());
  FCipher.DecodeBuffer(unrelated.data(), scratch.data(), scratch.size());
  FCipher.EncodeBuffer(p.data(), second.data(), p.size());
  EXPECT_EQ(first, second);
}

TEST(Cipher, InitialFeedbackIsTheKeyedEncryptionOfAllOnes) {
  TCipher_Rijndael cipher(kKey);
  ReferenceCipher reference(kKey);
  EXPECT_EQ(toHex(cipher.InitialFeedback(), 16), toHex(reference.f0(), 16));
}

TEST(Cipher, ShortBufferIsXoredWithTheEncryptedInitialFeedback) {
  TCipher_Rijndael cipher(kKey);
  const Bytes pad = ReferenceCipher(kKey).shortPad();
  const Bytes p = {'h', 'e', 'l', 'l', 'o'};
  Bytes c(p.size());
  cipher.EncodeBuffer(p.data(), c.data(), p.size());
  for (size_t i = 0; i < p.size(); ++i) EXPECT_EQ(c[i], p[i] ^ pad[i]) << "byte " << i;
}

TEST(Cipher, EmptyBufferIsLeftAlone) {
  TCipher_Rijndael cipher(kKey);
  uint8_t sentinel = 0x5A;
  cipher.EncodeBuffer(&sentinel, &sentinel, 0);
  cipher.DecodeBuffer(&sentinel, &sentinel, 0);
  EXPECT_EQ(sentinel, 0x5A);
  cipher.EncodeBuffer(nullptr, nullptr, 0);
}

TEST(Cipher, KeyStringsThatDifferOnlyAfterAZeroByteGiveDifferentCiphertexts) {
  const Bytes p = randomBytes(48, kSeed);
  Bytes a(p.size()), b(p.size());
  TCipher_Rijndael(std::string("key\0one", 7)).EncodeBuffer(p.data(), a.data(), p.size());
  TCipher_Rijndael(std::string("key\0two", 7)).EncodeBuffer(p.data(), b.data(), p.size());
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace tesvar::codec
