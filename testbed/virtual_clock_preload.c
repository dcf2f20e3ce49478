/* The board's virtual clock in every process under the bed (TESTBED_CLOCK names its page):
 * - clock_gettime (the system's clocks; CPU-time clocks stay real), gettimeofday and time read
 *   the board's time;
 * - sleep, usleep, nanosleep, clock_nanosleep, poll, ppoll, select and pselect with a time-out
 *   wait for the board's time: the wait is entered in the page, and the bed, which advances the
 *   clock only while every thread under the board sleeps, ends it with VCLOCK_WAKE_SIGNAL once
 *   the clock has reached its deadline. A byte, a child's end or a signal ends it sooner, at
 *   the board time when that happened;
 * - VCLOCK_WAKE_SIGNAL stays blocked outside these waits (sigprocmask, pthread_sigmask and
 *   sigsuspend keep it so), and the waits unblock it atomically (ppoll, pselect), so it never
 *   cuts into another call;
 * - the bytes that write() gives a simulated serial line (TESTBED_SERIAL) and that read() takes
 *   from it are counted, so the bed sees bytes still on their way through the pty; tcflush()
 *   of a line's input takes the waiting bytes as a read would.
 * The page's descriptor is closed at once: what a program prints of its descriptors stays. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "virtual_clock_page.h"

#define EXPORT __attribute__((visibility("default")))
#define NS_PER_S 1000000000LL
#define NS_PER_US 1000LL
#define NS_PER_MS 1000000LL
#define DRAIN_CHUNK 256 /* bytes per read when tcflush() drains a line's input */

static struct vclock_page *g_page;
static __thread volatile sig_atomic_t g_woken; /* VCLOCK_WAKE_SIGNAL reached this thread */

static void *next(const char *name) { return dlsym(RTLD_NEXT, name); }
#define NEXT(name) static __typeof__(name) *next_##name; if (!next_##name) next_##name = (__typeof__(name) *)next(#name)

static void on_wake(int sig) {
    (void)sig;
    g_woken = 1;
}

__attribute__((constructor)) static void map_page(void) {
    const char *path = getenv(VCLOCK_ENV);
    struct sigaction sa;
    sigset_t wake;
    void *p;
    int fd;
    if (!path || !*path) return;
    fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    p = mmap(NULL, sizeof(struct vclock_page), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    syscall(SYS_close, fd);
    if (p == MAP_FAILED) return;
    if (((struct vclock_page *)p)->magic != VCLOCK_MAGIC || ((struct vclock_page *)p)->version != VCLOCK_VERSION) {
        munmap(p, sizeof(struct vclock_page));
        return;
    }
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_wake;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(VCLOCK_WAKE_SIGNAL, &sa, NULL);
    sigemptyset(&wake);
    sigaddset(&wake, VCLOCK_WAKE_SIGNAL);
    pthread_sigmask(SIG_BLOCK, &wake, NULL);
    g_page = p;
}

/* ---- board time ---- */

static int64_t board_now(void) { return vclock_now(g_page); }
static int64_t ns_of(const struct timespec *t) { return (int64_t)t->tv_sec * NS_PER_S + t->tv_nsec; }
static struct timespec ts_of(int64_t ns) {
    struct timespec t;
    if (ns < 0) ns = 0;
    t.tv_sec = (time_t)(ns / NS_PER_S);
    t.tv_nsec = (long)(ns % NS_PER_S);
    return t;
}

/* The board's base for a clock: its value when the board started; 0 for clocks that stay real
 * (CPU time is used, not waited for). */
static int board_base(clockid_t clock, int64_t *base) {
    switch (clock) {
        case CLOCK_REALTIME:
        case CLOCK_REALTIME_COARSE:
        case CLOCK_REALTIME_ALARM:
        case CLOCK_TAI:
            *base = g_page->real_base;
            return 1;
        case CLOCK_MONOTONIC:
        case CLOCK_MONOTONIC_RAW:
        case CLOCK_MONOTONIC_COARSE:
        case CLOCK_BOOTTIME:
        case CLOCK_BOOTTIME_ALARM:
            *base = g_page->mono_base;
            return 1;
        default:
            return 0;
    }
}

EXPORT int clock_gettime(clockid_t clock, struct timespec *ts) {
    int64_t base;
    NEXT(clock_gettime);
    if (!g_page || !board_base(clock, &base)) return next_clock_gettime(clock, ts);
    *ts = ts_of(base + board_now());
    return 0;
}

EXPORT int gettimeofday(struct timeval *tv, void *tz) {
    int (*real)(struct timeval *, void *) = (int (*)(struct timeval *, void *))next("gettimeofday");
    int64_t ns;
    if (!g_page) return real(tv, tz);
    if (tz) real(NULL, tz);
    ns = g_page->real_base + board_now();
    tv->tv_sec = (time_t)(ns / NS_PER_S);
    tv->tv_usec = (suseconds_t)(ns % NS_PER_S / NS_PER_US);
    return 0;
}

EXPORT time_t time(time_t *t) {
    time_t now;
    NEXT(time);
    if (!g_page) return next_time(t);
    now = (time_t)((g_page->real_base + board_now()) / NS_PER_S);
    if (t) *t = now;
    return now;
}

/* ---- timed waits ---- */

/* Enters a wait in the page and wakes the bed, which then looks at it. */
static int begin_wait(int64_t deadline) {
    int i = vclock_begin_wait(g_page, deadline, (int32_t)getpid(), (int32_t)syscall(SYS_gettid));
    if (i >= 0) syscall(SYS_futex, &g_page->changes, FUTEX_WAKE, 1, NULL, NULL, 0);
    return i;
}

static void end_wait(int i) { vclock_end_wait(g_page, i); }
static int is_due(int i) { return vclock_due(g_page, i); }

/* The real call behind a wait, without a time-out and with `mask` while it waits. */
struct wait_call {
    struct pollfd *fds;
    nfds_t nfds;
    int nsel;
    fd_set *r, *w, *e;
    int select;
};

static int real_wait(const struct wait_call *c, const sigset_t *mask) {
    if (c->select) {
        NEXT(pselect);
        return next_pselect(c->nsel, c->r, c->w, c->e, NULL, mask);
    }
    NEXT(ppoll);
    return next_ppoll(c->fds, c->nfds, NULL, mask);
}

/* The caller's signal mask (or `mask` when given) with VCLOCK_WAKE_SIGNAL let through. */
static void waiting_mask(const sigset_t *mask, sigset_t *out) {
    NEXT(pthread_sigmask);
    if (mask)
        *out = *mask;
    else
        next_pthread_sigmask(SIG_BLOCK, NULL, out);
    sigdelset(out, VCLOCK_WAKE_SIGNAL);
}

/* Waits for c's descriptors (none for a sleep) until the board's time reaches deadline.
 * Returns the call's result; 0 with *timed_out set at the deadline; -1 with errno EINTR when a
 * signal of the program's own came first; -2 when no entry was free (the caller then waits on
 * the real clock). */
static int board_wait(const struct wait_call *c, int64_t deadline, const sigset_t *mask, int *timed_out) {
    sigset_t during;
    int slot, r;
    *timed_out = 0;
    if (board_now() >= deadline) {
        *timed_out = 1;
        return 0;
    }
    slot = begin_wait(deadline);
    if (slot < 0) return -2;
    waiting_mask(mask, &during);
    for (;;) {
        int err;
        if (is_due(slot)) break;
        g_woken = 0;
        r = real_wait(c, &during);
        err = errno;
        if (r >= 0 || err != EINTR) {
            end_wait(slot);
            errno = err;
            return r;
        }
        if (is_due(slot)) break;
        if (g_woken) continue; /* a wake-up of an earlier wait, late */
        end_wait(slot);
        errno = EINTR;
        return -1;
    }
    end_wait(slot);
    *timed_out = 1;
    return 0;
}

static int sleep_until(int64_t deadline, struct timespec *rem) {
    struct wait_call c;
    int timed_out, r;
    memset(&c, 0, sizeof c);
    r = board_wait(&c, deadline, NULL, &timed_out);
    if (r == -2) {
        struct timespec left = ts_of(deadline - board_now());
        NEXT(nanosleep);
        return next_nanosleep(&left, rem);
    }
    if (r < 0 && rem) *rem = ts_of(deadline - board_now());
    return r < 0 ? -1 : 0;
}

EXPORT int nanosleep(const struct timespec *req, struct timespec *rem) {
    NEXT(nanosleep);
    if (!g_page || !req || req->tv_nsec < 0 || req->tv_nsec >= NS_PER_S || req->tv_sec < 0) return next_nanosleep(req, rem);
    return sleep_until(board_now() + ns_of(req), rem);
}

EXPORT int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req, struct timespec *rem) {
    int64_t base, deadline;
    NEXT(clock_nanosleep);
    if (!g_page || !req || req->tv_nsec < 0 || req->tv_nsec >= NS_PER_S || !board_base(clock, &base))
        return next_clock_nanosleep(clock, flags, req, rem);
    deadline = (flags & TIMER_ABSTIME) ? ns_of(req) - base : board_now() + ns_of(req);
    /* clock_nanosleep returns the error instead of setting errno. */
    if (sleep_until(deadline, (flags & TIMER_ABSTIME) ? NULL : rem) == 0) return 0;
    return errno;
}

EXPORT unsigned int sleep(unsigned int seconds) {
    struct timespec req = {(time_t)seconds, 0}, rem = {0, 0};
    if (nanosleep(&req, &rem) == 0) return 0;
    return (unsigned int)(rem.tv_sec + (rem.tv_nsec > 0));
}

EXPORT int usleep(useconds_t us) {
    struct timespec req = ts_of((int64_t)us * NS_PER_US);
    return nanosleep(&req, NULL);
}

static int poll_until(struct pollfd *fds, nfds_t n, int64_t deadline, const sigset_t *mask) {
    struct wait_call c;
    int timed_out, r;
    memset(&c, 0, sizeof c);
    c.fds = fds;
    c.nfds = n;
    r = board_wait(&c, deadline, mask, &timed_out);
    if (r == -2) {
        struct timespec left = ts_of(deadline - board_now());
        NEXT(ppoll);
        return next_ppoll(fds, n, &left, mask);
    }
    if (timed_out) {
        nfds_t i;
        for (i = 0; i < n; ++i) fds[i].revents = 0;
    }
    return r;
}

EXPORT int poll(struct pollfd *fds, nfds_t n, int timeout_ms) {
    NEXT(poll);
    if (!g_page || timeout_ms <= 0) return next_poll(fds, n, timeout_ms);
    return poll_until(fds, n, board_now() + (int64_t)timeout_ms * NS_PER_MS, NULL);
}

EXPORT int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *ts, const sigset_t *mask) {
    sigset_t held;
    NEXT(ppoll);
    if (!g_page) return next_ppoll(fds, n, ts, mask);
    if (!ts || (ts->tv_sec == 0 && ts->tv_nsec == 0)) {
        if (!mask) return next_ppoll(fds, n, ts, mask);
        held = *mask;
        sigaddset(&held, VCLOCK_WAKE_SIGNAL);
        return next_ppoll(fds, n, ts, &held);
    }
    return poll_until(fds, n, board_now() + ns_of(ts), mask);
}

static int select_until(int n, fd_set *r, fd_set *w, fd_set *e, int64_t deadline, const sigset_t *mask) {
    struct wait_call c;
    int timed_out, result;
    memset(&c, 0, sizeof c);
    c.select = 1;
    c.nsel = n;
    c.r = r;
    c.w = w;
    c.e = e;
    result = board_wait(&c, deadline, mask, &timed_out);
    if (result == -2) {
        struct timespec left = ts_of(deadline - board_now());
        NEXT(pselect);
        return next_pselect(n, r, w, e, &left, mask);
    }
    if (timed_out) {
        if (r) FD_ZERO(r);
        if (w) FD_ZERO(w);
        if (e) FD_ZERO(e);
    }
    return result;
}

EXPORT int select(int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *tv) {
    int64_t deadline;
    int result;
    NEXT(select);
    if (!g_page || !tv || (tv->tv_sec == 0 && tv->tv_usec == 0)) return next_select(n, r, w, e, tv);
    deadline = board_now() + (int64_t)tv->tv_sec * NS_PER_S + (int64_t)tv->tv_usec * NS_PER_US;
    result = select_until(n, r, w, e, deadline, NULL);
    if (result >= 0) {
        /* Linux leaves the time that was left in the time-out. */
        int64_t left = deadline - board_now();
        if (left < 0) left = 0;
        tv->tv_sec = (time_t)(left / NS_PER_S);
        tv->tv_usec = (suseconds_t)(left % NS_PER_S / NS_PER_US);
    }
    return result;
}

EXPORT int pselect(int n, fd_set *r, fd_set *w, fd_set *e, const struct timespec *ts, const sigset_t *mask) {
    sigset_t held;
    NEXT(pselect);
    if (!g_page) return next_pselect(n, r, w, e, ts, mask);
    if (!ts || (ts->tv_sec == 0 && ts->tv_nsec == 0)) {
        if (!mask) return next_pselect(n, r, w, e, ts, mask);
        held = *mask;
        sigaddset(&held, VCLOCK_WAKE_SIGNAL);
        return next_pselect(n, r, w, e, ts, &held);
    }
    return select_until(n, r, w, e, board_now() + ns_of(ts), mask);
}

/* ---- the wake-up signal stays blocked outside the waits ---- */

static const sigset_t *keep_blocked(int how, const sigset_t *set, sigset_t *copy) {
    if (!g_page || !set || how == SIG_BLOCK) return set;
    *copy = *set;
    if (how == SIG_SETMASK)
        sigaddset(copy, VCLOCK_WAKE_SIGNAL);
    else
        sigdelset(copy, VCLOCK_WAKE_SIGNAL);
    return copy;
}

EXPORT int sigprocmask(int how, const sigset_t *set, sigset_t *old) {
    sigset_t copy;
    NEXT(sigprocmask);
    return next_sigprocmask(how, keep_blocked(how, set, &copy), old);
}

EXPORT int pthread_sigmask(int how, const sigset_t *set, sigset_t *old) {
    sigset_t copy;
    NEXT(pthread_sigmask);
    return next_pthread_sigmask(how, keep_blocked(how, set, &copy), old);
}

EXPORT int sigsuspend(const sigset_t *mask) {
    sigset_t copy;
    NEXT(sigsuspend);
    return next_sigsuspend(keep_blocked(SIG_SETMASK, mask, &copy));
}

/* ---- traffic of the simulated serial lines ---- */

/* Whether TESTBED_SERIAL ("major:minor=record file;...") names the line with device number rdev. */
static int simulated_line(dev_t rdev) {
    const char *lines = getenv("TESTBED_SERIAL");
    char id[48];
    size_t idlen;
    if (!lines) return 0;
    idlen = (size_t)snprintf(id, sizeof id, "%u:%u=", major(rdev), minor(rdev));
    while (*lines) {
        const char *end = strchr(lines, ';');
        if (strncmp(lines, id, idlen) == 0) return 1;
        if (!end) break;
        lines = end + 1;
    }
    return 0;
}

/* The page's counts of the simulated line behind fd; NULL when fd is none. */
static struct vclock_line *serial_line(int fd) {
    struct stat st;
    int i;
    if (!g_page || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !simulated_line(st.st_rdev)) return NULL;
    for (i = 0; i < VCLOCK_LINES; ++i) {
        struct vclock_line *l = &g_page->lines[i];
        uint64_t seen = 0, rdev = (uint64_t)st.st_rdev;
        if (__atomic_compare_exchange_n(&l->rdev, &seen, rdev, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE) || seen == rdev)
            return l;
    }
    return NULL;
}

static void count(uint64_t *field, ssize_t n) {
    if (n > 0) __atomic_fetch_add(field, (uint64_t)n, __ATOMIC_RELEASE);
}

EXPORT ssize_t write(int fd, const void *buf, size_t n) {
    struct vclock_line *line;
    ssize_t r;
    int saved;
    NEXT(write);
    r = next_write(fd, buf, n);
    if (r <= 0 || !g_page) return r;
    saved = errno;
    line = serial_line(fd);
    if (line) count(&line->written, r);
    errno = saved;
    return r;
}

EXPORT ssize_t read(int fd, void *buf, size_t n) {
    struct vclock_line *line;
    ssize_t r;
    int saved;
    NEXT(read);
    r = next_read(fd, buf, n);
    if (r <= 0 || !g_page) return r;
    saved = errno;
    line = serial_line(fd);
    if (line) count(&line->consumed, r);
    errno = saved;
    return r;
}

EXPORT int tcflush(int fd, int queue) {
    struct vclock_line *line;
    NEXT(tcflush);
    NEXT(read);
    line = (queue == TCIFLUSH || queue == TCIOFLUSH) ? serial_line(fd) : NULL;
    if (!line) return next_tcflush(fd, queue);
    /* What has arrived is taken as read: the count then matches the bytes the line gave. The
     * count is asked of the kernel itself, as glibc's own tty calls do: umockdev's preload would
     * send the ioctl to the bed in its protocol, which an ARM process's longs do not fit. */
    for (;;) {
        unsigned char scratch[DRAIN_CHUNK];
        int waiting = 0;
        ssize_t r;
        if (syscall(SYS_ioctl, fd, FIONREAD, &waiting) != 0 || waiting <= 0) break;
        r = next_read(fd, scratch, (size_t)waiting < sizeof scratch ? (size_t)waiting : sizeof scratch);
        if (r <= 0) break;
        count(&line->consumed, r);
    }
    return queue == TCIOFLUSH ? next_tcflush(fd, TCOFLUSH) : 0;
}
