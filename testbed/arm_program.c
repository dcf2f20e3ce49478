/* 32-bit ARM programs under qemu-arm: ELF check and command line (see arm_program.h). */
#define _GNU_SOURCE
#include "arm_program.h"

#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <sys/syscall.h>

#define PRELOAD_VAR "LD_PRELOAD="

int testbed_arm_elf(const char *path) {
    Elf32_Ehdr h;
    ssize_t n;
    /* Raw calls: this runs inside the preload's exec wrappers, below every other wrapper. */
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    n = (ssize_t)syscall(SYS_read, fd, &h, sizeof h);
    syscall(SYS_close, fd);
    return n == (ssize_t)sizeof h && memcmp(h.e_ident, ELFMAG, SELFMAG) == 0 && h.e_ident[EI_CLASS] == ELFCLASS32 &&
           h.e_ident[EI_DATA] == ELFDATA2LSB && h.e_machine == EM_ARM;
}

static const char *env_value(char *const envp[], const char *name) {
    size_t len = strlen(name);
    for (; envp && *envp; ++envp)
        if (strncmp(*envp, name, len) == 0 && (*envp)[len] == '=') return *envp + len + 1;
    return NULL;
}

/* 1 when the preload entry (name, len) exists for an ARM process under root. */
static int arm_preload_exists(const char *name, size_t len, const char *root) {
    char path[PATH_MAX], full[PATH_MAX];
    const char *lib = memmem(name, len, "$LIB", 4);
    int n;
    if (lib)
        n = snprintf(path, sizeof path, "%.*s%s%.*s", (int)(lib - name), name, TESTBED_ARM_LIB,
                     (int)(len - (size_t)(lib - name) - 4), lib + 4);
    else if (memchr(name, '/', len))
        n = snprintf(path, sizeof path, "%.*s", (int)len, name);
    else /* a bare name: the loader's own folder of the armhf root */
        n = snprintf(path, sizeof path, "/usr/%s/%.*s", TESTBED_ARM_LIB, (int)len, name);
    if (n <= 0 || (size_t)n >= sizeof path) return 0;
    /* qemu -L looks in the root first, then in the machine's own tree. */
    if (snprintf(full, sizeof full, "%s%s", root, path) < (int)sizeof full && access(full, R_OK) == 0) return 1;
    return access(path, R_OK) == 0;
}

char **testbed_arm_command(const char *path, char *const argv[], char *const envp[], char ***env_out, char *err,
                           size_t errlen) {
    const char *qemu = env_value(envp, TESTBED_QEMU_ARM_VAR), *root = env_value(envp, TESTBED_ARM_ROOT_VAR);
    char *preload = NULL;
    size_t argc = 0, envc = 0, i, k;
    char **cmd, **env;
    if (!qemu || !*qemu) {
        snprintf(err, errlen, "%s is a 32-bit ARM program and qemu-arm was not found (package qemu-user)", path);
        return NULL;
    }
    if (!root || !*root) {
        snprintf(err, errlen, "%s is a 32-bit ARM program and no armhf root is set (%s)", path, TESTBED_ARM_ROOT_VAR);
        return NULL;
    }
    for (; envp && envp[envc]; ++envc)
        if (strncmp(envp[envc], PRELOAD_VAR, strlen(PRELOAD_VAR)) == 0) preload = envp[envc];
    if (preload && strchr(preload, ',')) { /* qemu's -E takes a comma-separated list */
        snprintf(err, errlen, "%s is a 32-bit ARM program and LD_PRELOAD holds a comma", path);
        return NULL;
    }
    if (preload) {
        const char *p = preload + strlen(PRELOAD_VAR);
        while (*p) {
            size_t len = strcspn(p, ": ");
            if (len && !arm_preload_exists(p, len, root)) {
                snprintf(err, errlen, "%s is a 32-bit ARM program and the preload %.*s has no armhf build", path, (int)len, p);
                return NULL;
            }
            p += len;
            if (*p) ++p;
        }
    }
    while (argv && argv[argc]) ++argc;
    cmd = malloc((argc + 10) * sizeof *cmd);
    env = malloc((envc + 1) * sizeof *env);
    if (!cmd || !env) {
        free(cmd);
        free(env);
        snprintf(err, errlen, "out of memory");
        return NULL;
    }
    k = 0;
    cmd[k++] = (char *)qemu;
    cmd[k++] = (char *)"-L";
    cmd[k++] = (char *)root;
    if (argc > 0) {
        cmd[k++] = (char *)"-0";
        cmd[k++] = argv[0];
    }
    if (preload) {
        cmd[k++] = (char *)"-E";
        cmd[k++] = preload;
    }
    cmd[k++] = (char *)path;
    for (i = 1; i < argc; ++i) cmd[k++] = argv[i];
    cmd[k] = NULL;
    for (i = 0, k = 0; i < envc; ++i)
        if (envp[i] != preload) env[k++] = envp[i];
    env[k] = NULL;
    *env_out = env;
    return cmd;
}
