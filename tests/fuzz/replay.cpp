// Runs a fuzz target's LLVMFuzzerTestOneInput over files and folders of
// inputs, without libFuzzer: the ordinary build trees replay the seeds and
// every input that ever failed this way.  A failed property aborts; the last
// name printed is the input that did it.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool read_all(const std::string& path, std::vector<uint8_t>& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f)
    return false;
  out.clear();
  uint8_t chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    out.insert(out.end(), chunk, chunk + got);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

// The files of `path` (itself when it is a file), in name order.
bool list_inputs(const std::string& path, std::vector<std::string>& files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0)
    return false;
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return true;
  }
  DIR* dir = opendir(path.c_str());
  if (!dir)
    return false;
  std::vector<std::string> names;
  // readdir ends the listing and a failure alike with null: errno tells.
  errno = 0;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.')
      names.push_back(path + "/" + e->d_name);
    errno = 0;
  }
  const bool listed = errno == 0;
  closedir(dir);
  if (!listed)
    return false;
  std::sort(names.begin(), names.end());
  files.insert(files.end(), names.begin(), names.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; i++)
    if (!list_inputs(argv[i], files)) {
      std::fprintf(stderr, "%s: cannot read '%s'\n", argv[0], argv[i]);
      return 2;
    }
  if (files.empty()) {
    std::fprintf(stderr, "%s: no inputs\n", argv[0]);
    return 2;
  }
  std::vector<uint8_t> data;
  for (const std::string& f : files) {
    if (!read_all(f, data)) {
      std::fprintf(stderr, "%s: cannot read '%s'\n", argv[0], f.c_str());
      return 2;
    }
    std::printf("%s\n", f.c_str());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  std::printf("%zu inputs replayed\n", files.size());
  return 0;
}
