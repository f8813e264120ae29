// The two seams shared by every platform that tests replace: the one
// resize that every block of the program goes through, and the table of
// file calls that every save goes through.
#include "os/os.h"

static os_resizer current = os_system_resize;

void* os_resize(void* p, size_t size) {
  return current(p, size);
}

os_resizer os_set_resizer(os_resizer r) {
  os_resizer before = current;
  current = r;
  return before;
}

static const os_file_calls* current_files = &os_system_files;

const os_file_calls& os_files() {
  return *current_files;
}

const os_file_calls* os_set_file_calls(const os_file_calls* calls) {
  const os_file_calls* before = current_files;
  current_files = calls != nullptr ? calls : &os_system_files;
  return before;
}
