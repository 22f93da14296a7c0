// String collation speed: comparisons of two names per second.
//
// Reference: AnsiCompareTextCI, the byte-wise case-insensitive comparison of the code page's case
// folding. Then the collation's case-insensitive (CollateText), case-sensitive (CollateStr) and
// name (CollateNames) comparisons on the rank tables, and the case-insensitive comparison through
// the locale's collator (no rank tables) for scale; each as nanoseconds per comparison over the
// same random pairs of names (Cyrillic and Latin, a shared prefix in half of them), best of eleven
// rounds. Last, the time to build the collation of a locale (engine start).
//
// Usage: bench_collation [pairs (default 2000000)]
// Output: name<TAB>value<TAB>unit lines, reference first. Locale: $TESVAR_LOCALE or ru_RU.

#include "platform/AnsiCase.h"
#include "platform/AnsiCollation.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace tesvar::platform;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 11;

void print(const char* Name, double Value, const char* Unit) { std::printf("%s\t%.3f\t%s\n", Name, Value, Unit); }

std::vector<std::string> randomNames(size_t Count, std::mt19937& Random) {
  const std::string Letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.";
  std::vector<std::string> Names(Count);
  for (std::string& Name : Names) {
    const bool Cyrillic = Random() % 2;
    Name = Random() % 2 ? "\xC4\xE8\xF1\xEA_0" : "";  // "Диск_0"
    const size_t Length = 4 + Random() % 16;
    while (Name.size() < Length) {
      Name.push_back(Cyrillic ? static_cast<char>(0xC0 + Random() % 64) : Letters[Random() % Letters.size()]);
    }
  }
  return Names;
}

struct Variant {
  const char* Name;
  std::function<int(std::string_view, std::string_view)> Compare;
  size_t Pairs;  // how many of the pairs it compares
  double Best = 1e300;
};

// Nanoseconds per comparison of Compare over the first Count pairs.
double nsPerCompare(const std::vector<std::string>& Names, const std::vector<std::pair<uint32_t, uint32_t>>& Pairs,
                    const std::function<int(std::string_view, std::string_view)>& Compare, size_t Count, long& Sink) {
  const auto Start = Clock::now();
  long Sum = 0;
  for (size_t I = 0; I < Count; ++I) Sum += Compare(Names[Pairs[I].first], Names[Pairs[I].second]) < 0;
  Sink += Sum;
  return std::chrono::duration<double, std::nano>(Clock::now() - Start).count() / static_cast<double>(Count);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t PairCount = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000000;
  const char* Forced = std::getenv(kLocaleVariable);
  const std::string Locale = Forced && *Forced ? Forced : "ru_RU";

  const auto BuildStart = Clock::now();
  const TAnsiCollation Fast(Locale);
  const double BuildMs = std::chrono::duration<double, std::milli>(Clock::now() - BuildStart).count();
  const TAnsiCollation Slow(Locale, false);
  if (!Fast.Fast()) std::fprintf(stderr, "bench_collation: the ranks of %s tie; no fast path\n", Locale.c_str());
  ScopedEngineCollation InForce(Fast);

  std::mt19937 Random(12345);
  const std::vector<std::string> Names = randomNames(4096, Random);
  std::vector<std::pair<uint32_t, uint32_t>> Pairs(PairCount);
  for (auto& P : Pairs) P = {Random() % Names.size(), Random() % Names.size()};

  // Every round measures every variant back to back, so that a busy moment of the machine
  // spoils one round of all of them rather than all rounds of one.
  std::vector<Variant> Variants = {
      {"AnsiCompareTextCI", AnsiCompareTextCI, PairCount},
      {"CollateText", CollateText, PairCount},
      {"CollateStr", CollateStr, PairCount},
      {"CollateNames", CollateNames, PairCount},
      {"collator_CompareText", [&Slow](std::string_view A, std::string_view B) { return Slow.CompareText(A, B); },
       PairCount / 20},
  };
  long Sink = 0;
  for (int Round = 0; Round < kRounds; ++Round) {
    for (Variant& V : Variants) V.Best = std::min(V.Best, nsPerCompare(Names, Pairs, V.Compare, V.Pairs, Sink));
  }
  for (const Variant& V : Variants) print(V.Name, V.Best, "ns/compare");
  print("build_collation", BuildMs, "ms");
  std::fprintf(stderr, "(%ld)\n", Sink);
  return 0;
}
