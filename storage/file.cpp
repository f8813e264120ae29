// Saving the record array to its text file and loading it back.
#include "storage/file.h"

#include <cstdio>

const char file_prompt[] = "Введите имя файла: ";
const char done_text[] = "Выполнено!\n";
const char load_stopped_text[] =
    "%s: чтение остановлено на записи %d: %s; массив не изменён.\n";
const char bad_format_reason[] = "запись не соответствует формату файла";
const char no_memory_reason[] = "не хватает памяти";

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

os_error write_file(const char* name, int32_t n, const human* rec) {
  sink text;
  open_memory_sink(text);
  for (int32_t i = 0; i < n; i++) write_record(text, rec[i]);
  os_error err =
      flush(text) ? os_save_file(name, text.kept, text.kept_len) : text.error;
  release_sink(text);
  return err;
}

int save_array(console& con, int32_t n, const massiv& Massiv) {
  char fname[word_size];
  if (!ask_word(con, file_prompt, fname)) return 1;
  // The file may be the screen or the log itself (/dev/stdout): what was
  // printed before goes first.
  (void)flush(con.out);
  os_error err = write_file(fname, n, Massiv.rec);
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
  os_stream file;
  os_error err = os_open_read(file, fname);
  if (err != 0) {
    report_errno(con, fname, err);
    return n;
  }
  source in;
  open_source(in, file, nullptr);
  massiv fresh = {nullptr, 0};
  int32_t count = 0;
  load_status status = read_records(in, fresh, count);
  os_close(file);
  if (status != load_ok) {
    char reason[256];
    if (status == load_read_error)
      os_error_text(in.error, reason, sizeof reason);
    else
      snprintf(
          reason, sizeof reason, "%s",
          status == load_bad_format ? bad_format_reason : no_memory_reason);
    report(con, load_stopped_text, fname, count + 1, reason);
    release_array(fresh);
    return n;
  }
  release_array(Massiv);
  Massiv = fresh;
  say(con, done_text);
  return count;
}
