// The program's entry point: the process set up for the platform, then the
// main menu on the standard streams.
#include "menu/menu.h"
#include "os/os.h"

int main() {
  os_start();
  static console con;
  open_console(con);
  run_menu(con);
  return 0;
}
