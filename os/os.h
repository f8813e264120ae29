// The few services the program takes from the operating system, behind one
// interface: the console streams, opening a file to read, saving a file
// whole, the system's error texts, memory for the record array, and the
// process setup (locale, signals). os_posix.cpp implements it for Linux,
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
// full) to read bytes as they are. Returns 0 with s open, or the error.
os_error os_open_read(os_stream& s, const char* name);

// Closes a stream opened by os_open_read. A failing close is not reported:
// everything needed was read.
void os_close(os_stream& s);

// Starts saving the whole contents of the file called name (UTF-8): the
// bytes written to out (os_write) until os_save_end become its contents,
// or, if the save fails at any step, the file stays as it was. bytes is
// how many will be written, lines how many of them are line ends (written
// in the platform's form): a file written in place has room for them
// reserved first. One save at a time. Returns 0 with out open, or the
// error, and then there is nothing to end.
//
// The file is replaced by a new one, written beside it with no name that
// a killed program could leave behind, and renamed over it once whole and
// synced; it keeps the old file's owner, permissions and attributes. One
// that cannot be replaced so without losing something (more hard links
// than one, a folder that takes no new file, attributes that cannot be
// copied, a mount) is written in place: a synced copy of its old contents
// is made first, beside it (NAME.kartoteka-backup-XXXXXX) or else in the
// temporary folder, room for the new contents is reserved, and the
// signals and console events that end the program wait until the file
// holds the new contents, or the old ones again; the copy is then
// removed, so that only a crash or power loss leaves it, with the file
// itself whole or part written, or a failure to put the old contents
// back (os_save_damaged). The old contents go before the new ones are
// written, so that either fits where the other did, on file systems
// that copy on write too. A file the user may not write is refused
// with the system's reason, as a plain open would refuse it; so is a FIFO
// that nobody reads, instead of waiting. Terminals, pipes, devices and
// the file that standard output or error already writes are written
// straight.
os_error os_save_begin(const char* name, uint64_t bytes, uint64_t lines,
                       os_stream& out);

// Ends the save that os_save_begin started. With failed 0 (every write to
// out succeeded) the written bytes become the file's whole contents,
// synced to the disk; otherwise, or when that fails, the file is left as
// it was. Returns 0, or failed, or the error of the step that failed.
os_error os_save_end(os_stream& out, os_error failed);

// After os_save_end failed: true when the file, part written, could not
// even be given its old contents back, which are then kept in the backup
// copy whose full path goes to backup (size bytes, cut to fit, UTF-8).
bool os_save_damaged(char* backup, size_t size);

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
