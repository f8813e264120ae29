// Saving the record array to its text file and loading it back.
#include "storage/file.h"

#include <cstdio>
#include <cstring>

#include "os/compat.h"
#include "storage/save.h"

const char file_prompt[] = "Введите имя файла: ";
const char done_text[] = "Выполнено!\n";
const char damaged_text[] =
    "%s: файл испорчен: записан не до конца, и прежнее содержимое вернуть "
    "не удалось; оно сохранено в %s\n";
const char restore_hint_text[] =
    "%s: чтобы вернуть записи, скопируйте содержимое копии в файл, не "
    "переименовывая её: так у файла останутся его владелец и права\n";
const char lost_text[] =
    "%s: файл испорчен: записан не до конца, а копии прежнего содержимого "
    "нет: файл нельзя было прочитать\n";
const char left_text[] = "%s: остался файл %s, удалить его не удалось: %s\n";
const char copy_left_text[] =
    "%s: осталась копия записей от прерванного сохранения: %s\n";
const char load_stopped_text[] =
    "%s: чтение остановлено на записи %d: %s; массив не изменён.\n";
const char bad_format_reason[] = "запись не соответствует формату файла";
const char no_room_reason[] = "не хватает памяти";

// The end-of-file mark that `copy a+b` and older editors put after a
// text: as the file's last byte it ends the text, anywhere else it is an
// ordinary byte.
const char end_of_file_mark = 0x1A;

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

void write_records(sink& out, int32_t n, const human* rec) {
  // A first name that begins with the bytes of a byte-order mark must not
  // be the file's first bytes, or a load would take them for the mark.
  if (n > 0 &&
      strncmp(rec[0].name, byte_order_mark, sizeof byte_order_mark - 1) == 0)
    put_char(out, '\n');
  for (int32_t i = 0; i < n && out.error == 0; i++) write_record(out, rec[i]);
}

os_error write_file(const char* name, int32_t n, const human* rec,
                    save_outcome& outcome) {
  // The lines go to the file through one buffer as they are made, so the
  // save needs no memory beyond it, whatever the number of records.
  static sink text;
  save saving;
  os_stream file;
  os_error err = save_begin(saving, name, file);
  if (err == 0) {
    open_sink(text, file);
    write_records(text, n, rec);
    (void)flush(text);
    err = save_end(saving, file, text.error);
  }
  outcome = saving.outcome;
  return err;
}

// Names on the error stream each copy of the file fname's records that
// saves cut short left.
static void report_copies(console& con, const char* fname,
                          const save_copies& copies) {
  char full[os_path_max];
  for (int i = 0; i < copies.count; i++) {
    os_full_path(copies.path[i], full, sizeof full);
    report(con, copy_left_text, fname, full);
  }
}

int save_array(console& con, int32_t n, const massiv& Massiv) {
  char fname[word_size];
  if (!ask_word(con, file_prompt, fname)) return 1;
  // The file may be the screen or the log itself (/dev/stdout): what was
  // printed before goes first.
  (void)flush(con.out);
  save_outcome saving;
  os_error err = write_file(fname, n, Massiv.rec, saving);
  if (err != 0) report_errno(con, fname, err);
  char full[os_path_max];
  if (saving.damaged) {
    os_full_path(saving.backup_path, full, sizeof full);
    report(con, damaged_text, fname, full);
    report(con, restore_hint_text, fname);
  }
  if (saving.lost) report(con, lost_text, fname);
  report_copies(con, fname, saving.copies);
  for (int i = 0; i < saving.left_count; i++) {
    char reason[256];
    os_error_text(saving.left[i], reason, sizeof reason);
    os_full_path(saving.left_path[i], full, sizeof full);
    report(con, left_text, fname, full, reason);
  }
  if (err != 0) return 1;
  say(con, done_text);
  return 0;
}

// Reads one record's eighteen fields, as the file's format has them, and
// puts each where places says: text_place(places, no) is where text field
// no is read to and text_read(places, no, text) is told once it is there;
// int_read(places, no, v) takes integer field no. Returns false when a
// field does not follow the format or the input ends first. The one
// grammar of the file, for the two ways a load keeps what it reads.
template <typename Places>
static bool read_fields(source& in, Places& places) {
  for (int no = 1; no <= field_count; no++) {
    if (is_text_field(no)) {
      char* text = text_place(places, no);
      if (read_word(in, text, text_size, field_max) != read_ok) return false;
      text_read(places, no, text);
    } else {
      int32_t v = 0;
      if (read_int(in, v, field_max) != read_ok) return false;
      int_read(places, no, v);
    }
    if (separator_after(no) == '.' && !take_byte(in, '.')) return false;
  }
  return true;
}

// Fields read straight into their record.
struct into_record {
  human& h;
};

static char* text_place(into_record& r, int no) {
  return text_field(r.h, no);
}

static void text_read(into_record&, int, const char*) {}

static void int_read(into_record& r, int no, int32_t v) {
  *int_field(r.h, no) = v;
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

// Records read while the places they go to still hold records in use,
// packed one after another, field by field: a text field as its length
// byte and its bytes, an integer field as its four bytes. Smaller than the
// file's own text, and copied into place without reading it again.
struct packed_records {
  char* bytes;  // from os_resize, or null
  size_t len;
  size_t room;
};

// The room a record needs while it is read into packed_records: each text
// field may take its length byte and a whole word buffer.
const size_t packed_room = field_count * (1 + text_size);

// The least the packed records grow by at a time.
const size_t pack_step = size_t{1} << 20;

// Fields read packed, one after another from at: a text field as its
// length byte and its bytes, an integer field as its four bytes.
struct into_packed {
  char* at;
};

static char* text_place(into_packed& p, int) {
  return p.at + 1;  // after its length byte
}

static void text_read(into_packed& p, int, const char* text) {
  size_t n = strlen(text);  // at most text_size - 1: fits a byte
  *p.at = static_cast<char>(n);
  p.at += 1 + n;
}

static void int_read(into_packed& p, int, int32_t v) {
  memcpy(p.at, &v, sizeof v);
  p.at += sizeof v;
}

// Reads one record's eighteen fields packed at the end of p. Returns false
// when a field does not follow the format or the input ends first, and
// also, with no_room set, when p cannot grow.
static bool read_packed(source& in, packed_records& p, bool& no_room) {
  no_room = false;
  if (p.room - p.len < packed_room) {
    size_t more = p.room / 4 > pack_step ? p.room / 4 : pack_step;
    void* block = os_resize(p.bytes, p.room + more);
    if (block == nullptr) {
      no_room = true;
      return false;
    }
    p.bytes = static_cast<char*>(block);
    p.room += more;
  }
  into_packed places = {p.bytes + p.len};
  if (!read_fields(in, places)) return false;
  p.len = static_cast<size_t>(places.at - p.bytes);
  return true;
}

// Copies the packed record at at into h; returns where the next one starts.
static const char* unpack(const char* at, human& h) {
  for (int no = 1; no <= field_count; no++) {
    if (is_text_field(no)) {
      size_t n = static_cast<unsigned char>(*at++);
      char* text = text_field(h, no);
      memcpy(text, at, n);
      text[n] = '\0';
      at += n;
    } else {
      memcpy(int_field(h, no), at, sizeof(int32_t));
      at += sizeof(int32_t);
    }
  }
  return at;
}

// A record's fields lie across the whole record, in memory that is not in
// the cache: asks for all of it at once, to be written, rather than
// waiting on each field in turn.
static void prefetch_record(human& h) {
  prefetch(&h, sizeof h, true);
}

load_status read_records(source& in, massiv& a, int32_t n, int32_t& count) {
  const int32_t room = a.room;
  packed_records held = {nullptr, 0, 0};
  load_status status = load_ok;
  count = 0;
  skip_byte_order_mark(in);
  for (;;) {
    skip_space(in);
    if (peek_byte(in) < 0 || at_last_byte(in, end_of_file_mark)) break;
    if (count < n) {
      bool no_room = false;
      if (!read_packed(in, held, no_room)) {
        status = no_room ? load_no_memory : stopped(in);
        break;
      }
    } else {
      if (count >= a.room && !resize_array(a, int64_t{count} + 1)) {
        status = load_no_memory;
        break;
      }
      prefetch_record(a.rec[count]);
      into_record places = {a.rec[count]};
      if (!read_fields(in, places)) {
        status = stopped(in);
        break;
      }
    }
    count++;
  }
  if (status == load_ok && in.error != 0) status = stopped(in);
  if (status == load_ok && !resize_array(a, int64_t{count} + 1))
    status = load_no_memory;
  if (status != load_ok) {
    restore_room(a, room);
  } else {
    // The whole file is good: the records held back take their places.
    const char* at = held.bytes;
    for (int32_t i = 0; i < count && i < n; i++) {
      if (i + 1 < count && i + 1 < n) prefetch_record(a.rec[i + 1]);
      at = unpack(at, a.rec[i]);
    }
  }
  os_free(held.bytes);
  return status;
}

int32_t load_array(console& con, massiv& Massiv, int32_t n) {
  char fname[word_size];
  if (!ask_word(con, file_prompt, fname)) return n;
  os_stream file;
  os_error err = os_open_read(file, fname);
  // Not while another program writes the file in place; where the file
  // system has no locks, nothing can tell.
  if (err == 0) {
    err = os_lock(file, false, true);
    if (err == os_unsupported) err = 0;
    if (err != 0) (void)os_close(file);
  }
  if (err != 0) {
    report_errno(con, fname, err);
    return n;
  }
  source in;
  open_source(in, file, nullptr);
  int32_t count = 0;
  load_status status = read_records(in, Massiv, n, count);
  os_close(file);
  save_copies copies;
  save_find_copies(fname, copies);
  report_copies(con, fname, copies);
  if (status != load_ok) {
    char reason[256];
    if (status == load_read_error)
      os_error_text(in.error, reason, sizeof reason);
    else
      snprintf(reason, sizeof reason, "%s",
               status == load_bad_format ? bad_format_reason : no_room_reason);
    report(con, load_stopped_text, fname, count + 1, reason);
    return n;
  }
  say(con, done_text);
  return count;
}
