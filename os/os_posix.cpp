// The platform layer on Linux, macOS and the BSDs: descriptors, the save by
// a temporary file renamed over the target, errno texts, and memory mapped
// straight from the system. Linux-only tuning sits under __linux__.
#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
  s.text = false;
  s.pending_len = 0;
  s.held = 0;
  s.at_line_start = true;
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
// A regular file is replaced by a temporary file written and synced beside
// it, then renamed over it. Where that cannot keep the file's identity or
// is refused (more than one hard link, a folder closed to new files, a
// bind-mounted file, another user's file in a sticky folder), the file is
// written in place, but only after room for all of the new contents has
// been reserved, so that a full disk or a file-size limit leaves it as it
// was. Terminals, pipes and devices are written straight.

// The temporary file's own name, short enough for any folder.
const char temp_name[] = ".kartoteka-XXXXXX";

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

// The temporary file of the save under way, for the signal handler: the
// path is made before the file exists, and temp_made is set only while
// the file is there.
static char temp_path[PATH_MAX];
static volatile sig_atomic_t temp_made = 0;

// The signals that end the program while it saves, and what they did
// before the save.
static const int end_signals[] = {SIGHUP, SIGINT, SIGTERM};
const int end_signal_count = sizeof end_signals / sizeof end_signals[0];
static struct sigaction before_save[end_signal_count];
static bool caught[end_signal_count];

// Removes the temporary file, then lets the signal end the program as it
// would have: the handler was reset to the default action on entry, and the
// signal raised here is delivered as soon as the handler returns. Only
// async-signal-safe calls.
static void remove_temp_and_end(int sig) {
  if (temp_made) (void)unlink(temp_path);
  (void)raise(sig);
}

// The set of end_signals, to hold them off while the temporary file is
// made or renamed.
static sigset_t end_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : end_signals) sigaddset(&set, sig);
  return set;
}

// Has every end signal remove the temporary file first, except those the
// program was started with ignored, which stay ignored.
static void catch_end_signals() {
  struct sigaction act;
  memset(&act, 0, sizeof act);
  act.sa_handler = remove_temp_and_end;
  act.sa_mask = end_signal_set();
  act.sa_flags = SA_RESETHAND;
  for (int i = 0; i < end_signal_count; i++) {
    caught[i] = sigaction(end_signals[i], nullptr, &before_save[i]) == 0 &&
                before_save[i].sa_handler != SIG_IGN &&
                sigaction(end_signals[i], &act, nullptr) == 0;
  }
}

// Gives the end signals back what they did before the save. A signal held
// off meanwhile is delivered when the caller lets it through.
static void release_end_signals() {
  for (int i = 0; i < end_signal_count; i++) {
    if (caught[i]) (void)sigaction(end_signals[i], &before_save[i], nullptr);
  }
}

// Closes fd; returns first if it is an error already, else close's errno.
static os_error close_after(int fd, os_error first) {
  os_error closed = close(fd) == 0 ? 0 : errno;
  return first != 0 ? first : closed;
}

// Makes sure the file of fd, now old_size bytes long, has its blocks for
// size bytes, so that writing them cannot run out of room. When that fails,
// puts the file's length back and returns the error.
static os_error reserve(int fd, off_t old_size, size_t size) {
  if (size == 0) return 0;
  if (size > static_cast<uint64_t>(INT64_MAX)) return EFBIG;
  os_error err = 0;
#if defined(__APPLE__)
  // No posix_fallocate: reserve the blocks past the end of the file.
  if (static_cast<off_t>(size) > old_size) {
    fstore_t store = {F_ALLOCATEALL, F_PEOFPOSMODE, 0,
                      static_cast<off_t>(size) - old_size, 0};
    if (fcntl(fd, F_PREALLOCATE, &store) == -1) err = errno;
  }
#else
  err = posix_fallocate(fd, 0, static_cast<off_t>(size));
#endif
  struct stat now;
  if (err != 0 && fstat(fd, &now) == 0 && now.st_size != old_size)
    (void)ftruncate(fd, old_size);
  return err;
}

// Writes data over the regular file open as fd, as its whole contents:
// reserves the room first (a failure there leaves the file as it was),
// then writes from the start, cuts the file to the new length and syncs
// it. A failure after the reservation (an I/O error, a crash) can leave the
// file part old, part new.
static os_error write_in_place(int fd, const char* data, size_t size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  os_error err = reserve(fd, st.st_size, size);
  if (err == 0 && lseek(fd, 0, SEEK_SET) != 0) err = errno;
  if (err == 0) err = write_fd(fd, data, size);
  if (err == 0 && ftruncate(fd, static_cast<off_t>(size)) != 0) err = errno;
  if (err == 0 && sync_fd(fd) != 0) err = errno;
  return err;
}

// Writes data to a file that is not a regular one: a terminal, a pipe, a
// device. A FIFO is opened without waiting, so that one with no reader is
// refused (ENXIO) instead of blocking the program for good; the writes
// then wait as usual.
static os_error write_straight(const char* name, const char* data,
                               size_t size) {
  int fd = open(name, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  int flags = fcntl(fd, F_GETFL);
  os_error err = 0;
  if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) err = errno;
  if (err == 0) err = write_fd(fd, data, size);
  return close_after(fd, err);
}

// The permission bits a plain open for writing would give a new file.
static mode_t new_file_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
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

// Makes the written file durable in its folder's listing too. A folder
// that cannot be synced leaves the file saved all the same, so its outcome
// is not a failure of the save.
static void sync_folder(const char* dir) {
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  (void)close(fd);
}

// Writes data to a new temporary file beside target and renames it over
// target. old is the target's status, or null when it does not exist yet.
// Sets refused when the folder takes no new file or the rename is refused
// for the target itself (EBUSY, EPERM), so that the caller may write the
// file in place instead. The temporary file is gone afterwards, even when
// a signal ends the program meanwhile.
static os_error replace_by_rename(const char* target, const struct stat* old,
                                  const char* data, size_t size,
                                  bool& refused) {
  refused = false;
  char dir[PATH_MAX];
  if (!folder_of(target, dir, sizeof dir) ||
      snprintf(temp_path, sizeof temp_path, "%s/%s", dir, temp_name) >=
          static_cast<int>(sizeof temp_path)) {
    return ENAMETOOLONG;
  }
  sigset_t hold = end_signal_set();
  sigset_t before;
  catch_end_signals();
  (void)sigprocmask(SIG_BLOCK, &hold, &before);
  int fd = mkstemp(temp_path);
  os_error err = fd < 0 ? errno : 0;
  temp_made = fd >= 0;
  (void)sigprocmask(SIG_SETMASK, &before, nullptr);
  if (fd < 0) {
    release_end_signals();
    refused = old != nullptr && (err == EACCES || err == EPERM || err == EROFS);
    return err;
  }
  if (fchmod(fd, old != nullptr ? old->st_mode & 07777 : new_file_mode()) != 0)
    err = errno;
  if (err == 0 && old != nullptr &&
      (old->st_uid != geteuid() || old->st_gid != getegid())) {
    // Only the owner's privileges allow this; without them the new file
    // belongs to whoever saves it, and the save goes on.
    (void)fchown(fd, old->st_uid, old->st_gid);
  }
  if (err == 0) err = write_fd(fd, data, size);
  if (err == 0 && sync_fd(fd) != 0) err = errno;
  err = close_after(fd, err);

  (void)sigprocmask(SIG_BLOCK, &hold, nullptr);
  if (err == 0 && rename(temp_path, target) != 0) {
    err = errno;
    refused = old != nullptr && (err == EBUSY || err == EPERM);
  }
  if (err != 0) (void)unlink(temp_path);
  temp_made = 0;
  release_end_signals();
  (void)sigprocmask(SIG_SETMASK, &before, nullptr);
  if (err == 0) sync_folder(dir);
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

os_error os_save_file(const char* name, const char* data, size_t size) {
  char target[PATH_MAX];
  struct stat st;
  bool exists = false;
  os_error err = find_target(name, target, st, exists);
  if (err != 0) return err;
  if (!exists) {
    bool refused = false;
    return replace_by_rename(target, nullptr, data, size, refused);
  }
  if (!S_ISREG(st.st_mode)) return write_straight(target, data, size);
  // The file must open for writing, as it would for a plain save: a file
  // its owner made read-only is not replaced behind their back. Reading
  // too, where allowed, lets the C library reserve room by writing where a
  // file system cannot reserve it itself.
  int fd = open(target, O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = open(target, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  if (st.st_nlink > 1) {
    // A rename would leave the old records under the other names.
    err = write_in_place(fd, data, size);
  } else {
    bool refused = false;
    err = replace_by_rename(target, &st, data, size, refused);
    if (refused) err = write_in_place(fd, data, size);
  }
  return close_after(fd, err);
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

void* os_resize(void* p, size_t size) {
  if (size > SIZE_MAX / 2) return nullptr;
  size_t want = mapping_for(size);
  if (p == nullptr) {
    void* base = mmap(nullptr, want, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANON, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    advise(base, want);
    static_cast<block_head*>(base)->mapped = want;
    return guard(static_cast<block_head*>(base), size);
  }
  block_head* head = static_cast<block_head*>(p) - 1;
  size_t mapped = unguard(head);
  if (want > mapped) {
    // Growing: an eighth more than asked, so that the next steps fit.
    size_t got = mapping_for(size + size / 8);
    void* base = remap(head, mapped, got, mapped);
    if (base == nullptr) {
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
  return guard(head, size);
}

void os_free(void* p) {
  if (p == nullptr) return;
  block_head* head = static_cast<block_head*>(p) - 1;
  size_t mapped = unguard(head);
  (void)munmap(head, mapped);
}
