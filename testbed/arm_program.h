/* Running a 32-bit ARM program on an x86-64 machine without binfmt_misc: the ELF check and the
 * qemu-arm command line that keeps the bed's preloads for the program but out of qemu itself.
 * Shared by the bed (which starts programs) and the preload (which rewrites exec calls). */
#ifndef TESTBED_ARM_PROGRAM_H
#define TESTBED_ARM_PROGRAM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Settings the bed passes to every process it starts. */
#define TESTBED_QEMU_ARM_VAR "TESTBED_QEMU_ARM" /* path of qemu-arm */
#define TESTBED_ARM_ROOT_VAR "TESTBED_ARM_ROOT" /* armhf root: loader, libc, umockdev, libfaketime */
/* What the dynamic loader makes of "$LIB" in an ARM process (Debian's multiarch folder). */
#define TESTBED_ARM_LIB "lib/arm-linux-gnueabihf"

/* 1 when path names a 32-bit ARM ELF file, else 0. */
int testbed_arm_elf(const char *path);

/* The command that runs the ARM program at path with argv and envp under qemu-arm: qemu gets
 * envp without LD_PRELOAD (*env_out), the program gets it back through qemu's -E option, and
 * the program's argv[0] stays argv[0]. Every LD_PRELOAD entry must exist for ARM ("$LIB" read
 * as TESTBED_ARM_LIB), or a program would run without its redirections. Returns a malloc'd
 * array (free it and *env_out; the strings are those of argv and envp), or NULL with the
 * reason in err. */
char **testbed_arm_command(const char *path, char *const argv[], char *const envp[], char ***env_out, char *err,
                           size_t errlen);

#ifdef __cplusplus
}
#endif

#endif
