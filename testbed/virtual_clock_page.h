/* The board's virtual clock as the bed and every process under it share it: one small file,
 * mapped by each process (the preload maps it and closes the descriptor again, so no program
 * sees a descriptor more). Fixed-width fields only: 32-bit ARM processes under qemu-arm map the
 * same bytes as the 64-bit bed. Every field is read and written with the __atomic builtins. */
#ifndef TESTBED_VIRTUAL_CLOCK_PAGE_H
#define TESTBED_VIRTUAL_CLOCK_PAGE_H

#include <stdint.h>

#define VCLOCK_ENV "TESTBED_CLOCK"  /* the page file's path, in every process under the bed */
#define VCLOCK_MAGIC 0x6b6c6376u     /* "vclk" */
#define VCLOCK_VERSION 1u
#define VCLOCK_WAITS 256              /* timed waits that can be in progress at once */
#define VCLOCK_LINES 4                /* serial lines whose traffic is counted */
#define VCLOCK_WAKE_SIGNAL SIGURG     /* ends a process's timed wait; ignored by default */

/* One timed wait in progress: a thread sleeps until the board clock reaches `deadline`. Of two
 * waits with one deadline, the one that began earlier on the board's clock ends first, and of
 * two that began at the same board time, the one entered first. */
struct vclock_wait {
    uint32_t taken;    /* 0: free; 1: a thread waits here */
    uint32_t due;      /* set to 1 when the clock reached the deadline (a futex word) */
    int32_t pid;       /* the waiting thread, to send it VCLOCK_WAKE_SIGNAL */
    int32_t tid;
    int64_t deadline;  /* ns of board time */
    int64_t began;     /* ns of board time when the wait began */
    uint64_t ticket;   /* order in which the waits were entered */
};

/* What the programs did with one serial line (a pty slave, by its device number): bytes their
 * write() calls gave it and bytes their read() calls took (or tcflush() drained). */
struct vclock_line {
    uint64_t rdev;  /* 0: unused */
    uint64_t written;
    uint64_t consumed;
};

struct vclock_page {
    uint32_t magic;
    uint32_t version;
    int64_t now;        /* ns of board time since the board started */
    int64_t mono_base;  /* CLOCK_MONOTONIC, in ns, when the board started */
    int64_t real_base;  /* CLOCK_REALTIME, in ns, when the board started */
    uint32_t changes;   /* bumped (and futex-woken) whenever a wait begins */
    uint32_t reserved;
    uint64_t tickets;
    struct vclock_line lines[VCLOCK_LINES];
    struct vclock_wait waits[VCLOCK_WAITS];
};

/* Enters a wait of thread tid (of process pid) until deadline; returns its index, or -1 when
 * every entry is taken. The bed is told through `changes`. */
static inline int vclock_begin_wait(struct vclock_page *page, int64_t deadline, int32_t pid, int32_t tid) {
    int i;
    for (i = 0; i < VCLOCK_WAITS; ++i) {
        struct vclock_wait *w = &page->waits[i];
        uint32_t free_entry = 0;
        /* 2 while the entry is filled in: the bed looks only at entries marked 1. */
        if (!__atomic_compare_exchange_n(&w->taken, &free_entry, 2, 0, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) continue;
        __atomic_store_n(&w->due, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&w->pid, pid, __ATOMIC_RELAXED);
        __atomic_store_n(&w->tid, tid, __ATOMIC_RELAXED);
        __atomic_store_n(&w->deadline, deadline, __ATOMIC_RELAXED);
        __atomic_store_n(&w->began, __atomic_load_n(&page->now, __ATOMIC_ACQUIRE), __ATOMIC_RELAXED);
        __atomic_store_n(&w->ticket, __atomic_fetch_add(&page->tickets, 1, __ATOMIC_RELAXED), __ATOMIC_RELAXED);
        __atomic_store_n(&w->taken, 1, __ATOMIC_RELEASE);
        __atomic_fetch_add(&page->changes, 1, __ATOMIC_RELEASE);
        return i;
    }
    return -1;
}

static inline void vclock_end_wait(struct vclock_page *page, int i) { __atomic_store_n(&page->waits[i].taken, 0, __ATOMIC_RELEASE); }
static inline int vclock_due(const struct vclock_page *page, int i) { return __atomic_load_n(&page->waits[i].due, __ATOMIC_ACQUIRE) != 0; }
static inline int64_t vclock_now(const struct vclock_page *page) { return __atomic_load_n(&page->now, __ATOMIC_ACQUIRE); }

#endif
