// Preloaded into the program by the save tests: the program stops itself
// (SIGSTOP) at one call of a save, so that the test can look at the files
// at that moment and send it a signal, or one call, or every call from one
// on, fails with a chosen error, as a failing disk or file system would
// make it fail.
//   STOP_AT="NAME N"          stop at the Nth call of NAME
//   FAIL_AT="NAME N ERRNO"    the Nth call of NAME fails with ERRNO
//   FAIL_AT="NAME N+ ERRNO"   the Nth call and every later one fail
// FAIL_AT may name several calls, joined by commas ("write 1 28,pwrite 2 5").
// NAME is one of the calls below. "fsync 1" is the first fsync (a new file
// fully written), "write 2" the second write to a descriptor other than
// the standard streams (a file half overwritten in place), "read 1" and
// "pwrite 1" the first read and pwrite on such a descriptor (pwrite writes
// copies: the backup, and the old contents put back), "lstat 1" just after
// the first look
// at a file's name (a save that has not yet opened its file).
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The number of the call of name that setting var names ("NAME N...", or
// one of such parts joined by commas), or 0 when it names no call of
// name; sets from_on for "N+" and error to the number after it.
int named_call(const char* var, const char* name, bool& from_on, int& error) {
  const char* at = getenv(var);
  size_t len = strlen(name);
  while (at != nullptr && (strncmp(at, name, len) != 0 || at[len] != ' ')) {
    at = strchr(at, ',');
    if (at != nullptr) at++;
  }
  if (at == nullptr) return 0;
  char* end = nullptr;
  long n = strtol(at + len + 1, &end, 10);
  from_on = *end == '+';
  error = atoi(end + (from_on ? 1 : 0));
  return static_cast<int>(n);
}

// Counts a call of the function called name: stops the program if it is
// the one STOP_AT names, and returns the error it is to fail with, or 0.
int count_call(const char* name, int& calls) {
  calls++;
  bool from_on = false;
  int error = 0;
  int stop = named_call("STOP_AT", name, from_on, error);
  if (stop != 0 && calls == stop) (void)raise(SIGSTOP);
  int fail = named_call("FAIL_AT", name, from_on, error);
  if (fail != 0 && (calls == fail || (from_on && calls > fail))) return error;
  return 0;
}

template <typename F>
F next_of(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
  static int calls = 0;
  static auto next = next_of<int (*)(int)>("fsync");
  if (int error = count_call("fsync", calls)) {
    errno = error;
    return -1;
  }
  return next(fd);
}

extern "C" ssize_t write(int fd, const void* p, size_t n) {
  static int calls = 0;
  static auto next = next_of<ssize_t (*)(int, const void*, size_t)>("write");
  if (fd > 2) {
    if (int error = count_call("write", calls)) {
      errno = error;
      return -1;
    }
  }
  return next(fd, p, n);
}

extern "C" ssize_t read(int fd, void* p, size_t n) {
  static int calls = 0;
  static auto next = next_of<ssize_t (*)(int, void*, size_t)>("read");
  if (fd > 2) {
    if (int error = count_call("read", calls)) {
      errno = error;
      return -1;
    }
  }
  return next(fd, p, n);
}

extern "C" ssize_t pwrite(int fd, const void* p, size_t n, off_t at) {
  static int calls = 0;
  static auto next =
      next_of<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  if (fd > 2) {
    if (int error = count_call("pwrite", calls)) {
      errno = error;
      return -1;
    }
  }
  return next(fd, p, n, at);
}

extern "C" int lstat(const char* path, struct stat* st) {
  static int calls = 0;
  static auto next = next_of<int (*)(const char*, struct stat*)>("lstat");
  int got = next(path, st);
  (void)count_call("lstat", calls);  // once the look is taken
  return got;
}
