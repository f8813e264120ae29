// The files a save makes beside the file it saves, from their making to
// their lasting name or their removal: the new file that is to replace the
// file, and the backup copy of its old contents. Written once for every
// system over the file calls of os/os.h (os_files()).
//
// A new file has no name while it is written where the system allows it
// (os_can_unnamed), so that a save that is killed leaves nothing; where it
// is deleted when closed (os_can_delete_on_close), it is the same. Else it
// is named stem and random letters, locked while this program has it, and
// removed by the handler of the signals that end the program; a later
// save removes those that a kill left (temp_sweep). At most two such files
// exist at once.
#ifndef KARTOTEKA_STORAGE_TEMP_FILE_H_
#define KARTOTEKA_STORAGE_TEMP_FILE_H_

#include <cstddef>

#include "os/os.h"

// The random letters at the end of every name made here.
const size_t temp_random_letters = 6;

// One file made here.
struct temp_file {
  os_stream f;              // the file, open; handle -1 when none
  const os_folder* folder;  // its folder, held open by the save
  int slot;                 // its place among the named files the signal
                            // handler removes, plus 1; 0 for none
  char name[256];           // its name there, "" while it has none
  bool temporary;           // deleted as it is closed (os_open_temporary)
};

// Makes t, a new file in the folder d, open to read and write: unnamed
// where the system can, else named stem and random letters (first
// removing, with sweep, what killed saves left of that stem). With
// own_only only this user may open it. Returns 0, or the error: t.f is
// then not open, but for a file made that could not be removed again,
// which temp_drop removes or reports.
os_error temp_create(temp_file& t, const os_folder& d, const char* stem,
                     bool own_only, bool sweep);

// Gives t the lasting name stem and random letters in its folder, which
// goes to name (size bytes); it is no longer removed at the end of the
// program, and stays open, to be read. Returns 0, or the error, after
// which t is as it was.
os_error temp_keep(temp_file& t, const char* stem, char* name, size_t size);

// Puts t in the place of the file target in its folder, synced there
// and closed: over the file of that name with replace, else only where
// there is none (os_changed where one has come meanwhile). stem is the
// start of the name an unnamed file needs for the moment before (what a
// killed save left so is removed first). Returns 0, or the error: t is
// open still where os_replace_refused(err) holds; otherwise it may be
// gone (t.f.handle -1).
os_error temp_replace(temp_file& t, const char* stem, const char* target,
                      bool replace);

// Closes t and removes it. Returns 0, or the error of a name that cannot
// be removed, whose path then goes to left (size bytes).
os_error temp_drop(temp_file& t, char* left, size_t size);

// Removes every named file made here that is not yet kept or replacing
// its file: what the handler of the signals that end the program does
// first (tests call it too). Only async-signal-safe calls.
void temp_remove_named();

// Removes from the folder d the files named stem and random letters that
// no running save holds locked: what saves killed there left.
void temp_sweep(const os_folder& d, const char* stem);

#endif  // KARTOTEKA_STORAGE_TEMP_FILE_H_
