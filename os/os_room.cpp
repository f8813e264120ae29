// How much more memory the process can really have on Linux: the system's
// available memory and swap (/proc/meminfo), and the room under the limit
// of the memory cgroup the process is in and of each cgroup above it (v1
// or v2, found from /proc/self/cgroup and /proc/self/mountinfo). Other
// POSIX systems give no figure.
#include "os/os_room.h"

#include <limits.h>

#include <cstdio>
#include <cstring>

#if defined(__linux__)

// Reads the number at the start of the file at path into v. Returns false
// when the file cannot be read or holds no number ("max", say).
static bool read_number(const char* path, uint64_t& v) {
  FILE* f = fopen(path, "re");
  if (f == nullptr) return false;
  unsigned long long n = 0;
  bool ok = fscanf(f, "%llu", &n) == 1;
  (void)fclose(f);
  v = n;
  return ok;
}

// Reads, in one pass over the file at path, whose lines are "key number"
// (a memory.stat file, or /proc/meminfo with its colons and units), the
// numbers after the words first and second, and returns their sum; an
// entry that is not there counts as 0. Sets found to whether first was
// there.
static uint64_t sum_entries(const char* path, const char* first,
                            const char* second, bool& found) {
  found = false;
  FILE* f = fopen(path, "re");
  if (f == nullptr) return 0;
  char line[256];
  const char* keys[] = {first, second};
  uint64_t sum = 0;
  int seen = 0;
  while (seen < 2 && fgets(line, sizeof line, f) != nullptr) {
    for (const char* key : keys) {
      size_t len = strlen(key);
      unsigned long long n = 0;
      if (strncmp(line, key, len) == 0 &&
          (line[len] == ' ' || line[len] == ':') &&
          sscanf(line + len + 1, "%llu", &n) == 1) {
        sum += n;
        seen++;
        if (key == first) found = true;
      }
    }
  }
  (void)fclose(f);
  return sum;
}

// The memory cgroup of the process: the folder of its memory controller,
// and the controller's mount point, which is as far up as the limits go.
struct memory_cgroup {
  bool found;
  bool v2;  // the unified hierarchy's files (memory.max, memory.current)
  char dir[PATH_MAX];
  char top[PATH_MAX];
};

// True when options, a list separated by commas, holds word.
static bool has_option(const char* options, const char* word) {
  size_t len = strlen(word);
  for (const char* p = options; p != nullptr; p = strchr(p, ',')) {
    if (*p == ',') p++;
    if (strncmp(p, word, len) == 0 &&
        (p[len] == ',' || p[len] == '\0' || p[len] == '\n' || p[len] == ' '))
      return true;
  }
  return false;
}

// True when the cgroup folder root (as a mount shows it) is path or one
// of the folders above it.
static bool holds(const char* root, const char* path) {
  if (strcmp(root, "/") == 0) return true;
  size_t len = strlen(root);
  return strncmp(path, root, len) == 0 &&
         (path[len] == '\0' || path[len] == '/');
}

// Reads from /proc/self/cgroup the process's folder in the v1 memory
// controller's hierarchy (v1, empty when it has none) and in the unified
// one (v2).
static void own_cgroups(char* v1, char* v2, size_t size) {
  v1[0] = v2[0] = '\0';
  FILE* f = fopen("/proc/self/cgroup", "re");
  if (f == nullptr) return;
  char line[4096];
  while (fgets(line, sizeof line, f) != nullptr) {
    char* first = strchr(line, ':');
    char* second = first != nullptr ? strchr(first + 1, ':') : nullptr;
    if (second == nullptr) continue;
    *second = '\0';
    char* path = second + 1;
    path[strcspn(path, "\n")] = '\0';
    if (first[1] == '\0')
      (void)snprintf(v2, size, "%s", path);
    else if (has_option(first + 1, "memory"))
      (void)snprintf(v1, size, "%s", path);
  }
  (void)fclose(f);
}

// Finds the memory cgroup: the process's folder (/proc/self/cgroup) under
// the mount of its controller (/proc/self/mountinfo) whose root holds it.
// A controller's folders may be mounted more than once (a container's
// runtime binds them elsewhere): the mount whose root is nearest the
// process's own folder serves. A v1 memory controller wins over the
// unified hierarchy, which then has no memory controller.
static memory_cgroup find_cgroup() {
  memory_cgroup cg = {};
  static char own[2][PATH_MAX];
  own_cgroups(own[0], own[1], PATH_MAX);
  size_t best[2] = {0, 0};
  bool found[2] = {false, false};
  static char roots[2][PATH_MAX], points[2][PATH_MAX];
  FILE* f = fopen("/proc/self/mountinfo", "re");
  if (f == nullptr) return cg;
  char line[4096];
  while (fgets(line, sizeof line, f) != nullptr) {
    char mount_root[PATH_MAX], point[PATH_MAX];
    const char* dash = strstr(line, " - ");
    if (dash == nullptr ||
        sscanf(line, "%*s %*s %*s %4095s %4095s", mount_root, point) != 2)
      continue;
    char type[64], options[1024];
    if (sscanf(dash + 3, "%63s %*s %1023s", type, options) != 2) continue;
    int v = -1;
    if (strcmp(type, "cgroup") == 0 && has_option(options, "memory")) v = 0;
    if (strcmp(type, "cgroup2") == 0) v = 1;
    if (v < 0 || own[v][0] == '\0' || !holds(mount_root, own[v])) continue;
    size_t len = strlen(mount_root);
    if (found[v] && len <= best[v]) continue;
    found[v] = true;
    best[v] = len;
    (void)snprintf(roots[v], PATH_MAX, "%s", mount_root);
    (void)snprintf(points[v], PATH_MAX, "%s", point);
  }
  (void)fclose(f);
  int v = found[0] ? 0 : 1;
  if (!found[v]) return cg;
  cg.v2 = v == 1;
  (void)snprintf(cg.top, sizeof cg.top, "%s", points[v]);
  const char* below = own[v] + (strcmp(roots[v], "/") == 0 ? 0 : best[v]);
  int got = snprintf(cg.dir, sizeof cg.dir, "%s%s", cg.top, below);
  cg.found = got > 0 && static_cast<size_t>(got) < sizeof cg.dir;
  return cg;
}

// The room left under the limits of the cgroup folder dir and every one
// above it up to top: the limit less what is in use, the page cache that
// could be given back counted as free.
static uint64_t cgroup_room(const memory_cgroup& cg) {
  uint64_t room = UINT64_MAX;
  char dir[PATH_MAX];
  (void)snprintf(dir, sizeof dir, "%s", cg.dir);
  for (;;) {
    char path[PATH_MAX + 32];
    uint64_t limit = 0, used = 0;
    (void)snprintf(path, sizeof path, "%s/%s", dir,
                   cg.v2 ? "memory.max" : "memory.limit_in_bytes");
    bool limited = read_number(path, limit);
    (void)snprintf(path, sizeof path, "%s/%s", dir,
                   cg.v2 ? "memory.current" : "memory.usage_in_bytes");
    if (limited && read_number(path, used)) {
      (void)snprintf(path, sizeof path, "%s/memory.stat", dir);
      bool found = false;
      uint64_t cache =
          sum_entries(path, cg.v2 ? "inactive_file" : "total_inactive_file",
                      cg.v2 ? "active_file" : "total_active_file", found);
      used = cache < used ? used - cache : 0;
      uint64_t left = limit > used ? limit - used : 0;
      if (left < room) room = left;
    }
    if (strcmp(dir, cg.top) == 0) break;
    char* slash = strrchr(dir, '/');
    if (slash == nullptr || slash == dir) break;
    *slash = '\0';
    if (strlen(dir) < strlen(cg.top)) break;
  }
  return room;
}

uint64_t os_memory_room() {
  static memory_cgroup cg = find_cgroup();
  bool found = false;
  uint64_t room =
      sum_entries("/proc/meminfo", "MemAvailable", "SwapFree", found) * 1024;
  if (!found) room = UINT64_MAX;  // no /proc, or too old: nothing to go by
  if (cg.found) {
    uint64_t left = cgroup_room(cg);
    if (left < room) room = left;
  }
  return room;
}

#else

uint64_t os_memory_room() {
  return UINT64_MAX;
}

#endif
