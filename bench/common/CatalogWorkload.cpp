#include "CatalogWorkload.h"

#include "CatalogWorkload_internal.h"
#include "platform/CodePage.h"

#include <crypto++/sha.h>

#include <cstdio>
#include <numeric>

namespace tesvar::bench {

namespace {

// A vocabulary in Windows-1251.
struct TVocabulary {
  std::vector<std::string> Words;
  explicit TVocabulary(const std::vector<std::string>& Utf8) {
    for (const std::string& w : Utf8) Words.push_back(platform::ToAnsi(w));
  }
  const std::string& operator[](uint64_t i) const { return Words[static_cast<size_t>(i)]; }
};

struct TVocabularies {
  TVocabulary Groups{kGroups}, Categories{kCategories}, Extensions{kExtensions}, TitleStems{kTitleStems},
      Folders{kFolders}, WordsRu{kWordsRu}, WordsEn{kWordsEn}, Keywords{kKeywords}, Domains{kDomains}, Tlds{kTlds},
      UrlPaths{kUrlPaths};
  std::vector<std::string> DiskNames;
  TVocabularies() {
    const TVocabulary prefixes{kDiskPrefixes};
    for (int i = 0; i < 500; ++i) {
      char number[8];
      std::snprintf(number, sizeof number, " %02d", i / 20 + 1);
      DiskNames.push_back(prefixes[static_cast<uint64_t>(i % 20)] + number);
    }
  }
};

const TVocabularies& vocabularies() {
  static const TVocabularies v;
  return v;
}

// Upper case of the first character: Latin a-z, Cyrillic а-я and ё (Windows-1251).
std::string capitalized(std::string Word) {
  if (Word.empty()) return Word;
  auto c = static_cast<uint8_t>(Word[0]);
  if ((c >= 'a' && c <= 'z') || c >= 0xE0)
    c = static_cast<uint8_t>(c - 32);
  else if (c == 0xB8)
    c = 0xA8;
  Word[0] = static_cast<char>(c);
  return Word;
}

std::string twoDigits(uint64_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "%02u", static_cast<unsigned>(v));
  return text;
}

}  // namespace

TCatalogGenerator::TCatalogGenerator(uint64_t Seed) : FRandom(Seed) {}

std::string TCatalogGenerator::Text(uint64_t MaxLength) {
  const TVocabularies& v = vocabularies();
  const uint64_t length = FRandom.Below(MaxLength + 1);
  std::string out;
  bool cap = true;
  while (out.size() < length) {
    const uint64_t w = FRandom.Next();
    const TVocabulary& vocabulary = (w & 15) < 10 ? v.WordsRu : v.WordsEn;
    std::string word = vocabulary[((w >> 8) * 60) >> 56];
    if (cap) word = capitalized(std::move(word));
    cap = ((w >> 4) & 7) == 0;
    out += word;
    out += cap ? ". " : " ";
  }
  out.resize(static_cast<size_t>(length));
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

TCatalogRow TCatalogGenerator::Next() {
  const TVocabularies& v = vocabularies();
  TSplitMix64& r = FRandom;
  TCatalogRow row;
  const std::string& stem = v.TitleStems[r.Below(100)];
  const uint64_t form = r.Below(4);
  const std::string& ext = v.Extensions[r.Below(30)];
  switch (form) {
    case 0: row.Title = stem + "." + ext; break;
    case 1: row.Title = stem + "_" + std::to_string(r.Below(10000)) + "." + ext; break;
    case 2: row.Title = stem + twoDigits(r.Below(100)) + "." + ext; break;
    default: {
      const uint64_t a = r.Below(10);
      const uint64_t b = r.Below(100);
      row.Title = capitalized(stem) + " v" + std::to_string(a) + "." + std::to_string(b) + "." + ext;
    }
  }
  row.Description = Text(400);
  row.Group = v.Groups[r.Below(40)];
  row.DiskYear = static_cast<int32_t>(1995 + r.Below(32));
  row.DiskNum = static_cast<int32_t>(1 + r.Below(12));
  row.DiskName = v.DiskNames[static_cast<size_t>(r.Below(500))];
  row.Category = v.Categories[r.Below(25)];
  if (r.Below(10) >= 7) row.Narrative = Text(300);
  const std::string drive = r.Below(10) < 9 ? "E:" : "D:";
  const uint64_t depth = 1 + r.Below(4);
  row.PathFile = drive;
  for (uint64_t i = 0; i < depth; ++i) row.PathFile += "\\" + v.Folders[r.Below(40)];
  row.PathFile += "\\" + row.Title;
  if (r.Below(10) >= 6) {
    const std::string scheme = r.Below(2) == 0 ? "http://www." : "https://";
    const std::string& domain = v.Domains[r.Below(20)];
    const std::string& tld = v.Tlds[r.Below(6)];
    const std::string& path = v.UrlPaths[r.Below(8)];
    row.WWW = scheme + domain + "." + tld + "/" + path;
  }
  const uint64_t k = r.Below(5);
  for (uint64_t i = 0; i < k; ++i) {
    if (i > 0) row.KeyWords += ", ";
    row.KeyWords += v.Keywords[r.Below(50)];
  }
  return row;
}

std::string CatalogTsvLine(const TCatalogRow& Row, bool Cp1251) {
  std::string line;
  for (const std::string* field : {&Row.Title, &Row.Description, &Row.Group}) line += *field + "\t";
  line += std::to_string(Row.DiskYear) + "\t" + std::to_string(Row.DiskNum) + "\t";
  for (const std::string* field : {&Row.DiskName, &Row.Category, &Row.Narrative, &Row.PathFile, &Row.WWW})
    line += *field + "\t";
  line += Row.KeyWords + "\n";
  return Cp1251 ? line : platform::FromAnsi(line);
}

TCatalogRowSet::TCatalogRowSet(bool Utf8, bool KeepMemos) : FUtf8(Utf8), FKeepMemos(KeepMemos) {}

void TCatalogRowSet::Add(const TCatalogRow& Row) {
  const std::string* texts[kFieldCount] = {&Row.Title,    &Row.Description, &Row.Group,    nullptr,
                                           nullptr,       &Row.DiskName,    &Row.Category, &Row.Narrative,
                                           &Row.PathFile, &Row.WWW,         &Row.KeyWords};
  for (int32_t f = 0; f < kFieldCount; ++f) {
    const bool memo = f == cfDescription || f == cfNarrative;
    if (texts[f] != nullptr && (FKeepMemos || !memo)) FText += FUtf8 ? platform::FromAnsi(*texts[f]) : *texts[f];
    FStarts.push_back(static_cast<uint32_t>(FText.size()));
  }
  FYears.push_back(Row.DiskYear);
  FNums.push_back(Row.DiskNum);
}

std::string_view TCatalogRowSet::Text(int64_t Row, TField Field) const {
  const size_t at = static_cast<size_t>(Row) * kFieldCount + static_cast<size_t>(Field);
  const uint32_t begin = at == 0 ? 0 : FStarts[at - 1];
  return std::string_view(FText).substr(static_cast<size_t>(begin), static_cast<size_t>(FStarts[at] - begin));
}

std::string GenerateCatalogRows(int64_t N, uint64_t Seed, TCatalogRowSet& Rows) {
  TCatalogGenerator generator(Seed);
  TSha256 hash;
  for (int64_t i = 0; i < N; ++i) {
    const TCatalogRow row = generator.Next();
    hash.Add(CatalogTsvLine(row));
    Rows.Add(row);
  }
  return hash.Hex();
}

std::string CatalogCheckSha256(int64_t N, uint64_t Seed, bool Cp1251) {
  struct TCheck {
    int64_t N;
    uint64_t Seed;
    bool Cp1251;
    const char* Sha256;
  };
  static const TCheck checks[] = {
      {1000, 1, false, "62c74b5a062c073c92358bcd4d0cb017b14b65fdaf5e4016df0019b6bc7269b9"},
      {1000, 1, true, "ff67c2f34c3dd3629e8c28fd2cf58879ea61eefdd9500bd39fe158e5e5a93612"},
      {100000, 42, false, "370f6353e66d0681567a3f66abf2de420441d3615c544b1a7087d433195abf21"},
      {1000000, 42, false, "eb402c4d04ab138eba536f50354e9bca707432ceaefc2c5ab4a30c731c8f5e43"},
  };
  for (const TCheck& c : checks)
    if (c.N == N && c.Seed == Seed && c.Cp1251 == Cp1251) return c.Sha256;
  return {};
}

struct TSha256::TState {
  CryptoPP::SHA256 Hash;
};

TSha256::TSha256() : FState(new TState) {}

TSha256::~TSha256() { delete FState; }

void TSha256::Add(const std::string& Bytes) {
  FState->Hash.Update(reinterpret_cast<const CryptoPP::byte*>(Bytes.data()), Bytes.size());
}

std::string TSha256::Hex() {
  CryptoPP::byte digest[CryptoPP::SHA256::DIGESTSIZE];
  FState->Hash.Final(digest);
  static const char* const digits = "0123456789abcdef";
  std::string hex;
  for (CryptoPP::byte b : digest) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  return hex;
}

std::vector<int64_t> CatalogLookupIds(int64_t N, uint64_t Seed, int64_t Count) {
  TSplitMix64 r(Seed + 1000003);
  std::vector<int64_t> ids;
  for (int64_t i = 0; i < Count; ++i) ids.push_back(1 + static_cast<int64_t>(r.Below(static_cast<uint64_t>(N))));
  return ids;
}

std::vector<int64_t> CatalogDeleteIds(int64_t N, uint64_t Seed) {
  TSplitMix64 r(Seed + 2000003);
  const int64_t d = N / 10;
  std::vector<int64_t> ids(static_cast<size_t>(N));
  std::iota(ids.begin(), ids.end(), 1);
  for (int64_t i = 0; i < d; ++i) {
    const int64_t j = i + static_cast<int64_t>(r.Below(static_cast<uint64_t>(N - i)));
    std::swap(ids[static_cast<size_t>(i)], ids[static_cast<size_t>(j)]);
  }
  ids.resize(static_cast<size_t>(d));
  return ids;
}

}  // namespace tesvar::bench
