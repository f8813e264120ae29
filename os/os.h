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
// against exclusive ones only, for a load that reads it. Another
// program's lock is waited for a few seconds. The system drops the lock
// when the file is closed or the program ends, however it ends. Returns 0
// (also for what is not a regular file, and where the file system has no
// locks), or os_busy when another program keeps its lock, or the error.
os_error os_lock(os_stream& f, bool exclusive);

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
// a place that outlasts a power cut: the user's own ($XDG_STATE_HOME/
// kartoteka or ~/.local/state/kartoteka, made private where missing;
// %LOCALAPPDATA%\kartoteka), or else the temporary folder ($TMPDIR or
// /tmp) where it is not held in memory. Returns 0, or the error where
// there is no such place (EROFS where the only one is in memory, which a
// power cut empties).
os_error os_backup_folder(char* folder, size_t size);

// Writes the machine's name into name (size bytes), or "" when unknown.
void os_machine_name(char* name, size_t size);

// Makes a new file in the folder d, open to read and write, that
// disappears when the program ends
// unless kept (os_keep, os_replace): a file with no name (Linux), hidden
// and deleted when closed (Windows); where the file system cannot (FUSE),
// a file named stem and random letters, locked while the program has it
// (with clean, after removing those of that stem that no running program
// has locked). With own_only only this user may read it (a backup copy);
// otherwise it gets the permissions any program's new file gets. Returns
// 0 with f open, or the error (os_denied: the folder takes no new file
// from this user).
os_error os_new_file(const os_folder& d, const char* stem, bool own_only,
                     bool clean, os_stream& f);

// True when err says that this user may not make or change the file.
bool os_denied(os_error err);

// Gives the new file fresh the owner, group, permissions, ACL and
// extended attributes of the file old (found as info), and no ACL where
// old has none. Returns 0, or the error where one of them cannot be given
// (the owner, for a user who is not it).
os_error os_take_identity(os_stream& old, const os_file_info& info,
                          os_stream& fresh);

// Gives the new file f a lasting name in the folder d: stem and random
// letters, which go to name (size bytes). f stays open, to be read.
// Returns 0 or the error.
os_error os_keep(os_stream& f, const os_folder& d, const char* stem, char* name,
                 size_t size);

// Puts the new file f, made in the folder d, in the place of the file name
// there (found as old, or missing): renamed over it, with its Windows
// attributes, and f closed. On Linux the file is named stem and random
// letters beside it for the moment before the rename (what a killed save
// left so is removed first). Returns 0, or the error: f is open still
// where os_replace_refused(err) holds; otherwise it may be gone (its
// handle then -1).
os_error os_replace(os_stream& f, const os_folder& d, const char* stem,
                    const char* name, const os_file_info& old);

// True when err says that no rename may replace the target itself (a
// bind-mounted file, another user's file in a sticky folder).
bool os_replace_refused(os_error err);

// Closes the new file f, made in the folder d, and removes it. Returns 0,
// or the error where it has a name (FUSE) that cannot be removed, whose
// path then goes to left (size bytes).
os_error os_drop(os_stream& f, const os_folder& d, char* left, size_t size);

// Reads up to size bytes of f from byte at on into buf; got is how many,
// 0 at the end. Returns 0 or the error.
os_error os_read_at(os_stream& f, uint64_t at, char* buf, size_t size,
                    size_t& got);

// Writes the n bytes at p into f at byte at. Returns 0 or the error.
os_error os_write_at(os_stream& f, uint64_t at, const char* p, size_t n);

// Sets length to the number of bytes in the file f.
os_error os_size(os_stream& f, uint64_t& length);

// Moves the place where os_write writes f to byte at.
os_error os_seek(os_stream& f, uint64_t at);

// Ends the file f where os_write has got to.
os_error os_cut(os_stream& f);

// Waits until everything written to f is on the disk.
os_error os_sync(os_stream& f);

// Makes the names in the folder d durable. Failing, it leaves the files
// saved all the same.
void os_sync_folder(const os_folder& d);

// Removes the file name from the folder d.
os_error os_remove(const os_folder& d, const char* name);

// Holds off the signals (POSIX) or console events (Windows) that would end
// the program until os_let_ends_act, which lets any that came meanwhile
// act. Holds nest: they act again when the outermost one ends.
void os_hold_ends();
void os_let_ends_act();

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
