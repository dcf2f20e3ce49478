/* Run under the bed's virtual clock: each wait and time read that the preload takes over, with
 * what it gave, one line each (board times in ns, so the test compares them exactly). */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <sys/select.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long ns(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (long long)t.tv_sec * 1000000000 + t.tv_nsec;
}

int main(void) {
    int p[2];
    char byte;
    long long t0 = ns(CLOCK_MONOTONIC), real0 = ns(CLOCK_REALTIME);
    struct timespec req = {1, 500000000};
    struct timeval tv = {0, 250000}, now;
    struct pollfd f;
    fd_set r;
    int n;
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (pipe(p) != 0) return 1;
    nanosleep(&req, NULL);
    printf("nanosleep %lld\n", ns(CLOCK_MONOTONIC) - t0);
    /* Nothing comes: 0, the set emptied, no time left. */
    FD_ZERO(&r);
    FD_SET(p[0], &r);
    n = select(p[0] + 1, &r, NULL, NULL, &tv);
    printf("select %d %d %ld.%06ld at %lld\n", n, FD_ISSET(p[0], &r), (long)tv.tv_sec, (long)tv.tv_usec, ns(CLOCK_MONOTONIC) - t0);
    /* A byte that waits already: at once, whatever the time-out. */
    if (write(p[1], "x", 1) != 1) return 1;
    f.fd = p[0];
    f.events = POLLIN;
    n = poll(&f, 1, 10000);
    printf("poll %d %d at %lld\n", n, f.revents, ns(CLOCK_MONOTONIC) - t0);
    if (read(p[0], &byte, 1) != 1) return 1;
    n = poll(&f, 1, 40);
    printf("poll %d %d at %lld\n", n, f.revents, ns(CLOCK_MONOTONIC) - t0);
    /* A byte from a child 0.3 s on ends a 5 s select there, with 4.7 s left. */
    if (fork() == 0) {
        usleep(300000);
        _exit(write(p[1], "x", 1) == 1 ? 0 : 1);
    }
    FD_ZERO(&r);
    FD_SET(p[0], &r);
    tv.tv_sec = 5;
    tv.tv_usec = 0;
    n = select(p[0] + 1, &r, NULL, NULL, &tv);
    printf("select %d %d %ld.%06ld at %lld\n", n, FD_ISSET(p[0], &r), (long)tv.tv_sec, (long)tv.tv_usec, ns(CLOCK_MONOTONIC) - t0);
    wait(NULL);
    /* An absolute wait on the wall clock's board time, and the other readers of that clock. */
    req.tv_sec = (time_t)((real0 + 3000000000LL) / 1000000000);
    req.tv_nsec = (long)((real0 + 3000000000LL) % 1000000000);
    n = clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &req, NULL);
    gettimeofday(&now, NULL);
    printf("clock_nanosleep %d at %lld; gettimeofday %lld; time %lld\n", n, ns(CLOCK_REALTIME) - real0,
           (long long)now.tv_sec * 1000000 + now.tv_usec - real0 / 1000, (long long)time(NULL) - real0 / 1000000000);
    sleep(7200);
    printf("sleep at %lld\n", ns(CLOCK_BOOTTIME) - t0);
    return 0;
}
