// Prompts, answers and reports on the console.
#include "console/dialogue.h"

#include <cstdarg>
#include <cstdio>

const char not_number_text[] = "Ошибка ввода: ожидалось целое число.\n";
const char out_of_range_text[] =
    "Ошибка ввода: число не помещается в 32 бита (от -2147483648 до "
    "2147483647).\n";
const char too_long_text[] = "Ошибка ввода: слово длиннее 254 байт.\n";
const char nul_text[] = "Ошибка ввода: слово содержит нулевой байт.\n";
const char output_failed_text[] = "Ошибка записи в стандартный вывод: %s\n";
const char input_failed_text[] = "Ошибка чтения стандартного ввода: %s\n";

void open_console(console& con) {
  os_stream in, out, err;
  os_std_stream(in, 0);
  os_std_stream(out, 1);
  os_std_stream(err, 2);
  open_sink(con.out, out);
  open_sink(con.err, err);
  report_failure(con.out, con.err, output_failed_text);
  open_source(con.in, in, &con.out);
  // Answers from a file may start with the mark a Windows editor wrote.
  if (!in.console) skip_byte_order_mark(con.in);
  con.ended = false;
}

void open_memory_console(console& con, const char* input, size_t n) {
  open_memory_sink(con.out);
  open_memory_sink(con.err);
  open_memory_source(con.in, input, n);
  skip_byte_order_mark(con.in);
  con.in.tie = &con.out;
  con.ended = false;
}

void release_console(console& con) {
  release_sink(con.out);
  release_sink(con.err);
}

void report(console& con, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  int len = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (len < 0) return;
  // Whatever was printed before the report reaches the screen or the log
  // first, so that the two streams read in order when they meet.
  (void)flush(con.out);
  put_text(con.err, line);
  // A report that cannot be written has nowhere else to go.
  (void)flush(con.err);
}

void report_errno(console& con, const char* name, os_error err) {
  char reason[256];
  os_error_text(err, reason, sizeof reason);
  report(con, "%s: %s\n", name, reason);
}

void report_input_failure(console& con) {
  if (!con.ended || con.in.error == 0) return;
  char reason[256];
  os_error_text(con.in.error, reason, sizeof reason);
  report(con, input_failed_text, reason);
}

// Deals with a read that did not give a value: at the end of the input it
// marks the console ended and returns false; for a bad answer it reports
// it, drops the rest of the line and returns true (ask again).
static bool retry_after(console& con, read_status status) {
  switch (status) {
    case read_end:
      con.ended = true;
      return false;
    case read_not_number:
      report(con, "%s", not_number_text);
      break;
    case read_out_of_range:
      report(con, "%s", out_of_range_text);
      break;
    case read_too_long:
      report(con, "%s", too_long_text);
      break;
    case read_nul:
      report(con, "%s", nul_text);
      break;
    case read_ok:
      return false;
  }
  // When the input ends within the bad answer there is nothing to ask
  // again.
  return drop_line(con);
}

bool drop_line(console& con) {
  if (skip_line(con.in)) return true;
  con.ended = true;
  return false;
}

bool ask_int(console& con, const char* prompt, int32_t& v) {
  for (;;) {
    say(con, prompt);
    int32_t got = 0;
    read_status status = read_int(con.in, got);
    if (status == read_ok) {
      v = got;
      return true;
    }
    if (!retry_after(con, status)) return false;
  }
}

bool ask_int_in(console& con, const char* prompt, int32_t lo, int32_t hi,
                int32_t& v) {
  int32_t got = 0;
  do {
    if (!ask_int(con, prompt, got)) return false;
  } while (got < lo || got > hi);
  v = got;
  return true;
}

bool ask_word(console& con, const char* prompt, char* buf) {
  for (;;) {
    say(con, prompt);
    read_status status = read_word(con.in, buf, word_size);
    if (status == read_ok) return true;
    if (!retry_after(con, status)) return false;
  }
}

bool next_char(console& con, char& c) {
  if (read_character(con.in, c) == read_ok) return true;
  con.ended = true;
  return false;
}

bool next_typed_char(console& con, char& c) {
  skip_space(con.in);
  return next_char(con, c);
}

bool output_gone(console& con) {
  if (!os_reader_gone(con.out.error)) return false;
  con.ended = true;
  return true;
}
