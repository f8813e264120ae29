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
    read_status status =
        is_text_field(no)
            ? read_word(in, text_field(h, no), text_size, field_max)
            : read_int(in, *int_field(h, no), field_max);
    if (status != read_ok) return false;
    if (separator_after(no) == '.' && !take_byte(in, '.')) return false;
  }
  return true;
}

// The outcome of reading that stopped before the end of the input.
static load_status stopped(const source& in) {
  if (in.error == os_no_memory) return load_no_memory;
  return in.error != 0 ? load_read_error : load_bad_format;
}

// Gives the array back the room it had before a load that failed.
static void restore_room(massiv& a, int32_t room) {
  if (a.room == room) return;
  if (room == 0)
    release_array(a);
  else
    (void)resize_array(a, room);  // a smaller block: the rest goes back
}

load_status read_records(source& in, massiv& a, int32_t n, int32_t& count) {
  const int32_t room = a.room;
  const size_t first = in.pos;
  size_t checked_end = first;  // the end of the text of the first n records
  human scratch;               // where the first n are checked
  count = 0;
  if (n == 0) stop_keeping(in);
  for (;;) {
    skip_space(in);
    if (peek_byte(in) < 0) break;
    if (count >= n && count >= a.room && !resize_array(a, int64_t{count} + 1)) {
      restore_room(a, room);
      return load_no_memory;
    }
    human& h = count < n ? scratch : a.rec[count];
    // The fields lie across the whole record, in memory not touched yet:
    // ask for all of it at once rather than waiting on each field in turn.
    const char* bytes = reinterpret_cast<const char*>(&h);
    for (size_t at = 0; at < sizeof(human); at += 64)
      __builtin_prefetch(bytes + at, 1);
    if (!read_record(in, h)) {
      restore_room(a, room);
      return stopped(in);
    }
    count++;
    if (count == n) {
      checked_end = in.pos;
      stop_keeping(in);
    }
  }
  if (in.error != 0 || !resize_array(a, int64_t{count} + 1)) {
    restore_room(a, room);
    return in.error != 0 ? stopped(in) : load_no_memory;
  }
  if (count < n) checked_end = in.pos;

  // The whole file is good: read the records that were only checked again,
  // from memory, into their places.
  if (n == 0 || count == 0) return load_ok;
  source again;
  open_memory_source(again, kept_text(in) + first, checked_end - first);
  for (int32_t i = 0; i < count && i < n; i++) {
    (void)read_record(again, a.rec[i]);  // read once already, and good
  }
  return load_ok;
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
  open_keeping_source(in, file, reallocate);
  int32_t count = 0;
  load_status status = read_records(in, Massiv, n, count);
  os_close(file);
  release_source(in);
  if (status != load_ok) {
    char reason[256];
    if (status == load_read_error)
      os_error_text(in.error, reason, sizeof reason);
    else
      snprintf(
          reason, sizeof reason, "%s",
          status == load_bad_format ? bad_format_reason : no_memory_reason);
    report(con, load_stopped_text, fname, count + 1, reason);
    return n;
  }
  say(con, done_text);
  return count;
}
