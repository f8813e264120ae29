// Showing the record array page by page.
#include "menu/show.h"

#include "record/display.h"

const char page_question[] =
    "Вывести только следующую запись (N) или все сразу (A)? ";
const char record_heading[] = "\nЗапись номер ";

// Reads bytes until one of n, N, a, A comes and stores it in answer.
// Returns false at the end of the input.
static bool ask_page(console& con, char& answer) {
  say(con, page_question);
  char c = 0;
  do {
    if (!next_char(con, c)) return false;
  } while (c != 'n' && c != 'N' && c != 'a' && c != 'A');
  answer = c;
  return true;
}

void show_array(console& con, int32_t n, const massiv& Massiv) {
  char answer = 'n';
  for (int32_t i = 0; i < n; i++) {
    if ((answer == 'n' || answer == 'N') && !ask_page(con, answer)) return;
    say(con, record_heading);
    put_int(con.out, i + 1);
    put_char(con.out, '\n');
    print_human(con.out, Massiv.rec[i]);
    if (output_gone(con)) return;
  }
}
