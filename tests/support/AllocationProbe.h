#pragma once
// The largest single allocation made during a stretch of a test, for tests that show a damaged
// input is refused before the engine allocates by its numbers. Measured in AddressSanitizer
// builds, whose allocator reports every allocation to an installed hook; elsewhere Measured() is
// false and nothing is recorded.

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*Malloc)(const volatile void*, size_t),
                                                         void (*Free)(const volatile void*));
#endif

namespace tesvar::testsupport {

// Records from construction to destruction; one object at a time.
class LargestAllocation {
public:
  LargestAllocation() {
    Install();
    Largest = 0;
    Armed = true;
  }
  ~LargestAllocation() { Armed = false; }
  LargestAllocation(const LargestAllocation&) = delete;
  LargestAllocation& operator=(const LargestAllocation&) = delete;

  static bool Measured() { return Install(); }
  size_t Bytes() const { return Largest; }

private:
  static void OnMalloc(const volatile void*, size_t Size) {
    if (Armed && Size > Largest) Largest = Size;
  }
  static void OnFree(const volatile void*) {}
  static bool Install() {
#if defined(__SANITIZE_ADDRESS__)
    static const bool Installed = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
    return Installed;
#else
    return false;
#endif
  }
  static inline std::atomic<bool> Armed{false};
  static inline std::atomic<size_t> Largest{0};
};

}  // namespace tesvar::testsupport
