// Saving the record array to its text file and loading it back.
#include "storage/file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char file_prompt[] = "Введите имя файла: ";
const char done_text[] = "Выполнено!\n";
const char load_stopped_text[] =
    "%s: чтение остановлено на записи %d: %s; массив не изменён.\n";
const char bad_format_reason[] = "запись не соответствует формату файла";
const char no_memory_reason[] = "не хватает памяти";

// The temporary file's own name, short enough for any folder.
const char temp_name[] = ".kartoteka-XXXXXX";

// The byte that follows field number no in a file line.
static char separator_after(int no) {
  if (no == 8 || no == 9) return '.';
  return no == field_count ? '\n' : ' ';
}

void write_record(sink& out, const human& h) {
  for (int no = 1; no <= field_count; no++) {
    if (is_text_field(no))
      put_text(out, text_field(h, no));
    else
      put_int(out, *int_field(h, no));
    put_char(out, separator_after(no));
  }
}

// Writes the records to the open descriptor fd, flushes them and, when
// sync is set, waits until they are on the disk. Returns 0 or an errno.
static int write_records(int fd, int32_t n, const human* rec, bool sync) {
  sink out;
  open_sink(out, fd);
  for (int32_t i = 0; i < n; i++) write_record(out, rec[i]);
  if (!flush(out)) return out.error;
  if (sync && fsync(fd) != 0) return errno;
  return 0;
}

// Closes fd; returns first if it is an error already, else close's errno.
static int close_after(int fd, int first) {
  int closed = close(fd) == 0 ? 0 : errno;
  return first != 0 ? first : closed;
}

// Empties or creates the file called name and writes the records into it,
// as a plain open for writing does. For a terminal, a pipe or a device, and
// for a file in a folder where no new file may be made.
static int write_in_place(const char* name, int32_t n, const human* rec) {
  int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  struct stat st;
  int err = fstat(fd, &st) == 0 ? 0 : errno;
  if (err == 0) err = write_records(fd, n, rec, S_ISREG(st.st_mode));
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

int write_file(const char* name, int32_t n, const human* rec) {
  struct stat st;
  bool exists = stat(name, &st) == 0;
  if (!exists) {
    if (errno != ENOENT) return errno;
    struct stat link;
    // A link to a file that is not there yet: create the file it names.
    if (lstat(name, &link) == 0) return write_in_place(name, n, rec);
  }
  if (exists && !S_ISREG(st.st_mode)) return write_in_place(name, n, rec);

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
    int err = errno;
    bool folder_closed = err == EACCES || err == EPERM || err == EROFS;
    if (exists && folder_closed && access(name, W_OK) == 0) {
      return write_in_place(name, n, rec);
    }
    return err;
  }
  int err = fchmod(fd, exists ? st.st_mode & 07777 : new_file_mode()) == 0
                ? 0
                : errno;
  if (err == 0 && exists &&
      (st.st_uid != geteuid() || st.st_gid != getegid())) {
    // Only the owner's privileges allow this; without them the new file
    // belongs to whoever saves it, and the save goes on.
    (void)fchown(fd, st.st_uid, st.st_gid);
  }
  if (err == 0) err = write_records(fd, n, rec, true);
  err = close_after(fd, err);
  if (err == 0 && rename(temp, target) != 0) err = errno;
  if (err != 0) {
    (void)unlink(temp);
    return err;
  }
  sync_folder(dir);
  return 0;
}

int save_array(console& con, int32_t n, const massiv& Massiv) {
  char fname[word_size];
  if (!ask_word(con, file_prompt, fname)) return 1;
  int err = write_file(fname, n, Massiv.rec);
  if (err != 0) {
    report_errno(con, fname, err);
    return 1;
  }
  say(con, done_text);
  return 0;
}

// Reads one record's eighteen fields into h. Returns false when a field
// does not follow the format or the input ends first.
static bool read_record(source& in, human& h) {
  for (int no = 1; no <= field_count; no++) {
    read_status status = is_text_field(no)
                             ? read_word(in, text_field(h, no), text_size)
                             : read_int(in, *int_field(h, no));
    if (status != read_ok) return false;
    if (separator_after(no) == '.' && !take_byte(in, '.')) return false;
  }
  return true;
}

load_status read_records(source& in, massiv& fresh, int32_t& count) {
  count = 0;
  if (!resize_array(fresh, 1)) return load_no_memory;
  for (;;) {
    skip_space(in);
    if (peek_byte(in) < 0) break;
    // The fields lie across the whole record, in memory not touched yet:
    // ask for all of it at once rather than waiting on each field in turn.
    const char* bytes = reinterpret_cast<const char*>(&fresh.rec[count]);
    for (size_t at = 0; at < sizeof(human); at += 64)
      __builtin_prefetch(bytes + at, 1);
    if (!read_record(in, fresh.rec[count])) {
      return in.error != 0 ? load_read_error : load_bad_format;
    }
    count++;
    if (!resize_array(fresh, int64_t{count} + 1)) return load_no_memory;
  }
  return in.error != 0 ? load_read_error : load_ok;
}

int32_t load_array(console& con, massiv& Massiv, int32_t n) {
  char fname[word_size];
  if (!ask_word(con, file_prompt, fname)) return n;
  int fd = open(fname, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    report_errno(con, fname, errno);
    return n;
  }
  source in;
  open_source(in, fd, nullptr);
  massiv fresh = {nullptr, 0};
  int32_t count = 0;
  load_status status = read_records(in, fresh, count);
  // Everything needed was read; a failing close cannot change that.
  (void)close(fd);
  if (status != load_ok) {
    const char* reason = status == load_bad_format  ? bad_format_reason
                         : status == load_no_memory ? no_memory_reason
                                                    : strerror(in.error);
    report(con, load_stopped_text, fname, count + 1, reason);
    release_array(fresh);
    return n;
  }
  release_array(Massiv);
  Massiv = fresh;
  say(con, done_text);
  return count;
}
