// Preloaded into the program by the save tests: the program stops itself
// (SIGSTOP) at one call of a save, so that the test can look at the files
// at that moment and send it a signal, or one call, or every call from one
// on, fails with a chosen error, as a failing disk or file system would
// make it fail.
//   STOP_AT="NAME N"          stop at the Nth call of NAME
//   FAIL_AT="NAME N ERRNO"    the Nth call of NAME fails with ERRNO
//   FAIL_AT="NAME N+ ERRNO"   the Nth call and every later one fail
// ERRNO 0 has the call return 0 instead: a read that finds the end of its
// file, as where the file has shrunk meanwhile.
//   FAIL_LOG=FILE             FILE is made when a call is made to fail
// FAIL_AT may name several calls, joined by commas ("write 1 28,pwrite 2
// 5"). NAME is one of the calls below; calls on the standard streams'
// descriptors are not counted. "fsync 1" is the first fsync (a new file
// fully written), "write 2" the second write (a file half overwritten in
// place), "pwrite 1" the first pwrite (pwrite writes copies: the backup,
// and the old contents put back), "lstat 2" just after the look at
// the file's name of a save that follows a load (the load's own look for
// copies is the first): a save that has not yet opened its file.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

// Makes the file FAIL_LOG names, if any, by the system call itself.
void log_failure() {
  const char* log = getenv("FAIL_LOG");
  if (log == nullptr) return;
  long fd =
      syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) (void)syscall(SYS_close, fd);
}

// Counts a call of the function called name: stops the program if it is
// the one STOP_AT names. Returns true when FAIL_AT names it, with error
// the errno it is to fail with (0: it is to return 0).
bool count_call(const char* name, int& calls, int& error) {
  calls++;
  bool from_on = false;
  int stop = named_call("STOP_AT", name, from_on, error);
  if (stop != 0 && calls == stop) (void)raise(SIGSTOP);
  int fail = named_call("FAIL_AT", name, from_on, error);
  if (fail == 0 || (calls != fail && !(from_on && calls > fail))) return false;
  log_failure();
  return true;
}

template <typename F>
F next_of(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Defines the call NAME (result type R, parameters PARAMS, passed on as
// ARGS) to be counted, and made to fail with -1 and the chosen errno (or
// to return 0), when COUNTED holds.
#define COUNTED_CALL(R, NAME, PARAMS, ARGS, COUNTED)    \
  extern "C" R NAME PARAMS {                            \
    static int calls = 0;                               \
    static auto next = next_of<R(*) PARAMS>(#NAME);     \
    int error = 0;                                      \
    if ((COUNTED) && count_call(#NAME, calls, error)) { \
      errno = error;                                    \
      return error == 0 ? 0 : -1;                       \
    }                                                   \
    return next ARGS;                                   \
  }

COUNTED_CALL(int, fsync, (int fd), (fd), true)
COUNTED_CALL(ssize_t, write, (int fd, const void* p, size_t n), (fd, p, n),
             fd > 2)
COUNTED_CALL(ssize_t, read, (int fd, void* p, size_t n), (fd, p, n), fd > 2)
COUNTED_CALL(ssize_t, pwrite, (int fd, const void* p, size_t n, off_t at),
             (fd, p, n, at), fd > 2)
COUNTED_CALL(ssize_t, pread, (int fd, void* p, size_t n, off_t at),
             (fd, p, n, at), fd > 2)
COUNTED_CALL(int, close, (int fd), (fd), fd > 2)
COUNTED_CALL(int, ftruncate, (int fd, off_t length), (fd, length), true)
COUNTED_CALL(off_t, lseek, (int fd, off_t at, int whence), (fd, at, whence),
             fd > 2)
COUNTED_CALL(int, fchown, (int fd, uid_t owner, gid_t group),
             (fd, owner, group), true)
COUNTED_CALL(int, fchmod, (int fd, mode_t mode), (fd, mode), true)
COUNTED_CALL(int, linkat,
             (int from_dir, const char* from, int to_dir, const char* to,
              int flags),
             (from_dir, from, to_dir, to, flags), true)
COUNTED_CALL(int, mkdir, (const char* path, mode_t mode), (path, mode), true)
COUNTED_CALL(int, unlinkat, (int dir, const char* path, int flags),
             (dir, path, flags), true)
COUNTED_CALL(int, renameat,
             (int from_dir, const char* from, int to_dir, const char* to),
             (from_dir, from, to_dir, to), true)

// Counts a call of an open called name: true, with errno set, when it is
// to fail.
static bool open_fails(const char* name, int& calls) {
  int error = 0;
  if (!count_call(name, calls, error)) return false;
  errno = error;
  return true;
}

// Sets mode to the mode that an open passes after flags, when it passes one.
#define READ_MODE(flags, mode)                     \
  if ((flags) & (O_CREAT | O_TMPFILE)) {           \
    va_list args;                                  \
    va_start(args, flags);                         \
    mode = static_cast<mode_t>(va_arg(args, int)); \
    va_end(args);                                  \
  }

extern "C" int open(const char* path, int flags, ...) {
  static int calls = 0;
  static auto next = next_of<int (*)(const char*, int, ...)>("open");
  mode_t mode = 0;
  READ_MODE(flags, mode)
  return open_fails("open", calls) ? -1 : next(path, flags, mode);
}

extern "C" int openat(int dir, const char* path, int flags, ...) {
  static int calls = 0;
  static auto next = next_of<int (*)(int, const char*, int, ...)>("openat");
  mode_t mode = 0;
  READ_MODE(flags, mode)
  return open_fails("openat", calls) ? -1 : next(dir, path, flags, mode);
}

extern "C" int lstat(const char* path, struct stat* st) {
  static int calls = 0;
  static auto next = next_of<int (*)(const char*, struct stat*)>("lstat");
  int got = next(path, st);
  int error = 0;
  (void)count_call("lstat", calls, error);  // once the look is taken
  return got;
}
