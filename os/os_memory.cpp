// The one resize that every block of the program goes through, and the
// hook that tests use to make it fail, shared by every platform.
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
