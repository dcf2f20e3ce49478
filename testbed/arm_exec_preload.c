/* Preloaded with the bed's own preload: an exec call of a 32-bit ARM program becomes a call
 * of qemu-arm with the same arguments and environment. Without binfmt_misc the kernel refuses
 * an ARM binary, and a shell would then read it as a script; a script under the bed (or the
 * /bin/sh of an ARM program's system()) that starts an ARM program reaches it this way. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "arm_program.h"

#define EXPORT __attribute__((visibility("default")))
#define ERROR_TEXT 512
#define DEFAULT_PATH "/bin:/usr/bin" /* glibc's confstr(_CS_PATH) */

extern char **environ;

/* The qemu command for an ARM program, or NULL when path is none or cannot be run (errno and
 * a line on standard error then say why). */
static char **arm_command(const char *path, char *const argv[], char *const envp[], char ***env, int *refused) {
    char err[ERROR_TEXT];
    char **cmd;
    *refused = 0;
    if (!testbed_arm_elf(path)) return NULL;
    cmd = testbed_arm_command(path, argv, envp, env, err, sizeof err);
    if (!cmd) {
        dprintf(2, "testbed: %s\n", err);
        *refused = 1;
    }
    return cmd;
}

/* The file that execvp() would run for file, in buf (NULL when none): the first regular file
 * with execute permission along PATH, glibc's "/bin:/usr/bin" when PATH is unset, an empty
 * entry meaning the current folder. A folder of that name is passed over, as execvp does. */
static const char *search_path(const char *file, char *buf) {
    const char *dirs = getenv("PATH");
    struct stat st;
    if (!dirs) dirs = DEFAULT_PATH;
    for (;;) {
        size_t len = strcspn(dirs, ":");
        int n = len ? snprintf(buf, PATH_MAX, "%.*s/%s", (int)len, dirs, file) : snprintf(buf, PATH_MAX, "./%s", file);
        if (n > 0 && n < PATH_MAX && stat(buf, &st) == 0 && S_ISREG(st.st_mode) && access(buf, X_OK) == 0) return buf;
        if (!dirs[len]) return NULL;
        dirs += len + 1;
    }
}

EXPORT int execve(const char *path, char *const argv[], char *const envp[]) {
    static int (*next)(const char *, char *const[], char *const[]);
    char **env = NULL, **cmd;
    int refused, saved;
    if (!next) next = (int (*)(const char *, char *const[], char *const[]))dlsym(RTLD_NEXT, "execve");
    cmd = arm_command(path, argv, envp, &env, &refused);
    if (refused) {
        errno = EACCES;
        return -1;
    }
    if (!cmd) return next(path, argv, envp);
    next(cmd[0], cmd, env);
    saved = errno;
    free(cmd);
    free(env);
    errno = saved;
    return -1;
}

EXPORT int execv(const char *path, char *const argv[]) { return execve(path, argv, environ); }

EXPORT int execvpe(const char *file, char *const argv[], char *const envp[]) {
    static int (*next)(const char *, char *const[], char *const[]);
    char buf[PATH_MAX];
    const char *found = strchr(file, '/') ? file : search_path(file, buf);
    if (!next) next = (int (*)(const char *, char *const[], char *const[]))dlsym(RTLD_NEXT, "execvpe");
    if (found && testbed_arm_elf(found)) return execve(found, argv, envp);
    return next(file, argv, envp);
}

EXPORT int execvp(const char *file, char *const argv[]) { return execvpe(file, argv, environ); }

/* execl, execle and execlp: glibc makes their exec call inside itself, past the wrappers above,
 * so they are taken here. The argument list up to its NULL, malloc'd; NULL when out of memory. */
static char **arg_list(const char *arg0, va_list *ap) {
    size_t n = 0, cap = 8;
    char **argv = malloc(cap * sizeof *argv), **grown;
    const char *arg = arg0;
    for (;;) {
        if (!argv) return NULL;
        argv[n++] = (char *)arg;
        if (!arg) return argv;
        if (n == cap) {
            grown = realloc(argv, (cap *= 2) * sizeof *argv);
            if (!grown) free(argv);
            argv = grown;
        }
        arg = va_arg(*ap, const char *);
    }
}

/* Runs exec(name, argv, envp) and frees argv; returns -1 with exec's errno. */
static int exec_list(int (*exec)(const char *, char *const[], char *const[]), const char *name, char **argv,
                     char *const envp[]) {
    int saved;
    if (!argv) {
        errno = ENOMEM;
        return -1;
    }
    exec(name, argv, envp);
    saved = errno;
    free(argv);
    errno = saved;
    return -1;
}

EXPORT int execl(const char *path, const char *arg, ...) {
    va_list ap;
    char **argv;
    va_start(ap, arg);
    argv = arg_list(arg, &ap);
    va_end(ap);
    return exec_list(execve, path, argv, environ);
}

EXPORT int execlp(const char *file, const char *arg, ...) {
    va_list ap;
    char **argv;
    va_start(ap, arg);
    argv = arg_list(arg, &ap);
    va_end(ap);
    return exec_list(execvpe, file, argv, environ);
}

EXPORT int execle(const char *path, const char *arg, ...) {
    va_list ap;
    char **argv, *const *envp = NULL;
    va_start(ap, arg);
    argv = arg_list(arg, &ap);
    if (argv) envp = va_arg(ap, char *const *);
    va_end(ap);
    return exec_list(execve, path, argv, envp);
}

typedef int spawn_fn(pid_t *, const char *, const posix_spawn_file_actions_t *, const posix_spawnattr_t *,
                     char *const[], char *const[]);

static spawn_fn *next_spawn(const char *name) { return (spawn_fn *)dlsym(RTLD_NEXT, name); }

/* posix_spawn of path when it is an ARM program (*handled set), else nothing. */
static int spawn_arm(pid_t *pid, const char *path, const posix_spawn_file_actions_t *fa, const posix_spawnattr_t *attr,
                     char *const argv[], char *const envp[], int *handled) {
    static spawn_fn *next;
    char **env = NULL, **cmd;
    int refused, r;
    if (!next) next = next_spawn("posix_spawn");
    cmd = arm_command(path, argv, envp, &env, &refused);
    *handled = refused || cmd;
    if (refused) return EACCES;
    if (!cmd) return 0;
    r = next(pid, cmd[0], fa, attr, cmd, env);
    free(cmd);
    free(env);
    return r;
}

EXPORT int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *fa,
                       const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
    static spawn_fn *next;
    int handled, r;
    if (!next) next = next_spawn("posix_spawn");
    r = spawn_arm(pid, path, fa, attr, argv, envp, &handled);
    return handled ? r : next(pid, path, fa, attr, argv, envp);
}

EXPORT int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *fa,
                        const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
    static spawn_fn *next;
    char buf[PATH_MAX];
    const char *found = strchr(file, '/') ? file : search_path(file, buf);
    int handled = 0, r = 0;
    if (!next) next = next_spawn("posix_spawnp");
    if (found) r = spawn_arm(pid, found, fa, attr, argv, envp, &handled);
    return handled ? r : next(pid, file, fa, attr, argv, envp);
}
