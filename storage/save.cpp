// Saving a file whole: the decision how a save reaches its file, and the
// protocol of a replacing and of an in-place save, over the file calls of
// os/os.h (os_files()) and the files of storage/temp_file.h.
#include "storage/save.h"

#include <cstdio>
#include <cstring>

// The names a save gives files beside the one it saves: its new file
// (".kartoteka-NAME-TAG-" and random letters, where it needs a name) and
// the backup copy of an in-place save ("NAME.kartoteka-backup-" and
// random letters). TAG tells machines apart in a folder they share.
const char temp_prefix[] = ".kartoteka-";
const char backup_infix[] = ".kartoteka-backup-";

// The longest name a folder takes.
const size_t name_max = 255;

// The last part of path, its name.
static const char* base_name(const char* path) {
  return path + os_folder_length(path);
}

// Eight hex digits of the machine's name (FNV-1a): the files a save names
// in a folder shared over a network are told apart by the machine that
// made them, as only that machine can tell whether they are in use.
static unsigned machine_tag() {
  char host[256];
  os_machine_name(host, sizeof host);
  uint32_t h = 2166136261u;
  for (const char* p = host; *p != '\0'; p++) {
    h ^= static_cast<unsigned char>(*p);
    h *= 16777619u;
  }
  return h;
}

void temp_stem(char* stem, size_t size, const char* target) {
  int got = snprintf(stem, size, "%s%s-%08x-", temp_prefix, base_name(target),
                     machine_tag());
  if (got < 0 || static_cast<size_t>(got) + temp_random_letters > name_max)
    (void)snprintf(stem, size, "%s", temp_prefix);
}

// Writes into stem (size bytes) the start of the backup's name for the
// file at target: its own name and ".kartoteka-backup-", or only
// "kartoteka-backup-" where that would be too long for a name.
static void backup_stem(char* stem, size_t size, const char* target) {
  int got = snprintf(stem, size, "%s%s", base_name(target), backup_infix);
  if (got < 0 || static_cast<size_t>(got) + temp_random_letters > name_max)
    (void)snprintf(stem, size, "%s", backup_infix + 1);
}

// What the listing of one folder looks for: copies of one file's records.
struct copies_in {
  const os_folder* folder;
  const char* stem;
  size_t stem_len;
  save_copies* found;
};

// Notes the file name, if it is such a copy and no running save holds it
// (a save keeps its copy locked while it runs).
static void note_copy(const char* name, void* context) {
  copies_in& c = *static_cast<copies_in*>(context);
  save_copies& found = *c.found;
  if (found.count == save_copies_max ||
      strncmp(name, c.stem, c.stem_len) != 0 ||
      strlen(name) != c.stem_len + temp_random_letters)
    return;
  const os_file_calls& fs = os_files();
  os_stream f;
  if (fs.open_at(*c.folder, name, os_open_existing, f) == 0) {
    bool running = fs.lock(f, true, false) == os_busy;
    (void)fs.close(f);
    if (running) return;
  }
  int got = snprintf(found.path[found.count], sizeof found.path[0], "%s%s",
                     c.folder->path, name);
  if (got > 0 && static_cast<size_t>(got) < sizeof found.path[0]) found.count++;
}

// Finds into found the copies of the file at target that cut saves left
// in its folder d and in the user's backup folder. A name shortened for
// its length could be any file's, and is not looked for.
static void find_copies(const char* target, const os_folder& d,
                        save_copies& found) {
  const os_file_calls& fs = os_files();
  found.count = 0;
  char stem[os_path_max];
  backup_stem(stem, sizeof stem, target);
  if (strcmp(stem, backup_infix + 1) == 0) return;
  copies_in c = {&d, stem, strlen(stem), &found};
  (void)fs.list_at(d, note_copy, &c);
  char path[os_path_max];
  os_folder backups;
  if (fs.backup_folder(path, sizeof path) != 0 ||
      fs.open_folder(path, strlen(path), backups) != 0)
    return;
  c.folder = &backups;
  (void)fs.list_at(backups, note_copy, &c);
  fs.close_folder(backups);
}

void save_find_copies(const char* name, save_copies& found) {
  const os_file_calls& fs = os_files();
  found.count = 0;
  char target[os_path_max];
  os_file_info info = {};
  os_folder d;
  if (fs.look(name, target, sizeof target, info) != 0 ||
      info.kind != os_regular ||
      fs.open_folder(target, os_folder_length(target), d) != 0)
    return;
  find_copies(target, d, found);
  fs.close_folder(d);
}

// Closes f if it is open.
static void close_open(os_stream& f) {
  if (f.handle != -1) (void)os_files().close(f);
  f.handle = -1;
}

// Notes in s that the file t, which the save made, is left, for err, its
// path being path.
static void note_left(save& s, os_error err, const temp_file& t,
                      const char* path) {
  int i = s.outcome.left_count;
  if (i == save_left_max) return;
  s.outcome.left[i] = err;
  (void)snprintf(s.outcome.left_path[i], sizeof s.outcome.left_path[0], "%s",
                 path);
  s.left_folder[i] = t.folder;
  (void)snprintf(s.left_name[i], sizeof s.left_name[0], "%s", t.name);
  s.outcome.left_count++;
}

// Tries once more to remove the files the save has left: one may have gone
// since (a later sweep of the save removes it), or the cause may have.
// What stays is reported.
static void retry_left(save& s) {
  int kept = 0;
  for (int i = 0; i < s.outcome.left_count; i++) {
    os_error err = os_files().unlink_at(*s.left_folder[i], s.left_name[i]);
    if (err == 0 || os_gone(err)) continue;
    s.outcome.left[kept] = err;
    memmove(s.outcome.left_path[kept], s.outcome.left_path[i],
            sizeof s.outcome.left_path[0]);
    kept++;
  }
  s.outcome.left_count = kept;
}

// Closes and removes the file t, if it is open; one that cannot be removed
// is noted in s.outcome.
static void drop_new(save& s, temp_file& t) {
  if (t.f.handle == -1) return;
  temp_file was = t;
  char path[os_path_max];
  os_error err = temp_drop(t, path, sizeof path);
  if (err != 0) note_left(s, err, was, path);
}

// Removes t, a copy with a lasting name, as drop_new does, and syncs its
// folder, so that a power cut does not bring it back.
static void drop_copy(save& s, temp_file& t) {
  if (t.f.handle == -1) return;
  const os_folder* folder = t.folder;
  bool named = t.name[0] != '\0';
  drop_new(s, t);
  if (named) (void)os_files().sync_folder(*folder);
}

// Copies the first length bytes of from into to, from the start of both.
// Returns 0 or the error of the read or write that failed.
static os_error copy_contents(os_stream& from, os_stream& to, uint64_t length) {
  static char buf[1 << 16];
  for (uint64_t at = 0; at < length;) {
    size_t want = length - at < sizeof buf ? static_cast<size_t>(length - at)
                                           : sizeof buf;
    size_t got = 0;
    os_error err = os_files().read_at(from, at, buf, want, got);
    if (err == 0 && got == 0) err = os_changed;  // it has shrunk meanwhile
    if (err == 0) err = os_files().write_at(to, at, buf, got);
    if (err != 0) return err;
    at += got;
  }
  return 0;
}

// Makes a new file t for the save of s.target in the folder d, named
// after the target where it needs a name, so that a later save can remove
// it if this one is killed; with own_only only this user may read it.
static os_error new_file(save& s, const os_folder& d, bool own_only,
                         temp_file& t) {
  char stem[os_path_max];
  temp_stem(stem, sizeof stem, s.target);
  return temp_create(t, d, stem, own_only, strcmp(stem, temp_prefix) != 0);
}

// The length of the file f, or the error.
static os_error length_of(os_stream& f, uint64_t& length) {
  os_file_info info = {};
  os_error err = os_files().status(f, info);
  length = info.size;
  return err;
}

// Gives t, a synced copy in the folder d, the lasting name of a backup of
// s.target there, which goes to name (size bytes), and has that name
// outlast a power cut: some file systems (btrfs) keep a new name only once
// the file is synced under it, all of them once its folder is. Returns 0
// or the error.
static os_error keep_copy(save& s, temp_file& t, const os_folder& d, char* name,
                          size_t size) {
  char stem[os_path_max];
  backup_stem(stem, sizeof stem, s.target);
  os_error err = temp_keep(t, stem, name, size);
  if (err == 0) err = os_files().sync(t.f);
  if (err == 0) err = os_files().sync_folder(d);
  return err;
}

// Makes s.backup: a synced copy of the old contents of s.file in the
// folder d, which gets its name only once it is whole. Returns 0 or the
// error.
static os_error backup_in(save& s, const os_folder& d) {
  const os_file_calls& fs = os_files();
  os_error err = new_file(s, d, true, s.backup);
  if (err != 0) {
    drop_new(s, s.backup);
    return err;
  }
  err = copy_contents(s.file, s.backup.f, s.old.size);
  // It takes the file's owner, group and permissions where it can, so that
  // it may stand for the file; otherwise it stays this user's own.
  if (err == 0) (void)fs.take_identity(s.file, s.old, s.backup.f);
  if (err == 0) err = fs.sync(s.backup.f);
  char name[sizeof s.backup.name];
  // The copy must outlast a power cut by its name too, before the file is
  // touched.
  if (err == 0) err = keep_copy(s, s.backup, d, name, sizeof name);
  if (err != 0) {
    drop_new(s, s.backup);
    return err;
  }
  int got = snprintf(s.outcome.backup_path, sizeof s.outcome.backup_path,
                     "%s%s", d.path, name);
  if (got < 0 || static_cast<size_t>(got) >= sizeof s.outcome.backup_path)
    (void)snprintf(s.outcome.backup_path, sizeof s.outcome.backup_path, "%s",
                   name);
  return 0;
}

// Makes the backup of s.file: beside it, or where its folder takes no new
// file (or has no room), in the user's own backup folder, which outlasts a
// power cut. Returns 0, or the error of the copy beside the file.
static os_error make_backup(save& s) {
  os_error err = backup_in(s, s.folder);
  if (err == 0) return 0;
  char folder[os_path_max];
  if (os_files().backup_folder(folder, sizeof folder) != 0 ||
      os_files().open_folder(folder, strlen(folder), s.backup_folder) != 0)
    return err;
  return backup_in(s, s.backup_folder) == 0 ? 0 : err;
}

// Puts the old contents back into s.file from the backup after a failed
// overwrite: the file is emptied first, so that the blocks the new
// contents took are free for the old ones again.
static os_error restore(save& s) {
  const os_file_calls& fs = os_files();
  os_error err = fs.seek(s.file, 0);
  if (err == 0) err = fs.cut(s.file);
  if (err == 0) err = copy_contents(s.backup.f, s.file, s.old.size);
  if (err == 0) err = fs.sync(s.file);
  return err;
}

// Finishes an in-place write that ended with err (0: the file holds its
// new contents): after a failure puts the old contents back, removes the
// backup unless even that failed (s.outcome.damaged), and lets the ends of the
// program act. Returns err.
static os_error finish_in_place(save& s, os_error err) {
  if (err != 0 && s.backup.f.handle != -1 && restore(s) != 0)
    s.outcome.damaged = true;
  if (s.outcome.damaged)
    close_open(s.backup.f);
  else
    drop_copy(s, s.backup);
  os_let_ends_act();
  return err;
}

// Starts writing s.file in place: holds off the ends of the program until
// the save ends, locks the file against other saves and loads of it (a
// few seconds' wait for theirs), keeps a synced backup of its contents,
// empties the file, so that its old blocks are free for the new contents
// (a file system that copies on write needs new blocks even to overwrite
// old ones), and sets out to write from its start. A file that may not be
// read cannot be copied: it is written over without a backup, as by any
// program. On failure the file is as it was and no backup is left.
static os_error begin_in_place(save& s) {
  const os_file_calls& fs = os_files();
  os_hold_ends();
  // No other save or load of the file may see it half written.
  os_error err = fs.lock(s.file, true, true);
  if (err == os_unsupported) err = 0;
  if (err == 0 && s.readable) err = make_backup(s);
  if (err == 0) err = fs.seek(s.file, 0);
  if (err == 0 && s.backup.f.handle != -1) err = fs.cut(s.file);
  if (err != 0) {
    // Nothing of the file has changed (a cut that fails cuts nothing):
    // there is nothing to put back.
    drop_new(s, s.backup);
    os_let_ends_act();
    return err;
  }
  s.way = save_in_place;
  return 0;
}

// Ends an in-place write: cuts the file where the writing got to and syncs
// it, or after a failure puts the old contents back. The backup goes once
// the file holds the whole new or the whole old contents; if even the old
// ones cannot be put back, it stays (s.outcome.damaged). Then the ends of the
// program may act.
static os_error end_in_place(save& s, os_error failed) {
  os_error err = failed;
  if (err == 0) err = os_files().cut(s.file);
  if (err == 0) err = os_files().sync(s.file);
  // Without a backup nothing can put the old contents back.
  if (err != 0 && s.backup.f.handle == -1) s.outcome.lost = true;
  return finish_in_place(s, err);
}

// Grows s.file, being written in place, to length bytes with zeros past
// its old end, so that the new contents fit before the first byte of the
// old ones is overwritten, and sets it to be written from its start. On
// failure cuts it back to its old length, or, where even that fails, notes
// in s.outcome.lost that it is not as it was. Returns 0 or the error.
static os_error grow(save& s, uint64_t length) {
  const os_file_calls& fs = os_files();
  static const char zeros[1 << 16] = {};
  os_error err = 0;
  for (uint64_t at = s.old.size; at < length && err == 0;) {
    size_t n = length - at < sizeof zeros ? static_cast<size_t>(length - at)
                                          : sizeof zeros;
    err = fs.write_at(s.file, at, zeros, n);
    at += n;
  }
  if (err == 0) err = fs.seek(s.file, 0);
  if (err != 0 && length > s.old.size &&
      (fs.seek(s.file, s.old.size) != 0 || fs.cut(s.file) != 0))
    s.outcome.lost = true;
  return err;
}

// Starts the save of a file that may be written but not read, so that no
// backup of it can be made: the new contents go to a private new file in
// the user's backup folder first, so that their length is known before the
// file is touched. Without such a folder the file is written in place
// straight, as by any program.
static os_error begin_staged(save& s) {
  char folder[os_path_max];
  const os_file_calls& fs = os_files();
  os_error err = fs.backup_folder(folder, sizeof folder);
  if (err == 0) err = fs.open_folder(folder, strlen(folder), s.backup_folder);
  if (err == 0) err = new_file(s, s.backup_folder, true, s.fresh);
  if (err != 0) {
    drop_new(s, s.fresh);
    if (s.backup_folder.handle != -1) fs.close_folder(s.backup_folder);
    return begin_in_place(s);
  }
  s.way = save_staged;
  return 0;
}

// Gives the new contents of a staged save a lasting name in the backup
// folder, synced, before the file is touched: a power cut in the copy over
// the file leaves them there, named like a backup, for the next save or
// load of the file to name. Returns 0 or the error.
static os_error keep_staged(save& s) {
  char name[sizeof s.fresh.name];
  os_error err = os_files().sync(s.fresh.f);
  if (err == 0) err = keep_copy(s, s.fresh, s.backup_folder, name, sizeof name);
  return err;
}

// Ends a staged save: grows the file to the new contents' length, which
// fails on a full disk before its old contents are touched, copies them
// over it and cuts it there. A failure from the copy on, after which the
// file may hold part of each, is noted in s.outcome.lost. The new file is gone
// afterwards.
static os_error end_staged(save& s, os_error failed) {
  os_error err = failed;
  uint64_t length = 0;
  if (err == 0) err = length_of(s.fresh.f, length);
  if (err == 0) err = keep_staged(s);
  if (err == 0) err = begin_in_place(s);
  if (s.way == save_in_place) {
    err = grow(s, length);
    if (err != 0) {
      err = finish_in_place(s, err);
    } else {
      err = copy_contents(s.fresh.f, s.file, length);
      if (err == 0) err = os_files().seek(s.file, length);
      err = end_in_place(s, err);
    }
  }
  drop_copy(s, s.fresh);
  return err;
}

// Closes the folders s holds.
static void close_folders(save& s) {
  if (s.backup_folder.handle != -1) os_files().close_folder(s.backup_folder);
  if (s.folder.handle != -1) os_files().close_folder(s.folder);
}

// Opens s.file, the existing target, where it is not open yet.
static os_error open_target(save& s) {
  if (s.file.handle != -1) return 0;
  return os_files().open_file(s.folder, base_name(s.target), s.old, s.file,
                              s.readable);
}

// Makes the new file beside s.target that is to replace it, with the old
// file's owner, permissions and attributes. Sets refused when the folder
// takes no new file or those cannot be given, so that the caller may write
// in place instead.
static os_error begin_renamed(save& s, bool& refused) {
  refused = false;
  // The new file of a file that exists is private until it has that
  // file's owner and permissions: its records may be private too.
  os_error err = new_file(s, s.folder, s.old.kind == os_regular, s.fresh);
  if (err != 0) {
    drop_new(s, s.fresh);
    refused = s.old.kind == os_regular && os_denied(err);
    return err;
  }
  if (s.old.kind == os_regular) {
    err = os_files().take_identity(s.file, s.old, s.fresh.f);
    refused = err != 0;
  }
  if (err != 0) {
    drop_new(s, s.fresh);
    return err;
  }
  s.way = save_renamed;
  return 0;
}

// Ends a replacing save: syncs the new file and puts it in the target's
// place. A rename refused for the target itself (a bind-mounted file,
// another user's file in a sticky folder) writes the new contents into the
// file in place instead. The new file is gone afterwards.
static os_error end_renamed(save& s, os_error failed) {
  os_error err = failed;
  if (err == 0) err = os_files().sync(s.fresh.f);
  // The target is not kept open over its own replacement.
  close_open(s.file);
  char stem[os_path_max];
  temp_stem(stem, sizeof stem, s.target);
  os_hold_ends();
  // A file that was not there is not replaced: one that has come
  // meanwhile (a folder on the way swapped for another) is another's.
  if (err == 0)
    err = temp_replace(s.fresh, stem, base_name(s.target),
                       s.old.kind != os_missing);
  if (err != 0 && failed == 0 && s.old.kind == os_regular &&
      s.fresh.f.handle != -1 && os_replace_refused(err)) {
    uint64_t length = 0;
    err = length_of(s.fresh.f, length);
    if (err == 0) err = open_target(s);
    if (err == 0) err = begin_in_place(s);
    if (s.way == save_in_place) {
      err = copy_contents(s.fresh.f, s.file, length);
      if (err == 0) err = os_files().seek(s.file, length);
      err = end_in_place(s, err);
    }
  }
  drop_new(s, s.fresh);
  os_let_ends_act();
  // The new name outlasts a power cut only once the folder is synced. A
  // failure is not the save's: the file holds the new contents already,
  // and the system writes the folder out in time all the same.
  if (err == 0) (void)os_files().sync_folder(s.folder);
  return err;
}

os_error save_begin(save& s, const char* name, os_stream& out) {
  s.way = save_straight;
  const os_file_calls& fs = os_files();
  s.file.handle = -1;
  s.fresh.f.handle = -1;
  s.backup.f.handle = -1;
  s.readable = false;
  s.own_straight = false;
  s.outcome.damaged = false;
  s.outcome.lost = false;
  s.outcome.left_count = 0;
  s.outcome.copies.count = 0;
  s.folder.handle = -1;
  s.backup_folder.handle = -1;
  os_error err = fs.look(name, s.target, sizeof s.target, s.old);
  if (err != 0) return err;
  s.folder_len = os_folder_length(s.target);
  if (s.old.kind == os_other) {
    err = fs.open_device(s.target, s.old, out);
    s.own_straight = err == 0;
    return err;
  }
  if (s.old.standard != 0) {
    // The log that standard output or error appends to: replacing it would
    // lose what it holds and all that the program writes to it later.
    os_std_stream(out, s.old.standard);
    return 0;
  }
  // Everything from here on happens in this very folder.
  err = fs.open_folder(s.target, s.folder_len, s.folder);
  if (err != 0) return err;
  find_copies(s.target, s.folder, s.outcome.copies);
  if (s.old.kind == os_regular) {
    // The file must open for writing, as it would for a plain save: a file
    // its owner made read-only is not replaced behind their back.
    err = open_target(s);
    if (err != 0) {
      fs.close_folder(s.folder);
      return err;
    }
  }
  // A rename would leave the old records under the other names.
  bool linked = s.old.kind == os_regular && s.old.links > 1;
  bool refused = false;
  if (!linked) err = begin_renamed(s, refused);
  if (linked || refused) err = s.readable ? begin_in_place(s) : begin_staged(s);
  if (err != 0) {
    close_open(s.file);
    retry_left(s);
    close_folders(s);
    return err;
  }
  out = s.way == save_renamed || s.way == save_staged ? s.fresh.f : s.file;
  return 0;
}

os_error save_end(save& s, os_stream& out, os_error failed) {
  os_error err = failed;
  switch (s.way) {
    case save_straight:
      if (s.own_straight) {
        os_error closed = os_files().close(out);
        if (err == 0) err = closed;
      }
      break;
    case save_renamed:
      s.fresh.f = out;
      err = end_renamed(s, err);
      break;
    case save_in_place:
      s.file = out;
      err = end_in_place(s, err);
      break;
    case save_staged:
      s.fresh.f = out;
      err = end_staged(s, err);
      break;
  }
  close_open(s.file);
  retry_left(s);
  close_folders(s);
  out.handle = -1;
  return err;
}
