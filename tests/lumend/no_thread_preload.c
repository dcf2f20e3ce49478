/* Preloaded into lumend by one test: thread creation fails as when the system is out of
 * threads. */
#include <errno.h>
#include <pthread.h>

__attribute__((visibility("default"))) int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*fn)(void *), void *arg) {
    (void)t;
    (void)a;
    (void)fn;
    (void)arg;
    return EAGAIN;
}
