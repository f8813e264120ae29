// Saving a file whole: how a save reaches its file, and the protocol that
// keeps the file whole whatever happens meanwhile, written once for every
// system over the primitives of os/os.h.
//
// A regular file is replaced by a new file, made beside it with no name
// that a killed program could leave behind (or, where the file system has
// none such, a hidden name that the next save removes), written, synced
// and then put in the old file's place with its owner, permissions and
// attributes. A file that cannot be replaced so without losing something
// (more than one name, a folder that takes no new file, an owner or
// attributes that cannot be given to a new file, a name that no rename
// may replace) is written in place: a synced copy of its old contents is
// made first, beside it (NAME.kartoteka-backup-XXXXXX) or else in the
// user's own backup folder (os_backup_folder), never in memory; the file
// is emptied, so that the new contents fit where the old ones were, and
// the signals and console events that end
// the program wait until the file holds the whole new contents, or the
// whole old ones again; the copy is then removed, so that only a crash,
// a power loss or a kill leaves it. A file the user may not write is
// refused with the system's reason, as a plain open would refuse it; so
// is a FIFO that nobody reads. Terminals, pipes, devices and the file that
// standard output or error already writes are written straight.
#ifndef KARTOTEKA_STORAGE_SAVE_H_
#define KARTOTEKA_STORAGE_SAVE_H_

#include <cstddef>

#include "os/os.h"
#include "storage/temp_file.h"

// How a save reaches its file.
enum save_way {
  save_straight,  // a terminal, pipe or device, or a standard stream's file
  save_renamed,   // a new file, put in the target's place when done
  save_in_place,  // the file itself, its old contents kept in a backup
  save_staged,    // a file that may not be read: a new file in the user's
                  // backup folder first, copied over the file at the end
};

// The most files a save can leave: its new file, a backup copy beside the
// file that could not be kept, and one in the user's backup folder.
const int save_left_max = 3;

// The most copies of one file that cut saves left which are named.
const int save_copies_max = 4;

// The copies of a file's records that saves of it cut short (by a kill
// or a power cut) left: backups of an in-place save, beside the file or
// in the user's backup folder, and the new contents of a staged one.
// Nothing removes them but the user, who is told of them at each save and
// load of the file.
struct save_copies {
  int count;
  char path[save_copies_max][os_path_max];  // folder's path and name
};

// What a save leaves to be reported besides its error, after save_end.
struct save_outcome {
  bool damaged;  // failed, and even the old contents could not be put back:
                 // they are in backup_path
  char backup_path[os_path_max];  // the backup's folder's path and its name
  bool lost;  // failed while overwriting a file that could not be read, so
              // that no copy of its old contents was made
  // The files the save made that it could not remove, and why.
  int left_count;
  os_error left[save_left_max];
  char left_path[save_left_max][os_path_max];
  save_copies copies;  // what earlier saves of the file, cut short, left
};

// One save under way, from save_begin to save_end. Only save.cpp reads or
// writes its fields, but outcome after save_end.
struct save {
  save_way way;
  char target[os_path_max];  // the file saved, links resolved
  size_t folder_len;         // target's folder: its first folder_len bytes
  os_folder folder;          // that folder, held open (handle -1: none)
  os_file_info old;          // what target was before the save
  os_stream file;            // the target, open, or handle -1
  bool readable;             // file may be read too
  temp_file fresh;           // the new file, or f.handle -1
  bool own_straight;         // save_straight: out is closed at the end
  temp_file backup;          // save_in_place: the copy of the old contents
  os_folder backup_folder;   // the user's folder for backups, when used
  save_outcome outcome;      // for the report, after save_end
  // The folder and name of each file in outcome.left_path.
  const os_folder* left_folder[save_left_max];
  char left_name[save_left_max][256];
};

// Starts saving the whole contents of the file called name (UTF-8): the
// bytes written to out (os_write) until save_end become its contents, or,
// if the save fails at any step, the file stays as it was. Returns 0 with
// out open, or the error, and then there is nothing to end.
os_error save_begin(save& s, const char* name, os_stream& out);

// Ends the save that save_begin started, whose bytes went to out. With
// failed 0 (every write to out succeeded) the written bytes become the file's
// whole contents, synced to the disk; otherwise, or when that fails, the file
// is left as it was (but see s.damaged). Returns 0, or failed, or the error of
// the step that failed.
os_error save_end(save& s, os_stream& out, os_error failed);

// Finds into found the copies that saves cut short left of the file
// called name (UTF-8), as a load names them; what cannot be looked at is
// passed over.
void save_find_copies(const char* name, save_copies& found);

// Writes into stem (size bytes) the start of the names of the new files of
// a save of the file at target: ".kartoteka-NAME-TAG-", TAG telling apart
// the machines that save into a shared folder, or only ".kartoteka-" where
// that would be too long for a name. What a killed save left so is removed
// by the next save of that file from that machine.
void temp_stem(char* stem, size_t size, const char* target);

#endif  // KARTOTEKA_STORAGE_SAVE_H_
