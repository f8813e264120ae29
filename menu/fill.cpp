// Filling the record array and adding to it from the console.
#include "menu/fill.h"

#include "record/entry.h"

const char next_question[] = "Желаете ввести следующую запись? (Y-да, N-нет): ";
const char no_memory_text[] =
    "Не хватает памяти для новой записи; записей в массиве: %d.\n";

// Asks whether to go on until the answer is y, Y, n or N. Each try reads
// two characters and keeps the second: the first is normally the line end
// left by the previous answer. A letter typed on a Russian layout is one
// character, as in the single-byte character sets, so it keeps the pairing
// in step. Returns false at the end of the input.
static bool ask_go_on(console& con, bool& go_on) {
  for (;;) {
    say(con, next_question);
    char dropped = 0;
    char answer = 0;
    if (!next_char(con, dropped) || !next_char(con, answer)) return false;
    if (answer == 'y' || answer == 'Y' || answer == 'n' || answer == 'N') {
      go_on = answer == 'y' || answer == 'Y';
      return true;
    }
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
      report(con, no_memory_text, count);
      return count;
    }
    if (!go_on) return count;
  }
}

void add_record(console& con, massiv& Massiv, int32_t& n) {
  if (!resize_array(Massiv, int64_t{n} + 1)) {
    report(con, no_memory_text, n);
    return;
  }
  human ahuman = input_human(con);
  if (con.ended) return;
  Massiv.rec[n] = ahuman;
  n++;
}
