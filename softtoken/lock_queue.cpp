#include "lock_queue.h"

namespace obkey::softtoken::os {

namespace {

static_assert(sizeof(LockQueue) <= kQueuePage, "the queue fits the lock file's first page");
static_assert(offsetof(LockQueue, given_up) == 64 && offsetof(LockQueue, taker) == 64 + 1024,
              "the layout softtoken/README.md gives");

// How long a queue must stand still, with the file lock free, before a
// waiter takes it over although the served ticket's process lives: far
// longer than a caller needs between its turn and its file lock, far
// shorter than a lock timeout.
constexpr int64_t kStillNs = 50 * 1000 * 1000;
// How often the next in line looks whether the served ticket's process
// died (its file lock went with it, but not its turn).
constexpr int64_t kNextInLineNs = 1000 * 1000;

uint32_t Load(const uint32_t *word) {
  return __atomic_load_n(word, __ATOMIC_SEQ_CST);
}

bool Swap(uint32_t *word, uint32_t expected, uint32_t desired) {
  return __atomic_compare_exchange_n(word, &expected, desired, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST);
}

// Before says whether ticket `a` comes before `b` (tickets wrap around).
bool Before(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) < 0;
}

// ServeFrom makes `ticket` the one served, unless the serving one is no
// longer `from`, then skips the tickets given up after it and wakes the
// one served.
void ServeFrom(LockQueue *queue, uint32_t from, uint32_t ticket) {
  if (!Swap(&queue->serving, from, ticket)) return;
  while (Load(&queue->given_up[ticket % kQueueSlots]) == ticket + 1 &&
         Swap(&queue->serving, ticket, ticket + 1)) {
    ++ticket;
  }
  // Nobody waits when the served ticket is the next to be handed out.
  if (Load(&queue->next) != ticket) WakeServed(queue, ticket);
}

bool TakerGone(const LockQueue *queue, uint32_t ticket) {
  return ProcessGone(Load(&queue->taker[ticket % kQueueSlots]));
}

}  // namespace

Turn AwaitTurn(LockQueue *queue, intptr_t file, int64_t deadline_ns, uint32_t *out_ticket) {
  const uint32_t ticket = __atomic_fetch_add(&queue->next, 1, __ATOMIC_SEQ_CST);
  __atomic_store_n(&queue->taker[ticket % kQueueSlots], CurrentProcessNumber(), __ATOMIC_SEQ_CST);
  *out_ticket = ticket;
  uint32_t serving = Load(&queue->serving);
  int64_t still_since = MonotonicNs();
  for (;;) {
    // Served, or passed over by a waiter that took over a still queue: the
    // file lock decides from here.
    if (!Before(serving, ticket)) return Turn::kServed;
    const int64_t now = MonotonicNs();
    if (now >= deadline_ns) {
      __atomic_store_n(&queue->given_up[ticket % kQueueSlots], ticket + 1, __ATOMIC_SEQ_CST);
      // Served meanwhile, before the mark was seen: serve the next.
      ServeFrom(queue, ticket, ticket + 1);
      return Turn::kGivenUp;
    }
    // The ticket served goes unused when its process died (the file lock
    // went with it, not the turn), or when the queue stood still while
    // nobody held the lock: take it over, with the lock.
    const bool next_in_line = serving + 1 == ticket;
    if (((next_in_line && TakerGone(queue, serving)) || now - still_since >= kStillNs) &&
        TryFileLock(file)) {
      while (Before(serving, ticket) && !Swap(&queue->serving, serving, ticket)) {
        serving = Load(&queue->serving);
      }
      return Turn::kServedWithLock;
    }
    int64_t wake = still_since + kStillNs > now ? still_since + kStillNs : now + kStillNs;
    if (next_in_line && now + kNextInLineNs < wake) wake = now + kNextInLineNs;
    SleepWhileServing(queue, serving, ticket, wake < deadline_ns ? wake : deadline_ns);
    const uint32_t seen = Load(&queue->serving);
    if (seen != serving) {
      serving = seen;
      still_since = MonotonicNs();
    }
  }
}

void PassTurn(LockQueue *queue, uint32_t ticket) {
  ServeFrom(queue, ticket, ticket + 1);
}

}  // namespace obkey::softtoken::os
