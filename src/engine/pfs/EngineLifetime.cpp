#include "pfs/EngineLifetime.h"

#include "pfs/TPFSManager.h"

#include <memory>

namespace tesvar::pfs {

namespace {

struct EngineState {
  std::unique_ptr<TPFSManager> registry;
  bool started = false;
  TEngineStartHook startHook = nullptr;
};

EngineState& engine() {
  static EngineState state;
  return state;
}

}  // namespace

TPFSManager& PFSManager() {
  EngineState& state = engine();
  if (!state.registry) state.registry = std::make_unique<TPFSManager>();
  return *state.registry;
}

void edEngineStart() {
  EngineState& state = engine();
  if (state.started) return;
  PFSManager();
  state.started = true;
  if (state.startHook != nullptr) state.startHook();
}

void edEngineStop() {
  EngineState& state = engine();
  std::unique_ptr<TPFSManager> registry = std::move(state.registry);
  state.started = false;
  registry.reset();
}

bool edEngineStarted() { return engine().started; }

void edSetEngineStartHook(TEngineStartHook Hook) { engine().startHook = Hook; }

}  // namespace tesvar::pfs
