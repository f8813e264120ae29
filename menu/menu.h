// The main menu: the program's one loop, which owns the record array and
// the record count for the whole run and calls one operation per choice.
#ifndef KARTOTEKA_MENU_MENU_H_
#define KARTOTEKA_MENU_MENU_H_

#include "console/dialogue.h"

// Reserves the record array with room for one record, then prints the menu
// and runs the chosen operation until the choice is 0 or the input ends.
// Out-of-range choices print the menu again. Returns at once, printing
// nothing, when the array cannot be reserved. Flushes the console's output
// and releases the array before it returns.
void run_menu(console& con);

#endif  // KARTOTEKA_MENU_MENU_H_
