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
  // fail and are reported where they matter (a save into a pipe).
  (void)signal(SIGPIPE, SIG_IGN);
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

// Writes data to fd and, when sync is set, waits until it is on the disk.
static os_error write_synced(int fd, const char* data, size_t size, bool sync) {
  os_error err = write_fd(fd, data, size);
  if (err == 0 && sync && sync_fd(fd) != 0) err = errno;
  return err;
}

// Closes fd; returns first if it is an error already, else close's errno.
static os_error close_after(int fd, os_error first) {
  os_error closed = close(fd) == 0 ? 0 : errno;
  return first != 0 ? first : closed;
}

// Empties or creates the file called name and writes the bytes into it, as
// a plain open for writing does. For a terminal, a pipe or a device, and
// for a file in a folder where no new file may be made.
static os_error write_in_place(const char* name, const char* data,
                               size_t size) {
  int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  struct stat st;
  os_error err = fstat(fd, &st) == 0 ? 0 : errno;
  if (err == 0) err = write_synced(fd, data, size, S_ISREG(st.st_mode));
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

os_error os_save_file(const char* name, const char* data, size_t size) {
  struct stat st;
  bool exists = stat(name, &st) == 0;
  if (!exists) {
    if (errno != ENOENT) return errno;
    struct stat link;
    // A link to a file that is not there yet: create the file it names.
    if (lstat(name, &link) == 0) return write_in_place(name, data, size);
  }
  if (exists && !S_ISREG(st.st_mode)) return write_in_place(name, data, size);

  // Through a symbolic link the file it points to is replaced.
  char target[PATH_MAX];
  if (exists) {
    if (realpath(name, target) == nullptr) return errno;
  } else if (snprintf(target, sizeof target, "%s", name) >=
             static_cast<int>(sizeof target)) {
    return ENAMETOOLONG;
  }
  char dir[PATH_MAX];
  char temp[PATH_MAX];
  if (!folder_of(target, dir, sizeof dir) ||
      snprintf(temp, sizeof temp, "%s/%s", dir, temp_name) >=
          static_cast<int>(sizeof temp)) {
    return ENAMETOOLONG;
  }
  int fd = mkstemp(temp);
  if (fd < 0) {
    os_error err = errno;
    bool folder_closed = err == EACCES || err == EPERM || err == EROFS;
    if (exists && folder_closed && access(name, W_OK) == 0) {
      return write_in_place(name, data, size);
    }
    return err;
  }
  os_error err = fchmod(fd, exists ? st.st_mode & 07777 : new_file_mode()) == 0
                     ? 0
                     : errno;
  if (err == 0 && exists &&
      (st.st_uid != geteuid() || st.st_gid != getegid())) {
    // Only the owner's privileges allow this; without them the new file
    // belongs to whoever saves it, and the save goes on.
    (void)fchown(fd, st.st_uid, st.st_gid);
  }
  if (err == 0) err = write_synced(fd, data, size, true);
  err = close_after(fd, err);
  if (err == 0 && rename(temp, target) != 0) err = errno;
  if (err != 0) {
    (void)unlink(temp);
    return err;
  }
  sync_folder(dir);
  return 0;
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
