// Plain driver for the fuzz targets: replays every file of the given folders (or single files)
// through LLVMFuzzerTestOneInput, so ordinary builds run the seed corpus and the kept crashers.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int RunFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return 0;
}

int main(int argc, char** argv) {
  int failures = 0, runs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) continue;  // a target without a corpus yet replays nothing
    if (S_ISDIR(st.st_mode)) {
      DIR* dir = opendir(argv[i]);
      if (!dir) continue;
      while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        failures += RunFile(std::string(argv[i]) + "/" + e->d_name);
        ++runs;
      }
      closedir(dir);
    } else {
      failures += RunFile(argv[i]);
      ++runs;
    }
  }
  // Empty input is always worth one run.
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(""), 0);
  std::printf("replayed %d inputs\n", runs + 1);
  return failures ? 1 : 0;
}
