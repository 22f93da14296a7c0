#pragma once
// Start and stop of the table engine. Start creates the plain file system registry and runs the
// start hook; stop destroys the registry with every plain file system in it, closing their open
// files (temporary files are removed, in-memory data is dropped). Both are idempotent.

namespace tesvar::pfs {

void edEngineStart();
void edEngineStop();
bool edEngineStarted();

// A routine that edEngineStart runs after creating the registry (null = none).
using TEngineStartHook = void (*)();
void edSetEngineStartHook(TEngineStartHook Hook);

// Starts the engine for its lifetime and stops it after.
class ScopedEngine {
public:
  ScopedEngine() { edEngineStart(); }
  ~ScopedEngine() { edEngineStop(); }
  ScopedEngine(const ScopedEngine&) = delete;
  ScopedEngine& operator=(const ScopedEngine&) = delete;
};

}  // namespace tesvar::pfs
