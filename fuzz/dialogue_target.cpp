// Fuzz target for the whole console dialogue: the input is everything typed
// in one session, the output is thrown away. Each session runs in a scratch
// folder of its own, emptied after every run, so that the files one session
// saves are not there for the next. Inputs holding a '/' are refused: every
// file name typed then names a file in the scratch folder and nowhere else.
// So are inputs holding "kartoteka-": a file of that name left in the
// scratch folder is then one a save made and left behind, which fails the
// run.
// While a session runs the working folder is the scratch folder, so the
// fuzzer must be given absolute paths for its corpus and artifacts.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/dialogue.h"
#include "menu/menu.h"

static char scratch[64];
static int scratch_fd = -1;
static int home_fd = -1;  // the working folder the fuzzer started in
static console con;

static void fail(const char* what) {
  perror(what);
  abort();
}

// Removes the scratch folder at exit; its files went after the last run.
static void remove_scratch() {
  (void)rmdir(scratch);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Memory-backed when the machine has it: saving syncs every file.
  struct stat st;
  bool shm = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode);
  if (snprintf(scratch, sizeof scratch, "%s/kartoteka-fuzz-XXXXXX",
               shm ? "/dev/shm" : "/tmp") <= 0 ||
      mkdtemp(scratch) == nullptr) {
    fail("mkdtemp");
  }
  if (atexit(remove_scratch) != 0) fail("atexit");
  scratch_fd = open(scratch, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  home_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (scratch_fd < 0 || home_fd < 0) fail("open");
  return 0;
}

// Removes every file that the session left in the scratch folder. A save's
// own new file or backup copy left there is a fault: the session aborts.
static void empty_scratch() {
  int fd = dup(scratch_fd);
  if (fd < 0) fail("dup");
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) fail("fdopendir");
  rewinddir(dir);
  for (dirent* e; (e = readdir(dir)) != nullptr;) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (strncmp(e->d_name, ".kartoteka-", 11) == 0 ||
        strstr(e->d_name, ".kartoteka-backup-") != nullptr) {
      fprintf(stderr, "a save left %s behind\n", e->d_name);
      abort();
    }
    if (unlinkat(scratch_fd, e->d_name, 0) != 0) fail("unlinkat");
  }
  if (closedir(dir) != 0) fail("closedir");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (memchr(data, '/', size) != nullptr) return -1;
  static const char own[] = "kartoteka-";
  if (memmem(data, size, own, sizeof own - 1) != nullptr) return -1;
  if (fchdir(scratch_fd) != 0) fail("fchdir");
  open_memory_console(con, reinterpret_cast<const char*>(data), size);
  run_menu(con);
  release_console(con);
  if (fchdir(home_fd) != 0) fail("fchdir");
  empty_scratch();
  return 0;
}
