// The platform layer on Windows: the console through its wide-character
// API (UTF-16 there, UTF-8 everywhere else), text-mode line ends on
// redirected streams, file names in UTF-16, the files and console events a
// save is made of (hidden new files deleted when closed, moves, flushes),
// the system's messages, and memory reserved once and
// committed as a block grows. The conversions themselves are in
// os_text.cpp, which every platform builds and tests.
#include <windows.h>
// after windows.h
#include <aclapi.h>

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

// The most units a save adds to a file's name for its new file
// (.kartoteka-NAME-TAG-XXXXXX) and its backup copy
// (NAME.kartoteka-backup-XXXXXX).
const size_t added_to_name = 27;

static HANDLE handle_of(const os_stream& s) {
  return reinterpret_cast<HANDLE>(s.handle);
}

// What this file keeps for a stream between two calls, in the stream's
// platform bytes: the carries of its text conversions.
struct stream_state {
  text_state text;
};
static_assert(sizeof(stream_state) <= sizeof(os_stream::platform),
              "a stream's state does not fit its platform bytes");

static stream_state& state_of(os_stream& s) {
  return *std::launder(reinterpret_cast<stream_state*>(s.platform));
}

static text_state& text_of(os_stream& s) {
  return state_of(s).text;
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
static void (*volatile first_at_end)() = nullptr;

static BOOL WINAPI on_console_event(DWORD) {
  AcquireSRWLockExclusive(&save_lock);
  if (first_at_end != nullptr) first_at_end();
  return FALSE;
}

void os_call_before_end(void (*before_end)()) {
  if (first_at_end == nullptr) first_at_end = before_end;
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
  stream_state* state = new (s.platform) stream_state;
  text_reset(state->text);
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

os_error os_close(os_stream& s) {
  os_error err = CloseHandle(handle_of(s)) ? 0 : GetLastError();
  s.handle = -1;
  return err;
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

// ---- Files, for a save ----
//
// The file calls of os_system_files. A save's new file is made hidden in
// its folder and marked to be deleted when closed (os_open_temporary), so
// that a program ended by Task Manager or taskkill leaves nothing behind;
// its rename takes the mark off. Console events wait while os_hold_ends
// holds them.

// What os_open_file says of a name that leads to another file than the one
// os_look found.
const os_error os_changed = ERROR_FILE_INVALID;
// A pipe's open never waits for a writer here; the system's own error for
// a pipe with none.
const os_error os_no_writer = ERROR_PIPE_NOT_CONNECTED;
// The system's own error for a file that another program keeps locked.
const os_error os_busy = ERROR_LOCK_VIOLATION;

// How long a save or load waits for another program's lock, in ms, and
// how often it looks again.
const DWORD lock_wait = 3000;
const DWORD lock_step = 100;

os_error os_lock(os_stream& f, bool exclusive, bool wait) {
  HANDLE h = handle_of(f);
  if (GetFileType(h) != FILE_TYPE_DISK) return 0;
  DWORD flags =
      LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  for (DWORD waited = 0;; waited += lock_step) {
    OVERLAPPED from_start;
    memset(&from_start, 0, sizeof from_start);
    if (LockFileEx(h, flags, 0, MAXDWORD, MAXDWORD, &from_start)) return 0;
    os_error err = GetLastError();
    if (err != ERROR_LOCK_VIOLATION && err != ERROR_IO_PENDING)
      return err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION
                 ? os_unsupported
                 : err;
    if (!wait || waited >= lock_wait) return os_busy;
    Sleep(lock_step);
  }
}

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

size_t os_folder_length(const char* path) {
  size_t folder = 0;
  for (size_t i = 0; path[i] != '\0'; i++) {
    if (path[i] == '\\' || path[i] == '/' || (i == 1 && path[i] == ':'))
      folder = i + 1;
  }
  return folder;
}

os_error os_open_folder(const char* path, size_t len, os_folder& d) {
  d.handle = -1;
  if (len >= sizeof d.path) return os_name_too_long;
  memcpy(d.path, path, len);
  d.path[len] = '\0';
  static wchar_t wide[name_room];
  os_error err = wide_name(len == 0 ? "." : d.path, wide, name_room);
  if (err != 0) return err;
  // Without FILE_SHARE_DELETE: nobody may move or remove the folder while
  // the save has it, so that its path leads to it until the save ends.
  HANDLE h =
      CreateFileW(wide, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  d.handle = reinterpret_cast<intptr_t>(h);
  return 0;
}

void os_close_folder(os_folder& d) {
  if (d.handle != -1) (void)CloseHandle(reinterpret_cast<HANDLE>(d.handle));
  d.handle = -1;
}

// Writes into path (size bytes) the path of the file name in the folder d.
// Returns 0, or the error when it does not fit.
static os_error path_in(const os_folder& d, const char* name, char* path,
                        size_t size) {
  int got = snprintf(path, size, "%s%s", d.path, name);
  return got > 0 && static_cast<size_t>(got) < size ? 0 : os_name_too_long;
}

// Sets sa to make a file that only this user may open: its access list
// grants this user everything and takes nothing from the folder. Returns
// false where that cannot be built.
static bool private_to_user(SECURITY_ATTRIBUTES& sa) {
  static SECURITY_DESCRIPTOR sd;
  static DWORD acl_room[64];
  static DWORD user_room[32];
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD len = 0;
  BOOL got =
      GetTokenInformation(token, TokenUser, user_room, sizeof user_room, &len);
  (void)CloseHandle(token);
  if (!got) return false;
  PSID user = reinterpret_cast<TOKEN_USER*>(user_room)->User.Sid;
  PACL acl = reinterpret_cast<PACL>(acl_room);
  if (!InitializeAcl(acl, sizeof acl_room, ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user) ||
      !InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
    return false;
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = &sd;
  sa.bInheritHandle = FALSE;
  return true;
}

bool os_gone(os_error err) {
  return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

bool os_denied(os_error err) {
  return err == ERROR_ACCESS_DENIED || err == ERROR_WRITE_PROTECT ||
         err == ERROR_NETWORK_ACCESS_DENIED;
}

// The attributes of a file that its replacement takes over.
const DWORD kept_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE |
                              FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

static os_error take_identity(os_stream& old, const os_file_info&,
                              os_stream& fresh) {
  // The access list and owner go with the replace (ReplaceFileW); a backup
  // copy takes the file's access list where this user may give it.
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(handle_of(old), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
    return 0;  // nothing to take: the copy stays this user's own
  DWORD err = SetSecurityInfo(handle_of(fresh), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                              nullptr);
  (void)LocalFree(sd);
  return err == ERROR_SUCCESS ? 0 : static_cast<os_error>(err);
}

// Moves the file pointer of f to byte at.
static os_error point_at(os_stream& f, uint64_t at) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(at);
  return SetFilePointerEx(handle_of(f), to, nullptr, FILE_BEGIN)
             ? 0
             : GetLastError();
}

static os_error read_at(os_stream& f, uint64_t at, char* buf, size_t size,
                        size_t& got) {
  got = 0;
  os_error err = point_at(f, at);
  if (err != 0) return err;
  return read_raw(handle_of(f), buf, size, got);
}

static os_error write_at(os_stream& f, uint64_t at, const char* p, size_t n) {
  os_error err = point_at(f, at);
  return err != 0 ? err : write_all(handle_of(f), p, n);
}

static os_error seek(os_stream& f, uint64_t at) {
  return point_at(f, at);
}

static os_error cut(os_stream& f) {
  return SetEndOfFile(handle_of(f)) ? 0 : GetLastError();
}

static os_error sync(os_stream& f) {
  return FlushFileBuffers(handle_of(f)) ? 0 : GetLastError();
}

static os_error sync_folder(const os_folder&) {
  return 0;  // the moves are made with MOVEFILE_WRITE_THROUGH
}

static os_error unlink_at(const os_folder& d, const char* name) {
  static char path[os_path_max];
  static wchar_t wide[name_room];
  os_error err = path_in(d, name, path, sizeof path);
  if (err == 0) err = wide_name(path, wide, name_room);
  if (err == 0 && !DeleteFileW(wide)) err = GetLastError();
  return err;
}

// How many os_hold_ends are not yet matched by os_let_ends_act: this
// thread holds save_lock while there are any.
static int hold_depth = 0;

void os_hold_ends() {
  if (hold_depth++ == 0) AcquireSRWLockExclusive(&save_lock);
}

void os_let_ends_act() {
  if (hold_depth == 0 || --hold_depth > 0) return;
  ReleaseSRWLockExclusive(&save_lock);
}

bool os_ends_held() {
  return hold_depth > 0;
}

// Converts the UTF-16 text wide to UTF-8 in out (size bytes), "" when it
// does not fit.
static void to_utf8(const wchar_t* wide, char* out, size_t size) {
  if (size == 0) return;
  int len = WideCharToMultiByte(CP_UTF8, 0, wide, -1, out,
                                static_cast<int>(size), nullptr, nullptr);
  if (len <= 0) out[0] = '\0';
}

os_error os_backup_folder(char* folder, size_t size) {
  wchar_t wide[MAX_PATH + 1];
  DWORD len = GetEnvironmentVariableW(L"LOCALAPPDATA", wide, MAX_PATH + 1);
  if (len == 0) return GetLastError();
  const wchar_t own[] = L"\\kartoteka\\";
  if (len + wcslen(own) > MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  wcscat(wide, own);
  // The folder takes the permissions of %LOCALAPPDATA%: the user's own.
  if (!CreateDirectoryW(wide, nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS)
    return GetLastError();
  to_utf8(wide, folder, size);
  return 0;
}

void os_machine_name(char* name, size_t size) {
  wchar_t wide[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD len = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(wide, &len)) wide[0] = L'\0';
  to_utf8(wide, name, size);
}

void os_full_path(const char* path, char* full, size_t size) {
  static wchar_t wide[name_room];
  static wchar_t whole[name_room];
  DWORD n = wide_name(path, wide, name_room) == 0
                ? GetFullPathNameW(wide, name_room, whole, nullptr)
                : 0;
  if (n > 0 && n < name_room)
    to_utf8(whole, full, size);
  else
    (void)snprintf(full, size, "%s", path);
}

// Sets info to what the system says of the open file h: its kind, size,
// links, identity and attributes. Returns 0 or the error.
static os_error describe(HANDLE h, os_file_info& info) {
  memset(&info, 0, sizeof info);
  BY_HANDLE_FILE_INFORMATION file;
  if (!GetFileInformationByHandle(h, &file)) return GetLastError();
  info.kind = GetFileType(h) == FILE_TYPE_DISK ? os_regular : os_other;
  info.size =
      static_cast<uint64_t>(file.nFileSizeHigh) << 32 | file.nFileSizeLow;
  info.links = file.nNumberOfLinks;
  info.device = file.dwVolumeSerialNumber;
  info.inode =
      static_cast<uint64_t>(file.nFileIndexHigh) << 32 | file.nFileIndexLow;
  info.mode = file.dwFileAttributes;
  return 0;
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

// The device os_look opened, for os_open_device: a pipe may take only one
// client, so it is not opened twice.
static HANDLE looked_device = INVALID_HANDLE_VALUE;

os_error os_look(const char* name, char* path, size_t size,
                 os_file_info& info) {
  memset(&info, 0, sizeof info);
  if (snprintf(path, size, "%s", name) >= static_cast<int>(size))
    return os_name_too_long;
  static wchar_t wide[name_room];
  os_error err = wide_name(name, wide, name_room);
  if (err != 0) return err;
  DWORD attributes = GetFileAttributesW(wide);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return ERROR_ACCESS_DENIED;  // what opening it to write would say
  }
  // Opening the target to write, without changing it, asks the system
  // whether it may be replaced: a folder, a file another program keeps
  // locked or one this user may not write is refused with its reason.
  HANDLE probe =
      CreateFileW(wide, GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    err = GetLastError();
    if (err != ERROR_FILE_NOT_FOUND) return err;
    info.kind = os_missing;
    return 0;
  }
  if (GetFileType(probe) != FILE_TYPE_DISK) {
    info.kind = os_other;
    if (looked_device != INVALID_HANDLE_VALUE) (void)CloseHandle(looked_device);
    looked_device = probe;
    return 0;
  }
  os_error got = describe(probe, info);
  if (got != 0) return close_after(probe, got);
  info.standard = same_file(probe, STD_OUTPUT_HANDLE)  ? 1
                  : same_file(probe, STD_ERROR_HANDLE) ? 2
                                                       : 0;
  (void)CloseHandle(probe);
  return 0;
}

os_error os_open_device(const char*, const os_file_info&, os_stream& out) {
  HANDLE h = looked_device;
  looked_device = INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE) return os_changed;
  // The console (CON) is written in Unicode, as standard output is; a pipe
  // or NUL gets the bytes with CR LF line ends. GetConsoleMode needs read
  // access, which a file opened to write lacks; writing nothing tells a
  // console all the same.
  open_stream(out, h, true);
  DWORD none = 0;
  out.console = WriteConsoleW(h, L"", 0, &none, nullptr) != 0;
  return 0;
}

os_error os_open_file(const os_folder& d, const char* name,
                      const os_file_info& info, os_stream& f, bool& readable) {
  static char path[os_path_max];
  static wchar_t wide[name_room];
  os_error err = path_in(d, name, path, sizeof path);
  if (err == 0) err = wide_name(path, wide, name_room);
  if (err != 0) return err;
  HANDLE h =
      CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  readable = h != INVALID_HANDLE_VALUE;
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    h = CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  BY_HANDLE_FILE_INFORMATION file;
  if (!GetFileInformationByHandle(h, &file) ||
      file.dwVolumeSerialNumber != info.device ||
      (static_cast<uint64_t>(file.nFileIndexHigh) << 32 | file.nFileIndexLow) !=
          info.inode) {
    return close_after(h, os_changed);
  }
  open_stream(f, h, true);
  return 0;
}

const os_error os_exists = ERROR_FILE_EXISTS;
const os_error os_unsupported = ERROR_NOT_SUPPORTED;

bool os_replace_refused(os_error err) {
  // The file stays as it is, the new one under its own name: another
  // program has the file open without letting it be replaced.
  return err == ERROR_UNABLE_TO_REMOVE_REPLACED ||
         err == ERROR_SHARING_VIOLATION;
}

// Writes the path of the file name in the folder d, in UTF-16, into wide
// (name_room units). Returns 0 or the error.
static os_error wide_path_in(const os_folder& d, const char* name,
                             wchar_t* wide) {
  char path[os_path_max];
  os_error err = path_in(d, name, path, sizeof path);
  return err != 0 ? err : wide_name(path, wide, name_room);
}

// The error of a name that is taken, as os_exists.
static os_error taken_as_exists(os_error err) {
  return err == ERROR_ALREADY_EXISTS ? os_exists : err;
}

static os_error open_at(const os_folder& d, const char* name, unsigned how,
                        os_stream& f) {
  if ((how & 3) == os_open_unnamed) return os_unsupported;
  static wchar_t wide[name_room];
  os_error err = wide_path_in(d, name, wide);
  if (err != 0) return err;
  HANDLE h;
  if ((how & 3) == os_open_existing) {
    h = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE | DELETE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                    nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    BY_HANDLE_FILE_INFORMATION file;
    if (GetFileType(h) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(h, &file) ||
        (file.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
      return close_after(h, os_changed);
    open_stream(f, h, true);
    return 0;
  }
  SECURITY_ATTRIBUTES own;
  SECURITY_ATTRIBUTES* security = nullptr;
  if ((how & os_open_own_only) != 0) {
    if (!private_to_user(own)) return GetLastError();
    security = &own;
  }
  bool temporary = (how & os_open_temporary) != 0;
  // WRITE_DAC: a backup copy takes the access list of its file.
  h = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC,
                  FILE_SHARE_DELETE, security, CREATE_NEW,
                  temporary ? FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY
                            : FILE_ATTRIBUTE_NORMAL,
                  nullptr);
  if (h == INVALID_HANDLE_VALUE) return taken_as_exists(GetLastError());
  if (temporary && !set_delete_mark(h, true)) {
    err = close_after(h, GetLastError());
    (void)DeleteFileW(wide);
    return err;
  }
  open_stream(f, h, true);
  return 0;
}

static os_error link_at(os_stream&, const os_folder&, const char*,
                        const char*) {
  return os_unsupported;  // not every volume has links (FAT)
}

// Moves the file at from to the path to; with replace, over the file
// there, whose access list, owner and alternate streams the new file takes
// (ReplaceFileW; a file not there yet is moved in). Returns 0 or the
// error.
static os_error move_into(const wchar_t* from, const wchar_t* to,
                          bool replace) {
  const DWORD through = MOVEFILE_WRITE_THROUGH;
  if (replace && GetFileAttributesW(to) != INVALID_FILE_ATTRIBUTES) {
    // A file that another program holds open without letting it be
    // deleted cannot be replaced: said before ReplaceFileW tries (wine's
    // then leaves a file of its own, rfXXXX.tmp, behind).
    HANDLE probe = CreateFileW(
        to, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return GetLastError();
    (void)CloseHandle(probe);
    // Full paths: wine refuses a relative one ("The directory name is
    // invalid").
    static wchar_t full_from[name_room];
    static wchar_t full_to[name_room];
    DWORD a = GetFullPathNameW(from, name_room, full_from, nullptr);
    DWORD b = GetFullPathNameW(to, name_room, full_to, nullptr);
    if (a == 0 || a >= name_room || b == 0 || b >= name_room)
      return a == 0 || b == 0 ? GetLastError() : os_name_too_long;
    if (ReplaceFileW(full_to, full_from, nullptr,
                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
      return 0;
    os_error err = GetLastError();
    // The old file is gone already, the new one still under its name.
    if (err != ERROR_UNABLE_TO_MOVE_REPLACEMENT) return err;
    return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | through)
               ? 0
               : GetLastError();
  }
  DWORD how = through | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  return MoveFileExW(from, to, how) ? 0 : taken_as_exists(GetLastError());
}

static os_error rename_at(os_stream& f, const os_folder& d, const char* from,
                          const char* to, bool replace) {
  static wchar_t wide_from[name_room];
  static wchar_t wide_to[name_room];
  os_error err = wide_path_in(d, from, wide_from);
  if (err == 0) err = wide_path_in(d, to, wide_to);
  if (err != 0) return err;
  // A replacement takes the replaced file's attributes.
  DWORD attributes = replace ? GetFileAttributesW(wide_to) : 0;
  attributes =
      attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes & kept_attributes;
  HANDLE h = handle_of(f);
  err = set_attributes(h, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
  if (err == 0 && !set_delete_mark(h, false)) err = GetLastError();
  if (err != 0) return err;
  // Moved closed, as another open of it would be refused. From here until
  // the move, only the end of the process by force could leave the file
  // behind, under its hidden name.
  err = close_after(h, 0);
  f.handle = -1;
  if (err == 0) err = move_into(wide_from, wide_to, replace);
  const wchar_t* now = err == 0 ? wide_to : wide_from;
  if (err == 0 && replace) return 0;
  // Open again: to be read once kept, or to be deleted when closed.
  h = CreateFileW(now, GENERIC_READ | GENERIC_WRITE | DELETE,
                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE && (err == 0 || set_delete_mark(h, true))) {
    open_stream(f, h, false);
    return err;
  }
  os_error reopen = GetLastError();
  if (h != INVALID_HANDLE_VALUE) (void)CloseHandle(h);
  if (err == 0) return reopen;  // kept, but lost to this save
  (void)DeleteFileW(wide_from);
  return err;
}

static os_error list_at(const os_folder& d, os_each_name each, void* context) {
  static wchar_t pattern[name_room];
  os_error err = wide_path_in(d, "*", pattern);
  if (err != 0) return err;
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW(pattern, &found);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  do {
    char name[3 * MAX_PATH + 1];
    to_utf8(found.cFileName, name, sizeof name);
    if (name[0] != '\0') each(name, context);
  } while (FindNextFileW(h, &found));
  (void)FindClose(h);
  return 0;
}

static os_error status(os_stream& f, os_file_info& info) {
  return describe(handle_of(f), info);
}

uint64_t os_random_seed() {
  LARGE_INTEGER now;
  (void)QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart) ^
         static_cast<uint64_t>(GetCurrentProcessId()) << 40 ^
         0x9E3779B97F4A7C15u;
}

const os_file_calls os_system_files = {
    os_can_delete_on_close,
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
