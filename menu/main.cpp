// The program's entry point: the Russian locale, then the main menu on the
// standard streams.
#include <clocale>
#include <csignal>
#include <cstdio>

#include "menu/menu.h"

int main() {
  // The result is not examined: without the locale the default one serves.
  (void)setlocale(LC_ALL, "ru_RU.UTF-8");
  // A reader that goes away must not kill the program: writes to it then
  // fail and are reported where they matter (a save into a pipe).
  (void)signal(SIGPIPE, SIG_IGN);
  static console con;
  open_console(con, 0, 1, stderr);
  run_menu(con);
  return 0;
}
