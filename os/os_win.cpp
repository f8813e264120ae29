// The platform layer on Windows: the console through its wide-character
// API (UTF-16 there, UTF-8 everywhere else), text-mode line ends on
// redirected streams, file names in UTF-16, the save by a new file moved
// over the target, the system's messages, and memory reserved once and
// committed as a block grows. The conversions themselves are in
// os_text.cpp, which every platform builds and tests.
#include <windows.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "os/os.h"
#include "os/os_text.h"

const os_error os_no_memory = ERROR_NOT_ENOUGH_MEMORY;
const os_error os_name_too_long = ERROR_FILENAME_EXCED_RANGE;

bool os_reader_gone(os_error err) {
  return err == ERROR_BROKEN_PIPE || err == ERROR_NO_DATA;
}

// Room for a file name in UTF-16: the longest path the system takes.
const size_t name_room = 32768;

// The most units a save adds to a file's name for its new file and its
// backup copy (NAME.kartoteka-backup-XXXXXX).
const size_t added_to_name = 24;

// The temporary file's name and the backup copy's, before six random
// letters and digits.
const wchar_t temp_prefix[] = L".kartoteka-";
const wchar_t backup_infix[] = L".kartoteka-backup-";

static HANDLE handle_of(const os_stream& s) {
  return reinterpret_cast<HANDLE>(s.handle);
}

// What this file keeps for a stream between two calls: the carries of its
// text conversions, in the stream's platform bytes.
static_assert(sizeof(text_state) <= sizeof(os_stream::platform),
              "a stream's text state does not fit its platform bytes");

static text_state& text_of(os_stream& s) {
  return *std::launder(reinterpret_cast<text_state*>(s.platform));
}

// ---- Console interrupts ----

// Held by a save while an interruption could leave a file part written:
// while a file is overwritten in place, and while a new file, no longer
// marked for deletion, is moved into place.
static SRWLOCK save_lock = SRWLOCK_INIT;

// Ctrl+C, Ctrl+Break, closing the window, logging off or shutting down:
// the system ends the process once this returns. It waits for a save that
// holds the lock to finish, and keeps the lock, so that no other save
// starts. A save's new file is marked to be deleted when closed, which
// the end of the process does.
static BOOL WINAPI on_console_event(DWORD) {
  AcquireSRWLockExclusive(&save_lock);
  return FALSE;
}

void os_start() {
  // The result is not examined: without the locale the default one serves.
  (void)setlocale(LC_ALL, "Russian");
  (void)SetConsoleCtrlHandler(on_console_event, TRUE);
}

// ---- Streams ----

static void open_stream(os_stream& s, HANDLE h, bool text) {
  DWORD mode;
  s.handle = reinterpret_cast<intptr_t>(h);
  s.console = h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
  s.text = text;
  text_reset(*new (s.platform) text_state);
}

void os_std_stream(os_stream& s, int which) {
  DWORD id = which == 0   ? STD_INPUT_HANDLE
             : which == 1 ? STD_OUTPUT_HANDLE
                          : STD_ERROR_HANDLE;
  HANDLE h = GetStdHandle(id);
  // A program started without one (from a window, say) reads nothing and
  // fails to write.
  if (h == nullptr) h = INVALID_HANDLE_VALUE;
  open_stream(s, h, true);
}

// The most bytes one ReadFile or WriteFile call is given.
const size_t call_max = size_t{1} << 30;

// Reads up to size bytes as they are. The end of a pipe whose writer has
// gone is the end of the input.
static os_error read_raw(HANDLE h, char* buf, size_t size, size_t& got) {
  DWORD n = 0;
  got = 0;
  if (!ReadFile(h, buf, static_cast<DWORD>(size < call_max ? size : call_max),
                &n, nullptr)) {
    os_error err = GetLastError();
    return err == ERROR_BROKEN_PIPE || err == ERROR_HANDLE_EOF ? 0 : err;
  }
  got = n;
  return 0;
}

// Gives the caller what does not fit in its buffer on the next read.
static void keep_rest(text_state& t, const char* rest, size_t n) {
  memcpy(t.pending, rest, n);
  t.pending_len = n;
}

// Reads a redirected standard input: bytes as they come, CR LF as LF.
static os_error read_text(os_stream& s, char* buf, size_t size, size_t& got) {
  text_state& t = text_of(s);
  // A CR held from the last read may come out in front of the bytes read,
  // so one byte of room is kept for it.
  char small[2];
  char* out = size >= 2 ? buf : small;
  size_t room = size >= 2 ? size : 2;
  for (;;) {
    size_t n;
    os_error err = read_raw(handle_of(s), out + 1, room - 1, n);
    if (err != 0) return err;
    size_t made = n == 0 ? text_drain(t, out) : text_read(t, out + 1, n, out);
    if (made > 0 || n == 0) {
      got = made < size ? made : size;
      if (out == small && got > 0) {
        buf[0] = small[0];
        keep_rest(t, small + got, made - got);
      }
      return 0;
    }
    // Only a CR came, held for now: read on.
  }
}

// Reads the console: lines as typed, in UTF-16, passed on in UTF-8.
static os_error read_console(os_stream& s, char* buf, size_t size,
                             size_t& got) {
  const size_t units_max = 4096;
  uint16_t w[units_max];
  char text[3 * units_max + 3];
  text_state& t = text_of(s);
  for (;;) {
    if (t.held == ctrl_z) return 0;  // the input has ended
    // Each unit gives at most 3 bytes, and what was held at most 3 more.
    size_t want = size >= 6 ? (size - 3) / 3 : 1;
    if (want > units_max) want = units_max;
    DWORD n = 0;
    if (!ReadConsoleW(handle_of(s), w, static_cast<DWORD>(want), &n, nullptr)) {
      return GetLastError();
    }
    bool ended = false;
    size_t made =
        n == 0 ? text_drain(t, text) : console_decode(t, w, n, text, ended);
    if (n == 0) t.held = ctrl_z;
    if (made > 0 || ended || n == 0) {
      got = made < size ? made : size;
      memcpy(buf, text, got);
      keep_rest(t, text + got, made - got);
      return 0;
    }
    // Only a CR or half a surrogate pair came, held for now: read on.
  }
}

os_error os_read(os_stream& s, char* buf, size_t size, size_t& got) {
  got = 0;
  if (size == 0) return 0;
  text_state& t = text_of(s);
  if (t.pending_len > 0) {
    got = t.pending_len < size ? t.pending_len : size;
    memcpy(buf, t.pending, got);
    t.pending_len -= got;
    memmove(t.pending, t.pending + got, t.pending_len);
    return 0;
  }
  if (s.console) return read_console(s, buf, size, got);
  if (s.text) return read_text(s, buf, size, got);
  return read_raw(handle_of(s), buf, size, got);
}

// Writes the n bytes at p to h, all of them.
static os_error write_all(HANDLE h, const char* p, size_t n) {
  while (n > 0) {
    DWORD done = 0;
    DWORD chunk = static_cast<DWORD>(n < call_max ? n : call_max);
    if (!WriteFile(h, p, chunk, &done, nullptr)) return GetLastError();
    if (done == 0) return ERROR_WRITE_FAULT;
    p += done;
    n -= done;
  }
  return 0;
}

// Writes the n bytes at p to h with each LF as CR LF.
static os_error write_text(HANDLE h, const char* p, size_t n) {
  char out[1 << 16];
  while (n > 0) {
    size_t made;
    size_t used = text_write(p, n, out, sizeof out, made);
    os_error err = write_all(h, out, made);
    if (err != 0) return err;
    p += used;
    n -= used;
  }
  return 0;
}

// Writes the n bytes at p, UTF-8, to the console in UTF-16.
static os_error write_console(os_stream& s, const char* p, size_t n) {
  uint16_t w[4096];
  while (n > 0) {
    size_t made;
    size_t used = console_encode(text_of(s), p, n, w, 4096, made);
    p += used;
    n -= used;
    for (size_t at = 0; at < made;) {
      DWORD done = 0;
      if (!WriteConsoleW(handle_of(s), w + at, static_cast<DWORD>(made - at),
                         &done, nullptr)) {
        return GetLastError();
      }
      if (done == 0) return ERROR_WRITE_FAULT;
      at += done;
    }
  }
  return 0;
}

os_error os_write(os_stream& s, const char* p, size_t n) {
  if (s.console) return write_console(s, p, n);
  if (s.text) return write_text(handle_of(s), p, n);
  return write_all(handle_of(s), p, n);
}

// ---- Files ----

// Converts the UTF-8 name to UTF-16 in out, of room units, in the form the
// wide file API takes for it: as typed, or, when its full path (with the
// names a save makes beside it) would reach MAX_PATH, the full path in the
// \\?\ form, which works even where long paths are switched off. Returns
// 0 or the error: a name that is not UTF-8, or one too long.
static os_error wide_name(const char* name, wchar_t* out, size_t room) {
  static wchar_t typed[name_room];
  static wchar_t full[name_room];
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, typed,
                          static_cast<int>(name_room)) <= 0) {
    os_error err = GetLastError();
    return err == ERROR_INSUFFICIENT_BUFFER ? os_name_too_long
                                            : ERROR_INVALID_NAME;
  }
  DWORD n = GetFullPathNameW(typed, name_room, full, nullptr);
  if (n > 0 && n < name_room && n + added_to_name >= plain_path_max) {
    return extended_path(reinterpret_cast<const uint16_t*>(full), n,
                         reinterpret_cast<uint16_t*>(out), room) > 0
               ? 0
               : os_name_too_long;
  }
  if (wcslen(typed) >= room) return os_name_too_long;
  wcscpy(out, typed);
  return 0;
}

os_error os_open_read(os_stream& s, const char* name) {
  static wchar_t wide[name_room];
  os_error err = wide_name(name, wide, name_room);
  if (err != 0) return err;
  // Others may read, write, rename or delete the file meanwhile, as on
  // POSIX systems.
  HANDLE h =
      CreateFileW(wide, GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  // The record file is read as it is: its line ends are whitespace anyway.
  open_stream(s, h, false);
  return 0;
}

void os_close(os_stream& s) {
  (void)CloseHandle(handle_of(s));
  s.handle = -1;
}

void os_error_text(os_error err, char* buf, size_t size) {
  if (size == 0) return;
  wchar_t wide[512];
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
          FORMAT_MESSAGE_MAX_WIDTH_MASK,
      nullptr, static_cast<DWORD>(err), 0, wide, 512, nullptr);
  while (n > 0 && (wide[n - 1] == L' ' || wide[n - 1] == L'\r' ||
                   wide[n - 1] == L'\n')) {
    n--;
  }
  char text[3 * 512 + 1];
  int len = n == 0
                ? 0
                : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(n),
                                      text, sizeof text - 1, nullptr, nullptr);
  if (len <= 0) {
    (void)snprintf(buf, size, "ошибка Windows %d", err);
    return;
  }
  // Cut to fit, at the start of a character.
  size_t fit = static_cast<size_t>(len);
  if (fit > size - 1) {
    fit = size - 1;
    while (fit > 0 && (static_cast<unsigned char>(text[fit]) & 0xC0) == 0x80)
      fit--;
  }
  memcpy(buf, text, fit);
  buf[fit] = '\0';
}

// ---- Saving a file whole ----
//
// A file is replaced by a new one made hidden in its folder and marked to
// be deleted when closed, so that a program ended by Task Manager or
// taskkill leaves nothing behind. Written, flushed and given the old
// file's attributes, it loses the mark and is moved over the target. A
// file with other names (hard links), or in a folder where no new file
// may be made, is written in place: a copy of its old contents is made
// first, beside it or in the temporary folder, room for the new contents
// is made and checked to be really allocated, and console events wait
// until the file holds the new contents, or the old ones again. Devices
// (the console, NUL, a pipe) and the file that standard output or error
// already writes are written straight.

// Closes h; returns first if it is an error already, else close's error.
static os_error close_after(HANDLE h, os_error first) {
  os_error closed = CloseHandle(h) ? 0 : GetLastError();
  return first != 0 ? first : closed;
}

// Sets or clears the mark that deletes the file of h when it is closed.
static bool set_delete_mark(HANDLE h, bool on) {
  FILE_DISPOSITION_INFO info;
  info.DeleteFile = on ? TRUE : FALSE;
  return SetFileInformationByHandle(h, FileDispositionInfo, &info,
                                    sizeof info) != 0;
}

// Sets the attributes of the file of h, leaving its times as they are.
static os_error set_attributes(HANDLE h, DWORD attributes) {
  FILE_BASIC_INFO info;
  memset(&info, 0, sizeof info);  // times 0: unchanged
  info.FileAttributes = attributes;
  if (!SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info))
    return GetLastError();
  return 0;
}

// The length of the folder part of the path name, separator included.
static size_t folder_length(const wchar_t* name) {
  size_t folder = 0;
  for (size_t i = 0; name[i] != L'\0'; i++) {
    if (name[i] == L'\\' || name[i] == L'/' || (i == 1 && name[i] == L':'))
      folder = i + 1;
  }
  return folder;
}

// Writes to path (name_room units) the folder folder (of length folder_len,
// separator included) followed by stem and six random letters and digits.
// Returns false when it does not fit.
static bool random_name(wchar_t* path, const wchar_t* folder, size_t folder_len,
                        const wchar_t* stem) {
  static const wchar_t letters[] =
      L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static uint64_t state = 0;
  if (state == 0) {
    LARGE_INTEGER now;
    (void)QueryPerformanceCounter(&now);
    state = static_cast<uint64_t>(now.QuadPart) ^
            static_cast<uint64_t>(GetCurrentProcessId()) << 40 ^
            0x9E3779B97F4A7C15u;
  }
  size_t stem_len = wcslen(stem);
  if (folder_len + stem_len + 7 > name_room) return false;
  wmemcpy(path, folder, folder_len);
  wmemcpy(path + folder_len, stem, stem_len);
  wchar_t* tail = path + folder_len + stem_len;
  for (int i = 0; i < 6; i++) {
    state ^= state << 13;  // xorshift64
    state ^= state >> 7;
    state ^= state << 17;
    tail[i] = letters[state % (sizeof letters / sizeof letters[0] - 1)];
  }
  tail[6] = L'\0';
  return true;
}

// Makes a new hidden file, marked to be deleted when closed, in the folder
// folder (of length folder_len), named stem and random letters; its path
// goes to path. Returns its handle, open to read and write, or
// INVALID_HANDLE_VALUE with err set.
static HANDLE create_hidden(wchar_t* path, const wchar_t* folder,
                            size_t folder_len, const wchar_t* stem,
                            os_error& err) {
  err = 0;
  for (int attempt = 0; attempt < 100; attempt++) {
    if (!random_name(path, folder, folder_len, stem)) {
      err = os_name_too_long;
      break;
    }
    HANDLE h = CreateFileW(
        path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
        CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      err = GetLastError();
      if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) continue;
      break;
    }
    if (set_delete_mark(h, true)) return h;
    err = GetLastError();
    (void)CloseHandle(h);
    (void)DeleteFileW(path);
    break;
  }
  return INVALID_HANDLE_VALUE;
}

// Takes the deletion mark off the hidden file h (made by create_hidden at
// path), gives it the attributes attributes, closes it and moves it to
// name; replace allows it to replace a file of that name. Returns 0 or the
// error; on an error the file is gone.
static os_error name_hidden(HANDLE h, const wchar_t* path, const wchar_t* name,
                            DWORD attributes, bool replace) {
  os_error err = set_attributes(h, attributes);
  if (err == 0 && !set_delete_mark(h, false)) err = GetLastError();
  if (err != 0) return close_after(h, err);  // deleted as it closes
  // From here until the move, only the end of the process by force could
  // leave the file behind, under its temporary name.
  err = close_after(h, 0);
  if (err == 0 && !MoveFileExW(path, name,
                               (replace ? MOVEFILE_REPLACE_EXISTING : 0) |
                                   MOVEFILE_WRITE_THROUGH)) {
    err = GetLastError();
  }
  if (err != 0) (void)DeleteFileW(path);
  return err;
}

// Copies the first length bytes of the file from into the file to, from
// the start of both. Returns 0 or the error.
static os_error copy_contents(HANDLE from, HANDLE to, uint64_t length) {
  static char buf[1 << 16];
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (!SetFilePointerEx(from, start, nullptr, FILE_BEGIN) ||
      !SetFilePointerEx(to, start, nullptr, FILE_BEGIN)) {
    return GetLastError();
  }
  while (length > 0) {
    DWORD want = length < sizeof buf ? static_cast<DWORD>(length) : sizeof buf;
    DWORD got = 0;
    if (!ReadFile(from, buf, want, &got, nullptr)) return GetLastError();
    if (got == 0) return ERROR_HANDLE_EOF;  // the file has shrunk meanwhile
    os_error err = write_all(to, buf, got);
    if (err != 0) return err;
    length -= got;
  }
  return 0;
}

// Sets the end of the file of h at length bytes.
static os_error set_length(HANDLE h, uint64_t length) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h))
    return GetLastError();
  return 0;
}

// The bytes of disk the file of h really has, or 0 when unknown.
static uint64_t allocated(HANDLE h) {
  FILE_STANDARD_INFO info;
  if (!GetFileInformationByHandleEx(h, FileStandardInfo, &info, sizeof info))
    return 0;
  return static_cast<uint64_t>(info.AllocationSize.QuadPart);
}

// Writes zeros into the file of h from byte from to byte to, so that its
// blocks there are really allocated.
static os_error fill_zeros(HANDLE h, uint64_t from, uint64_t to) {
  static char zeros[1 << 16];  // zero, and never written
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(from);
  if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN)) return GetLastError();
  while (from < to) {
    size_t n = to - from < sizeof zeros ? static_cast<size_t>(to - from)
                                        : sizeof zeros;
    os_error err = write_all(h, zeros, n);
    if (err != 0) return err;
    from += n;
  }
  return FlushFileBuffers(h) ? 0 : GetLastError();
}

// Makes the file of h, old_length bytes long, at least length bytes long,
// with disk really allocated for all of them: a file system that only
// notes the new length (a sparse file) gets the new part written with
// zeros, which the overwrite replaces. On failure the length is put back
// and the error returned; a full disk is ERROR_DISK_FULL.
static os_error reserve(HANDLE h, uint64_t old_length, uint64_t length) {
  if (length <= old_length) return 0;
  FILE_ALLOCATION_INFO want;
  want.AllocationSize.QuadPart = static_cast<LONGLONG>(length);
  (void)SetFileInformationByHandle(h, FileAllocationInfo, &want, sizeof want);
  os_error err = set_length(h, length);
  if (err == 0 && allocated(h) < length)
    err = fill_zeros(h, old_length, length);
  if (err == 0 && allocated(h) < length) err = ERROR_DISK_FULL;
  if (err != 0) (void)set_length(h, old_length);
  return err;
}

// How the save under way reaches its file.
enum save_way {
  save_straight,  // a device, or the file standard output writes
  save_renamed,   // a new file moved over the target when done
  save_in_place,  // the file itself, its old contents kept in a backup
};

// The one save under way.
struct save_state {
  save_way way;
  wchar_t target[name_room];
  bool exists;              // the target was there before the save
  DWORD attributes;         // and its attributes then
  HANDLE handle;            // where the bytes go
  bool own_handle;          // closed at the end (not a standard stream's)
  wchar_t temp[name_room];  // save_renamed: the new file's path
  bool readable;            // save_in_place: the file may be read
  uint64_t old_length;      // and its length before
  HANDLE backup;            // and the copy of its old contents, if any
  wchar_t backup_path[name_room];
  bool damaged;  // the old contents could not be put back
};
static save_state sv;

// The backup's name for sv.target, in the folder folder (of length
// folder_len): the file's own name and backup_infix and random letters,
// or only "kartoteka-backup-" and letters where that is too long.
static bool backup_name(wchar_t* path, const wchar_t* folder,
                        size_t folder_len) {
  const wchar_t* base = sv.target + folder_length(sv.target);
  static wchar_t stem[name_room];
  int got = swprintf(stem, name_room, L"%ls%ls", base, backup_infix);
  if (got < 0 || folder_len + static_cast<size_t>(got) + 7 > name_room ||
      got + 6 > 255) {
    (void)swprintf(stem, name_room, L"%ls", backup_infix + 1);
  }
  return random_name(path, folder, folder_len, stem);
}

// Makes sv.backup: a flushed copy of the first length bytes of the file
// h, in folder (of length folder_len), which gets its name only once it
// is whole. Returns 0 or the error.
static os_error backup_in(const wchar_t* folder, size_t folder_len, HANDLE h,
                          uint64_t length) {
  static wchar_t temp[name_room];
  os_error err = 0;
  HANDLE copy = create_hidden(temp, folder, folder_len, temp_prefix, err);
  if (copy == INVALID_HANDLE_VALUE) return err;
  err = copy_contents(h, copy, length);
  if (err == 0 && !FlushFileBuffers(copy)) err = GetLastError();
  if (err == 0 && !backup_name(sv.backup_path, folder, folder_len))
    err = os_name_too_long;
  if (err != 0) return close_after(copy, err);
  err = name_hidden(copy, temp, sv.backup_path, FILE_ATTRIBUTE_NORMAL, false);
  if (err != 0) return err;
  // Kept open to put the contents back from, and to delete when done.
  sv.backup = CreateFileW(sv.backup_path, GENERIC_READ | DELETE,
                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (sv.backup == INVALID_HANDLE_VALUE) {
    err = GetLastError();
    (void)DeleteFileW(sv.backup_path);
    return err;
  }
  return 0;
}

// Makes the backup of the file h, length bytes: beside it, or where its
// folder takes no new file (or has no room), in the temporary folder.
static os_error make_backup(HANDLE h, uint64_t length) {
  os_error err = backup_in(sv.target, folder_length(sv.target), h, length);
  if (err == 0) return 0;
  wchar_t folder[MAX_PATH + 1];
  DWORD len = GetTempPathW(MAX_PATH + 1, folder);
  if (len == 0 || len > MAX_PATH) return err;
  return backup_in(folder, len, h, length) == 0 ? 0 : err;
}

// Removes the backup, if there is one.
static void drop_backup() {
  if (sv.backup == INVALID_HANDLE_VALUE) return;
  (void)set_delete_mark(sv.backup, true);
  (void)CloseHandle(sv.backup);
  sv.backup = INVALID_HANDLE_VALUE;
}

// Starts writing the file sv.target in place, to be filled with length
// bytes: keeps a backup of its contents, makes room for the new ones, and
// holds console events off until the save ends. On failure the file is
// as it was and no backup is left.
static os_error begin_in_place(uint64_t length, os_stream& out) {
  HANDLE h =
      CreateFileW(sv.target, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  sv.readable = h != INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    h = CreateFileW(sv.target, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  LARGE_INTEGER old;
  if (!GetFileSizeEx(h, &old)) return close_after(h, GetLastError());
  sv.old_length = static_cast<uint64_t>(old.QuadPart);
  // Console events wait from here: the file is lengthened before it is
  // written, and only the end of the save makes it whole again.
  AcquireSRWLockExclusive(&save_lock);
  // A file the user may write but not read cannot be copied: it is written
  // without a backup, as it would be by any program.
  os_error err = sv.readable ? make_backup(h, sv.old_length) : 0;
  if (err == 0) err = reserve(h, sv.old_length, length);
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (err == 0 && !SetFilePointerEx(h, start, nullptr, FILE_BEGIN))
    err = GetLastError();
  if (err != 0) {
    drop_backup();
    err = close_after(h, err);
    ReleaseSRWLockExclusive(&save_lock);
    return err;
  }
  sv.way = save_in_place;
  sv.handle = h;
  out.handle = reinterpret_cast<intptr_t>(h);
  return 0;
}

// Ends an in-place write: cuts the file to what was written and flushes
// it, or after a failure puts the old contents back. The backup goes once
// the file holds the whole new or the whole old contents; if even the old
// ones cannot be put back, it stays (sv.damaged). Then console events may
// act.
static os_error end_in_place(os_error failed) {
  HANDLE h = sv.handle;
  os_error err = failed;
  if (err == 0 && !SetEndOfFile(h)) err = GetLastError();
  if (err == 0 && !FlushFileBuffers(h)) err = GetLastError();
  bool restored = false;
  if (err != 0 && sv.backup != INVALID_HANDLE_VALUE) {
    restored = copy_contents(sv.backup, h, sv.old_length) == 0 &&
               set_length(h, sv.old_length) == 0 && FlushFileBuffers(h);
    sv.damaged = !restored;
  }
  if (err == 0 || restored) drop_backup();
  if (sv.backup != INVALID_HANDLE_VALUE) (void)CloseHandle(sv.backup);
  sv.backup = INVALID_HANDLE_VALUE;
  err = close_after(h, err);
  ReleaseSRWLockExclusive(&save_lock);
  return err;
}

// Makes the new, hidden file that is to replace sv.target (or create it).
// Sets refused when the folder takes no new file, so that the caller may
// write in place instead.
static os_error begin_renamed(os_stream& out, bool& refused) {
  os_error err = 0;
  HANDLE h = create_hidden(sv.temp, sv.target, folder_length(sv.target),
                           temp_prefix, err);
  if (h == INVALID_HANDLE_VALUE) {
    refused = sv.exists &&
              (err == ERROR_ACCESS_DENIED || err == ERROR_WRITE_PROTECT ||
               err == ERROR_NETWORK_ACCESS_DENIED);
    return err;
  }
  sv.way = save_renamed;
  sv.handle = h;
  out.handle = reinterpret_cast<intptr_t>(h);
  return 0;
}

// The attributes of a file that its replacement takes over.
const DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE |
                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Ends a save by a new file: flushes it and moves it over the target. On
// any failure the new file is gone.
static os_error end_renamed(os_error failed) {
  HANDLE h = sv.handle;
  os_error err = failed;
  if (err == 0 && !FlushFileBuffers(h)) err = GetLastError();
  if (err != 0) return close_after(h, err);  // deleted as it closes
  DWORD attributes = sv.exists ? sv.attributes & kept_attributes : 0;
  AcquireSRWLockExclusive(&save_lock);
  err = name_hidden(h, sv.temp, sv.target,
                    attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL, true);
  ReleaseSRWLockExclusive(&save_lock);
  return err;
}

// True when h and the standard stream which are the same file.
static bool same_file(HANDLE h, DWORD which) {
  HANDLE standard = GetStdHandle(which);
  BY_HANDLE_FILE_INFORMATION a, b;
  return standard != nullptr && standard != INVALID_HANDLE_VALUE &&
         GetFileType(standard) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(h, &a) &&
         GetFileInformationByHandle(standard, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

os_error os_save_begin(const char* name, uint64_t bytes, uint64_t lines,
                       os_stream& out) {
  open_stream(out, INVALID_HANDLE_VALUE, true);
  sv.way = save_straight;
  sv.own_handle = false;
  sv.backup = INVALID_HANDLE_VALUE;
  sv.damaged = false;
  os_error err = wide_name(name, sv.target, name_room);
  if (err != 0) return err;
  sv.attributes = GetFileAttributesW(sv.target);
  sv.exists = sv.attributes != INVALID_FILE_ATTRIBUTES;
  if (sv.exists && (sv.attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      (sv.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return ERROR_ACCESS_DENIED;  // what opening it to write would say
  }
  // Opening the target to write, without changing it, asks the system
  // whether it may be replaced: a folder, a file another program keeps
  // locked or one this user may not write is refused with its reason.
  HANDLE probe =
      CreateFileW(sv.target, GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool linked = false;
  if (probe == INVALID_HANDLE_VALUE) {
    err = GetLastError();
    if (err != ERROR_FILE_NOT_FOUND) return err;
    sv.exists = false;
  } else if (GetFileType(probe) != FILE_TYPE_DISK) {
    // A device: the console (CON) is written in Unicode, as standard output
    // is; a pipe or NUL gets the bytes with CR LF line ends. GetConsoleMode
    // needs read access, which a file opened to write lacks; writing
    // nothing tells a console all the same.
    open_stream(out, probe, true);
    DWORD none = 0;
    out.console = WriteConsoleW(probe, L"", 0, &none, nullptr) != 0;
    sv.own_handle = true;
    return 0;
  } else {
    sv.exists = true;
    const DWORD standard[] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD which : standard) {
      if (!same_file(probe, which)) continue;
      // The log standard output or error writes: replacing it would lose
      // what it holds and all that the program writes to it later.
      (void)CloseHandle(probe);
      out.handle = reinterpret_cast<intptr_t>(GetStdHandle(which));
      return 0;
    }
    BY_HANDLE_FILE_INFORMATION info;
    linked =
        GetFileInformationByHandle(probe, &info) && info.nNumberOfLinks > 1;
    (void)CloseHandle(probe);
  }
  // A replacement would leave the old records under the other names.
  uint64_t length = bytes + lines;  // each line end is CR LF
  if (linked) return begin_in_place(length, out);
  bool refused = false;
  err = begin_renamed(out, refused);
  if (refused) err = begin_in_place(length, out);
  return err;
}

os_error os_save_end(os_stream& out, os_error failed) {
  os_error err = failed;
  switch (sv.way) {
    case save_straight:
      if (sv.own_handle) err = close_after(handle_of(out), err);
      break;
    case save_renamed:
      err = end_renamed(err);
      break;
    case save_in_place:
      err = end_in_place(err);
      break;
  }
  out.handle = -1;
  return err;
}

bool os_save_damaged(char* backup, size_t size) {
  if (!sv.damaged) return false;
  static wchar_t full[name_room];
  DWORD n = GetFullPathNameW(sv.backup_path, name_room, full, nullptr);
  const wchar_t* path = n > 0 && n < name_room ? full : sv.backup_path;
  int len = WideCharToMultiByte(CP_UTF8, 0, path, -1, backup,
                                static_cast<int>(size), nullptr, nullptr);
  if (len <= 0 && size > 0) backup[0] = '\0';
  return true;
}

// ---- Memory ----

// A block lies at the start of a range of reserved address space, of which
// the first committed bytes are usable. It starts with this head; the
// caller's bytes follow it. Growing commits more of the range, so the block
// stays where it is. A new block gets a small range; one that outgrows it
// moves, once, to a range as large as all the memory the system can commit,
// which it cannot outgrow unless the system's paging file grows.
struct block_head {
  size_t reserved;   // bytes of address space, head included
  size_t committed;  // bytes committed from its start, head included
  size_t size;       // bytes of the block
  char pad[40];      // keeps the caller's bytes on a 64-byte boundary
};

static size_t round_up(size_t n, size_t unit) {
  return (n + unit - 1) / unit * unit;
}

static size_t page_size() {
  static size_t page = 0;
  if (page == 0) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page = info.dwPageSize;
  }
  return page;
}

// The range first reserved for a block of need bytes, head included. Wine
// takes time in proportion to a range's size, so this one is kept small.
static size_t first_range(size_t need) {
  size_t least = size_t{1} << 20;
  return round_up(need * 2 > least ? need * 2 : least, size_t{64} << 10);
}

// The range for a block of need bytes that has outgrown its first one: the
// system's commit limit (memory and paging file), or four times need.
static size_t large_range(size_t need) {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  size_t limit = GlobalMemoryStatusEx(&status) != 0
                     ? static_cast<size_t>(status.ullTotalPageFile)
                     : 0;
  size_t want = need < SIZE_MAX / 4 && need * 4 > limit ? need * 4 : limit;
  return round_up(want, size_t{64} << 10);
}

// What is kept free for everything else the program and the system need.
const uint64_t memory_reserve = uint64_t{16} << 20;

// True when bytes more may be committed with the reserve still left. The
// system refuses a commit past its limit anyway; this keeps the program
// from taking the last of it, and from growing the paging file to do so.
static bool room_for(size_t bytes) {
  if (bytes < (size_t{1} << 20)) return true;  // the reserve covers it
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return true;
  uint64_t room = status.ullAvailPageFile;
  return room >= memory_reserve && room - memory_reserve >= bytes;
}

// Commits the first want bytes of the range of head (more than it has).
static bool commit(block_head* head, size_t want) {
  char* base = reinterpret_cast<char*>(head);
  return room_for(want - head->committed) &&
         VirtualAlloc(base + head->committed, want - head->committed,
                      MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

// A new block of size bytes in a range of about range bytes, or null.
static block_head* new_block(size_t size, size_t range) {
  size_t need = size + sizeof(block_head);
  size_t first = round_up(need, page_size());
  // A range as large as asked for, or failing that smaller ones, down to
  // what the block needs now.
  void* base = nullptr;
  while (base == nullptr) {
    if (range < first) range = first;
    base = VirtualAlloc(nullptr, range, MEM_RESERVE, PAGE_NOACCESS);
    if (base == nullptr && range == first) return nullptr;
    if (base == nullptr) range /= 2;
  }
  if (!room_for(first) ||
      VirtualAlloc(base, first, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
    (void)VirtualFree(base, 0, MEM_RELEASE);
    return nullptr;
  }
  block_head* head = static_cast<block_head*>(base);
  head->reserved = range;
  head->committed = first;
  head->size = size;
  return head;
}

void* os_system_resize(void* p, size_t size) {
  if (size > SIZE_MAX / 8) return nullptr;
  if (p == nullptr) {
    block_head* head = new_block(size, first_range(size + sizeof(block_head)));
    return head == nullptr ? nullptr : head + 1;
  }
  block_head* head = static_cast<block_head*>(p) - 1;
  size_t need = round_up(size + sizeof(block_head), page_size());
  if (need <= head->committed) {
    // Shrinking by more than a quarter: the rest goes back to the system.
    if (need + need / 4 < head->committed &&
        VirtualFree(reinterpret_cast<char*>(head) + need,
                    head->committed - need, MEM_DECOMMIT)) {
      head->committed = need;
    }
    head->size = size;
    return p;
  }
  if (need <= head->reserved) {
    // Growing: an eighth more than asked, so that the next steps fit.
    size_t more = round_up(need + need / 8, page_size());
    if (more > head->reserved) more = head->reserved;
    if (!commit(head, more)) {
      more = need;
      if (!commit(head, more)) return nullptr;
    }
    head->committed = more;
    head->size = size;
    return p;
  }
  // Past the whole range: a large one, and the bytes moved there.
  block_head* moved = new_block(size, large_range(need));
  if (moved == nullptr) return nullptr;
  memcpy(moved + 1, p, head->size);
  (void)VirtualFree(head, 0, MEM_RELEASE);
  return moved + 1;
}

void os_free(void* p) {
  if (p == nullptr) return;
  (void)VirtualFree(static_cast<block_head*>(p) - 1, 0, MEM_RELEASE);
}
