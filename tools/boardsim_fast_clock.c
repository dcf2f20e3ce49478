/* boardsim --fast: a preload that makes every wait of a process pass BOARDSIM_CLOCK_FACTOR
 * times sooner (sleep, usleep, nanosleep, clock_nanosleep, select, pselect, poll, ppoll).
 * It opens no descriptor and keeps no other state, so what a program prints stays the same. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))
#define NS_PER_S 1000000000LL

static double factor(void) {
    static double f = 0;
    if (f == 0) {
        const char* text = getenv("BOARDSIM_CLOCK_FACTOR");
        double v = text ? strtod(text, NULL) : 1;
        f = v >= 1 ? v : 1;
    }
    return f;
}

static void* next(const char* name) { return dlsym(RTLD_NEXT, name); }

/* A wait shortened by the factor; a wait that was not zero stays at least one nanosecond. */
static long long shorter_ns(long long ns) {
    if (ns <= 0) return ns;
    long long s = (long long)((double)ns / factor());
    return s > 0 ? s : 1;
}
static long long longer_ns(long long ns) { return ns <= 0 ? ns : (long long)((double)ns * factor()); }

static struct timespec ts_of(long long ns) {
    struct timespec t = {(time_t)(ns / NS_PER_S), (long)(ns % NS_PER_S)};
    return t;
}
static long long ns_of(const struct timespec* t) { return (long long)t->tv_sec * NS_PER_S + t->tv_nsec; }

EXPORT int nanosleep(const struct timespec* req, struct timespec* rem) {
    int (*real)(const struct timespec*, struct timespec*) = next("nanosleep");
    if (!req) return real(req, rem);
    struct timespec s = ts_of(shorter_ns(ns_of(req))), r = {0, 0};
    int result = real(&s, &r);
    if (rem) *rem = ts_of(longer_ns(ns_of(&r)));
    return result;
}

EXPORT int clock_nanosleep(clockid_t clock, int flags, const struct timespec* req, struct timespec* rem) {
    int (*real)(clockid_t, int, const struct timespec*, struct timespec*) = next("clock_nanosleep");
    if (!req || (flags & TIMER_ABSTIME)) return real(clock, flags, req, rem);
    struct timespec s = ts_of(shorter_ns(ns_of(req))), r = {0, 0};
    int result = real(clock, flags, &s, &r);
    if (rem) *rem = ts_of(longer_ns(ns_of(&r)));
    return result;
}

EXPORT unsigned int sleep(unsigned int seconds) {
    struct timespec req = {(time_t)seconds, 0}, rem = {0, 0};
    if (nanosleep(&req, &rem) == 0) return 0;
    return (unsigned int)(rem.tv_sec + (rem.tv_nsec > 0));
}

EXPORT int usleep(useconds_t us) {
    struct timespec req = ts_of((long long)us * 1000);
    return nanosleep(&req, NULL);
}

EXPORT int select(int n, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv) {
    int (*real)(int, fd_set*, fd_set*, fd_set*, struct timeval*) = next("select");
    if (!tv) return real(n, r, w, e, tv);
    long long ns = shorter_ns(((long long)tv->tv_sec * 1000000 + tv->tv_usec) * 1000);
    struct timeval s = {(time_t)(ns / NS_PER_S), (suseconds_t)((ns % NS_PER_S + 999) / 1000)};
    int result = real(n, r, w, e, &s);
    long long left = longer_ns(((long long)s.tv_sec * 1000000 + s.tv_usec) * 1000) / 1000;
    tv->tv_sec = (time_t)(left / 1000000);
    tv->tv_usec = (suseconds_t)(left % 1000000);
    return result;
}

EXPORT int pselect(int n, fd_set* r, fd_set* w, fd_set* e, const struct timespec* ts, const sigset_t* mask) {
    int (*real)(int, fd_set*, fd_set*, fd_set*, const struct timespec*, const sigset_t*) = next("pselect");
    if (!ts) return real(n, r, w, e, ts, mask);
    struct timespec s = ts_of(shorter_ns(ns_of(ts)));
    return real(n, r, w, e, &s, mask);
}

EXPORT int poll(struct pollfd* fds, nfds_t n, int timeout_ms) {
    int (*real)(struct pollfd*, nfds_t, int) = next("poll");
    if (timeout_ms > 0) timeout_ms = (int)((shorter_ns((long long)timeout_ms * 1000000) + 999999) / 1000000);
    return real(fds, n, timeout_ms);
}

EXPORT int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* ts, const sigset_t* mask) {
    int (*real)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*) = next("ppoll");
    if (!ts) return real(fds, n, ts, mask);
    struct timespec s = ts_of(shorter_ns(ns_of(ts)));
    return real(fds, n, &s, mask);
}
