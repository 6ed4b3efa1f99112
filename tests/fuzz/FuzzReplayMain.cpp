// The main of a fuzz target built without libFuzzer: runs every input it is given through
// LLVMFuzzerTestOneInput once, so a normal build replays the corpora (and, under the
// sanitizers, checks them) without clang.
//
//   fuzz_TARGET PATH...     each PATH a file, or a folder whose files run in name order
//
// A crash ends the process as it would under libFuzzer. Besides, an input after which the
// process holds more threads or open descriptors than before it fails the replay: a target
// must leave nothing behind between runs. Under AddressSanitizer an allocation of more than
// 1 GiB is an error, as libFuzzer's memory limit makes it while fuzzing: no input may make
// the code allocate by a length it did not check.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

extern "C" const char* __asan_default_options() {
  return "max_allocation_size_mb=1024";
}

namespace {

// Entries of a /proc folder, -1 where there is none.
int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (!d) return -1;
  int n = 0;
  while (const dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

struct Resources {
  int threads;
  int fds;
};

Resources Now() {
  return Resources{CountEntries("/proc/self/task"), CountEntries("/proc/self/fd")};
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void AddInputs(const std::string& path, std::vector<std::string>* inputs) {
  if (!IsFolder(path)) {
    inputs->push_back(path);
    return;
  }
  std::vector<std::string> files;
  if (DIR* d = opendir(path.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string file = path + "/" + e->d_name;
      if (e->d_name[0] != '.' && !IsFolder(file)) files.push_back(file);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  inputs->insert(inputs->end(), files.begin(), files.end());
}

bool ReadInput(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  bytes->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s FILE|FOLDER...\n", argv[0]);
    return 2;
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) AddInputs(argv[i], &inputs);
  if (inputs.empty()) {
    fprintf(stderr, "%s: no inputs\n", argv[0]);
    return 2;
  }

  // A sanitizer may start a thread of its own with the first thread a program starts; that
  // one is not the targets' doing.
  std::thread([] {}).join();
  const Resources before = Now();
  for (const std::string& input : inputs) {
    std::vector<uint8_t> bytes;
    if (!ReadInput(input, &bytes)) {
      fprintf(stderr, "%s: cannot read %s\n", argv[0], input.c_str());
      return 2;
    }
    fprintf(stderr, "input %s (%zu bytes)\n", input.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    const Resources after = Now();
    if (after.threads > before.threads || after.fds > before.fds) {
      fprintf(stderr, "%s: %s left %d threads and %d descriptors behind (before: %d and %d)\n",
              argv[0], input.c_str(), after.threads, after.fds, before.threads, before.fds);
      return 1;
    }
  }
  fprintf(stderr, "%zu inputs replayed\n", inputs.size());
  return 0;
}
