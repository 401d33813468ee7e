#include "measure/refresh.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>

#include "measure/probe.h"
#include "runtime/text.h"
#include "runtime/threads.h"
#include "ui/serverlist.h"

int32_t PingTimeoutMs = 1000;
int32_t MaxWorkers = 30;
std::atomic<int32_t> ActiveWorkers{0};
LockHandle RowLock = 0;

namespace {

constexpr std::string_view kNoAnswer = "无响应";

std::atomic<ProbeRoutine> g_probe{nullptr};

// Workers started by the dispatcher that have not yet counted themselves in ActiveWorkers. A new worker
// counts itself under RowLock, which the writing workers hold while their results are handed to the
// interface thread; without this count the dispatcher would see free places that are already taken and
// start workers by the dozen beyond MaxWorkers.
std::atomic<int32_t> g_startingWorkers{0};

bool WorkerPlacesTaken() {
  return ActiveWorkers.load() + g_startingWorkers.load() >= MaxWorkers;
}

// Who is dispatching and who waits. Made once and never destroyed: a detached dispatcher may still be
// waiting on it while the process ends.
struct DispatchState {
  std::mutex mutex;
  std::condition_variable turn;
  bool dispatching = false;
  bool waiting = false;
  std::atomic<int32_t> held{0};
  std::atomic<int32_t> peak{0};
};

DispatchState& Dispatch() {
  static DispatchState* state = new DispatchState;
  return *state;
}

void NoteHeld(DispatchState& state) {
  const int32_t now = state.held.fetch_add(1) + 1;
  int32_t peak = state.peak.load();
  while (now > peak && !state.peak.compare_exchange_weak(peak, now)) {
  }
}

// False when the caller has joined the refresh that waits already; otherwise returns once it is the
// caller's turn to dispatch.
bool TakeDispatchTurn() {
  DispatchState& state = Dispatch();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (state.dispatching) {
    if (state.waiting) return false;
    state.waiting = true;
    NoteHeld(state);
    state.turn.wait(lock, [&state] { return !state.dispatching; });
    state.waiting = false;
  } else {
    NoteHeld(state);
  }
  state.dispatching = true;
  return true;
}

void GiveUpDispatchTurn() {
  DispatchState& state = Dispatch();
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    state.dispatching = false;
    state.held.fetch_sub(1);
  }
  state.turn.notify_all();
}

}  // namespace

void SetProbeRoutine(ProbeRoutine routine) {
  g_probe.store(routine);
}

void RefreshAll(int32_t) {
  if (!TakeDispatchTurn()) return;
  // Read before the count: once the rows are replaced, the load that replaced them has asked for its
  // own refresh, and starting workers for the old rows would only delay it.
  const uint64_t generation = RowsGeneration();
  const int32_t rows = GetRowCount();
  for (int32_t row = 0; row < rows && RowsGeneration() == generation; ++row) {
    g_startingWorkers.fetch_add(1);
    if (!StartThread(ProbeRow, row)) g_startingWorkers.fetch_sub(1);
    while (WorkerPlacesTaken() && RowsGeneration() == generation) SleepMs(1);
  }
  GiveUpDispatchTurn();
}

void ProbeRow(int32_t row) {
  EnterLock(RowLock);
  ActiveWorkers.fetch_add(1);
  // Only after counting itself as active, so the dispatcher never sees this worker's place free. A
  // worker run without a dispatcher has nothing to take back.
  int32_t starting = g_startingWorkers.load();
  while (starting > 0 && !g_startingWorkers.compare_exchange_weak(starting, starting - 1)) {
  }
  LeaveLock(RowLock);

  // Taken before the host is read: if the rows are replaced after this, the result belongs to a row
  // that no longer exists and the generation-checked write drops it.
  const uint64_t generation = RowsGeneration();
  const std::string host = GetCellText(row, 1);
  std::string text(kNoAnswer);
  // An empty host is a vanished row or a line without an address: nothing to probe.
  if (!host.empty()) {
    const ProbeRoutine probe = g_probe.load();
    const int32_t ms = probe != nullptr ? probe(host, PingTimeoutMs) : PingHost(host, PingTimeoutMs);
    text = IntToText(ms);
    if (text == "-1") text = kNoAnswer;
  }

  EnterLock(RowLock);
  SetCellTextIfGeneration(generation, row, 2, text);
  ActiveWorkers.fetch_sub(1);
  LeaveLock(RowLock);
}

namespace refresh_testing {

int32_t HeldDispatchers() {
  return Dispatch().held.load();
}

int32_t PeakHeldDispatchers() {
  return Dispatch().peak.load();
}

void ResetPeakHeldDispatchers() {
  DispatchState& state = Dispatch();
  state.peak.store(state.held.load());
}

int32_t StartingWorkers() {
  return g_startingWorkers.load();
}

}  // namespace refresh_testing
