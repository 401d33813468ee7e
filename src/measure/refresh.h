// Measuring every row of the server list: one dispatcher per refresh starts one worker per row, and
// the workers together stay near MaxWorkers.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/locks.h"

// Set once by the start-up before the first refresh, read-only afterwards.
extern int32_t PingTimeoutMs;
extern int32_t MaxWorkers;
// Workers that have begun and not yet finished. Dispatchers read it without RowLock, so it is atomic.
extern std::atomic<int32_t> ActiveWorkers;
// Guards the ActiveWorkers updates of the workers and their latency-cell writes.
extern LockHandle RowLock;

// Thread routine (the argument is unused). Measures every row once. Overlapping refreshes are bounded:
// while one dispatches, one more may wait behind it; a refresh asked for while one waits joins that one
// and returns at once, since the waiting one will read the rows when its turn comes.
void RefreshAll(int32_t);

// Thread routine: probes the host of the row and writes "<ms>" or "无响应" into its latency cell. A
// result whose rows were replaced by a newer load in the meantime is dropped.
void ProbeRow(int32_t row);

// What the workers measure with: PingHost unless a stand-in is set (nullptr restores PingHost), so that
// tests of the window can run without sending anything.
using ProbeRoutine = int32_t (*)(std::string_view host, std::optional<int32_t> timeoutMs);
void SetProbeRoutine(ProbeRoutine routine);

namespace refresh_testing {
// Dispatchers now dispatching or waiting for their turn (not those that joined a waiting one), and the
// most there ever were at once since the last reset.
int32_t HeldDispatchers();
int32_t PeakHeldDispatchers();
void ResetPeakHeldDispatchers();
// Workers started whose thread has not yet counted itself in ActiveWorkers.
int32_t StartingWorkers();
}  // namespace refresh_testing
