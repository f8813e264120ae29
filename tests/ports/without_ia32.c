/* Runs a command as on a 64-bit x86 kernel built without 32-bit support:
 * any program of the command's that makes a 32-bit x86 system call is
 * ended at once (SIGSYS), before it can do anything, as such a kernel
 * refuses to start it. 64-bit programs, qemu's among them, run as usual.
 *   without_ia32 COMMAND [ARG...] */
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_I386, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
  if (argc < 2) {
    fprintf(stderr, "usage: without_ia32 COMMAND [ARG...]\n");
    return 2;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    fprintf(stderr, "without_ia32: seccomp: %s\n", strerror(errno));
    return 2;
  }
  execvp(argv[1], argv + 1);
  fprintf(stderr, "without_ia32: %s: %s\n", argv[1], strerror(errno));
  return 127;
}
