// Preloaded into the program by save_interrupted.sh: the program stops
// itself (SIGSTOP) at its first fsync, which a save makes once its
// temporary file is fully written, so that the test can look at the files
// at that moment and send the program a signal.
#include <dlfcn.h>
#include <signal.h>

extern "C" int fsync(int fd) {
  static bool stopped = false;
  if (!stopped) {
    stopped = true;
    (void)raise(SIGSTOP);
  }
  using fsync_call = int (*)(int);
  static fsync_call next =
      reinterpret_cast<fsync_call>(dlsym(RTLD_NEXT, "fsync"));
  return next(fd);
}
