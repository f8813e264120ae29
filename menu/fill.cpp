// Filling the record array and adding to it from the console.
#include "menu/fill.h"

#include "record/entry.h"

const char next_question[] = "Желаете ввести следующую запись? (Y-да, N-нет): ";
const char no_room_for_record_text[] =
    "Не хватает памяти для новой записи; записей в массиве: %d.\n";

// Asks whether to go on until the answer is y, Y, n or N. The answer is
// the first character typed after any blanks and line ends, so an empty
// line, a blank left after the last field or a CR of a CR LF line end
// changes nothing. What follows an accepted answer stays for the next read
// (the line end, or "es" of "yes"); any other character, a Russian letter
// included, drops the rest of its line and the question comes again.
// Returns false at the end of the input.
static bool ask_go_on(console& con, bool& go_on) {
  for (;;) {
    say(con, next_question);
    char answer = 0;
    if (!next_typed_char(con, answer)) return false;
    if (answer == 'y' || answer == 'Y' || answer == 'n' || answer == 'N') {
      go_on = answer == 'y' || answer == 'Y';
      return true;
    }
    if (!drop_line(con)) return false;
  }
}

int32_t fill_array(console& con, massiv& Massiv) {
  int32_t count = 0;
  for (;;) {
    // The block always has room for the next record here: one at start,
    // and count + 2 after every resize below.
    human ahuman = input_human(con);
    if (con.ended) return count;
    Massiv.rec[count] = ahuman;
    bool go_on = false;
    if (!ask_go_on(con, go_on)) return count;
    count++;
    if (!resize_array(Massiv, int64_t{count} + 2)) {
      report(con, no_room_for_record_text, count);
      return count;
    }
    if (!go_on) return count;
  }
}

void add_record(console& con, massiv& Massiv, int32_t& n) {
  if (!resize_array(Massiv, int64_t{n} + 1)) {
    report(con, no_room_for_record_text, n);
    return;
  }
  human ahuman = input_human(con);
  if (con.ended) return;
  Massiv.rec[n] = ahuman;
  n++;
}
