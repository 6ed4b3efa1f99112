// nmx-cap over an arbitrary file: check, repair into a new file and in place, and the
// readers info, dump (with every decoded field, as JSON with the packet bytes, and selected
// by pairing) and stats.
//
// Besides crashes it holds the tool to what it promises:
// - a repair that succeeds leaves a capture that check finds valid, and repairing into a new
//   file and in place give the same bytes;
// - a file check finds valid is not changed by a repair, and -o copies it byte for byte;
// - an in-place repair keeps the original, byte for byte, as FILE~.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "nmx-cap/NmxCap.h"

namespace {

std::string g_dir;

std::vector<uint8_t> Bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  std::vector<uint8_t> bytes(f ? static_cast<size_t>(f.tellg()) : 0);
  f.seekg(0);
  f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

bool Exists(const std::string& path) {
  return static_cast<bool>(std::ifstream(path));
}

[[noreturn]] void Broken(const char* promise, const std::string& report) {
  fprintf(stderr, "nmx-cap broke its promise: %s\n%s\n", promise, report.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vxfuzz::BaseDir();
  g_dir = vxfuzz::ScratchDir("nmxcap");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> input(data, data + size);
  const std::string file = g_dir + "/in.cap";
  const std::string fixed = g_dir + "/fixed.cap";
  vxfuzz::WriteFile(file, data, size);
  std::ostringstream out, err;

  const int checked = CapCheck(file, out, err);
  const int repaired = CapRepair(file, fixed, out, err);
  if (repaired == kCapExitOk) {
    if (CapCheck(fixed, out, err) != kCapExitOk)
      Broken("a repaired capture is valid", out.str() + err.str());
    if (checked == kCapExitOk && Bytes(fixed) != input)
      Broken("-o copies a valid capture unchanged", out.str() + err.str());
  }

  const int inPlace = CapRepair(file, "", out, err);
  if (inPlace != repaired) Broken("in place and -o agree", out.str() + err.str());
  if (inPlace == kCapExitOk) {
    if (checked == kCapExitOk && (Bytes(file) != input || Exists(file + "~")))
      Broken("a valid capture is left as it is", out.str() + err.str());
    if (checked != kCapExitOk && (Bytes(file + "~") != input || Bytes(file) != Bytes(fixed)))
      Broken("in place keeps the original and writes what -o writes", out.str() + err.str());
  }

  vxfuzz::WriteFile(file, data, size);
  CapInfo({file}, out, err);
  CapDumpOptions options;
  options.bHex = true;
  CapDump(file, options, out, err);
  options.bJson = true;
  CapDump(file, options, out, err);
  options.bErrors = options.bUnanswered = true;
  options.nSlowerThan = 0;
  CapDump(file, options, out, err);
  CapStatsOptions stats;
  CapStats(file, stats, out, err);
  stats.bJson = true;
  stats.nTimeout = 10000;
  CapStats(file, stats, out, err);

  vxfuzz::EmptyFolder(g_dir);
  return 0;
}
