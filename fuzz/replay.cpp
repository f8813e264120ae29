// Runs a fuzz target, built without the fuzzer, once on each file named on
// the command line and on each file inside each folder named there; with
// --every-prefix first, on every prefix of each (the whole file included),
// as input that stops short anywhere. The ordinary test suite replays the
// seed corpus and every input that once made a target fail this way.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Optional, as for libFuzzer: a target without it has nothing to set up.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
    __attribute__((weak));
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Appends path, or the files in it when it is a folder, to files. Returns
// false when path cannot be read.
static bool collect(const std::string& path, std::vector<std::string>& files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return true;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  std::vector<std::string> found;
  for (dirent* e; (e = readdir(dir)) != nullptr;) {
    if (e->d_name[0] != '.') found.push_back(path + "/" + e->d_name);
  }
  if (closedir(dir) != 0) return false;
  std::sort(found.begin(), found.end());
  files.insert(files.end(), found.begin(), found.end());
  return true;
}

int main(int argc, char** argv) {
  std::vector<std::string> files;
  bool every_prefix = argc > 1 && std::string(argv[1]) == "--every-prefix";
  for (int i = every_prefix ? 2 : 1; i < argc; i++) {
    if (!collect(argv[i], files)) {
      perror(argv[i]);
      return 1;
    }
  }
  if (LLVMFuzzerInitialize != nullptr &&
      LLVMFuzzerInitialize(&argc, &argv) != 0) {
    return 1;
  }
  for (const std::string& name : files) {
    std::ifstream file(name, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)),
                      std::istreambuf_iterator<char>());
    if (!file.eof() && file.fail()) {
      perror(name.c_str());
      return 1;
    }
    printf("%s\n", name.c_str());
    fflush(stdout);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t len = every_prefix ? 0 : bytes.size(); len <= bytes.size();
         len++) {
      LLVMFuzzerTestOneInput(data, len);
    }
  }
  printf("%zu inputs replayed%s\n", files.size(),
         every_prefix ? ", each cut at every byte" : "");
  return files.empty() ? 1 : 0;
}
