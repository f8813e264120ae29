// Preloaded into the program by save_interrupted.sh: the program stops
// itself (SIGSTOP) at one call of a save, so that the test can look at the
// files at that moment and send it a signal. STOP_AT names the call and
// its number: "fsync 1" is the first fsync (a new file fully written),
// "write 2" the second write to a descriptor other than the standard
// streams (a file half overwritten in place), "lstat 1" just after the
// first look at a file's name (a save that has not yet opened its file).
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Counts a call of the function called name and stops the program if it
// is the one STOP_AT names.
void count_call(const char* name) {
  static int calls = 0;
  const char* at = getenv("STOP_AT");
  size_t len = strlen(name);
  if (at == nullptr || strncmp(at, name, len) != 0 || at[len] != ' ') return;
  if (++calls == atoi(at + len + 1)) (void)raise(SIGSTOP);
}

template <typename F>
F next_of(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
  count_call("fsync");
  static auto next = next_of<int (*)(int)>("fsync");
  return next(fd);
}

extern "C" ssize_t write(int fd, const void* p, size_t n) {
  if (fd > 2) count_call("write");
  static auto next = next_of<ssize_t (*)(int, const void*, size_t)>("write");
  return next(fd, p, n);
}

extern "C" int lstat(const char* path, struct stat* st) {
  static auto next = next_of<int (*)(const char*, struct stat*)>("lstat");
  int got = next(path, st);
  count_call("lstat");  // once the look is taken
  return got;
}
