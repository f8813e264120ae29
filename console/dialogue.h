// The console: where prompts are printed, answers read and reports
// written, and the prompt-and-answer helpers that every dialogue of the
// program uses. Bad answers are dealt with here, once for all prompts: a
// short report on the error stream, the rest of the input line dropped and
// the same prompt printed again.
#ifndef KARTOTEKA_CONSOLE_DIALOGUE_H_
#define KARTOTEKA_CONSOLE_DIALOGUE_H_

#include <cstdint>

#include "console/input.h"
#include "console/output.h"
#include "os/compat.h"

// Room of a word buffer: 254 bytes of text and the terminating zero.
const size_t word_size = 255;

struct console {
  source in;   // the answers
  sink out;    // prompts and everything shown
  sink err;    // reports, flushed after each one
  bool ended;  // a read found the input at its end; the program stops
};

// Makes con read the standard input, print to the standard output (flushed
// before every wait for input) and report to the standard error. Input
// that is not a terminal may start with a byte-order mark, which is
// skipped. The first write to the standard output that fails is reported
// once; when its reader has gone (a broken pipe), the input counts as
// ended, so that the program ends instead of waiting for answers to
// questions nobody sees.
void open_console(console& con);

// Makes con read the n bytes at input, which must outlive it, and keep
// what it prints and reports in memory (con.out and con.err, each flushed
// after the run): for running the dialogue without a terminal. A
// byte-order mark at the start of input is skipped, as for a file.
void open_memory_console(console& con, const char* input, size_t n);

// Gives back the memory that a console in memory kept.
void release_console(console& con);

// Prints text.
inline void say(console& con, const char* text) {
  put_text(con.out, text);
}

// Writes one report line, formatted as by printf, to the error stream,
// after everything printed so far has been passed on.
void report(console& con, const char* format, ...) PRINTF_FORMAT(2, 3);

// Writes "name: reason" for the system error err, as perror does.
void report_errno(console& con, const char* name, os_error err);

// Prints prompt and reads an integer into v. A bad answer (no number, or
// one outside the signed 32-bit range) is reported, the rest of its line
// dropped and the prompt printed again. Returns false, with con.ended set
// and v unchanged, when the input ends first, the end of a bad answer's
// line included.
bool ask_int(console& con, const char* prompt, int32_t& v);

// As ask_int, but also prints the prompt again, with no report, for as long
// as the number read is below lo or above hi.
bool ask_int_in(console& con, const char* prompt, int32_t lo, int32_t hi,
                int32_t& v);

// Prints prompt and reads one word into buf, which has word_size bytes. A
// word over 254 bytes or one holding a NUL byte is reported, the rest of its
// line dropped and the prompt printed again. Returns false, with con.ended
// set and buf unchanged or empty, when the input ends first.
bool ask_word(console& con, const char* prompt, char* buf);

// Reads the next character, one UTF-8 sequence or one byte as
// read_character takes it, and stores its first byte in c. Returns false,
// with con.ended set, at the end of the input.
bool next_char(console& con, char& c);

// As next_char, but skips blanks and line ends first, as a word read does:
// the character is the first one typed.
bool next_typed_char(console& con, char& c);

// Reports on the error stream, once the input has ended, when it ended
// because standard input could not be read (a folder, a descriptor that
// will not wait for input): "Ошибка чтения стандартного ввода: reason".
void report_input_failure(console& con);

// True, with con.ended set, when the reader of the standard output has
// gone: whatever would still be printed is lost, and the program ends.
// For long runs of output, to stop early.
bool output_gone(console& con);

// Drops the rest of the current input line, its line end included, after
// an answer that is not taken. Returns false, with con.ended set, when the
// input ends first.
bool drop_line(console& con);

#endif  // KARTOTEKA_CONSOLE_DIALOGUE_H_
