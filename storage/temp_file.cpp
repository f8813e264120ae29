// The life of the files a save makes: their names and random letters, the
// named ones the signal handler removes, and the sweep of those a killed
// save left, over the file calls of os/os.h.
#include "storage/temp_file.h"

#include <csignal>
#include <cstdio>
#include <cstring>

// Tries this many names before giving up on a folder full of them.
const int name_tries = 100;

// The named files of the saves under way, for the handler that runs
// before a signal ends the program: each with its folder, held open by
// the save, and its name there. Both are set, with the ends of the
// program held, once the file is there under that name, and the flag is
// cleared before the name goes.
const int named_slots = 2;
static const os_folder* named_folder[named_slots];
static char named_name[named_slots][256];
static volatile sig_atomic_t named[named_slots];

// In a signal handler: only the system's unlinkat on POSIX.
void temp_remove_named() {
  for (int i = 0; i < named_slots; i++)
    if (named[i]) (void)os_files().unlink_at(*named_folder[i], named_name[i]);
}

// A free place among the named files, plus 1, or 0 when both are taken.
static int free_slot() {
  for (int i = 0; i < named_slots; i++)
    if (!named[i] && named_folder[i] == nullptr) return i + 1;
  return 0;
}

// Takes t's place among the named files, for the name in t.name that it
// is about to have. Returns false when there is none. Only with the ends
// of the program held.
static bool take_slot(temp_file& t) {
  int slot = free_slot();
  if (slot == 0) return false;
  os_call_before_end(temp_remove_named);
  named_folder[slot - 1] = t.folder;
  t.slot = slot;
  return true;
}

// Marks t as there under its name now (on) or no more, for the handler.
static void mark_named(temp_file& t, bool on) {
  if (t.slot == 0) return;
  if (on) {
    (void)snprintf(named_name[t.slot - 1], sizeof named_name[0], "%s", t.name);
    named[t.slot - 1] = 1;
  } else {
    named[t.slot - 1] = 0;
  }
}

// Gives t's place among the named files up.
static void leave_slot(temp_file& t) {
  if (t.slot == 0) return;
  named[t.slot - 1] = 0;
  named_folder[t.slot - 1] = nullptr;
  t.slot = 0;
}

// Writes into name (size bytes) stem followed by random letters and
// digits. Returns false when it does not fit.
static bool random_name(char* name, size_t size, const char* stem) {
  static const char letters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static uint64_t state = 0;
  if (state == 0) state = os_random_seed() | 1;
  char tail[temp_random_letters + 1];
  for (size_t i = 0; i < temp_random_letters; i++) {
    state ^= state << 13;  // xorshift64
    state ^= state >> 7;
    state ^= state << 17;
    tail[i] = letters[state % (sizeof letters - 1)];
  }
  tail[temp_random_letters] = '\0';
  int got = snprintf(name, size, "%s%s", stem, tail);
  return got > 0 && static_cast<size_t>(got) < size;
}

// Locks the new file f for as long as it is open: the mark by which a
// later save tells a file of a save that still runs from one a killed save
// left. Returns 0, or os_changed when f lost its name to such a save
// before the lock took, or the error.
static os_error claim(os_stream& f) {
  (void)os_files().lock(f, true, false);  // without locks nothing can tell
  os_file_info info = {};
  os_error err = os_files().status(f, info);
  return err != 0 ? err : info.links > 0 ? 0 : os_changed;
}

// Makes t a new file of a random name stemXXXXXX in its folder, opened as
// how says, claimed, and with registered among the named files. Returns 0
// or the error.
static os_error create_named(temp_file& t, const char* stem, unsigned how,
                             bool registered) {
  const os_file_calls& fs = os_files();
  for (int i = 0; i < name_tries; i++) {
    if (!random_name(t.name, sizeof t.name, stem)) {
      t.name[0] = '\0';
      return os_name_too_long;
    }
    os_error err = fs.open_at(*t.folder, t.name, how, t.f);
    if (err == os_exists) continue;
    if (err == 0) err = claim(t.f);
    if (err == 0) {
      if (registered) mark_named(t, true);
      return 0;
    }
    if (err != os_changed && fs.unlink_at(*t.folder, t.name) != 0) {
      // Left open and named, for temp_drop to try again and report.
      if (registered) mark_named(t, true);
      return err;
    }
    (void)fs.close(t.f);
    t.f.handle = -1;
    if (err != os_changed) {
      t.name[0] = '\0';
      return err;
    }
  }
  t.name[0] = '\0';
  return os_exists;
}

os_error temp_create(temp_file& t, const os_folder& d, const char* stem,
                     bool own_only, bool sweep) {
  const os_file_calls& fs = os_files();
  t.f.handle = -1;
  t.folder = &d;
  t.slot = 0;
  t.name[0] = '\0';
  t.temporary = false;
  unsigned own = own_only ? os_open_own_only : 0;
  if ((fs.can & os_can_unnamed) != 0) {
    os_error err = fs.open_at(d, "", os_open_unnamed | own, t.f);
    if (err == 0) {
      (void)claim(t.f);  // for when it gets a name
      return 0;
    }
    t.f.handle = -1;
    if (err != os_unsupported) return err;
  }
  if ((fs.can & os_can_delete_on_close) != 0) {
    t.temporary = true;
    return create_named(t, stem, os_open_new | own | os_open_temporary, false);
  }
  if (sweep) temp_sweep(d, stem);
  // Named and marked at once, so that an end signal finds it.
  os_hold_ends();
  os_error err = take_slot(t) ? create_named(t, stem, os_open_new | own, true)
                              : os_unsupported;
  if (err != 0) leave_slot(t);
  os_let_ends_act();
  return err;
}

// Gives t the further name stem and random letters, which goes to name
// (size bytes): a link where the system has them, else a rename. Returns
// 0 or the error.
static os_error name_again(temp_file& t, const char* stem, char* name,
                           size_t size) {
  const os_file_calls& fs = os_files();
  const char* from = t.name[0] != '\0' ? t.name : nullptr;
  for (int i = 0; i < name_tries; i++) {
    if (!random_name(name, size, stem)) return os_name_too_long;
    os_error err = (fs.can & os_can_link) != 0 || from == nullptr
                       ? fs.link_at(t.f, *t.folder, from, name)
                       : fs.rename_at(t.f, *t.folder, from, name, false);
    if (err != os_exists) return err;
  }
  return os_exists;
}

os_error temp_keep(temp_file& t, const char* stem, char* name, size_t size) {
  bool linked = (os_files().can & os_can_link) != 0 || t.name[0] == '\0';
  os_error err = name_again(t, stem, name, size);
  if (err != 0) return err;
  os_hold_ends();
  if (linked && t.name[0] != '\0') {
    err = os_files().unlink_at(*t.folder, t.name);
    if (err != 0) {
      // As it was: under its old name only; or, where the new one cannot
      // go either, under the new one for temp_drop, the old one a second
      // name of it, which the next save's sweep removes.
      if (os_files().unlink_at(*t.folder, name) != 0) {
        mark_named(t, false);
        leave_slot(t);
        (void)snprintf(t.name, sizeof t.name, "%s", name);
        t.temporary = false;
      }
      os_let_ends_act();
      return err;
    }
    mark_named(t, false);
  }
  leave_slot(t);
  (void)snprintf(t.name, sizeof t.name, "%s", name);
  t.temporary = false;
  os_let_ends_act();
  return 0;
}

// Gives t, which has a name of its own, the name target in its folder
// without replacing a file there: a link and the removal of its own name
// where the system has links, else a rename that replaces nothing. t.name
// is "" once its own name is gone; a name that cannot be removed stays
// in t.name, for temp_drop. Returns 0, or os_changed where target is
// taken, or the error. Only with the ends of the program held.
static os_error place_new(temp_file& t, const char* target) {
  const os_file_calls& fs = os_files();
  os_error err = 0;
  if ((fs.can & os_can_link) != 0) {
    err = fs.link_at(t.f, *t.folder, t.name, target);
    if (err == 0 && fs.unlink_at(*t.folder, t.name) == 0) {
      mark_named(t, false);
      t.name[0] = '\0';
    }
  } else {
    err = fs.rename_at(t.f, *t.folder, t.name, target, false);
    if (err == 0) t.name[0] = '\0';
  }
  return err == os_exists ? os_changed : err;
}

os_error temp_replace(temp_file& t, const char* stem, const char* target,
                      bool replace) {
  const os_file_calls& fs = os_files();
  os_hold_ends();
  os_error err = 0;
  if (!replace && t.name[0] == '\0' && (fs.can & os_can_link) != 0) {
    // An unnamed file takes the new name at once, or not at all.
    err = fs.link_at(t.f, *t.folder, nullptr, target);
    if (err == os_exists) err = os_changed;
  } else {
    if (t.name[0] == '\0') {
      // An unnamed file needs a name of its own for the rename. What a
      // save killed between this link and the rename left goes first.
      temp_sweep(*t.folder, stem);
      char name[sizeof t.name];
      err = take_slot(t) ? 0 : os_unsupported;
      if (err == 0) err = name_again(t, stem, name, sizeof name);
      if (err == 0) {
        (void)snprintf(t.name, sizeof t.name, "%s", name);
        mark_named(t, true);
      } else {
        leave_slot(t);
      }
    }
    if (err == 0)
      err = replace ? fs.rename_at(t.f, *t.folder, t.name, target, true)
                    : place_new(t, target);
  }
  // Some file systems (btrfs) keep the new name over a power cut only
  // once the file is synced under it; a failure changes nothing of what
  // the file now holds.
  if (err == 0 && t.f.handle != -1) (void)fs.sync(t.f);
  // A second name that would not go is left for temp_drop.
  bool named_still = err == 0 && !replace && t.name[0] != '\0';
  if (err == 0 && !named_still && t.f.handle != -1) {
    (void)fs.close(t.f);
    t.f.handle = -1;
  }
  if ((err == 0 && !named_still) || t.f.handle == -1) {
    leave_slot(t);
    t.name[0] = '\0';
    t.f.handle = -1;
  }
  os_let_ends_act();
  return err;
}

os_error temp_drop(temp_file& t, char* left, size_t size) {
  const os_file_calls& fs = os_files();
  os_hold_ends();
  os_error err = 0;
  // A temporary file goes as it is closed.
  if (t.name[0] != '\0' && !t.temporary) {
    mark_named(t, false);
    err = fs.unlink_at(*t.folder, t.name);
    if (err != 0) (void)snprintf(left, size, "%s%s", t.folder->path, t.name);
  }
  leave_slot(t);
  os_let_ends_act();
  if (t.f.handle != -1) (void)fs.close(t.f);
  t.f.handle = -1;
  t.name[0] = '\0';
  return err;
}

// What the sweep of one folder looks for.
struct sweep_of {
  const os_folder* folder;
  const char* stem;
  size_t stem_len;
};

// Removes the file name, if it is one of a killed save's.
static void sweep_one(const char* name, void* context) {
  const sweep_of& w = *static_cast<const sweep_of*>(context);
  if (strncmp(name, w.stem, w.stem_len) != 0 ||
      strlen(name) != w.stem_len + temp_random_letters)
    return;
  const os_file_calls& fs = os_files();
  os_stream f;
  if (fs.open_at(*w.folder, name, os_open_existing, f) != 0) return;
  // A running save keeps its file locked; where locks cannot be had,
  // nothing tells, and the file stays.
  if (fs.lock(f, true, false) == 0) (void)fs.unlink_at(*w.folder, name);
  (void)fs.close(f);
}

void temp_sweep(const os_folder& d, const char* stem) {
  sweep_of w = {&d, stem, strlen(stem)};
  (void)os_files().list_at(d, sweep_one, &w);
}
