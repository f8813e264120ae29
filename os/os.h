// The few services the program takes from the operating system, behind one
// interface: the console streams, opening a file to read, the files and
// signals a save is made of (storage/save.cpp has its protocol), the
// system's error texts, memory for the record array, and the process
// setup (locale, signals). os_posix.cpp implements it for Linux,
// macOS and the BSDs, os_win.cpp for Windows; nothing else in the program
// calls the system directly.
#ifndef KARTOTEKA_OS_OS_H_
#define KARTOTEKA_OS_OS_H_

#include <cstddef>
#include <cstdint>

// A system error: 0 for none, otherwise the system's own code (errno on
// POSIX, GetLastError's code on Windows). Only os_error_text gives it a
// meaning outside this layer.
typedef int os_error;

// The system's code for memory that cannot be had.
extern const os_error os_no_memory;

// The system's code for a file name longer than the system allows.
extern const os_error os_name_too_long;

// True when err says that a pipe's reader has gone: nothing written to it
// will ever be read.
bool os_reader_gone(os_error err);

// One open stream of bytes: a standard stream, a file opened to read, or
// a file a save writes.
struct os_stream {
  intptr_t handle;  // the descriptor or HANDLE; -1 when none is open
  bool console;     // a terminal (POSIX) or a console (Windows)
  bool text;        // line ends are translated to and from the platform's
  // What the platform's own file keeps for the stream between two calls;
  // nothing outside it reads or writes these bytes.
  alignas(8) unsigned char platform[32];
};

// Prepares the process: the Russian locale for all categories (the name
// the platform knows it by; a missing locale is ignored), and signals or
// console events set up so that a reader that goes away or a file-size
// limit turns into a failed write instead of the end of the process.
void os_start();

// Makes s the standard stream which: 0 input, 1 output, 2 error.
void os_std_stream(os_stream& s, int which);

// Reads up to size bytes into buf. Sets got to the number read, 0 at the
// end of the input. Returns 0, or the error of a failed read (got is then
// 0). Retries reads interrupted by a signal.
os_error os_read(os_stream& s, char* buf, size_t size, size_t& got);

// Writes the n bytes at p, all of them, retrying short and interrupted
// writes. Returns 0 or the error of the write that failed.
os_error os_write(os_stream& s, const char* p, size_t n);

// Opens the file called name (UTF-8, relative to the current folder unless
// full) to read bytes as they are. Returns 0 with s open, or the error:
// os_no_writer for a FIFO that nobody opens to write within a few seconds.
os_error os_open_read(os_stream& s, const char* name);

// The error of a FIFO to read that nobody writes.
extern const os_error os_no_writer;

// Locks the regular file of f, as long as it is open: exclusive, against
// every other lock, for a save that writes it in place; otherwise shared,
// against exclusive ones only, for a load that reads it. With wait,
// another program's lock is waited for a few seconds. The system drops
// the lock when the file is closed or the program ends, however it ends.
// Returns 0 (also for what is not a regular file, and where the file
// system has no locks), or os_busy when another program keeps its lock,
// or the error.
os_error os_lock(os_stream& f, bool exclusive, bool wait);

// The error of a file that another program keeps locked.
extern const os_error os_busy;

// Closes a stream opened here (os_open_read, os_open_device, ...).
// Returns 0 or the error of the close, which a reader may ignore:
// everything needed was read.
os_error os_close(os_stream& s);

// ---- Files, for a save (storage/save.cpp) ----

// Room for a path in UTF-8, terminator included.
const size_t os_path_max = 4096;

// What a name leads to.
enum os_kind {
  os_missing,  // nothing yet
  os_regular,  // a regular file
  os_other,    // a terminal, pipe, FIFO or device
};

// What os_look found.
struct os_file_info {
  os_kind kind;
  uint64_t size;    // bytes, for a regular file
  uint32_t links;   // names the file has (hard links)
  uint64_t device;  // with inode, the file's identity: the device (the
  uint64_t inode;   // volume's serial on Windows) and its number there
  uint32_t owner;   // POSIX: user and group ids, and st_mode; Windows:
  uint32_t group;   // 0, 0 and the file's attributes
  uint32_t mode;
  int standard;  // 1 or 2 when standard output or error already writes
                 // this very file, else 0
};

// Finds what saving to name (UTF-8) writes: the name itself, or, through
// symbolic links, the file they lead to, whose path goes to path (size
// bytes; as typed where no link is followed). A link to a file that does
// not exist yet leads to that file's path in the link's own folder.
// Returns 0 with info set, or the error (a read-only file on Windows,
// where a plain open would refuse it too).
os_error os_look(const char* name, char* path, size_t size, os_file_info& info);

// Opens the terminal, pipe or device at path, which os_look found as info,
// to write: a FIFO without waiting for a reader (refused when it has
// none), the console on Windows in Unicode. Returns 0 with out open, or
// the error; the error is os_changed when path now leads elsewhere.
os_error os_open_device(const char* path, const os_file_info& info,
                        os_stream& out);

// A folder held open for the whole of a save: every file the save makes,
// names, replaces or removes there is in that very folder, whatever
// becomes of the path that led to it meanwhile (a folder on the way
// swapped for a link to another is not followed). POSIX: a descriptor, for
// the *at calls; Windows: a handle that keeps the folder from being moved
// or removed while it is open.
struct os_folder {
  intptr_t handle;         // -1 when none is open
  char path[os_path_max];  // as given, with its last separator: for reports
};

// Opens the folder that is the first len bytes of path ("" for the current
// one) as d. Returns 0, or the error (d.handle is then -1).
os_error os_open_folder(const char* path, size_t len, os_folder& d);

// Closes d, if it is open.
void os_close_folder(os_folder& d);

// Opens the regular file name in the folder d, which os_look found as
// info, to read and write, or only to write where reading is not allowed
// (readable tells), without following a link that has taken its name.
// Returns 0 with f open, or the error: the system's for a file the user
// may not write, os_changed when name now leads to another file.
os_error os_open_file(const os_folder& d, const char* name,
                      const os_file_info& info, os_stream& f, bool& readable);

// The error of a file that changed between os_look and its opening.
extern const os_error os_changed;

// The length of the folder part of path, its last separator included; 0
// when it has none (the current folder).
size_t os_folder_length(const char* path);

// Writes into folder (size bytes) the path, with a separator at its end,
// of the folder for the backup copies that cannot go beside their files,
// a place that outlasts a power cut and that only the user may open: the
// user's own ($XDG_STATE_HOME/kartoteka, where that is a full path, or
// ~/.local/state/kartoteka, made private where missing;
// %LOCALAPPDATA%\kartoteka). Returns 0, or the error where there is no such
// place: EROFS where it is held in memory, which a power cut empties; EACCES
// where another user owns it or a link leads to it, or another user could
// rename it away.
os_error os_backup_folder(char* folder, size_t size);

// Writes the machine's name into name (size bytes), or "" when unknown.
void os_machine_name(char* name, size_t size);

// A seed for the random letters of the names a save makes: different in
// every run and every process.
uint64_t os_random_seed();

// ---- The file calls of a save. Past the first six, which find the file
// a save is of and open it with the checks that keep a swapped name from
// being followed, and give the folder for backups, each is shaped like
// the system call it stands for, works in a folder held open (os_folder),
// so that no path is looked up twice, and decides nothing: what a save
// does with them is storage/save.cpp's and storage/temp_file.cpp's.

// How open_at opens a file: one of these, with the flags below.
enum os_open_how : unsigned {
  os_open_existing = 0,  // a regular file there already, to read and write,
                         // not through a link that has its name
  os_open_new = 1,       // a new file of that name, to read and write:
                         // os_exists when the name is taken
  os_open_unnamed = 2,   // a new file with no name in the folder (name is
                         // ignored), gone with the program unless linked
};
// Flags for a new file: only this user may open it (otherwise it gets
// the permissions any program's new file gets there); deleted when
// closed, unless rename_at gives it its lasting name first, and hidden
// meanwhile (only with os_can_delete_on_close).
const unsigned os_open_own_only = 4;
const unsigned os_open_temporary = 8;

// What the file calls of a system can do, besides the rest.
const unsigned os_can_unnamed = 1;          // os_open_unnamed, where the
                                            // file system allows it
const unsigned os_can_link = 2;             // link_at
const unsigned os_can_delete_on_close = 4;  // os_open_temporary

// The errors of the file calls that callers act on, besides os_changed
// and os_busy: a name that is taken; a call the system or the file system
// cannot make (then another way may be tried).
extern const os_error os_exists;
extern const os_error os_unsupported;

// True when err says that there is no file of that name.
bool os_gone(os_error err);

// True when err says that this user may not make or change the file.
bool os_denied(os_error err);

// True when err says that no rename may replace the target itself (a
// bind-mounted file, another user's file in a sticky folder, a file that
// another program keeps open on Windows).
bool os_replace_refused(os_error err);

// Called with each name in a folder by os_list_at.
typedef void (*os_each_name)(const char* name, void* context);

// The file calls a save makes, one table, so that a test can put a file
// system of its own in the place of the real one (os_set_file_calls).
struct os_file_calls {
  unsigned can;  // os_can_* flags

  // os_look, os_open_device, os_open_folder, os_close_folder,
  // os_backup_folder and os_open_file above.
  os_error (*look)(const char* name, char* path, size_t size,
                   os_file_info& info);
  os_error (*open_device)(const char* path, const os_file_info& info,
                          os_stream& out);
  os_error (*open_folder)(const char* path, size_t len, os_folder& d);
  void (*close_folder)(os_folder& d);
  os_error (*backup_folder)(char* folder, size_t size);
  os_error (*open_file)(const os_folder& d, const char* name,
                        const os_file_info& info, os_stream& f, bool& readable);

  // Opens the file name in the folder d as how says (os_open_how and
  // flags). Returns 0 with f open, or the error: os_unsupported for an
  // unnamed file where it cannot be made, os_changed for an existing name
  // that is not a regular file.
  os_error (*open_at)(const os_folder& d, const char* name, unsigned how,
                      os_stream& f);
  // Gives the file f, called from in the folder d (null: f has no name),
  // the further name to there. Returns 0, or the error: os_exists when to
  // is taken, os_unsupported without os_can_link.
  os_error (*link_at)(os_stream& f, const os_folder& d, const char* from,
                      const char* to);
  // Renames the file f, called from in the folder d, to to there, over a
  // file of that name with replace (which keeps its Windows attributes),
  // or else refused with os_exists when to is taken (only without
  // os_can_link, where a link and an unlink serve; else os_unsupported).
  // A temporary file is one no more. f stays open, but where a replace
  // closes it (Windows: f.handle is then -1); where a failed replace could
  // not keep it open (Windows), it is removed, and f.handle is -1.
  os_error (*rename_at)(os_stream& f, const os_folder& d, const char* from,
                        const char* to, bool replace);
  // Removes the name name from the folder d.
  os_error (*unlink_at)(const os_folder& d, const char* name);
  // Calls each with every name in the folder d, in no order.
  os_error (*list_at)(const os_folder& d, os_each_name each, void* context);
  // What the open file f is: its kind, size, links and identity.
  os_error (*status)(os_stream& f, os_file_info& info);
  // os_lock above.
  os_error (*lock)(os_stream& f, bool exclusive, bool wait);
  // Gives the new file fresh the owner, group, permissions, ACL and
  // extended attributes of the file old (found as info), and no ACL where
  // old has none. Returns 0, or the error where one of them cannot be
  // given (the owner, for a user who is not it).
  os_error (*take_identity)(os_stream& old, const os_file_info& info,
                            os_stream& fresh);
  // Reads up to size bytes of f from byte at on into buf; got is how
  // many, 0 at the end.
  os_error (*read_at)(os_stream& f, uint64_t at, char* buf, size_t size,
                      size_t& got);
  // Writes the n bytes at p into f at byte at.
  os_error (*write_at)(os_stream& f, uint64_t at, const char* p, size_t n);
  // os_write above.
  os_error (*write)(os_stream& f, const char* p, size_t n);
  // Moves the place where write writes f to byte at.
  os_error (*seek)(os_stream& f, uint64_t at);
  // Ends the file f where write has got to.
  os_error (*cut)(os_stream& f);
  // Waits until everything written to f is on the disk.
  os_error (*sync)(os_stream& f);
  // Makes the names in the folder d durable.
  os_error (*sync_folder)(const os_folder& d);
  // os_close above.
  os_error (*close)(os_stream& f);
};

// The file calls in use: the system's, unless a test has put its own.
const os_file_calls& os_files();

// For tests: makes calls the file calls in use (null: the system's).
// Returns those in use before.
const os_file_calls* os_set_file_calls(const os_file_calls* calls);

// The system's own file calls.
extern const os_file_calls os_system_files;

// Has every signal (POSIX) or console event (Windows) that ends the
// program call before_end first, where it can: a save's named files go
// so. Installed once; later calls change nothing.
void os_call_before_end(void (*before_end)());

// Holds off the signals (POSIX) or console events (Windows) that would end
// the program until os_let_ends_act, which lets any that came meanwhile
// act. Holds nest: they act again when the outermost one ends.
void os_hold_ends();
void os_let_ends_act();

// Whether os_hold_ends holds them now.
bool os_ends_held();

// Writes the full path of path into full (size bytes).
void os_full_path(const char* path, char* full, size_t size);

// Writes the system's text for err, in UTF-8 and without a line end, into
// buf of size bytes (cut to fit, always terminated).
void os_error_text(os_error err, char* buf, size_t size);

// Resizes the block at p (null for a new one) to size bytes, keeping its
// contents, as realloc does. Every block the program uses comes from here:
// the record array, a search's results, a load's held records. Returns the
// block, or null with p untouched when the memory cannot be had (or a test
// has made it fail: os_set_resizer).
void* os_resize(void* p, size_t size);

// Gives the block at p (or null) back to the system.
void os_free(void* p);

// The system's own resize, behind os_resize: memory taken straight from
// the system, so that a large block growing one step at a time costs no
// copying and memory a block gives up goes back to the system; growth is
// refused while the records are intact when it would take more than the
// process can really have (the system's available memory, a memory
// cgroup's limit, Windows' available commit). Tests' memory sinks use it
// directly, so that what a test captures never fails with the program.
void* os_system_resize(void* p, size_t size);

// For tests: makes os_resize call r instead of the function it calls now,
// which is returned (os_system_resize unless replaced).
using os_resizer = void* (*)(void* p, size_t size);
os_resizer os_set_resizer(os_resizer r);

#endif  // KARTOTEKA_OS_OS_H_
