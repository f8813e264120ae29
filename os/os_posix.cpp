// The platform layer on Linux, macOS and the BSDs: descriptors, the files
// and signals a save is made of (unnamed new files, links, renames,
// syncs), errno texts, and memory mapped straight from the system.
// Linux-only tuning sits under __linux__.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "os/os.h"
#include "os/os_room.h"

// Under AddressSanitizer the bytes of a mapping beyond its block are marked
// out of bounds, as for a block from malloc.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KARTOTEKA_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KARTOTEKA_ASAN 1
#endif
#if defined(KARTOTEKA_ASAN)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(p, n) ((void)(p), (void)(n))
#define ASAN_UNPOISON_MEMORY_REGION(p, n) ((void)(p), (void)(n))
#endif

const os_error os_no_memory = ENOMEM;
const os_error os_name_too_long = ENAMETOOLONG;

bool os_reader_gone(os_error err) {
  return err == EPIPE;
}

void os_start() {
  // The result is not examined: without the locale the default one serves.
  (void)setlocale(LC_ALL, "ru_RU.UTF-8");
  // A reader that goes away must not kill the program: writes to it then
  // fail and are reported where they matter (a save into a pipe). Likewise
  // a write past the file-size limit fails with EFBIG and is reported.
  (void)signal(SIGPIPE, SIG_IGN);
  (void)signal(SIGXFSZ, SIG_IGN);
}

// Makes s the stream of the descriptor fd (-1 for none).
static void open_stream(os_stream& s, int fd) {
  s.handle = fd;
  s.console = fd >= 0 && isatty(fd) == 1;
  s.text = false;
}

static int fd_of(const os_stream& s) {
  return static_cast<int>(s.handle);
}

void os_std_stream(os_stream& s, int which) {
  open_stream(s, which);
}

// Calls read (a read or pread of the caller's) until it is not
// interrupted; sets got to the bytes it read, 0 after an error. Returns 0
// or the error.
template <typename Read>
static os_error read_retrying(Read read, size_t& got) {
  for (;;) {
    ssize_t n = read();
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return 0;
    }
    if (errno != EINTR) {
      got = 0;
      return errno;
    }
  }
}

os_error os_read(os_stream& s, char* buf, size_t size, size_t& got) {
  return read_retrying(
      [&] { return read(static_cast<int>(s.handle), buf, size); }, got);
}

// Writes n bytes at p to the descriptor fd.
static os_error write_fd(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t done = write(fd, p, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += done;
    n -= static_cast<size_t>(done);
  }
  return 0;
}

os_error os_write(os_stream& s, const char* p, size_t n) {
  return write_fd(static_cast<int>(s.handle), p, n);
}

// How long a load waits for a writer of the FIFO it reads, in ms.
static const int fifo_wait = 5000;
const os_error os_no_writer = -1;  // no errno is negative
const char no_writer_text[] = "в канал никто не пишет";
const os_error os_busy = -2;
const char busy_text[] =
    "файл занят: его сохраняет или читает другая программа; повторите позже";

static os_error close_after(int fd, os_error first);

// Waits until the FIFO fd, opened without waiting, has a writer (or had
// one, which has gone). Returns 0, or os_no_writer after fifo_wait ms.
static os_error wait_for_writer(int fd) {
  pollfd p = {fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, fifo_wait);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return errno;
  return ready == 0 ? os_no_writer : 0;
}

os_error os_open_read(os_stream& s, const char* name) {
  // Not waiting in the open: a FIFO that nobody writes would hold it for
  // ever.
  int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  os_error err = fstat(fd, &st) == 0 ? 0 : errno;
  if (err == 0 && S_ISFIFO(st.st_mode)) err = wait_for_writer(fd);
  int flags = err == 0 ? fcntl(fd, F_GETFL) : 0;
  if (err == 0 &&
      (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1))
    err = errno;
  if (err != 0) return close_after(fd, err);
  open_stream(s, fd);
  return 0;
}

os_error os_close(os_stream& s) {
  os_error err = close(static_cast<int>(s.handle)) == 0 ? 0 : errno;
  s.handle = -1;
  return err;
}

// A file that changed between the look and the open, or meanwhile; and
// one that overlayfs copied up to its upper layer at the open, which gives
// it another identity and leaves its other names behind.
const os_error os_changed = -3;
const char changed_text[] = "файл изменился во время сохранения";
const os_error os_copied_up = -4;
const char copied_up_text[] =
    "overlayfs скопировал файл в верхний слой, и у копии нет его других "
    "имён; файл не изменён, сохраните ещё раз";

void os_error_text(os_error err, char* buf, size_t size) {
  (void)snprintf(buf, size, "%s",
                 err == os_no_writer   ? no_writer_text
                 : err == os_busy      ? busy_text
                 : err == os_changed   ? changed_text
                 : err == os_copied_up ? copied_up_text
                                       : strerror(err));
}

// ---- Files, for a save ----
//
// The file calls of os_system_files: the *at calls on a folder held open.
// A new file has no name where the file system allows (O_TMPFILE); what a
// save does with the files is storage/'s.

// Waits until what was written to fd is on the disk. On macOS fsync only
// hands it to the drive, whose cache may still lose it; F_FULLFSYNC has the
// drive write it out, and where the file system cannot do that, fsync
// serves.
static int sync_fd(int fd) {
#if defined(__APPLE__)
  if (fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  return fsync(fd);
}

// Closes fd; returns first if it is an error already, else close's errno.
static os_error close_after(int fd, os_error first) {
  os_error closed = close(fd) == 0 ? 0 : errno;
  return first != 0 ? first : closed;
}

// The signals that end the program while it saves: every signal whose
// default action ends the program and that a handler may catch, except
// those that report a fault of the program itself (SIGSEGV and the like),
// which a save must not hold off. Real-time signals are added where the
// system has them.
static const int fixed_end_signals[] = {
    SIGHUP,    SIGINT,  SIGQUIT,   SIGTERM, SIGUSR1,
    SIGUSR2,   SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
#if defined(SIGPOLL) && defined(__linux__)
    SIGPOLL,
#endif
#if defined(SIGPWR)
    SIGPWR,
#endif
#if defined(SIGSTKFLT)
    SIGSTKFLT,
#endif
};

// The end signals.
static int end_signals[NSIG];
static int end_signal_count = 0;

// Fills end_signals once.
static void list_end_signals() {
  if (end_signal_count > 0) return;
  for (int sig : fixed_end_signals) end_signals[end_signal_count++] = sig;
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  for (int sig = SIGRTMIN; sig <= SIGRTMAX && sig < NSIG; sig++)
    end_signals[end_signal_count++] = sig;
#endif
}

// What an end signal does first (os_call_before_end).
static void (*volatile first_at_end)() = nullptr;

// Does what must be done before the end, then lets the signal end the
// program as it would have: the signal raised here, with the default
// action back, is delivered as soon as the handler returns. Only
// async-signal-safe calls.
static void act_and_end(int sig) {
  if (first_at_end != nullptr) first_at_end();
  (void)signal(sig, SIG_DFL);
  (void)raise(sig);
}

// The set of end_signals, to hold them off.
static sigset_t end_signal_set() {
  list_end_signals();
  sigset_t set;
  sigemptyset(&set);
  // The C library may keep some real-time signals for itself and refuse
  // them here; those are not the program's to hold.
  for (int i = 0; i < end_signal_count; i++)
    (void)sigaddset(&set, end_signals[i]);
  return set;
}

// Every end signal calls before_end first, except those the program was
// started with ignored, which stay ignored, and those that already have a
// handler (the C library's own). Installed once, the first time a save
// names a file, and kept.
void os_call_before_end(void (*before_end)()) {
  if (first_at_end != nullptr) return;
  first_at_end = before_end;
  struct sigaction act;
  memset(&act, 0, sizeof act);
  act.sa_handler = act_and_end;
  act.sa_mask = end_signal_set();
  for (int i = 0; i < end_signal_count; i++) {
    int sig = end_signals[i];
    struct sigaction was;
    if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_DFL &&
        (was.sa_flags & SA_SIGINFO) == 0)
      (void)sigaction(sig, &act, nullptr);
  }
}

// How many os_hold_ends are not yet matched by os_let_ends_act: the
// signals act again only when the outermost hold ends.
static int hold_depth = 0;
static sigset_t mask_before;

void os_hold_ends() {
  if (hold_depth++ > 0) return;
  sigset_t hold = end_signal_set();
  (void)sigprocmask(SIG_BLOCK, &hold, &mask_before);
}

void os_let_ends_act() {
  if (hold_depth == 0 || --hold_depth > 0) return;
  (void)sigprocmask(SIG_SETMASK, &mask_before, nullptr);
}

bool os_ends_held() {
  return hold_depth > 0;
}

size_t os_folder_length(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
}

// Stores in dir the folder that is the first len bytes of folder, "." for
// none, "/" for the root. Returns false when it does not fit.
static bool folder_name(const char* folder, size_t len, char* dir,
                        size_t size) {
  if (len == 0) return snprintf(dir, size, ".") > 0;
  if (len > 1) len--;  // without its last slash
  if (len >= size) return false;
  memcpy(dir, folder, len);
  dir[len] = '\0';
  return true;
}

os_error os_open_folder(const char* path, size_t len, os_folder& d) {
  d.handle = -1;
  if (len >= sizeof d.path) return ENAMETOOLONG;
  memcpy(d.path, path, len);
  d.path[len] = '\0';
  char dir[PATH_MAX];
  if (!folder_name(path, len, dir, sizeof dir)) return ENAMETOOLONG;
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  d.handle = fd;
  return 0;
}

void os_close_folder(os_folder& d) {
  if (d.handle != -1) (void)close(static_cast<int>(d.handle));
  d.handle = -1;
}

static int dir_fd(const os_folder& d) {
  return static_cast<int>(d.handle);
}

static os_error sync_folder(const os_folder& d) {
  return fsync(dir_fd(d)) == 0 ? 0 : errno;
}

// Makes each missing folder of path (which ends with '/'), private to the
// user. Returns 0 or the error.
static os_error make_folders(char* path) {
  for (char* p = strchr(path + 1, '/'); p != nullptr; p = strchr(p + 1, '/')) {
    *p = '\0';
    bool made = mkdir(path, 0700) == 0 || errno == EEXIST;
    *p = '/';
    if (!made) return errno;
  }
  return 0;
}

// True when the file system that holds fd keeps its files in memory only.
static bool in_memory(int fd) {
#if defined(__linux__)
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  // f_type is a signed int on some machines (32-bit ARM).
  uint32_t type = static_cast<uint32_t>(fs.f_type);
  return type == TMPFS_MAGIC || type == RAMFS_MAGIC;
#else
  (void)fd;
  return false;
#endif
}

// Writes into folder (size bytes) the path of the user's own state
// folder for the program, with '/' at its end: $XDG_STATE_HOME/kartoteka
// where that is a full path, else ~/.local/state/kartoteka. Returns false
// when there is none or it does not fit.
static bool backup_place(char* folder, size_t size) {
  const char* state = getenv("XDG_STATE_HOME");
  const char* home = getenv("HOME");
  int got = -1;
  if (state != nullptr && state[0] == '/')
    got = snprintf(folder, size, "%s/kartoteka/", state);
  else if (home != nullptr && home[0] == '/')
    got = snprintf(folder, size, "%s/.local/state/kartoteka/", home);
  return got > 0 && static_cast<size_t>(got) < size;
}

// Whether the folder fd, the program's own folder for copies, is private
// to this user and stays so: a folder of another user's (or a link to
// one), or one in a folder that another user may rename it out of, would
// let them read the copies or swap the folder. A folder of the user's
// own that others may open is closed to them. Returns 0, or EACCES.
static os_error private_folder(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (st.st_uid != geteuid()) return EACCES;
  if ((st.st_mode & 077) != 0 && fchmod(fd, 0700) != 0) return errno;
  int parent = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return errno;
  bool held = fstat(parent, &st) == 0 &&
              (st.st_uid == geteuid() || st.st_uid == 0) &&
              ((st.st_mode & S_IWOTH) == 0 || (st.st_mode & S_ISVTX) != 0);
  return close_after(parent, held ? 0 : EACCES);
}

os_error os_backup_folder(char* folder, size_t size) {
  // The user's own folder, made where missing, where it lasts: never the
  // temporary folder, which others may read and a reboot empties.
  if (!backup_place(folder, size)) return ENOENT;
  os_error err = make_folders(folder);
  if (err != 0) return err;
  int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ELOOP ? EACCES : errno;
  err = private_folder(fd);
  return close_after(fd, err == 0 && in_memory(fd) ? EROFS : err);
}

void os_machine_name(char* name, size_t size) {
  if (size == 0) return;
  if (gethostname(name, size - 1) != 0) name[0] = '\0';
  name[size - 1] = '\0';
}

void os_full_path(const char* path, char* full, size_t size) {
  char real[PATH_MAX];
  (void)snprintf(full, size, "%s",
                 realpath(path, real) != nullptr ? real : path);
}

static os_error unlink_at(const os_folder& d, const char* name) {
  return unlinkat(dir_fd(d), name, 0) == 0 ? 0 : errno;
}

// Takes a lock of type (F_WRLCK or F_RDLCK) on the whole of the file fd,
// without waiting. The lock belongs to this open file (an OFD lock, where
// the system has them), so that no other open of the file, this program's
// own included, takes it meanwhile, and closing another descriptor of the
// file keeps it. Returns 0 or the error (EAGAIN or EACCES: another holds a
// lock that stands in the way).
static int lock_whole(int fd, short type = F_WRLCK) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
#if defined(F_OFD_SETLK)
  if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return 0;
  if (errno != EINVAL) return errno;
#endif
  return fcntl(fd, F_SETLK, &lock) == 0 ? 0 : errno;
}

// How long a save or load waits for another program's lock, in ms, and
// how often it looks again.
const int lock_wait = 3000;
const int lock_step = 100;

os_error os_lock(os_stream& f, bool exclusive, bool wait) {
  struct stat st;
  if (fstat(fd_of(f), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return 0;
  for (int waited = 0;; waited += lock_step) {
    int err = lock_whole(fd_of(f), exclusive ? F_WRLCK : F_RDLCK);
    if (err == 0) return 0;
    if (err != EAGAIN && err != EACCES && err != EINTR)
      return err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS
                 ? os_unsupported
                 : err;
    if (!wait || waited >= lock_wait) return os_busy;
    (void)poll(nullptr, 0, lock_step);
  }
}

// Makes a new file in the folder dir that has no name yet, where the file
// system allows it: it disappears with the program unless it is named.
// Returns its descriptor, or -1 with errno set.
static int create_unnamed(int dir, mode_t mode) {
#if defined(O_TMPFILE)
  // Naming it later goes through /proc; without it, name it from the
  // start.
  if (access("/proc/self/fd", X_OK) != 0) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
#else
  (void)dir;
  (void)mode;
  errno = EOPNOTSUPP;
  return -1;
#endif
}

// True when creating an unnamed file failed only because the system or
// the file system cannot make one, so that a named one may be tried.
static bool no_unnamed_files(os_error err) {
  return err == EOPNOTSUPP || err == EISDIR || err == EINVAL || err == ENOENT ||
         err == ENOTSUP;
}

const os_error os_exists = EEXIST;
const os_error os_unsupported = EOPNOTSUPP;

static os_error open_at(const os_folder& d, const char* name, unsigned how,
                        os_stream& f) {
  mode_t mode = (how & os_open_own_only) != 0 ? 0600 : 0666;
  int fd = -1;
  if ((how & os_open_temporary) != 0) return EINVAL;
  switch (how & 3) {
    case os_open_unnamed:
      fd = create_unnamed(dir_fd(d), mode);
      if (fd < 0 && no_unnamed_files(errno)) return os_unsupported;
      break;
    case os_open_new:
      fd = openat(dir_fd(d), name,
                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      break;
    default:
      fd =
          openat(dir_fd(d), name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      break;
  }
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0) return close_after(fd, errno);
  if (!S_ISREG(st.st_mode)) return close_after(fd, os_changed);
  open_stream(f, fd);
  return 0;
}

static os_error link_at(os_stream& f, const os_folder& d, const char* from,
                        const char* to) {
  if (from != nullptr)
    return linkat(dir_fd(d), from, dir_fd(d), to, 0) == 0 ? 0 : errno;
  char self[64];
  (void)snprintf(self, sizeof self, "/proc/self/fd/%d", fd_of(f));
  return linkat(AT_FDCWD, self, dir_fd(d), to, AT_SYMLINK_FOLLOW) == 0 ? 0
                                                                       : errno;
}

static os_error rename_at(os_stream& f, const os_folder& d, const char* from,
                          const char* to, bool replace) {
  if (!replace) return os_unsupported;  // os_can_link: a link serves
  (void)f;
  return renameat(dir_fd(d), from, dir_fd(d), to) == 0 ? 0 : errno;
}

static os_error list_at(const os_folder& d, os_each_name each, void* context) {
  int listed = dup(dir_fd(d));
  DIR* dir = listed < 0 ? nullptr : fdopendir(listed);
  if (dir == nullptr) return listed < 0 ? errno : close_after(listed, errno);
  rewinddir(dir);
  while (const struct dirent* e = readdir(dir)) each(e->d_name, context);
  (void)closedir(dir);
  return 0;
}

// Sets info to what st says of a file that exists.
static void describe(const struct stat& st, os_file_info& info) {
  info.kind = S_ISREG(st.st_mode) ? os_regular : os_other;
  info.size = static_cast<uint64_t>(st.st_size);
  info.links = static_cast<uint32_t>(st.st_nlink);
  info.device = static_cast<uint64_t>(st.st_dev);
  info.inode = static_cast<uint64_t>(st.st_ino);
  info.owner = st.st_uid;
  info.group = st.st_gid;
  info.mode = st.st_mode;
  info.standard = 0;
}

static os_error status(os_stream& f, os_file_info& info) {
  struct stat st;
  if (fstat(fd_of(f), &st) != 0) return errno;
  describe(st, info);
  return 0;
}

uint64_t os_random_seed() {
  struct timespec now;
  (void)clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_nsec) ^
         static_cast<uint64_t>(now.tv_sec) << 20 ^
         static_cast<uint64_t>(getpid()) << 40 ^ 0x9E3779B97F4A7C15u;
}

bool os_gone(os_error err) {
  return err == ENOENT;
}

bool os_denied(os_error err) {
  return err == EACCES || err == EPERM || err == EROFS;
}

bool os_replace_refused(os_error err) {
  return err == EBUSY || err == EPERM;
}

static os_error read_at(os_stream& f, uint64_t at, char* buf, size_t size,
                        size_t& got) {
  return read_retrying(
      [&] { return pread(fd_of(f), buf, size, static_cast<off_t>(at)); }, got);
}

static os_error write_at(os_stream& f, uint64_t at, const char* p, size_t n) {
  while (n > 0) {
    ssize_t done = pwrite(fd_of(f), p, n, static_cast<off_t>(at));
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return errno;
    p += done;
    at += static_cast<uint64_t>(done);
    n -= static_cast<size_t>(done);
  }
  return 0;
}

static os_error seek(os_stream& f, uint64_t at) {
  return lseek(fd_of(f), static_cast<off_t>(at), SEEK_SET) < 0 ? errno : 0;
}

static os_error cut(os_stream& f) {
  off_t end = lseek(fd_of(f), 0, SEEK_CUR);
  if (end < 0 || ftruncate(fd_of(f), end) != 0) return errno;
  return 0;
}

static os_error sync(os_stream& f) {
  return sync_fd(fd_of(f)) == 0 ? 0 : errno;
}

// Copies the extended attributes of the file from to the file to: its
// ACL (system.posix_acl_access) and the user's own attributes among them,
// and the Windows attributes (hidden, read-only, ...) that ntfs-3g shows
// only to one who asks for them by name. Returns 0, or the error of one
// that cannot be copied.
static os_error copy_attributes(int from, int to) {
#if defined(__linux__)
  static char names[1 << 16];
  static char value[1 << 16];
  ssize_t len = flistxattr(from, names, sizeof names);
  if (len < 0) return errno == ENOTSUP ? 0 : errno;
  for (ssize_t at = 0; at < len;) {
    const char* name = names + at;
    at += static_cast<ssize_t>(strlen(name)) + 1;
    ssize_t size = fgetxattr(from, name, value, sizeof value);
    if (size < 0) return errno;
    if (fsetxattr(to, name, value, static_cast<size_t>(size), 0) != 0)
      return errno;
  }
  const char ntfs[] = "system.ntfs_attrib_be";
  ssize_t size = fgetxattr(from, ntfs, value, sizeof value);
  if (size > 0 && fsetxattr(to, ntfs, value, static_cast<size_t>(size), 0) != 0)
    return errno;
#else
  (void)from;
  (void)to;
#endif
  return 0;
}

// Removes from the new file fd the access ACL that it took from its
// folder's default ACL. Returns 0, or the error where the file system has
// ACLs and refuses.
static os_error drop_inherited_acl(int fd) {
#if defined(__linux__)
  if (fremovexattr(fd, "system.posix_acl_access") != 0 && errno != ENODATA &&
      errno != ENOTSUP && errno != EOPNOTSUPP)
    return errno;
#else
  (void)fd;
#endif
  return 0;
}

static os_error take_identity(os_stream& old, const os_file_info& info,
                              os_stream& fresh) {
  int fd = fd_of(fresh);
  struct stat now;
  if (fstat(fd, &now) != 0) return errno;
  // A member of a team saving the team's file cannot give it its owner
  // back: the caller then writes the file in place, so that it stays
  // theirs. The file still gets the group and, but for the set-id bits,
  // the permissions (as cp -p gives them), so that the owner may read a
  // copy made so; without the group, only its user's.
  os_error owner = 0;
  mode_t mode = info.mode & 07777;
  if ((now.st_uid != info.owner || now.st_gid != info.group) &&
      fchown(fd, info.owner, info.group) != 0) {
    owner = errno;
    bool group = now.st_gid == info.group || fchown(fd, -1, info.group) == 0;
    mode &= group ? 0777 : 0700;
  }
  os_error err = drop_inherited_acl(fd);
  if (err == 0 && fchmod(fd, mode) != 0) err = errno;
  if (err == 0 && owner == 0) err = copy_attributes(fd_of(old), fd);
  return owner != 0 ? owner : err;
}

// Stores in dir the folder part of path ("." when it has none). Returns
// false when it does not fit.
static bool folder_of(const char* path, char* dir, size_t size) {
  return folder_name(path, os_folder_length(path), dir, size);
}

// The most links followed from one name, as the system's own limit.
const int max_links = 40;

// Finds the file that saving to name writes: name itself, or through
// symbolic links the file they lead to, whose path goes to target (size
// bytes). Sets exists and, when the file exists, st. The links are
// followed one by one, each link's text taken relative to the link's own
// folder, so that the path stays as short as the names given: a link in a
// folder deeper than the system's longest full path is saved through too.
// A link to a file that does not exist yet leads to that file's path.
static os_error find_target(const char* name, char* target, size_t size,
                            struct stat& st, bool& exists) {
  exists = false;
  if (snprintf(target, size, "%s", name) >= static_cast<int>(size))
    return ENAMETOOLONG;
  struct stat link;
  if (lstat(name, &link) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISLNK(link.st_mode)) {
    st = link;
    exists = true;
    return 0;
  }
  struct stat end;
  bool leads_somewhere = stat(name, &end) == 0;
  if (!leads_somewhere && errno != ENOENT) return errno;
  if (leads_somewhere && !S_ISREG(end.st_mode)) {
    // Only a regular file is replaced by rename; anything else
    // (/dev/stdout, which leads to a pipe, say) is opened through the link
    // itself.
    st = end;
    exists = true;
    return 0;
  }
  for (int hops = 0; hops < max_links; hops++) {
    char text[PATH_MAX];
    ssize_t len = readlink(target, text, sizeof text - 1);
    if (len < 0) return errno;
    text[len] = '\0';
    char dir[PATH_MAX];
    if (!folder_of(target, dir, sizeof dir)) return ENAMETOOLONG;
    int got = text[0] == '/' ? snprintf(target, size, "%s", text)
                             : snprintf(target, size, "%s/%s", dir, text);
    if (got >= static_cast<int>(size)) return ENAMETOOLONG;
    if (lstat(target, &link) != 0) {
      if (errno != ENOENT) return errno;
      return leads_somewhere ? os_changed : 0;  // a file not there yet
    }
    if (S_ISLNK(link.st_mode)) continue;
    // The file the links lead to, unless they changed meanwhile.
    if (!leads_somewhere || link.st_dev != end.st_dev ||
        link.st_ino != end.st_ino)
      return os_changed;
    st = link;
    exists = true;
    return 0;
  }
  return ELOOP;
}

// The standard stream (1 or 2) that writes the file st already, or 0.
static int standard_stream_of(const struct stat& st) {
  for (int fd = 1; fd <= 2; fd++) {
    struct stat s;
    if (fstat(fd, &s) == 0 && s.st_dev == st.st_dev && s.st_ino == st.st_ino)
      return fd;
  }
  return 0;
}

os_error os_look(const char* name, char* path, size_t size,
                 os_file_info& info) {
  struct stat st = {};
  bool exists = false;
  os_error err = find_target(name, path, size, st, exists);
  if (err != 0) return err;
  describe(st, info);
  if (!exists) {
    info.kind = os_missing;
    info.size = 0;
    info.links = 0;
  }
  if (info.kind == os_regular) info.standard = standard_stream_of(st);
  return 0;
}

// True when the open file fd is the file info describes: a name swapped
// for another file (or a link to one) between the look and the open is
// not written; in a shared folder that is another user's trick to have the
// records written into a file of their choosing.
static bool same_file(int fd, const os_file_info& info) {
  struct stat now;
  return fstat(fd, &now) == 0 &&
         static_cast<uint64_t>(now.st_dev) == info.device &&
         static_cast<uint64_t>(now.st_ino) == info.inode;
}

os_error os_open_device(const char* path, const os_file_info& info,
                        os_stream& out) {
  // A FIFO is opened without waiting, so that one with no reader is refused
  // (ENXIO) instead of blocking the program for good; the writes then wait
  // as usual.
  int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  if (!same_file(fd, info)) return close_after(fd, os_changed);
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1)
    return close_after(fd, errno);
  open_stream(out, fd);
  return 0;
}

// True when fd, opened as name in the folder dir, is not the file that was
// looked at only because overlayfs copied that file up at the open: the
// name leads to fd's file now.
static bool copied_up(int fd, int dir, const char* name) {
#if defined(__linux__)
  struct statfs fs;
  struct stat now, named;
  return fstatfs(fd, &fs) == 0 &&
         static_cast<uint32_t>(fs.f_type) == OVERLAYFS_SUPER_MAGIC &&
         fstat(fd, &now) == 0 &&
         fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         now.st_dev == named.st_dev && now.st_ino == named.st_ino;
#else
  (void)fd;
  (void)dir;
  (void)name;
  return false;
#endif
}

os_error os_open_file(const os_folder& d, const char* name,
                      const os_file_info& info, os_stream& f, bool& readable) {
  const int flags = O_CLOEXEC | O_NOFOLLOW;
  int fd = openat(dir_fd(d), name, O_RDWR | flags);
  readable = fd >= 0;
  if (fd < 0 && errno == EACCES) fd = openat(dir_fd(d), name, O_WRONLY | flags);
  if (fd < 0) return errno;
  if (!same_file(fd, info))
    return close_after(
        fd, copied_up(fd, dir_fd(d), name) ? os_copied_up : os_changed);
  open_stream(f, fd);
  return 0;
}

#if defined(O_TMPFILE)
const unsigned unnamed_files = os_can_unnamed;
#else
const unsigned unnamed_files = 0;
#endif

const os_file_calls os_system_files = {
    unnamed_files | os_can_link,
    os_look,
    os_open_device,
    os_open_folder,
    os_close_folder,
    os_backup_folder,
    os_open_file,
    open_at,
    link_at,
    rename_at,
    unlink_at,
    list_at,
    status,
    os_lock,
    take_identity,
    read_at,
    write_at,
    os_write,
    seek,
    cut,
    sync,
    sync_folder,
    os_close,
};

// ---- Memory the process can really have ----
//
// Linux hands out memory it may not have (overcommit), and a process that
// then touches more than there is, or more than its memory cgroup allows,
// is killed, records and all. So before a block grows, the growth is
// checked against what is really left (os_room.h).

// What is kept free for everything else the program and the system need.
const uint64_t memory_reserve = uint64_t{16} << 20;

// Bytes of the blocks' mappings beyond what the blocks hold: memory the
// process has been given but not yet touched, which a growth of one block
// must leave room for too.
static uint64_t untouched = 0;

// Growths smaller than this are not checked: the reserve covers them.
const uint64_t unchecked_growth = uint64_t{1} << 20;

// True when a block whose untouched part is now already bytes may grow so
// that bytes more can be touched, with everything else untouched and the
// reserve still left.
static bool room_for(uint64_t bytes, uint64_t already) {
  if (bytes < unchecked_growth) return true;
  uint64_t others = untouched - already;
  uint64_t room = os_memory_room();
  return room >= memory_reserve && room - memory_reserve >= others &&
         room - memory_reserve - others >= bytes;
}

// ---- Memory ----

// A block is a private anonymous mapping that starts with this head; the
// caller's bytes follow it. The mapping may be larger than the block, so
// that a block growing a little at a time is remapped only now and then.
struct block_head {
  size_t mapped;  // bytes in the mapping, head included
  size_t size;    // bytes of the block
  char pad[48];   // keeps the caller's bytes on a 64-byte boundary
};

const size_t huge_page = size_t{2} << 20;

static size_t round_up(size_t n, size_t unit) {
  return (n + unit - 1) / unit * unit;
}

// The mapping size for a block of size bytes: whole pages, or whole 2 MiB
// pages for a large block.
static size_t mapping_for(size_t size) {
  size_t need = size + sizeof(block_head);
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return round_up(need, need >= huge_page ? huge_page : page);
}

// Asks for 2 MiB pages over a large mapping: fewer faults and fewer TLB
// misses while a large array fills. A hint only.
static void advise(void* base, size_t mapped) {
#if defined(__linux__)
  if (mapped >= huge_page) (void)madvise(base, mapped, MADV_HUGEPAGE);
#else
  (void)base;
  (void)mapped;
#endif
}

// Moves the mapping of mapped bytes at base to one of want bytes, keeping
// the first keep bytes. Returns the new base, or null with the old one
// untouched.
static void* remap(void* base, size_t mapped, size_t want, size_t keep) {
#if defined(__linux__)
  (void)keep;
  void* p = mremap(base, mapped, want, MREMAP_MAYMOVE);
  return p == MAP_FAILED ? nullptr : p;
#else
  if (want < mapped) {
    (void)munmap(static_cast<char*>(base) + want, mapped - want);
    return base;
  }
  void* p = mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON,
                 -1, 0);
  if (p == MAP_FAILED) return nullptr;
  memcpy(p, base, keep);
  (void)munmap(base, mapped);
  return p;
#endif
}

// Sets the block of head to size bytes and marks them usable, and the rest
// of the mapping, head included, out of bounds. Returns the block.
static void* guard(block_head* head, size_t size) {
  head->size = size;
  ASAN_POISON_MEMORY_REGION(head, head->mapped);
  ASAN_UNPOISON_MEMORY_REGION(head + 1, size);
  return head + 1;
}

// Opens the whole mapping of head to the program again, before it is moved,
// cut or unmapped.
static size_t unguard(block_head* head) {
  ASAN_UNPOISON_MEMORY_REGION(head, sizeof *head);
  size_t mapped = head->mapped;
  ASAN_UNPOISON_MEMORY_REGION(head, mapped);
  return mapped;
}

// The bytes of the mapping of head beyond its block.
static size_t slack(const block_head* head) {
  return head->mapped - sizeof(block_head) - head->size;
}

void* os_system_resize(void* p, size_t size) {
  if (size > SIZE_MAX / 2) return nullptr;
  size_t want = mapping_for(size);
  if (p == nullptr) {
    if (!room_for(want, 0)) return nullptr;
    void* base = mmap(nullptr, want, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANON, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    advise(base, want);
    block_head* head = static_cast<block_head*>(base);
    head->mapped = want;
    head->size = size;
    untouched += slack(head);
    return guard(head, size);
  }
  block_head* head = static_cast<block_head*>(p) - 1;
  ASAN_UNPOISON_MEMORY_REGION(head, sizeof *head);
  if (want <= head->mapped && want + want / 4 >= head->mapped) {
    // Within its mapping: only the bytes between the two sizes change
    // hands, so that a block growing a record at a time costs no more
    // under AddressSanitizer than the record.
    size_t before = slack(head);
    char* block = reinterpret_cast<char*>(head + 1);
    if (size > head->size)
      ASAN_UNPOISON_MEMORY_REGION(block + head->size, size - head->size);
    else
      ASAN_POISON_MEMORY_REGION(block + size, head->size - size);
    head->size = size;
    untouched = untouched - before + slack(head);
    ASAN_POISON_MEMORY_REGION(head, sizeof *head);
    return block;
  }
  size_t mapped = unguard(head);
  size_t before = slack(head);
  if (want > mapped) {
    // Growing: an eighth more than asked, so that the next steps fit, if
    // there is room for that, else just what is asked.
    size_t in_use = head->size + sizeof(block_head);
    size_t got = mapping_for(size + size / 8);
    void* base = room_for(got - in_use, before)
                     ? remap(head, mapped, got, mapped)
                     : nullptr;
    if (base == nullptr && room_for(want - in_use, before)) {
      got = want;
      base = remap(head, mapped, got, mapped);
    }
    if (base == nullptr) {
      (void)guard(head, head->size);
      return nullptr;
    }
    head = static_cast<block_head*>(base);
    head->mapped = got;
    advise(head, got);
  } else if (want + want / 4 < mapped) {
    // Shrinking by more than a quarter: the rest goes back to the system.
    void* base = remap(head, mapped, want, want);
    if (base != nullptr) {
      head = static_cast<block_head*>(base);
      head->mapped = want;
    }
  }
  head->size = size;
  untouched = untouched - before + slack(head);
  return guard(head, size);
}

void os_free(void* p) {
  if (p == nullptr) return;
  block_head* head = static_cast<block_head*>(p) - 1;
  size_t mapped = unguard(head);
  untouched -= slack(head);
  (void)munmap(head, mapped);
}
