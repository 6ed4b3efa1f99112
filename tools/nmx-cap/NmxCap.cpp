#include "nmx-cap/NmxCap.h"

#include <stdlib.h>

#include <cstring>

#include "frames/KrpDecode.h"
#include "os/OsNumber.h"

namespace {

const char kUsage[] =
    "usage: nmx-cap COMMAND ...\n"
    "  info FILE...              summary of each capture\n"
    "  dump FILE [--from N] [--count N] [--port P] [--cmd ID|NAME] [--errors]\n"
    "       [--unanswered] [--slower-than MS] [--hex] [--json]\n"
    "                            one line (or JSON object) per frame\n"
    "  stats FILE [--timeout MS] [--slowest N] [--json]\n"
    "                            requests per target and command: answers, errors,\n"
    "                            response times\n"
    "  check FILE                check every rule of the format; exit 0 valid, 1 invalid,\n"
    "                            2 unreadable\n"
    "  repair FILE [-o OUT]      rebuild table and header from the whole frames (in place\n"
    "                            keeps the original as FILE~)\n"
    "  export FILE OUT.pcapng    pcapng file with each frame's exact time (- for standard\n"
    "                            output)\n"
    "  merge OUT IN...           frames of several captures in time order into one\n";

// Milliseconds with up to four decimals ("250", "0.5") as 100 ns units, at most a day.
bool ParseMillis(const char* text, LONGLONG* ticks) {
  if (!text) return false;
  const char* dot = strchr(text, '.');
  const std::string whole = dot ? std::string(text, dot) : std::string(text);
  uint64_t ms = 0;
  if (!OsParseUnsigned(whole, 86400000, &ms)) return false;
  LONGLONG t = static_cast<LONGLONG>(ms) * 10000;
  if (dot) {
    const size_t n = strlen(dot + 1);
    if (n == 0 || n > 4) return false;
    LONGLONG scale = 1000;
    for (const char* p = dot + 1; *p; ++p, scale /= 10) {
      if (*p < '0' || *p > '9') return false;
      t += (*p - '0') * scale;
    }
  }
  *ticks = t;
  return true;
}

int Usage(std::ostream& err, const std::string& why) {
  if (!why.empty()) err << "nmx-cap: " << why << "\n";
  err << kUsage;
  return kCapExitTrouble;
}

// Options "--name value" or "--name=value", one after the other; anything else is a plain
// argument (Name() is all of it).
class CArgWalker {
 public:
  explicit CArgWalker(const std::vector<std::string>& args) : m_args(args) {}
  bool Next() {
    if (m_next >= m_args.size()) return false;
    m_name = m_args[m_next++];
    m_value.clear();
    m_bHasValue = false;
    const size_t eq = m_name.find('=');
    if (m_name.rfind("--", 0) == 0 && eq != std::string::npos) {
      m_value = m_name.substr(eq + 1);
      m_name.resize(eq);
      m_bHasValue = true;
    }
    return true;
  }
  const std::string& Name() const { return m_name; }
  bool HasValue() const { return m_bHasValue; }
  // The option's value, given after '=' or as the next argument.
  bool TakeValue(std::string* value) {
    if (!m_bHasValue) {
      if (m_next >= m_args.size()) return false;
      m_value = m_args[m_next++];
      m_bHasValue = true;
    }
    *value = m_value;
    return true;
  }

 private:
  const std::vector<std::string>& m_args;
  size_t m_next = 0;
  std::string m_name;
  std::string m_value;
  bool m_bHasValue = false;
};

// Options of dump; the one plain argument is the file.
int RunDump(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CapDumpOptions opt;
  std::string file;
  CArgWalker a(args);
  while (a.Next()) {
    const std::string& name = a.Name();
    const bool hasValue = a.HasValue();
    std::string value;
    auto takeValue = [&]() { return a.TakeValue(&value); };
    uint64_t v = 0;
    if (name == "--errors" || name == "--unanswered" || name == "--hex" || name == "--json") {
      if (hasValue) return Usage(err, name + " takes no value");
      (name == "--errors"       ? opt.bErrors
       : name == "--unanswered" ? opt.bUnanswered
       : name == "--hex"        ? opt.bHex
                                : opt.bJson) = true;
    } else if (name == "--slower-than") {
      LONGLONG t = 0;
      if (!takeValue() || !ParseMillis(value.c_str(), &t))
        return Usage(err, "--slower-than needs milliseconds (e.g. 5 or 0.25)");
      opt.nSlowerThan = t;
    } else if (name == "--from" || name == "--count") {
      if (!takeValue() || !OsParseUnsigned(value, UINT64_MAX, &v))
        return Usage(err, name + " needs a frame count");
      (name == "--from" ? opt.nFrom : opt.nCount) = v;
    } else if (name == "--port") {
      if (!takeValue() || !OsParseUnsigned(value, 0xFFFF, &v))
        return Usage(err, "--port needs a port number (0 to 65535)");
      opt.nPort = static_cast<int>(v);
    } else if (name == "--cmd") {
      if (!takeValue()) return Usage(err, "--cmd needs a command id or name");
      if (OsParseUnsigned(value, 0xFFFF, &v, OsNumberBase::kDecimalOrHex))
        opt.nCmd = static_cast<int>(v);
      else if (WORD id = KrpCommandIdFromName(value.c_str()))
        opt.nCmd = id;
      else
        return Usage(err, "unknown command '" + value + "'");
    } else if (name.size() > 1 && name[0] == '-') {
      return Usage(err, "unknown option " + name);
    } else if (file.empty()) {
      file = name;
    } else {
      return Usage(err, "dump takes one file");
    }
  }
  if (file.empty()) return Usage(err, "dump needs a file");
  return CapDump(file, opt, out, err);
}

int RunStats(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CapStatsOptions opt;
  std::string file;
  CArgWalker a(args);
  while (a.Next()) {
    const std::string& name = a.Name();
    const bool hasValue = a.HasValue();
    std::string value;
    auto takeValue = [&]() { return a.TakeValue(&value); };
    uint64_t v = 0;
    if (name == "--json") {
      if (hasValue) return Usage(err, "--json takes no value");
      opt.bJson = true;
    } else if (name == "--timeout") {
      if (!takeValue() || !ParseMillis(value.c_str(), &opt.nTimeout) || opt.nTimeout == 0)
        return Usage(err, "--timeout needs milliseconds above 0 (e.g. 100 or 0.5)");
    } else if (name == "--slowest") {
      if (!takeValue() || !OsParseUnsigned(value, 1000, &v))
        return Usage(err, "--slowest needs a count (0 to 1000)");
      opt.nSlowest = static_cast<size_t>(v);
    } else if (name.size() > 1 && name[0] == '-') {
      return Usage(err, "unknown option " + name);
    } else if (file.empty()) {
      file = name;
    } else {
      return Usage(err, "stats takes one file");
    }
  }
  if (file.empty()) return Usage(err, "stats needs a file");
  return CapStats(file, opt, out, err);
}

int RunRepair(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string file, outFile;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" || args[i] == "--output") {
      if (i + 1 >= args.size() || !outFile.empty()) return Usage(err, "-o needs one file");
      outFile = args[++i];
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      return Usage(err, "unknown option " + args[i]);
    } else if (file.empty()) {
      file = args[i];
    } else {
      return Usage(err, "repair takes one file");
    }
  }
  if (file.empty()) return Usage(err, "repair needs a file");
  if (outFile == "-")
    return Usage(err, "repair -o needs a file: a capture cannot be written to standard output");
  return CapRepair(file, outFile, out, err);
}

}  // namespace

int RunNmxCap(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  if (argc < 2) return Usage(err, "");
  const std::string cmd = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    out << kUsage;
    return kCapExitOk;
  }
  if (cmd == "info") {
    if (args.empty()) return Usage(err, "info needs at least one file");
    return CapInfo(args, out, err);
  }
  if (cmd == "dump") return RunDump(args, out, err);
  if (cmd == "stats") return RunStats(args, out, err);
  if (cmd == "check") {
    if (args.size() != 1) return Usage(err, "check takes one file");
    return CapCheck(args[0], out, err);
  }
  if (cmd == "repair") return RunRepair(args, out, err);
  if (cmd == "export") {
    if (args.size() != 2) return Usage(err, "export takes a capture and an output file");
    return CapExport(args[0], args[1], out, err);
  }
  if (cmd == "merge") {
    if (args.size() < 2) return Usage(err, "merge takes an output file and at least one capture");
    if (args[0] == "-")
      return Usage(err,
                   "merge needs an output file: a capture cannot be written to standard output");
    return CapMerge(args[0], std::vector<std::string>(args.begin() + 1, args.end()), out, err);
  }
  return Usage(err, "unknown command '" + cmd + "'");
}
