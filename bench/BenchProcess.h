#pragma once

// Running the programs a benchmark measures: each with its own environment, standard input
// /dev/null and its output in files the benchmark reads while it runs.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vxbench {

// Starts argv[0] with argv, env added to the environment, standard output into out and
// standard error into err (which may name the same file).
inline pid_t Spawn(std::vector<std::string> argv, const std::string& out, const std::string& err,
                   const std::vector<std::string>& env) {
  std::vector<char*> cargs;
  for (auto& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  // What a last run left there must not pass for this one's output.
  unlink(out.c_str());
  unlink(err.c_str());
  pid_t pid = fork();
  if (pid == 0) {
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    int in = open("/dev/null", O_RDONLY);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = err == out ? o : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  return pid;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace vxbench
