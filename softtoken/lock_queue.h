// lock_queue.h — the queue that serves the callers waiting for a token's
// lock in the order they came (os_posix.cpp and os_win.cpp use it).
//
// The lock itself is a file lock on the lock file (flock, LockFileEx),
// which the system lets go when its holder dies, but which it hands, when
// freed, to whichever waiter happens to run (or poll) first: under load a
// caller could wait out its timeout while later ones got the lock. So a
// caller first takes a ticket from a queue kept in the lock file's first
// page, which every process maps, and waits until the ticket is served
// (asleep on a futex, or polling where there is none); only then does it
// take the file lock. Letting the lock go serves the next ticket.
//
// The page holds 32-bit words, zero in a new file: `next` (the next
// ticket to hand out) at offset 0, `serving` (the ticket whose turn it is)
// at offset 4; from offset 64 one word per ticket modulo 256, set to the
// ticket plus one by a caller that gave its ticket up at its timeout; from
// offset 1088 one word per ticket modulo 256, the process id of its taker.
// Nothing in the queue can keep the lock from a caller for long: when the
// served ticket's process has died (its file lock went with it, its turn
// did not), the next in line takes the turn over with the file lock at
// once, and any waiter does so when the queue stood still with the file
// lock free for a while (a caller that never came); the file lock alone
// keeps two holders apart.
#ifndef OBKEY_SOFTTOKEN_LOCK_QUEUE_H
#define OBKEY_SOFTTOKEN_LOCK_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace obkey::softtoken::os {

constexpr size_t kQueueSlots = 256;
constexpr size_t kQueuePage = 4096;

struct LockQueue {
  uint32_t next;
  uint32_t serving;
  uint32_t reserved[14];
  uint32_t given_up[kQueueSlots];
  uint32_t taker[kQueueSlots];
};

enum class Turn {
  kServed,          // the caller's ticket is served: it may take the file lock
  kServedWithLock,  // it took over a still queue, and holds the file lock already
  kGivenUp,         // the deadline passed; the ticket was given up
};

// AwaitTurn takes a ticket and waits until it is served or the monotonic
// clock reaches `deadline_ns`. `file` is the caller's opening of the lock
// file, through which it may take over a queue that stands still.
Turn AwaitTurn(LockQueue *queue, intptr_t file, int64_t deadline_ns, uint32_t *out_ticket);

// PassTurn serves the ticket after `ticket`, whose turn it was, skipping
// those given up: the lock was let go (or never taken).
void PassTurn(LockQueue *queue, uint32_t ticket);

// What each platform gives the queue (lock_queue_posix.cpp,
// lock_queue_win.cpp).

// MapLockQueue maps the queue of the lock file at `path`, which `file` has
// open, giving the file its page first; null where it cannot (no room on
// the disk for the page, a file system that cannot map files shared, the
// name now naming another file): callers then take the file lock as the
// system serves it. The page is mapped through an opening of its own: a
// mapping holds on to the opening it was made through, and with it any
// lock of that opening, for as long as it lasts (in a forked child too).
// The mapping stays for the life of the process.
LockQueue *MapLockQueue(const std::string &path, intptr_t file);
// SleepWhileServing sleeps while `serving` holds `serving_now`, at most
// until `until_ns`; WakeServed wakes the waiters of ticket `served`.
void SleepWhileServing(LockQueue *queue, uint32_t serving_now, uint32_t ticket, int64_t until_ns);
void WakeServed(LockQueue *queue, uint32_t served);
// ProcessGone says whether the process with id `process` has ended.
bool ProcessGone(uint32_t process);
uint32_t CurrentProcessNumber();
// TryFileLock takes the file lock through `file` if it is free.
bool TryFileLock(intptr_t file);
// MonotonicNs is the monotonic clock in nanoseconds.
int64_t MonotonicNs();

}  // namespace obkey::softtoken::os

#endif  // OBKEY_SOFTTOKEN_LOCK_QUEUE_H
