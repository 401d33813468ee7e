#include "runtime/locks.h"

#include <array>
#include <atomic>
#include <mutex>
#include <thread>

namespace {

enum class SlotState : uint8_t { Unused, Live, Retired };

struct LockSlot {
  std::mutex mutex;
  // Lets LeaveLock refuse a thread that does not hold the lock (unlocking a std::mutex one does not own
  // is undefined) and lets the holder take the lock again instead of deadlocking on itself.
  std::atomic<std::thread::id> owner{};
  uint32_t depth = 0;  // touched only by the holder
  std::atomic<SlotState> state{SlotState::Unused};
};

// Fixed storage: lookups from any thread never meet a reallocation, and no mutex is ever destroyed
// while a detached thread may still hold or wait for it. Slots are never reused.
constexpr uint32_t kLockCapacity = 1024;
std::array<LockSlot, kLockCapacity> g_slots;
std::atomic<uint32_t> g_used{0};

LockSlot* Lookup(LockHandle handle) {
  if (handle == 0 || handle > kLockCapacity) return nullptr;
  LockSlot& slot = g_slots[handle - 1];
  return slot.state.load(std::memory_order_acquire) == SlotState::Live ? &slot : nullptr;
}

}  // namespace

LockHandle CreateLock() {
  uint32_t index = g_used.load(std::memory_order_relaxed);
  do {
    if (index >= kLockCapacity) return 0;
  } while (!g_used.compare_exchange_weak(index, index + 1, std::memory_order_relaxed));
  // A DestroyAllLocks that ran since the slot was taken has retired it already: it is not handed out.
  SlotState expected = SlotState::Unused;
  if (!g_slots[index].state.compare_exchange_strong(expected, SlotState::Live, std::memory_order_release)) {
    return 0;
  }
  return index + 1;
}

void EnterLock(LockHandle handle) {
  LockSlot* slot = Lookup(handle);
  if (slot == nullptr) return;
  const auto self = std::this_thread::get_id();
  // Only this thread ever stores its own id, so reading it back means it holds the lock.
  if (slot->owner.load(std::memory_order_relaxed) == self) {
    ++slot->depth;
    return;
  }
  slot->mutex.lock();
  slot->owner.store(self, std::memory_order_relaxed);
  slot->depth = 1;
}

void LeaveLock(LockHandle handle) {
  LockSlot* slot = Lookup(handle);
  if (slot == nullptr) return;
  if (slot->owner.load(std::memory_order_relaxed) != std::this_thread::get_id()) return;
  if (--slot->depth > 0) return;
  slot->owner.store(std::thread::id{}, std::memory_order_relaxed);
  slot->mutex.unlock();
}

void DestroyAllLocks() {
  const uint32_t used = g_used.load(std::memory_order_acquire);
  for (uint32_t i = 0; i < used; ++i) g_slots[i].state.store(SlotState::Retired, std::memory_order_release);
}
