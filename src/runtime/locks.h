// Process-private mutual-exclusion locks known by handle. The registry may be read from any thread while
// CreateLock appends to it.
#pragma once

#include <cstdint>

using LockHandle = uint32_t;

// A new, free lock; never 0. Returns 0 when no lock can be made (the registry is full).
LockHandle CreateLock();

// Waits until the lock is free and takes it. The holder may take it again; it is then free after as many
// LeaveLock calls. A handle that names no lock (0, unknown, or retired by DestroyAllLocks) returns at once.
void EnterLock(LockHandle handle);

// Releases one taking of the lock by the calling thread. Does nothing when the handle names no lock or
// the calling thread does not hold it.
void LeaveLock(LockHandle handle);

// For program end: every handle made so far stops naming a lock. The locks' storage stays, since a
// detached thread may still hold or wait for one; later CreateLock calls never hand out a retired lock.
void DestroyAllLocks();
