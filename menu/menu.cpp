// The main menu loop.
#include "menu/menu.h"

#include "menu/fill.h"
#include "menu/show.h"
#include "record/array.h"
#include "search/search.h"
#include "storage/file.h"

const char menu_text[] =
    "Меню:\n 1) Набить новый массив\n 2) Показать массив на экране\n 3) "
    "Добавить новую запись в массив\n 4) Сохранить массив в файл\n 5) "
    "Открыть массив из файла\n 6) Поиск в массиве\n 0) Выход\nВаш выбор: ";
const char empty_to_show_text[] = "Масив пуст!\n";
const char empty_to_save_text[] = "Массив пуст!\n";

// Runs the operation for choise (1 to 6) on the array and the count.
static void dispatch(console& con, int32_t choise, massiv& Massiv, int32_t& n) {
  switch (choise) {
    case 1:
      n = fill_array(con, Massiv);
      break;
    case 2:
      if (n != 0)
        show_array(con, n, Massiv);
      else
        say(con, empty_to_show_text);
      break;
    case 3:
      add_record(con, Massiv, n);
      break;
    case 4:
      if (n != 0)
        (void)save_array(con, n, Massiv);
      else
        say(con, empty_to_save_text);
      break;
    case 5:
      n = load_array(con, Massiv, n);
      break;
    case 6:
      (void)search_array(con, n, Massiv);
      break;
  }
}

void run_menu(console& con) {
  massiv Massiv = {nullptr, 0};
  if (!resize_array(Massiv, 1)) return;
  int32_t n = 0;
  int32_t choise = 0;
  while (ask_int_in(con, menu_text, 0, 6, choise) && choise != 0) {
    dispatch(con, choise, Massiv, n);
    if (con.ended) break;
  }
  report_input_failure(con);
  // At a terminal the shell's prompt would follow the program's last
  // prompt on its line.
  if (con.ended && con.out.stream.console) put_char(con.out, '\n');
  (void)flush(con.out);
  release_array(Massiv);
}
