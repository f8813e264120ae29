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

#include "os/os.h"
#include "os/os_text.h"

const os_error os_no_memory = ERROR_NOT_ENOUGH_MEMORY;
const os_error os_name_too_long = ERROR_FILENAME_EXCED_RANGE;

// Room for a file name in UTF-16, the temporary file's own part included.
const size_t name_room = 1024;

// The temporary file's own name; the Xs become a number.
const wchar_t temp_prefix[] = L".kartoteka-";

static HANDLE handle_of(const os_stream& s) {
  return reinterpret_cast<HANDLE>(s.handle);
}

// ---- Console interrupts ----

// The temporary file of a save in progress, for the console event handler:
// save_temp_live is set while a file by the name save_temp exists. Both
// change only with save_lock held.
static SRWLOCK save_lock = SRWLOCK_INIT;
static wchar_t save_temp[name_room];
static bool save_temp_live;

// Ctrl+C, Ctrl+Break, closing the window, logging off or shutting down:
// the system ends the process once this returns. A save's temporary file
// goes first; the lock stays taken, so that the save cannot make another
// one or move this one into place. The file was opened to allow this: it
// is gone once the save's handle closes with the process.
static BOOL WINAPI on_console_event(DWORD) {
  AcquireSRWLockExclusive(&save_lock);
  if (save_temp_live) (void)DeleteFileW(save_temp);
  return FALSE;
}

void os_start() {
  // The result is not examined: without the locale the default one serves.
  (void)setlocale(LC_ALL, "Russian");
  (void)SetConsoleCtrlHandler(on_console_event, TRUE);
}

// Notes the temporary file temp as made (live) or gone. The caller holds
// save_lock.
static void note_temp(const wchar_t* temp, bool live) {
  if (live) wcscpy(save_temp, temp);
  save_temp_live = live;
}

// ---- Streams ----

static void open_stream(os_stream& s, HANDLE h, bool text) {
  DWORD mode;
  s.handle = reinterpret_cast<intptr_t>(h);
  s.console = h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
  s.text = text;
  text_reset(s);
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
static void keep_rest(os_stream& s, const char* rest, size_t n) {
  memcpy(s.pending, rest, n);
  s.pending_len = n;
}

// Reads a redirected standard input: bytes as they come, CR LF as LF.
static os_error read_text(os_stream& s, char* buf, size_t size, size_t& got) {
  // A CR held from the last read may come out in front of the bytes read,
  // so one byte of room is kept for it.
  char small[2];
  char* out = size >= 2 ? buf : small;
  size_t room = size >= 2 ? size : 2;
  for (;;) {
    size_t n;
    os_error err = read_raw(handle_of(s), out + 1, room - 1, n);
    if (err != 0) return err;
    size_t made = n == 0 ? text_drain(s, out) : text_read(s, out + 1, n, out);
    if (made > 0 || n == 0) {
      got = made < size ? made : size;
      if (out == small && got > 0) {
        buf[0] = small[0];
        keep_rest(s, small + got, made - got);
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
  for (;;) {
    if (s.held == ctrl_z) return 0;  // the input has ended
    // Each unit gives at most 3 bytes, and what was held at most 3 more.
    size_t want = size >= 6 ? (size - 3) / 3 : 1;
    if (want > units_max) want = units_max;
    DWORD n = 0;
    if (!ReadConsoleW(handle_of(s), w, static_cast<DWORD>(want), &n, nullptr)) {
      return GetLastError();
    }
    bool ended = false;
    size_t made =
        n == 0 ? text_drain(s, text) : console_decode(s, w, n, text, ended);
    if (n == 0) s.held = ctrl_z;
    if (made > 0 || ended || n == 0) {
      got = made < size ? made : size;
      memcpy(buf, text, got);
      keep_rest(s, text + got, made - got);
      return 0;
    }
    // Only a CR or half a surrogate pair came, held for now: read on.
  }
}

os_error os_read(os_stream& s, char* buf, size_t size, size_t& got) {
  got = 0;
  if (size == 0) return 0;
  if (s.pending_len > 0) {
    got = s.pending_len < size ? s.pending_len : size;
    memcpy(buf, s.pending, got);
    s.pending_len -= got;
    memmove(s.pending, s.pending + got, s.pending_len);
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
    size_t used = console_encode(s, p, n, w, 4096, made);
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

// Converts the UTF-8 name to UTF-16 in out, of room units. Returns 0 or
// the error: a name that is not UTF-8, or one too long.
static os_error wide_name(const char* name, wchar_t* out, size_t room) {
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, out,
                          static_cast<int>(room)) > 0) {
    return 0;
  }
  os_error err = GetLastError();
  return err == ERROR_INSUFFICIENT_BUFFER ? os_name_too_long
                                          : ERROR_INVALID_NAME;
}

os_error os_open_read(os_stream& s, const char* name) {
  wchar_t wide[name_room];
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

// Writes data to h with CR LF line ends, then waits until it is on the
// disk when sync is set.
static os_error write_synced(HANDLE h, const char* data, size_t size,
                             bool sync) {
  os_error err = write_text(h, data, size);
  if (err == 0 && sync && !FlushFileBuffers(h)) err = GetLastError();
  return err;
}

// Closes h; returns first if it is an error already, else close's error.
static os_error close_after(HANDLE h, os_error first) {
  os_error closed = CloseHandle(h) ? 0 : GetLastError();
  return first != 0 ? first : closed;
}

// The length of data once written with CR LF line ends.
static uint64_t text_length(const char* data, size_t size) {
  uint64_t length = size;
  const char* end = data + size;
  for (const char* p = data; p < end; p++) {
    p = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (p == nullptr) break;
    length++;
  }
  return length;
}

// Sets the end of the file of h at length bytes.
static os_error set_length(HANDLE h, uint64_t length) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(length);
  if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h))
    return GetLastError();
  return 0;
}

// Writes data over the existing file called name, as its whole contents:
// first makes the file long enough for the new contents, so that the file
// system gives it the room now (a failure there puts the length back and
// leaves the file as it was), then writes from the start, cuts the file to
// the new length and flushes it. For a file with other names (hard links),
// which a replacement would part from it, and a file in a folder where no
// new file may be made. A failure after the room is given (an I/O error, a
// crash) can leave the file part old, part new.
static os_error write_in_place(const wchar_t* name, const char* data,
                               size_t size) {
  HANDLE h = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  LARGE_INTEGER old;
  if (!GetFileSizeEx(h, &old)) return close_after(h, GetLastError());
  uint64_t old_length = static_cast<uint64_t>(old.QuadPart);
  uint64_t length = text_length(data, size);
  os_error err = 0;
  if (length > old_length) {
    err = set_length(h, length);
    if (err != 0) {
      (void)set_length(h, old_length);
      return close_after(h, err);
    }
  }
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (!SetFilePointerEx(h, start, nullptr, FILE_BEGIN)) err = GetLastError();
  if (err == 0) err = write_text(h, data, size);
  if (err == 0) err = set_length(h, length);
  if (err == 0 && !FlushFileBuffers(h)) err = GetLastError();
  return close_after(h, err);
}

// Makes a new file beside name, in the same folder, with a name of its own
// in temp. Returns its handle, or INVALID_HANDLE_VALUE with err set.
static HANDLE make_temp(const wchar_t* name, wchar_t* temp, os_error& err) {
  size_t folder = 0;  // the length of the folder part, separator included
  for (size_t i = 0; name[i] != L'\0'; i++) {
    if (name[i] == L'\\' || name[i] == L'/' || (i == 1 && name[i] == L':'))
      folder = i + 1;
  }
  if (folder + wcslen(temp_prefix) + 9 > name_room) {
    err = os_name_too_long;
    return INVALID_HANDLE_VALUE;
  }
  DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
  for (DWORD attempt = 0; attempt < 100; attempt++) {
    wmemcpy(temp, name, folder);
    (void)swprintf(
        temp + folder, name_room - folder, L"%ls%06lx", temp_prefix,
        static_cast<unsigned long>((seed + attempt * 7919) & 0xFFFFFF));
    // Made and noted under the lock, so that on_console_event sees every
    // file made; deleting it is allowed while it is open.
    AcquireSRWLockExclusive(&save_lock);
    HANDLE h = CreateFileW(temp, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    err = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (h != INVALID_HANDLE_VALUE) note_temp(temp, true);
    ReleaseSRWLockExclusive(&save_lock);
    if (h != INVALID_HANDLE_VALUE) return h;
    if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS) break;
  }
  return INVALID_HANDLE_VALUE;
}

// The attributes of a file that its replacement takes over.
const DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE |
                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

os_error os_save_file(const char* name, const char* data, size_t size) {
  wchar_t wide[name_room];
  os_error err = wide_name(name, wide, name_room);
  if (err != 0) return err;
  DWORD attributes = GetFileAttributesW(wide);
  bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return ERROR_ACCESS_DENIED;  // what opening it to write would say
  }
  // Opening the target to write, without changing it, asks the system
  // whether it may be replaced: a folder, a file another program keeps
  // locked or one this user may not write is refused with its reason. A
  // device (the console, NUL) is written to as it is.
  HANDLE probe =
      CreateFileW(wide, GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    err = GetLastError();
    if (err != ERROR_FILE_NOT_FOUND) return err;
    exists = false;
  } else {
    if (GetFileType(probe) != FILE_TYPE_DISK) {
      // A console (CON) is written in Unicode, as standard output is; a
      // pipe or NUL gets the bytes with CR LF line ends.
      os_stream device;
      open_stream(device, probe, true);
      // GetConsoleMode needs read access, which a file opened to write
      // lacks; writing nothing tells a console all the same.
      DWORD none = 0;
      device.console = WriteConsoleW(probe, L"", 0, &none, nullptr) != 0;
      return close_after(probe, os_write(device, data, size));
    }
    exists = true;
    BY_HANDLE_FILE_INFORMATION info;
    bool linked =
        GetFileInformationByHandle(probe, &info) && info.nNumberOfLinks > 1;
    (void)CloseHandle(probe);
    // A replacement would leave the old records under the other names.
    if (linked) return write_in_place(wide, data, size);
  }

  wchar_t temp[name_room];
  HANDLE h = make_temp(wide, temp, err);
  if (h == INVALID_HANDLE_VALUE) {
    bool folder_closed = err == ERROR_ACCESS_DENIED ||
                         err == ERROR_WRITE_PROTECT ||
                         err == ERROR_NETWORK_ACCESS_DENIED;
    if (exists && folder_closed) return write_in_place(wide, data, size);
    return err;
  }
  err = close_after(h, write_synced(h, data, size, true));
  if (err == 0 && exists) {
    (void)SetFileAttributesW(temp, attributes & kept_attributes);
  }
  if (err == 0 &&
      !MoveFileExW(temp, wide,
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    err = GetLastError();
  }
  if (err != 0) (void)DeleteFileW(temp);
  AcquireSRWLockExclusive(&save_lock);
  note_temp(temp, false);
  ReleaseSRWLockExclusive(&save_lock);
  return err;
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

// Commits the first want bytes of the range of head (more than it has).
static bool commit(block_head* head, size_t want) {
  char* base = reinterpret_cast<char*>(head);
  return VirtualAlloc(base + head->committed, want - head->committed,
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
  if (VirtualAlloc(base, first, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
    (void)VirtualFree(base, 0, MEM_RELEASE);
    return nullptr;
  }
  block_head* head = static_cast<block_head*>(base);
  head->reserved = range;
  head->committed = first;
  head->size = size;
  return head;
}

void* os_resize(void* p, size_t size) {
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
