// Another process of the runtime, as far as the registry file is concerned: rewrites it the
// ways writers do, while a test reads it.
//
//   registry_rewriter FILE FINAL [ROUNDS CONTENT...]
//
// Writes the CONTENT files into FILE ROUNDS times in turn, cycling through three ways of
// writing: in place under the exclusive lock, by renaming a finished copy over FILE, and in
// place without the lock in two halves (so a reader may catch half a file). Then writes
// FINAL under the lock. Exit status 0 when every write succeeded.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool WriteInPlace(const std::string& file, const std::string& text, bool pauseHalfway) {
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  size_t half = pauseHalfway ? text.size() / 2 : text.size();
  bool ok = WriteAll(fd, text.data(), half);
  if (pauseHalfway) usleep(500);
  ok = ok && WriteAll(fd, text.data() + half, text.size() - half);
  return close(fd) == 0 && ok;
}

bool WriteLocked(const std::string& file, const std::string& text) {
  int lock = open((file + ".lock").c_str(), O_RDWR | O_CREAT, 0666);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) return false;
  bool ok = WriteInPlace(file, text, false);
  close(lock);
  return ok;
}

bool WriteRenamed(const std::string& file, const std::string& text) {
  std::string tmp = file + ".new";
  return WriteInPlace(tmp, text, false) && rename(tmp.c_str(), file.c_str()) == 0;
}

bool ReadText(const char* path, std::string& text) {
  std::ifstream f(path, std::ios::binary);
  text.assign(std::istreambuf_iterator<char>(f), {});
  return static_cast<bool>(f) || f.eof();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc == 4) {
    fprintf(stderr, "usage: %s FILE FINAL [ROUNDS CONTENT...]\n", argv[0]);
    return 2;
  }
  const std::string file = argv[1];
  std::string final;
  std::vector<std::string> contents;
  if (!ReadText(argv[2], final)) return 2;
  long rounds = argc > 3 ? strtol(argv[3], nullptr, 10) : 0;
  for (int i = 4; i < argc; ++i) {
    contents.emplace_back();
    if (!ReadText(argv[i], contents.back())) return 2;
  }
  for (long i = 0; i < rounds; ++i) {
    const std::string& text = contents[static_cast<size_t>(i) % contents.size()];
    bool ok = i % 3 == 0   ? WriteLocked(file, text)
              : i % 3 == 1 ? WriteRenamed(file, text)
                           : WriteInPlace(file, text, true);
    if (!ok) return 1;
    usleep(1000);
  }
  return WriteLocked(file, final) ? 0 : 1;
}
