// The platform layer on Linux, macOS and the BSDs: descriptors, the save by
// a temporary file renamed over the target, errno texts, and memory mapped
// straight from the system. Linux-only tuning sits under __linux__.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
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

static void open_stream(os_stream& s, int fd) {
  s.handle = fd;
  s.console = fd >= 0 && isatty(fd) == 1;
  s.text = false;  // this file keeps nothing in s.platform
}

void os_std_stream(os_stream& s, int which) {
  open_stream(s, which);
}

os_error os_read(os_stream& s, char* buf, size_t size, size_t& got) {
  for (;;) {
    ssize_t n = read(static_cast<int>(s.handle), buf, size);
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

os_error os_open_read(os_stream& s, const char* name) {
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  open_stream(s, fd);
  return 0;
}

void os_close(os_stream& s) {
  (void)close(static_cast<int>(s.handle));
  s.handle = -1;
}

void os_error_text(os_error err, char* buf, size_t size) {
  (void)snprintf(buf, size, "%s", strerror(err));
}

// ---- Saving a file whole ----
//
// A regular file is replaced by a new file written and synced in its
// folder, then renamed over it. The new file has no name while it is
// written (O_TMPFILE, where the file system allows), so that a save that
// is killed leaves nothing behind; it gets one just before the rename. It
// takes over the old file's owner, permissions, ACL and extended
// attributes. Where a rename cannot keep the file's identity or is refused
// (more than one hard link, a folder closed to new files, attributes that
// cannot be copied, a bind-mounted file, another user's file in a sticky
// folder), the file is written in place: a complete copy of its old
// contents is made and synced first, beside it or else in the temporary
// folder, room for all of the new contents is reserved, and the signals
// that end the program wait until the file holds the whole new contents
// (or the old ones again). Terminals, pipes, devices and the file that
// standard output or error already writes are written straight.

// The temporary file's name, and the backup copy's: XXXXXX becomes six
// letters and digits.
const char temp_prefix[] = ".kartoteka-";
const char backup_infix[] = ".kartoteka-backup-";
const size_t random_letters = 6;

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

// The temporary file of the save under way, for the signal handler: the
// path is made before the file has it, and temp_named is set only while
// the file is there under it.
static char temp_path[PATH_MAX];
static volatile sig_atomic_t temp_named = 0;

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

// The end signals, and what each did before the save (by signal number).
static int end_signals[NSIG];
static int end_signal_count = 0;
static struct sigaction before_save[NSIG];
static bool caught[NSIG];

// Fills end_signals once.
static void list_end_signals() {
  if (end_signal_count > 0) return;
  for (int sig : fixed_end_signals) end_signals[end_signal_count++] = sig;
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  for (int sig = SIGRTMIN; sig <= SIGRTMAX && sig < NSIG; sig++)
    end_signals[end_signal_count++] = sig;
#endif
}

// Removes the temporary file, then lets the signal end the program as it
// would have: the handler was reset to the default action on entry, and the
// signal raised here is delivered as soon as the handler returns. Only
// async-signal-safe calls.
static void remove_temp_and_end(int sig) {
  if (temp_named) (void)unlink(temp_path);
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

// Has every end signal remove the temporary file first, except those the
// program was started with ignored, which stay ignored, and those that
// already have a handler (the C library's own).
static void catch_end_signals() {
  struct sigaction act;
  memset(&act, 0, sizeof act);
  act.sa_handler = remove_temp_and_end;
  act.sa_mask = end_signal_set();
  act.sa_flags = SA_RESETHAND;
  for (int i = 0; i < end_signal_count; i++) {
    int sig = end_signals[i];
    caught[sig] = sigaction(sig, nullptr, &before_save[sig]) == 0 &&
                  before_save[sig].sa_handler == SIG_DFL &&
                  (before_save[sig].sa_flags & SA_SIGINFO) == 0 &&
                  sigaction(sig, &act, nullptr) == 0;
  }
}

// Gives the end signals back what they did before the save. A signal held
// off meanwhile is delivered when the caller lets it through.
static void release_end_signals() {
  for (int i = 0; i < end_signal_count; i++) {
    int sig = end_signals[i];
    if (caught[sig]) (void)sigaction(sig, &before_save[sig], nullptr);
    caught[sig] = false;
  }
}

// Stores in dir the folder part of path ("." when it has none). Returns
// false when it does not fit.
static bool folder_of(const char* path, char* dir, size_t size) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return snprintf(dir, size, ".") > 0;
  size_t len = slash == path ? 1 : static_cast<size_t>(slash - path);
  if (len >= size) return false;
  memcpy(dir, path, len);
  dir[len] = '\0';
  return true;
}

// Makes a file's name durable in its folder's listing. A folder that
// cannot be synced leaves the file saved all the same, so its outcome is
// not a failure of the save.
static void sync_folder(const char* dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  (void)close(fd);
}

// Writes into path (size bytes) the name dir/stem followed by random
// letters and digits. Returns false when it does not fit.
static bool random_name(char* path, size_t size, const char* dir,
                        const char* stem) {
  static const char letters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static uint64_t state = 0;
  if (state == 0) {
    struct timespec now;
    (void)clock_gettime(CLOCK_REALTIME, &now);
    state = static_cast<uint64_t>(now.tv_nsec) ^
            static_cast<uint64_t>(now.tv_sec) << 20 ^
            static_cast<uint64_t>(getpid()) << 40 ^ 0x9E3779B97F4A7C15u;
  }
  char tail[random_letters + 1];
  for (size_t i = 0; i < random_letters; i++) {
    state ^= state << 13;  // xorshift64
    state ^= state >> 7;
    state ^= state << 17;
    tail[i] = letters[state % (sizeof letters - 1)];
  }
  tail[random_letters] = '\0';
  int got = snprintf(path, size, "%s/%s%s", dir, stem, tail);
  return got > 0 && static_cast<size_t>(got) < size;
}

// Tries this many names before giving up on a folder full of them.
const int name_tries = 100;

// Locks the whole of the new file fd for writing, for as long as it is
// open: the mark by which a later save tells a file of a save that still
// runs from one a killed save left (remove_leftovers). Returns false when
// fd lost its name to such a save before the lock took.
static bool claim(int fd) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  (void)fcntl(fd, F_SETLK, &lock);  // without locks, nothing can tell
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_nlink > 0;
}

// Makes a new file with a random name dir/stemXXXXXX, opened to read and
// write and claimed, with the permission bits mode under the umask and the
// folder's default ACL, as any program's new file. Returns its descriptor,
// with its name in path, or -1 with errno set.
static int create_named(char* path, size_t size, const char* dir,
                        const char* stem, mode_t mode) {
  for (int i = 0; i < name_tries; i++) {
    if (!random_name(path, size, dir, stem)) {
      errno = ENAMETOOLONG;
      return -1;
    }
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 && claim(fd)) return fd;
    if (fd >= 0) {
      (void)close(fd);
      continue;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// A short tag of the machine's name, in hex: files a save leaves in a
// folder shared over a network are told apart by the machine that made
// them, as only that machine's locks can be seen.
static uint32_t machine_tag() {
  char host[256] = "";
  (void)gethostname(host, sizeof host - 1);
  uint32_t h = 2166136261u;  // FNV-1a
  for (const char* p = host; *p != '\0'; p++) {
    h ^= static_cast<unsigned char>(*p);
    h *= 16777619u;
  }
  return h;
}

// The start of the names of the temporary files that a save of target
// gives a name in a folder (where the file system has no unnamed files,
// and for a moment before the rename): ".kartoteka-NAME-TAG-", NAME the
// file's own name and TAG the machine's (machine_tag), or only
// ".kartoteka-" where that would be too long for a name. Returns true for
// the long form, by which a later save finds what a killed one left.
static bool temp_stem(char* stem, size_t size, const char* target) {
  const char* slash = strrchr(target, '/');
  const char* base = slash != nullptr ? slash + 1 : target;
  int got = snprintf(stem, size, "%s%s-%08x-", temp_prefix, base,
                     static_cast<unsigned>(machine_tag()));
  if (got > 0 && static_cast<size_t>(got) + random_letters <= NAME_MAX)
    return true;
  (void)snprintf(stem, size, "%s", temp_prefix);
  return false;
}

// Removes from dir the temporary files that earlier saves of the same file
// on this machine left when they were killed: those named stem and random
// letters that no running save holds claimed. A file of a running save,
// another user's that this user may not open, or any where locks cannot
// be had, stays.
static void remove_leftovers(const char* dir, const char* stem) {
  DIR* d = opendir(dir);
  if (d == nullptr) return;
  size_t stem_len = strlen(stem);
  while (const struct dirent* e = readdir(d)) {
    if (strncmp(e->d_name, stem, stem_len) != 0 ||
        strlen(e->d_name) != stem_len + random_letters)
      continue;
    char path[PATH_MAX];
    int got = snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
    if (got < 0 || static_cast<size_t>(got) >= sizeof path) continue;
    int fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        fcntl(fd, F_SETLK, &lock) == 0)
      (void)unlink(path);
    (void)close(fd);
  }
  (void)closedir(d);
}

// Makes a named temporary file for the save of target in dir, as
// create_named does, after removing what killed saves of it left there.
static int create_temp(char* path, size_t size, const char* dir,
                       const char* target, mode_t mode) {
  char stem[PATH_MAX];
  if (temp_stem(stem, sizeof stem, target)) remove_leftovers(dir, stem);
  return create_named(path, size, dir, stem, mode);
}

// Makes a new file in dir that has no name yet, where the file system
// allows it: it disappears with the program unless name_file names it.
// Returns its descriptor, or -1 when the folder cannot hold one so (errno
// then tells whether a named file may be tried instead).
static int create_unnamed(const char* dir, mode_t mode) {
#if defined(O_TMPFILE)
  // Naming it later goes through /proc; without it, name it from the
  // start.
  if (access("/proc/self/fd", X_OK) != 0) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
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

// Gives the file at from (a path, or /proc/self/fd/N for an unnamed file)
// another name, a random one dir/stemXXXXXX, kept in path. Returns 0 or the
// error.
static os_error link_as(const char* from, char* path, size_t size,
                        const char* dir, const char* stem) {
  for (int i = 0; i < name_tries; i++) {
    if (!random_name(path, size, dir, stem)) return ENAMETOOLONG;
    if (linkat(AT_FDCWD, from, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0)
      return 0;
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// Gives the unnamed file fd a random name dir/stemXXXXXX, kept in path.
// Returns 0 or the error.
static os_error name_file(int fd, char* path, size_t size, const char* dir,
                          const char* stem) {
  char self[64];
  (void)snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return link_as(self, path, size, dir, stem);
}

// Copies the first size bytes of the file from into the file to, from the
// start of both. Returns 0 or the error of the read or write that failed.
static os_error copy_contents(int from, int to, off_t size) {
  static char buf[1 << 16];
  off_t at = 0;
  while (at < size) {
    size_t want = static_cast<size_t>(size - at) < sizeof buf
                      ? static_cast<size_t>(size - at)
                      : sizeof buf;
    ssize_t got = pread(from, buf, want, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return EIO;  // the file has shrunk meanwhile
    size_t done = 0;
    while (done < static_cast<size_t>(got)) {
      ssize_t put = pwrite(to, buf + done, static_cast<size_t>(got) - done,
                           at + static_cast<off_t>(done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) return errno;
      done += static_cast<size_t>(put);
    }
    at += got;
  }
  return 0;
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

// Makes sure the file of fd, size bytes long, has its blocks for length
// bytes, so that writing them cannot run out of room, where the file
// system can reserve blocks. One that cannot (ext2 and ext3, NFSv3, many
// FUSE file systems) is written all the same: a write that finds no room
// fails, and the caller puts the old contents back. Returns 0 or the
// error; the file's length is as it was.
static os_error reserve(int fd, off_t size, uint64_t length) {
  if (length > static_cast<uint64_t>(INT64_MAX)) return EFBIG;
  if (static_cast<off_t>(length) <= size) return 0;
  os_error err = 0;
#if defined(__APPLE__)
  // Reserves the blocks past the end of the file.
  fstore_t store = {F_ALLOCATEALL, F_PEOFPOSMODE, 0,
                    static_cast<off_t>(length) - size, 0};
  if (fcntl(fd, F_PREALLOCATE, &store) == -1) err = errno;
#elif defined(__linux__)
  // The system call itself: the C library's posix_fallocate would write
  // the file where the system cannot, and fail on a file open only to
  // write.
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, size,
                static_cast<off_t>(length) - size) != 0)
    err = errno;
#else
  err = posix_fallocate(fd, size, static_cast<off_t>(length) - size);
#endif
  if (err == EOPNOTSUPP || err == ENOTSUP || err == ENOSYS || err == EINVAL)
    err = 0;  // the file system cannot reserve
  return err;
}

// How the save under way reaches its file.
enum save_way {
  save_straight,  // a terminal, pipe or device, or the standard output
  save_renamed,   // a new file, renamed over the target when done
  save_in_place,  // the file itself, its old contents kept in a backup
};

// The one save under way.
struct save_state {
  save_way way;
  char target[PATH_MAX];  // the file saved, links resolved
  char dir[PATH_MAX];     // its folder
  bool exists;            // the target was there before the save
  struct stat old;        // and its status then
  int target_fd;          // the target, open to write; -1 for a new one
  bool readable;          // target_fd may be read too
  int temp_fd;            // the new file of save_renamed
  bool own_fd;            // save_straight: the descriptor is closed after
  int backup_fd;          // save_in_place: the copy of the old contents
  char backup[PATH_MAX];  // and its name
  bool damaged;           // the old contents could not be put back
};
static save_state sv;

// Holds off the end signals until let_signals_act, which lets any that
// came meanwhile act. Holding them again while held changes nothing.
static bool signals_held = false;
static sigset_t mask_before;

static void hold_signals() {
  if (signals_held) return;
  sigset_t hold = end_signal_set();
  (void)sigprocmask(SIG_BLOCK, &hold, &mask_before);
  signals_held = true;
}

static void let_signals_act() {
  if (!signals_held) return;
  signals_held = false;
  (void)sigprocmask(SIG_SETMASK, &mask_before, nullptr);
}

// The start of the backup's name for the file at target: the file's own
// name and backup_infix, or only "kartoteka-backup-" where that would be
// too long for a name.
static void backup_stem(char* stem, size_t size, const char* target) {
  const char* slash = strrchr(target, '/');
  const char* base = slash != nullptr ? slash + 1 : target;
  int got = snprintf(stem, size, "%s%s", base, backup_infix);
  if (got < 0 || static_cast<size_t>(got) + random_letters > NAME_MAX)
    (void)snprintf(stem, size, "%s", backup_infix + 1);
}

// Makes sv.backup: a synced copy of the first size bytes of fd, in dir,
// under the backup's name. The copy gets its name only once it is whole.
// Returns 0 or the error.
static os_error backup_in(const char* dir, int fd, off_t size) {
  char stem[PATH_MAX];
  backup_stem(stem, sizeof stem, sv.target);
  char temp[PATH_MAX];
  bool named = false;
  int copy = create_unnamed(dir, 0600);
  if (copy < 0 && no_unnamed_files(errno)) {
    copy = create_temp(temp, sizeof temp, dir, sv.target, 0600);
    named = copy >= 0;
  }
  if (copy < 0) return errno;
  os_error err = copy_contents(fd, copy, size);
  if (err == 0 && sync_fd(copy) != 0) err = errno;
  if (err == 0 && named)
    err = link_as(temp, sv.backup, sizeof sv.backup, dir, stem);
  else if (err == 0)
    err = name_file(copy, sv.backup, sizeof sv.backup, dir, stem);
  if (named) (void)unlink(temp);
  if (err != 0) return close_after(copy, err);
  sync_folder(dir);
  sv.backup_fd = copy;
  return 0;
}

// The folder for a backup that cannot go beside its file.
static const char* temp_folder() {
  const char* dir = getenv("TMPDIR");
  return dir != nullptr && dir[0] == '/' ? dir : "/tmp";
}

// Makes the backup of the file fd, size bytes: beside it, or where its
// folder takes no new file (or has no room), in the temporary folder.
static os_error make_backup(int fd, off_t size) {
  os_error err = backup_in(sv.dir, fd, size);
  if (err == 0) return 0;
  os_error there = backup_in(temp_folder(), fd, size);
  return there == 0 ? 0 : err;
}

// Removes the backup, if there is one.
static void drop_backup() {
  if (sv.backup_fd < 0) return;
  (void)unlink(sv.backup);
  (void)close(sv.backup_fd);
  sv.backup_fd = -1;
}

// Puts the old contents back from the backup after a failed overwrite:
// the file is emptied first, so that the blocks the new contents took are
// free for the old ones again.
static os_error restore(int fd) {
  if (sv.backup_fd < 0) return EBADF;
  os_error err = ftruncate(fd, 0) == 0 ? 0 : errno;
  if (err == 0) err = copy_contents(sv.backup_fd, fd, sv.old.st_size);
  if (err == 0 && sync_fd(fd) != 0) err = errno;
  return err;
}

// Ends an in-place write that failed with err: puts the old contents back
// and removes the backup, or, if they cannot be put back, keeps the backup
// and says where it is (sv.damaged). Returns err.
static os_error undo_in_place(os_error err) {
  if (restore(sv.target_fd) == 0)
    drop_backup();
  else if (sv.backup_fd >= 0)
    sv.damaged = true;
  if (sv.backup_fd >= 0) (void)close(sv.backup_fd);  // kept: see sv.backup
  sv.backup_fd = -1;
  return err;
}

// Starts writing the file of sv.target_fd in place, to be filled with
// length bytes: holds off the end signals until the save ends, keeps a
// synced backup of the file's contents, then empties the file, so that
// its old blocks are free for the new contents (a file system that copies
// on write needs new blocks even to overwrite old ones), reserves the room
// where the file system can, and sets out to write from its start. On
// failure the file holds its old contents again, no backup is left (but
// where even they cannot be put back: sv.damaged) and the signals may act.
static os_error begin_in_place(uint64_t length, os_stream& out) {
  struct stat st;
  if (fstat(sv.target_fd, &st) != 0) return errno;
  sv.old = st;
  hold_signals();
  // A file the user may write but not read cannot be copied: it is written
  // without a backup, as it would be by any program, and so over its old
  // contents.
  os_error err = sv.readable ? make_backup(sv.target_fd, st.st_size) : 0;
  if (err != 0) {
    let_signals_act();
    return err;
  }
  off_t kept = st.st_size;
  if (sv.backup_fd >= 0) kept = ftruncate(sv.target_fd, 0) == 0 ? 0 : -1;
  if (kept < 0) err = errno;
  if (err == 0) err = reserve(sv.target_fd, kept, length);
  if (err == 0 && lseek(sv.target_fd, 0, SEEK_SET) != 0) err = errno;
  if (err != 0) {
    if (kept == 0)
      (void)undo_in_place(err);
    else
      drop_backup();
    let_signals_act();
    return err;
  }
  sv.way = save_in_place;
  out.handle = sv.target_fd;
  return 0;
}

// Ends an in-place write: cuts the file to what was written and syncs it,
// or after a failure puts the old contents back. The backup goes once the
// file holds the whole new or the whole old contents; if even the old
// ones cannot be put back, it stays. Then the end signals may act.
static os_error end_in_place(os_error failed) {
  int fd = sv.target_fd;
  os_error err = failed;
  off_t end = err == 0 ? lseek(fd, 0, SEEK_CUR) : 0;
  if (err == 0 && end < 0) err = errno;
  if (err == 0 && ftruncate(fd, end) != 0) err = errno;
  if (err == 0 && sync_fd(fd) != 0) err = errno;
  if (err == 0) {
    drop_backup();
  } else {
    (void)undo_in_place(err);
  }
  let_signals_act();
  return err;
}

// Removes the new file of a save that does not go on, named or not.
static void drop_temp(int fd) {
  hold_signals();
  if (temp_named) (void)unlink(temp_path);
  temp_named = 0;
  let_signals_act();
  release_end_signals();
  (void)close(fd);
}

// Gives the new file fd the old file's owner, group, permissions, ACL and
// extended attributes, and no ACL where the old file had none (a folder's
// default ACL must not widen who may read it). A member of a team saving
// the team's file cannot give it its owner back: the error (EPERM) then
// tells the caller to write the file in place, so that it stays theirs.
// Returns 0 or the error.
static os_error take_identity(int fd) {
  struct stat now;
  if (fstat(fd, &now) != 0) return errno;
  if ((now.st_uid != sv.old.st_uid || now.st_gid != sv.old.st_gid) &&
      fchown(fd, sv.old.st_uid, sv.old.st_gid) != 0)
    return errno;
  os_error err = drop_inherited_acl(fd);
  if (err == 0 && fchmod(fd, sv.old.st_mode & 07777) != 0) err = errno;
  if (err == 0) err = copy_attributes(sv.target_fd, fd);
  return err;
}

// Makes the new file that replaces sv.target (or creates it), unnamed
// where the file system allows, with the old file's owner, permissions
// and attributes. Until the save ends, an end signal removes it if it has
// a name. Sets refused when the folder takes no new file or the
// attributes cannot be copied, so that the caller may write in place.
static os_error begin_renamed(os_stream& out, bool& refused) {
  refused = false;
  temp_named = 0;
  catch_end_signals();
  hold_signals();
  int fd = create_unnamed(sv.dir, 0666);
  if (fd < 0 && no_unnamed_files(errno)) {
    fd = create_temp(temp_path, sizeof temp_path, sv.dir, sv.target, 0666);
    temp_named = fd >= 0;
  }
  os_error err = fd < 0 ? errno : 0;
  let_signals_act();
  if (fd < 0) {
    release_end_signals();
    refused = sv.exists && (err == EACCES || err == EPERM || err == EROFS);
    return err;
  }
  if (sv.exists) {
    err = take_identity(fd);
    refused = err != 0;
  }
  if (err != 0) {
    drop_temp(fd);
    return err;
  }
  sv.way = save_renamed;
  sv.temp_fd = fd;
  out.handle = fd;
  return 0;
}

// Writes the whole new file fd into the target in place, as begin_in_place
// and end_in_place do.
static os_error copy_in_place(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  os_stream ignored;
  os_error err = begin_in_place(static_cast<uint64_t>(st.st_size), ignored);
  if (err != 0) return err;
  err = copy_contents(fd, sv.target_fd, st.st_size);
  if (err == 0 && lseek(sv.target_fd, st.st_size, SEEK_SET) < 0) err = errno;
  return end_in_place(err);
}

// Ends a save by a new file: syncs it, names it and renames it over the
// target. A rename refused for the target itself (a bind-mounted file,
// another user's file in a sticky folder) writes the new contents into
// the file in place instead. The new file is gone afterwards, even when a
// signal ends the program meanwhile.
static os_error end_renamed(os_error failed) {
  int fd = sv.temp_fd;
  os_error err = failed;
  if (err == 0 && sync_fd(fd) != 0) err = errno;
  hold_signals();
  if (err == 0 && !temp_named) {
    char stem[PATH_MAX];
    (void)temp_stem(stem, sizeof stem, sv.target);
    err = name_file(fd, temp_path, sizeof temp_path, sv.dir, stem);
    temp_named = err == 0;
  }
  if (err == 0 && rename(temp_path, sv.target) == 0) {
    temp_named = 0;
  } else if (err == 0) {
    err = errno;
    if (sv.exists && (err == EBUSY || err == EPERM)) err = copy_in_place(fd);
  }
  drop_temp(fd);
  if (err == 0) sync_folder(sv.dir);
  return err;
}

// The most links followed from one name, as the system's own limit.
const int max_links = 40;

// Finds the file that saving to name writes: name itself, or through a
// symbolic link the file it leads to, whose path goes to target. Sets
// exists and, when the file exists, st. A link to a file that does not
// exist yet leads to that file's path, the link's text taken relative to
// the link's own folder.
static os_error find_target(const char* name, char* target, struct stat& st,
                            bool& exists) {
  exists = false;
  if (snprintf(target, PATH_MAX, "%s", name) >= PATH_MAX) return ENAMETOOLONG;
  struct stat link;
  if (lstat(name, &link) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISLNK(link.st_mode)) {
    st = link;
    exists = true;
    return 0;
  }
  if (stat(name, &st) == 0) {
    exists = true;
    // Only a regular file is replaced by rename, which needs its real path;
    // anything else (/dev/stdout, which leads to a pipe, say) is opened
    // through the link itself.
    if (!S_ISREG(st.st_mode)) return 0;
    return realpath(name, target) != nullptr ? 0 : errno;
  }
  if (errno != ENOENT) return errno;
  // A dangling link, perhaps through other links.
  for (int hops = 0; hops < max_links; hops++) {
    char text[PATH_MAX];
    ssize_t len = readlink(target, text, sizeof text - 1);
    if (len < 0) return errno;
    text[len] = '\0';
    char dir[PATH_MAX];
    if (!folder_of(target, dir, sizeof dir)) return ENAMETOOLONG;
    int got = text[0] == '/' ? snprintf(target, PATH_MAX, "%s", text)
                             : snprintf(target, PATH_MAX, "%s/%s", dir, text);
    if (got >= PATH_MAX) return ENAMETOOLONG;
    if (lstat(target, &link) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISLNK(link.st_mode)) return ENOENT;  // it has appeared meanwhile
  }
  return ELOOP;
}

// The standard stream (1 or 2) that writes the file st already, or -1.
static int standard_stream_of(const struct stat& st) {
  for (int fd = 1; fd <= 2; fd++) {
    struct stat s;
    if (fstat(fd, &s) == 0 && s.st_dev == st.st_dev && s.st_ino == st.st_ino)
      return fd;
  }
  return -1;
}

// True when the open file fd is the file st describes.
static bool same_file(int fd, const struct stat& st) {
  struct stat now;
  return fstat(fd, &now) == 0 && now.st_dev == st.st_dev &&
         now.st_ino == st.st_ino;
}

// The error of a save whose file has changed between the look at it and
// its opening: another file, or a link, has taken its name. Nothing is
// written there (in a shared folder that is another user's trick to have
// the records written into a file of their choosing); a save that is
// tried again looks afresh.
const os_error changed_meanwhile = EAGAIN;

// Opens a file that is not a regular one, the file st describes: a
// terminal, a pipe, a device. A FIFO is opened without waiting, so that one
// with no reader is refused (ENXIO) instead of blocking the program for
// good; the writes then wait as usual.
static os_error open_straight(const char* name, const struct stat& st,
                              os_stream& out) {
  int fd = open(name, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  if (!same_file(fd, st)) return close_after(fd, changed_meanwhile);
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1)
    return close_after(fd, errno);
  sv.own_fd = true;
  out.handle = fd;
  return 0;
}

// Opens the regular file sv.target, the file st describes, into
// sv.target_fd, without following a link that has taken its place (ELOOP).
// It must open for writing, as it would for a plain save: a file its
// owner made read-only is not replaced behind their back; for reading
// too, where allowed, so that a backup can be made of it.
static os_error open_target(const struct stat& st) {
  const int flags = O_CLOEXEC | O_NOFOLLOW;
  int fd = open(sv.target, O_RDWR | flags);
  sv.readable = fd >= 0;
  if (fd < 0 && errno == EACCES) fd = open(sv.target, O_WRONLY | flags);
  if (fd < 0) return errno;
  if (!same_file(fd, st)) return close_after(fd, changed_meanwhile);
  sv.target_fd = fd;
  return 0;
}

// Finds the file that saving to name writes (sv.target, sv.exists,
// sv.old) and opens what is written straight into out, or an existing
// regular file into sv.target_fd.
static os_error look_and_open(const char* name, os_stream& out) {
  struct stat st = {};
  os_error err = find_target(name, sv.target, st, sv.exists);
  if (err != 0) return err;
  sv.old = st;
  if (!folder_of(sv.target, sv.dir, sizeof sv.dir)) return ENAMETOOLONG;
  if (!sv.exists) return 0;
  if (!S_ISREG(st.st_mode)) return open_straight(sv.target, st, out);
  int standard = standard_stream_of(st);
  if (standard >= 0) {
    // The log that standard output or error appends to: replacing it would
    // lose what it holds and all that the program writes to it later.
    out.handle = standard;
    return 0;
  }
  return open_target(st);
}

os_error os_save_begin(const char* name, uint64_t bytes, uint64_t lines,
                       os_stream& out) {
  (void)lines;  // line ends are written as they are
  open_stream(out, -1);
  sv.way = save_straight;
  sv.exists = false;
  sv.own_fd = false;
  sv.target_fd = -1;
  sv.temp_fd = -1;
  sv.backup_fd = -1;
  sv.damaged = false;
  os_error err = look_and_open(name, out);
  if (err != 0 || out.handle >= 0) return err;
  bool refused = false;
  // A rename would leave the old records under the other names.
  bool linked = sv.exists && sv.old.st_nlink > 1;
  if (!linked) err = begin_renamed(out, refused);
  if (linked || refused) err = begin_in_place(bytes, out);
  if (err != 0 && sv.target_fd >= 0) (void)close(sv.target_fd);
  return err;
}

os_error os_save_end(os_stream& out, os_error failed) {
  os_error err = failed;
  switch (sv.way) {
    case save_straight:
      if (sv.own_fd) err = close_after(static_cast<int>(out.handle), err);
      break;
    case save_renamed:
      err = end_renamed(err);
      break;
    case save_in_place:
      err = end_in_place(err);
      break;
  }
  if (sv.target_fd >= 0) err = close_after(sv.target_fd, err);
  out.handle = -1;
  return err;
}

bool os_save_damaged(char* backup, size_t size) {
  if (!sv.damaged) return false;
  char full[PATH_MAX];
  const char* path = realpath(sv.backup, full) != nullptr ? full : sv.backup;
  (void)snprintf(backup, size, "%s", path);
  return true;
}

// ---- Memory the process can really have ----
//
// Linux hands out memory it may not have (overcommit), and a process that
// then touches more than there is, or more than its memory cgroup allows,
// is killed, records and all. So before a block grows, the growth is
// checked against what is really left: the system's available memory and
// swap, and the room under the limit of the memory cgroup the process is
// in and of each cgroup above it.

// What is kept free for everything else the program and the system need.
const uint64_t memory_reserve = uint64_t{16} << 20;

#if defined(__linux__)

// Reads the number at the start of the file at path into v. Returns false
// when the file cannot be read or holds no number ("max", say).
static bool read_number(const char* path, uint64_t& v) {
  FILE* f = fopen(path, "re");
  if (f == nullptr) return false;
  unsigned long long n = 0;
  bool ok = fscanf(f, "%llu", &n) == 1;
  (void)fclose(f);
  v = n;
  return ok;
}

// Reads, in one pass over the file at path, whose lines are "key number"
// (a memory.stat file, or /proc/meminfo with its colons and units), the
// numbers after the words first and second, and returns their sum; an
// entry that is not there counts as 0. Sets found to whether first was
// there.
static uint64_t sum_entries(const char* path, const char* first,
                            const char* second, bool& found) {
  found = false;
  FILE* f = fopen(path, "re");
  if (f == nullptr) return 0;
  char line[256];
  const char* keys[] = {first, second};
  uint64_t sum = 0;
  int seen = 0;
  while (seen < 2 && fgets(line, sizeof line, f) != nullptr) {
    for (const char* key : keys) {
      size_t len = strlen(key);
      unsigned long long n = 0;
      if (strncmp(line, key, len) == 0 &&
          (line[len] == ' ' || line[len] == ':') &&
          sscanf(line + len + 1, "%llu", &n) == 1) {
        sum += n;
        seen++;
        if (key == first) found = true;
      }
    }
  }
  (void)fclose(f);
  return sum;
}

// The memory cgroup of the process: the folder of its memory controller,
// and the controller's mount point, which is as far up as the limits go.
struct memory_cgroup {
  bool found;
  bool v2;  // the unified hierarchy's files (memory.max, memory.current)
  char dir[PATH_MAX];
  char top[PATH_MAX];
};

// True when options, a list separated by commas, holds word.
static bool has_option(const char* options, const char* word) {
  size_t len = strlen(word);
  for (const char* p = options; p != nullptr; p = strchr(p, ',')) {
    if (*p == ',') p++;
    if (strncmp(p, word, len) == 0 &&
        (p[len] == ',' || p[len] == '\0' || p[len] == '\n' || p[len] == ' '))
      return true;
  }
  return false;
}

// True when the cgroup folder root (as a mount shows it) is path or one
// of the folders above it.
static bool holds(const char* root, const char* path) {
  if (strcmp(root, "/") == 0) return true;
  size_t len = strlen(root);
  return strncmp(path, root, len) == 0 &&
         (path[len] == '\0' || path[len] == '/');
}

// Reads from /proc/self/cgroup the process's folder in the v1 memory
// controller's hierarchy (v1, empty when it has none) and in the unified
// one (v2).
static void own_cgroups(char* v1, char* v2, size_t size) {
  v1[0] = v2[0] = '\0';
  FILE* f = fopen("/proc/self/cgroup", "re");
  if (f == nullptr) return;
  char line[4096];
  while (fgets(line, sizeof line, f) != nullptr) {
    char* first = strchr(line, ':');
    char* second = first != nullptr ? strchr(first + 1, ':') : nullptr;
    if (second == nullptr) continue;
    *second = '\0';
    char* path = second + 1;
    path[strcspn(path, "\n")] = '\0';
    if (first[1] == '\0')
      (void)snprintf(v2, size, "%s", path);
    else if (has_option(first + 1, "memory"))
      (void)snprintf(v1, size, "%s", path);
  }
  (void)fclose(f);
}

// Finds the memory cgroup: the process's folder (/proc/self/cgroup) under
// the mount of its controller (/proc/self/mountinfo) whose root holds it.
// A controller's folders may be mounted more than once (a container's
// runtime binds them elsewhere): the mount whose root is nearest the
// process's own folder serves. A v1 memory controller wins over the
// unified hierarchy, which then has no memory controller.
static memory_cgroup find_cgroup() {
  memory_cgroup cg = {};
  static char own[2][PATH_MAX];
  own_cgroups(own[0], own[1], PATH_MAX);
  size_t best[2] = {0, 0};
  bool found[2] = {false, false};
  static char roots[2][PATH_MAX], points[2][PATH_MAX];
  FILE* f = fopen("/proc/self/mountinfo", "re");
  if (f == nullptr) return cg;
  char line[4096];
  while (fgets(line, sizeof line, f) != nullptr) {
    char mount_root[PATH_MAX], point[PATH_MAX];
    const char* dash = strstr(line, " - ");
    if (dash == nullptr ||
        sscanf(line, "%*s %*s %*s %4095s %4095s", mount_root, point) != 2)
      continue;
    char type[64], options[1024];
    if (sscanf(dash + 3, "%63s %*s %1023s", type, options) != 2) continue;
    int v = -1;
    if (strcmp(type, "cgroup") == 0 && has_option(options, "memory")) v = 0;
    if (strcmp(type, "cgroup2") == 0) v = 1;
    if (v < 0 || own[v][0] == '\0' || !holds(mount_root, own[v])) continue;
    size_t len = strlen(mount_root);
    if (found[v] && len <= best[v]) continue;
    found[v] = true;
    best[v] = len;
    (void)snprintf(roots[v], PATH_MAX, "%s", mount_root);
    (void)snprintf(points[v], PATH_MAX, "%s", point);
  }
  (void)fclose(f);
  int v = found[0] ? 0 : 1;
  if (!found[v]) return cg;
  cg.v2 = v == 1;
  (void)snprintf(cg.top, sizeof cg.top, "%s", points[v]);
  const char* below = own[v] + (strcmp(roots[v], "/") == 0 ? 0 : best[v]);
  int got = snprintf(cg.dir, sizeof cg.dir, "%s%s", cg.top, below);
  cg.found = got > 0 && static_cast<size_t>(got) < sizeof cg.dir;
  return cg;
}

// The room left under the limits of the cgroup folder dir and every one
// above it up to top: the limit less what is in use, the page cache that
// could be given back counted as free.
static uint64_t cgroup_room(const memory_cgroup& cg) {
  uint64_t room = UINT64_MAX;
  char dir[PATH_MAX];
  (void)snprintf(dir, sizeof dir, "%s", cg.dir);
  for (;;) {
    char path[PATH_MAX + 32];
    uint64_t limit = 0, used = 0;
    (void)snprintf(path, sizeof path, "%s/%s", dir,
                   cg.v2 ? "memory.max" : "memory.limit_in_bytes");
    bool limited = read_number(path, limit);
    (void)snprintf(path, sizeof path, "%s/%s", dir,
                   cg.v2 ? "memory.current" : "memory.usage_in_bytes");
    if (limited && read_number(path, used)) {
      (void)snprintf(path, sizeof path, "%s/memory.stat", dir);
      bool found = false;
      uint64_t cache =
          sum_entries(path, cg.v2 ? "inactive_file" : "total_inactive_file",
                      cg.v2 ? "active_file" : "total_active_file", found);
      used = cache < used ? used - cache : 0;
      uint64_t left = limit > used ? limit - used : 0;
      if (left < room) room = left;
    }
    if (strcmp(dir, cg.top) == 0) break;
    char* slash = strrchr(dir, '/');
    if (slash == nullptr || slash == dir) break;
    *slash = '\0';
    if (strlen(dir) < strlen(cg.top)) break;
  }
  return room;
}

// How many more bytes the process may touch before the system or its
// cgroup runs out.
static uint64_t memory_room() {
  static memory_cgroup cg = find_cgroup();
  bool found = false;
  uint64_t room =
      sum_entries("/proc/meminfo", "MemAvailable", "SwapFree", found) * 1024;
  if (!found) room = UINT64_MAX;  // no /proc, or too old: nothing to go by
  if (cg.found) {
    uint64_t left = cgroup_room(cg);
    if (left < room) room = left;
  }
  return room;
}

#else

static uint64_t memory_room() {
  return UINT64_MAX;
}

#endif

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
  uint64_t room = memory_room();
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
