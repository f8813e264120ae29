// The whole protocol of a save, run over a file system in memory that
// fails the k-th file call for every k, under each set of abilities a
// system may have, and that keeps apart what was written and what was
// synced, so that every moment of a power cut can be looked at. Whatever
// fails, the file holds its old or its whole new contents (or the report
// says where the old ones are), nothing the save made is left unreported,
// and a save that says it succeeded has its contents on the disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "os/os.h"
#include "storage/save.h"
#include "storage/temp_file.h"

namespace {

// ---- The file system in memory ----

struct inode {
  std::string data;    // as the program sees it
  std::string synced;  // as the disk holds it
  bool device = false;
  bool temporary = false;  // deleted as its last stream closes
  uint32_t mode = 0644;
  int lock = 0;  // the stream that holds it locked, or 0
};

struct fake_stream {
  int node;
  uint64_t pos = 0;
  bool open = true;
};

// What a save is set to meet.
struct scene {
  unsigned can = 0;               // the abilities of the file calls
  bool locks = true;              // the file system has locks
  bool exists = true;             // the file is there before the save
  uint32_t links = 1;             // the names it has
  bool device = false;            // a device instead of a file
  bool standard = false;          // the file standard output already writes
  bool no_new_files = false;      // its folder takes no new file
  bool write_only = false;        // it may be written but not read
  bool keeps_identity = true;     // its owner can be given to a new file
  bool rename_refused = false;    // no rename may replace it
  bool no_backup_folder = false;  // the user has no folder for backups
  bool long_name = false;         // a name as long as a folder takes
  bool append_only = false;       // its folder lets no name be removed or
                                  // replaced (chattr +a)
  bool names_taken = false;       // every new name there is taken
  bool empty = false;             // the file holds nothing yet
  bool saves = true;              // and so the save can succeed
};

// The folders: the file's own, and the user's folder for backups.
const int file_folder = 0;
const int backup_folder = 1;
const char* const folder_paths[] = {"dir/", "state/"};

// What the disk may hold after a power cut at one moment: the names of
// each folder as last synced or as they are, and the data of each file,
// each on its own, as last synced or as it is (as a disk that wrote some
// of what it was given and not the rest).
struct disk {
  std::map<std::string, int> synced_names[2];  // by folder
  std::map<std::string, int> names[2];
  std::vector<std::string> synced;  // by inode
  std::vector<std::string> data;
  bool signal_acts;  // an end signal would act now, not wait
  std::map<std::string, int> after_signal[2];  // the names its handler
                                               // leaves, the end of the
                                               // process deleting
                                               // temporary files
};

struct file_system {
  scene sc;
  std::string target;  // the file's name in its folder
  std::string stem;    // the start of its new files' names
  std::vector<inode> nodes;
  std::vector<fake_stream> files;
  std::map<std::string, int> names[2];    // as the program sees them
  std::map<std::string, int> durable[2];  // as the disk holds them
  int open_folders = 0;
  long calls = 0;
  long fail_at = 0;              // the call that fails, 0 for none
  bool fail_on = false;          // and every call after it
  bool read_nothing = false;     // it reads nothing instead of failing
  bool failed = false;           // the call has come
  std::vector<std::string> log;  // the calls, in order
  std::vector<disk> cuts;        // what a power cut before each call may leave
};

file_system fs;

// Errors: a failure of the disk; the platform's own codes where the save
// tells errors apart.
const os_error disk_error = os_no_memory;

// The first error code for which yes holds and no does not.
os_error code_where(bool (*yes)(os_error), bool (*no)(os_error)) {
  for (os_error c = 1; c < 20000; c++)
    if (yes(c) && !no(c)) return c;
  return -1;
}

const os_error denied_code = code_where(os_denied, os_replace_refused);
const os_error gone_code = code_where(os_gone, os_denied);
const os_error refused_code = code_where(os_replace_refused, os_denied);

// Notes what a power cut now may leave, and, where an end signal would act
// now (until a failure: a file that cannot be removed stays), what its
// handler leaves; then the save goes on as if neither had come.
bool in_handler = false;

void note_cut() {
  disk d;
  for (int f = 0; f < 2; f++) {
    d.synced_names[f] = fs.durable[f];
    d.names[f] = fs.names[f];
  }
  for (const inode& n : fs.nodes) {
    d.synced.push_back(n.synced);
    d.data.push_back(n.data);
  }
  d.signal_acts = !os_ends_held() && !fs.failed && !fs.sc.append_only;
  if (d.signal_acts) {
    std::map<std::string, int> names[2] = {fs.names[0], fs.names[1]};
    in_handler = true;
    temp_remove_named();
    in_handler = false;
    for (int f = 0; f < 2; f++) {
      for (const auto& e : fs.names[f])
        if (!fs.nodes[static_cast<size_t>(e.second)].temporary)
          d.after_signal[f].insert(e);
      fs.names[f] = names[f];
    }
  }
  fs.cuts.push_back(d);
}

// Counts the call named call, after noting what a power cut or an end
// signal before it leaves, and says whether it is the one that fails. The
// signal handler's own calls are not counted.
bool fails(const char* call) {
  if (in_handler) return false;
  note_cut();
  fs.log.push_back(call);
  fs.calls++;
  if (fs.calls > 100000) return true;  // a save that never ends
  if (fs.calls != fs.fail_at && !(fs.fail_on && fs.failed)) return false;
  fs.failed = true;
  return true;
}

// The handle of the first stream opened here: beyond those of the
// standard streams on every system.
const intptr_t first_stream = intptr_t{1} << 30;

int folder_of(const os_folder& d) {
  return static_cast<int>(d.handle - 500);
}

fake_stream& file_of(const os_stream& s) {
  return fs.files[static_cast<size_t>(s.handle - first_stream)];
}

inode& node_of(const os_stream& s) {
  return fs.nodes[static_cast<size_t>(file_of(s).node)];
}

void open_stream(os_stream& s, int node) {
  memset(&s, 0, sizeof s);
  fs.files.push_back(fake_stream{node});
  s.handle = first_stream + static_cast<intptr_t>(fs.files.size()) - 1;
}

int new_node(const std::string& data) {
  fs.nodes.push_back(inode());
  fs.nodes.back().data = data;
  fs.nodes.back().synced = data;
  return static_cast<int>(fs.nodes.size()) - 1;
}

void name(int folder, const std::string& n, int node) {
  fs.names[folder][n] = node;
}

int links_of(int node) {
  int n = 0;
  for (const auto& folder : fs.names)
    for (const auto& e : folder) n += e.second == node;
  return n;
}

// The file calls.

os_error look(const char* n, char* path, size_t size, os_file_info& info) {
  if (fails("look")) return disk_error;
  memset(&info, 0, sizeof info);
  snprintf(path, size, "%s", n);
  auto at = fs.names[file_folder].find(fs.target);
  if (at == fs.names[file_folder].end()) return 0;
  const inode& node = fs.nodes[static_cast<size_t>(at->second)];
  info.kind = node.device ? os_other : os_regular;
  info.size = node.data.size();
  info.links = static_cast<uint32_t>(links_of(at->second));
  info.device = 1;
  info.inode = static_cast<uint64_t>(at->second);
  info.mode = node.mode;
  info.standard = fs.sc.standard ? 1 : 0;
  return 0;
}

os_error open_device(const char*, const os_file_info& info, os_stream& out) {
  if (fails("open_device")) return disk_error;
  open_stream(out, static_cast<int>(info.inode));
  return 0;
}

os_error open_folder(const char* path, size_t len, os_folder& d) {
  d.handle = -1;
  if (fails("open_folder")) return disk_error;
  std::string p(path, len);
  d.handle = p == folder_paths[backup_folder] ? 501 : 500;
  snprintf(d.path, sizeof d.path, "%s", p.c_str());
  fs.open_folders++;
  return 0;
}

void close_folder(os_folder& d) {
  fs.open_folders--;
  d.handle = -1;
}

os_error backup_folder_path(char* folder, size_t size) {
  if (fails("backup_folder_path")) return disk_error;
  if (fs.sc.no_backup_folder) return denied_code;
  snprintf(folder, size, "%s", folder_paths[backup_folder]);
  return 0;
}

os_error open_file(const os_folder& d, const char* n, const os_file_info& info,
                   os_stream& f, bool& readable) {
  if (fails("open_file")) return disk_error;
  auto at = fs.names[folder_of(d)].find(n);
  if (at == fs.names[folder_of(d)].end() ||
      static_cast<uint64_t>(at->second) != info.inode)
    return os_changed;
  readable = !fs.sc.write_only;
  open_stream(f, at->second);
  return 0;
}

os_error open_at(const os_folder& d, const char* n, unsigned how,
                 os_stream& f) {
  if (fails("open_at")) return disk_error;
  int folder = folder_of(d);
  unsigned kind = how & 3;
  if (kind != os_open_existing && folder == file_folder && fs.sc.no_new_files)
    return denied_code;
  if (kind == os_open_new && fs.sc.names_taken) return os_exists;
  if (kind == os_open_unnamed) {
    if ((fs.sc.can & os_can_unnamed) == 0) return os_unsupported;
    open_stream(f, new_node(""));
  } else if (kind == os_open_new) {
    if (fs.names[folder].count(n) != 0) return os_exists;
    int node = new_node("");
    fs.nodes[static_cast<size_t>(node)].synced = "";
    fs.nodes[static_cast<size_t>(node)].temporary =
        (how & os_open_temporary) != 0;
    name(folder, n, node);
    open_stream(f, node);
  } else {
    auto at = fs.names[folder].find(n);
    if (at == fs.names[folder].end()) return denied_code;
    open_stream(f, at->second);
  }
  if ((how & os_open_own_only) != 0) node_of(f).mode = 0600;
  return 0;
}

os_error link_at(os_stream& f, const os_folder& d, const char* from,
                 const char* to) {
  if (fails("link_at")) return disk_error;
  if ((fs.sc.can & os_can_link) == 0) return os_unsupported;
  int folder = folder_of(d);
  if (fs.names[folder].count(to) != 0 || fs.sc.names_taken) return os_exists;
  name(folder, to,
       from == nullptr ? file_of(f).node : fs.names[folder].at(from));
  return 0;
}

os_error rename_at(os_stream& f, const os_folder& d, const char* from,
                   const char* to, bool replace) {
  if (fails("rename_at")) return disk_error;
  int folder = folder_of(d);
  if (replace && (fs.sc.rename_refused || fs.sc.append_only) &&
      to == fs.target && folder == file_folder)
    return refused_code;
  if (!replace && (fs.names[folder].count(to) != 0 || fs.sc.names_taken))
    return os_exists;
  int node = fs.names[folder].at(from);
  fs.names[folder].erase(from);
  fs.names[folder][to] = node;
  fs.nodes[static_cast<size_t>(node)].temporary = false;
  // Windows closes a file to replace with it; POSIX keeps it open.
  if (replace && (fs.sc.can & os_can_delete_on_close) != 0) {
    file_of(f).open = false;
    fs.nodes[static_cast<size_t>(node)].lock = 0;
    f.handle = -1;
  }
  return 0;
}

os_error unlink_at(const os_folder& d, const char* n) {
  if (fails("unlink_at")) return disk_error;
  if (fs.sc.append_only && folder_of(d) == file_folder) return denied_code;
  return fs.names[folder_of(d)].erase(n) == 1 ? 0 : gone_code;
}

os_error list_at(const os_folder& d, os_each_name each, void* context) {
  if (fails("list_at")) return disk_error;
  std::vector<std::string> listed;
  for (const auto& e : fs.names[folder_of(d)]) listed.push_back(e.first);
  for (const std::string& n : listed) each(n.c_str(), context);
  return 0;
}

os_error fake_status(os_stream& f, os_file_info& info) {
  if (fails("status")) return disk_error;
  memset(&info, 0, sizeof info);
  info.kind = os_regular;
  info.size = node_of(f).data.size();
  info.links = static_cast<uint32_t>(links_of(file_of(f).node));
  return 0;
}

os_error fake_lock(os_stream& f, bool, bool) {
  if (fails("lock")) return disk_error;
  if (!fs.sc.locks) return os_unsupported;
  int me = static_cast<int>(f.handle);
  inode& node = node_of(f);
  if (node.lock != 0 && node.lock != me) return os_busy;
  node.lock = me;
  return 0;
}

os_error take_identity(os_stream& old, const os_file_info&, os_stream& fresh) {
  if (fails("take_identity")) return disk_error;
  if (!fs.sc.keeps_identity) return denied_code;
  node_of(fresh).mode = node_of(old).mode;
  return 0;
}

os_error read_at(os_stream& f, uint64_t at, char* buf, size_t size,
                 size_t& got) {
  got = 0;
  // From the failing call on, a file that has shrunk.
  if (fails("read_at") || (fs.read_nothing && fs.failed)) {
    return fs.read_nothing ? 0 : disk_error;
  }
  const std::string& data = node_of(f).data;
  if (at < data.size()) got = data.copy(buf, size, at);
  return 0;
}

// Writes n bytes at p into f at byte at.
// Checks that the file itself (the first made, where it exists), changed
// through f, changes only while it is locked against other saves and
// loads and the ends of the program wait.
void check_in_place(const os_stream& f) {
  if (!fs.sc.exists || file_of(f).node != 0 || fs.sc.device) return;
  EXPECT_TRUE(os_ends_held()) << "the file changed while a signal may end it";
  if (fs.sc.locks) {
    EXPECT_NE(fs.nodes[0].lock, 0) << "the file changed while not locked";
  }
}

void put(os_stream& f, uint64_t at, const char* p, size_t n) {
  check_in_place(f);
  std::string& data = node_of(f).data;
  if (data.size() < at + n) data.resize(at + n, '\0');
  data.replace(at, n, p, n);
}

os_error write_at(os_stream& f, uint64_t at, const char* p, size_t n) {
  if (fails("write_at")) return disk_error;
  put(f, at, p, n);
  return 0;
}

os_error fake_write(os_stream& f, const char* p, size_t n) {
  if (fails("write")) return disk_error;
  if (f.handle < first_stream) {  // standard output: it appends to the file
    fs.nodes[0].data.append(p, n);
    return 0;
  }
  put(f, file_of(f).pos, p, n);
  file_of(f).pos += n;
  return 0;
}

os_error fake_seek(os_stream& f, uint64_t at) {
  if (fails("seek")) return disk_error;
  file_of(f).pos = at;
  return 0;
}

os_error fake_cut(os_stream& f) {
  if (fails("cut")) return disk_error;
  check_in_place(f);
  node_of(f).data.resize(file_of(f).pos);
  return 0;
}

os_error fake_sync(os_stream& f) {
  if (fails("sync")) return disk_error;
  node_of(f).synced = node_of(f).data;
  return 0;
}

os_error sync_folder(const os_folder& d) {
  if (fails("sync_folder")) return disk_error;
  fs.durable[folder_of(d)] = fs.names[folder_of(d)];
  return 0;
}

os_error fake_close(os_stream& f) {
  bool failing = fails("close");
  fake_stream& file = file_of(f);
  inode& node = node_of(f);
  file.open = false;
  if (node.lock == static_cast<int>(f.handle)) node.lock = 0;
  f.handle = -1;
  if (node.temporary) {
    for (auto& folder : fs.names)
      for (auto e = folder.begin(); e != folder.end();)
        e = e->second == file.node ? folder.erase(e) : std::next(e);
  }
  return failing ? disk_error : 0;
}

const os_file_calls fake_calls = {
    0,           look,         open_device,
    open_folder, close_folder, backup_folder_path,
    open_file,   open_at,      link_at,
    rename_at,   unlink_at,    list_at,
    fake_status, fake_lock,    take_identity,
    read_at,     write_at,     fake_write,
    fake_seek,   fake_cut,     fake_sync,
    sync_folder, fake_close,
};

// ---- The saves ----

const std::string old_text = "old records, three of them\nsecond\nthird\n";
const std::string short_text = "new\n";
const std::string long_text = std::string(200, 'n') + "\n";

// Sets the file system up for sc, with the file's old contents.
// The start of the names of the new files of a save of target.
std::string stem_of(const std::string& target) {
  char stem[os_path_max];
  temp_stem(stem, sizeof stem, (folder_paths[file_folder] + target).c_str());
  return stem;
}

void set_up(const scene& sc, os_file_calls& calls) {
  fs = file_system();
  fs.sc = sc;
  fs.target = sc.long_name ? std::string(251, 'x') + ".txt" : "cards.txt";
  fs.stem = stem_of(fs.target);
  calls = fake_calls;
  calls.can = sc.can;
  if (!sc.exists) return;
  int node = new_node(sc.device || sc.empty ? "" : old_text);
  fs.nodes[static_cast<size_t>(node)].device = sc.device;
  name(file_folder, fs.target, node);
  if (sc.links > 1) name(file_folder, "other-name.txt", node);
  if (!sc.long_name) {
    // What a killed save left beside the file, and the new file of a save
    // of it that runs meanwhile, which keeps it locked.
    name(file_folder, fs.stem + "Killed", new_node("left"));
    int live = new_node("live");
    fs.nodes[static_cast<size_t>(live)].lock = -1;
    name(file_folder, fs.stem + "Living", live);
  }
  for (int f = 0; f < 2; f++) fs.durable[f] = fs.names[f];
}

struct result {
  os_error err;
  save_outcome outcome;
};

// Saves text to the file over the file system as set up.
result run_save(const std::string& text) {
  static save s;
  os_stream out;
  result r;
  r.err = save_begin(s, (folder_paths[file_folder] + fs.target).c_str(), out);
  r.outcome = s.outcome;
  if (r.err != 0) return r;
  os_error written = os_files().write(out, text.data(), text.size());
  r.err = save_end(s, out, written);
  r.outcome = s.outcome;
  return r;
}

// The contents under name in folder, or "(none)".
std::string contents(const std::map<std::string, int>& names,
                     const std::vector<std::string>& data,
                     const std::string& n) {
  auto at = names.find(n);
  return at == names.end() ? "(none)" : data[static_cast<size_t>(at->second)];
}

std::vector<std::string> current_data() {
  std::vector<std::string> data;
  for (const inode& n : fs.nodes) data.push_back(n.data);
  return data;
}

std::vector<std::string> synced_data() {
  std::vector<std::string> data;
  for (const inode& n : fs.nodes) data.push_back(n.synced);
  return data;
}

// Whether name is one of those set_up makes.
bool there_before(const std::string& name) {
  return name == fs.target || name == "other-name.txt" ||
         name == fs.stem + "Killed" || name == fs.stem + "Living";
}

// The names the save left besides those that were there.
std::vector<std::string> left_names() {
  std::vector<std::string> left;
  for (int f = 0; f < 2; f++)
    for (const auto& e : fs.names[f])
      if (!there_before(e.first)) left.push_back(folder_paths[f] + e.first);
  return left;
}

// The file at path ("dir/NAME" or "state/NAME"), or -1.
int node_at(const std::string& path) {
  for (int f = 0; f < 2; f++) {
    std::string folder = folder_paths[f];
    if (path.compare(0, folder.size(), folder) != 0) continue;
    auto at = fs.names[f].find(path.substr(folder.size()));
    if (at != fs.names[f].end()) return at->second;
  }
  return -1;
}

// The calls the save made, in order.
std::string calls_made() {
  std::string all;
  for (const std::string& call : fs.log) all += (all.empty() ? "" : " ") + call;
  return all;
}

// Checks what a failed or successful save left, as it ended.
void check_end(const result& r, const std::string& text,
               const std::string& what) {
  SCOPED_TRACE(what + "; calls: " + calls_made());
  ASSERT_LE(fs.calls, 100000) << "the save never ends";
  std::string now =
      fs.sc.device ? fs.nodes[0].data
                   : contents(fs.names[file_folder], current_data(), fs.target);
  std::string old = !fs.sc.exists || fs.sc.device ? "(none)"
                    : fs.sc.empty                 ? ""
                                                  : old_text;
  if (r.err == 0 && fs.sc.standard) {
    EXPECT_EQ(now, old + text) << "appended through standard output";
  } else if (r.err == 0) {
    EXPECT_EQ(now, text) << "a save that succeeded";
    if (!fs.sc.device) {
      EXPECT_EQ(
          fs.nodes[static_cast<size_t>(fs.names[file_folder].at(fs.target))]
              .mode,
          0644u)
          << "the file lost its permissions";
    }
    EXPECT_FALSE(fs.failed && fs.sc.device) << "a failed write to a device";
    if (!fs.sc.device) {
      EXPECT_EQ(contents(fs.names[file_folder], synced_data(), fs.target), text)
          << "succeeded, but not synced";
    }
  } else if (r.outcome.damaged) {
    // An empty file that a failed write left empty is no other, but the
    // save cannot tell how much a failed write wrote.
    if (!old.empty()) {
      EXPECT_NE(now, old) << "reported damaged, but as it was";
    }
    std::string backup = r.outcome.backup_path;
    int f = backup.compare(0, 6, "state/") == 0 ? 1 : 0;
    EXPECT_EQ(contents(fs.names[f], current_data(),
                       backup.substr(strlen(folder_paths[f]))),
              old)
        << "the backup the report names";
  } else if (!r.outcome.lost && !fs.sc.device) {
    EXPECT_EQ(now, old) << "a save that failed";
  }
  if (fs.sc.links > 1) {
    EXPECT_EQ(fs.names[file_folder].at("other-name.txt"),
              fs.names[file_folder].at(fs.target))
        << "the file kept its other name";
  }
  // Nothing left but what the report names.
  std::vector<std::string> reported;
  for (int i = 0; i < r.outcome.left_count; i++)
    reported.push_back(r.outcome.left_path[i]);
  if (r.err != 0 && r.outcome.damaged)
    reported.push_back(r.outcome.backup_path);
  std::vector<std::string> left = left_names();
  for (const std::string& n : left) {
    // A second name of a file reported is no other file.
    bool named = false;
    for (const std::string& p : reported)
      named |= p == n || node_at(p) == node_at(n);
    EXPECT_TRUE(named) << n << " is left unreported";
  }
  for (const std::string& n : reported)
    EXPECT_NE(std::find(left.begin(), left.end(), n), left.end())
        << n << " is reported, but not there";
  if (fs.sc.exists && !fs.sc.long_name) {
    EXPECT_EQ(fs.names[file_folder].count(fs.stem + "Living"), 1u)
        << "the new file of a save that runs meanwhile is gone";
    // A save that names a new file beside it sweeps, where locks tell.
    if (fs.sc.can == os_can_link && fs.sc.locks && !fs.sc.write_only &&
        !fs.failed && !fs.sc.append_only && !fs.sc.device && !fs.sc.standard) {
      EXPECT_EQ(fs.names[file_folder].count(fs.stem + "Killed"), 0u)
          << "what a killed save left stays";
    }
  }
  for (size_t i = 0; i < fs.files.size(); i++)
    EXPECT_FALSE(fs.files[i].open) << "a stream left open";
  EXPECT_EQ(fs.open_folders, 0) << "a folder left open";
}

// Checks what a power cut at each moment of the save may leave: the file
// holds its old or its new contents, or a backup holds the old ones.
void check_cuts(const std::string& text, const std::string& what) {
  std::string old = !fs.sc.exists ? "(none)" : fs.sc.empty ? "" : old_text;
  for (size_t k = 0; k < fs.cuts.size(); k++) {
    const disk& cut = fs.cuts[k];
    size_t nodes = cut.data.size();
    for (int f = 0; f < 2 && cut.signal_acts; f++) {
      for (const auto& e : cut.after_signal[f]) {
        bool own = there_before(e.first) ||
                   e.first.find("kartoteka-backup") != std::string::npos;
        EXPECT_TRUE(own) << what << ": an end signal before call " << k + 1
                         << " (" << fs.log[k] << ") leaves " << e.first;
      }
    }
    for (int synced_names = 0; synced_names < 2; synced_names++) {
      for (unsigned mix = 0; mix < 1u << nodes; mix++) {
        std::vector<std::string> data;
        for (size_t i = 0; i < nodes; i++)
          data.push_back((mix >> i & 1) != 0 ? cut.data[i] : cut.synced[i]);
        const auto* names = synced_names ? cut.synced_names : cut.names;
        std::string there = contents(names[file_folder], data, fs.target);
        if (there == old || there == text) continue;
        bool backed_up = false;
        for (int f = 0; f < 2; f++)
          for (const auto& e : names[f])
            backed_up |=
                e.first.find("kartoteka-backup") != std::string::npos &&
                data[static_cast<size_t>(e.second)] == old;
        EXPECT_TRUE(backed_up)
            << what << ": a power cut before call " << k + 1 << " ("
            << fs.log[k] << "), names "
            << (synced_names ? "as synced" : "as they are") << ", data mix "
            << mix << ", leaves the file as \"" << there << "\" and no backup";
        if (!backed_up) return;
      }
    }
  }
}

// The scenes a save meets: every way a save reaches its file.
std::vector<std::pair<std::string, scene>> scenes() {
  std::vector<std::pair<std::string, scene>> all;
  scene s;
  s.exists = false;
  all.push_back({"a new file", s});
  all.push_back({"a file", scene()});
  s = scene();
  s.links = 2;
  all.push_back({"a file with two names", s});
  s.locks = false;
  all.push_back({"a file with two names, without locks", s});
  s = scene();
  s.no_new_files = true;
  all.push_back({"a file in a folder that takes no new file", s});
  s.no_backup_folder = true;
  s.saves = false;  // no backup could be made, and it is refused
  all.push_back({"the same, and no folder for backups", s});
  s = scene();
  s.keeps_identity = false;
  all.push_back({"a file whose owner cannot be given", s});
  s = scene();
  s.write_only = true;
  s.links = 2;
  all.push_back({"a file that may not be read", s});
  s.no_backup_folder = true;
  all.push_back({"the same, and no folder for backups", s});
  s = scene();
  s.rename_refused = true;
  all.push_back({"a file no rename may replace", s});
  s = scene();
  s.empty = true;
  s.links = 2;
  all.push_back({"an empty file with two names", s});
  s = scene();
  s.device = true;
  all.push_back({"a device", s});
  s = scene();
  s.standard = true;
  all.push_back({"the file standard output writes", s});
  s = scene();
  s.long_name = true;
  all.push_back({"a file with the longest name", s});
  s.links = 2;
  all.push_back({"the same, with two names", s});
  s = scene();
  s.append_only = true;
  all.push_back({"a file in a folder that lets no name go", s});
  s = scene();
  s.names_taken = true;
  s.saves = false;
  all.push_back({"a file in a folder whose every new name is taken", s});
  return all;
}

// The abilities of the systems: Linux, FUSE and the BSDs, Windows.
const unsigned abilities[] = {os_can_unnamed | os_can_link, os_can_link,
                              os_can_delete_on_close};

TEST(SaveProtocol, EveryCallFailingInTurnAndEveryPowerCut) {
  os_file_calls calls;
  for (unsigned can : abilities) {
    for (const auto& named : scenes()) {
      for (const std::string* text : {&short_text, &long_text}) {
        scene sc = named.second;
        sc.can = can;
        std::string what = named.first + ", abilities " + std::to_string(can) +
                           ", " + std::to_string(text->size()) + " bytes";
        set_up(sc, calls);
        const os_file_calls* before = os_set_file_calls(&calls);
        SCOPED_TRACE(what);
        result clean = run_save(*text);
        EXPECT_EQ(clean.err == 0, sc.saves) << what << ": nothing failed";
        check_end(clean, *text, what);
        bool cuts = !sc.write_only && !sc.device && !sc.standard;
        if (cuts) check_cuts(*text, what);
        std::vector<std::string> log = fs.log;
        for (long k = 1; k <= static_cast<long>(log.size()); k++) {
          for (int how = 0; how < 3; how++) {
            bool nothing = how == 2;
            if (nothing && log[static_cast<size_t>(k - 1)] != "read_at")
              continue;
            set_up(sc, calls);
            fs.fail_at = k;
            fs.fail_on = how == 1;
            fs.read_nothing = nothing;
            SCOPED_TRACE("call " + std::to_string(k) + " failing, how " +
                         std::to_string(how));
            result r = run_save(*text);
            const char* const hows[] = {" failing", " and all after it failing",
                                        " reading nothing"};
            std::string run = what + ", call " + std::to_string(k) + hows[how];
            check_end(r, *text, run);
            if (cuts) check_cuts(*text, run);
          }
        }
        os_set_file_calls(before);
      }
    }
  }
}

}  // namespace
