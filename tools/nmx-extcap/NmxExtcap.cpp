#include "nmx-extcap/NmxExtcap.h"

#include <stdlib.h>
#include <strings.h>

#include <cstdint>
#include <string>
#include <vector>

#include "nmx-extcap/ExtcapCapture.h"
#include "nmx-extcap/ExtcapFilter.h"
#include "os/OsNumber.h"
#include "viewclient/ViewOptions.h"

#ifndef VX_EXTCAP_VERSION
#define VX_EXTCAP_VERSION "0"
#endif

namespace {

constexpr char kProgram[] = "nmx-extcap";
constexpr DWORD kMaxCycleMs = 10000;

const char kUsage[] =
    "usage: nmx-extcap --extcap-interfaces\n"
    "       nmx-extcap --extcap-interface nmxlogger --extcap-dlts | --extcap-config\n"
    "       nmx-extcap --extcap-interface nmxlogger --extcap-capture-filter FILTER\n"
    "       nmx-extcap --extcap-interface nmxlogger --capture --fifo PATH [--host H]\n"
    "                  [--port P] [--start true|false] [--cycle MS]\n"
    "                  [--extcap-capture-filter FILTER] [--trigger WHAT [--after N]]\n"
    "Called by Wireshark and tshark (extcap): the frames a VxNmxLogger in listen mode\n"
    "captures, live, as Ethernet frames with their recorded time stamps.\n"
    "  --host H          the logger's machine (default 127.0.0.1)\n"
    "  --port P          its viewer port (default 48914)\n"
    "  --start true|false\n"
    "                    start the capture if it is stopped, and stop it again at the end\n"
    "                    (default true)\n"
    "  --cycle MS        how often the logger pushes new frames (1 to 10000, default 10)\n"
    "  --trigger WHAT    stop the logger's capture N frames (--after, default 0) after\n"
    "                    the first frame that matches WHAT (as for nmx-view follow:\n"
    "                    error, slow:MS, unanswered:MS, address:NETID, port:N,\n"
    "                    command:NAME, group:G, joined by commas)\n"
    "  FILTER            [include] ADDR... | exclude ADDR... | flags none|krp|error|krp,error;\n"
    "                    ADDR is any, NETID, :PORT or NETID:PORT (as for nmx-view filter)\n"
    "Exit status: 0 done, 1 refused or failed, 2 wrong command line, 3 no connection.\n";

struct Args {
  bool bInterfaces = false, bDlts = false, bConfig = false, bCapture = false;
  bool bHelp = false, bVersion = false;
  bool bInterface = false, bFilter = false;
  std::string interface, filter, fifo, host, port, start, cycle, trigger, after;
};

int Usage(std::ostream& err, const std::string& why) {
  err << kProgram << ": " << why << "\n" << kUsage;
  return kViewExitUsage;
}

// Options as Wireshark passes them: "--name value" or "--name=value".
bool ParseArgs(const std::vector<std::string>& all, Args* a, std::string* error) {
  const struct {
    const char* name;
    bool Args::*flag;
  } flags[] = {{"--extcap-interfaces", &Args::bInterfaces},
               {"--extcap-dlts", &Args::bDlts},
               {"--extcap-config", &Args::bConfig},
               {"--capture", &Args::bCapture},
               {"--help", &Args::bHelp},
               {"--version", &Args::bVersion}};
  const struct {
    const char* name;
    std::string Args::*value;
    bool Args::*given;
  } values[] = {{"--extcap-interface", &Args::interface, &Args::bInterface},
                {"--extcap-capture-filter", &Args::filter, &Args::bFilter},
                {"--fifo", &Args::fifo, nullptr},
                {"--host", &Args::host, nullptr},
                {"--port", &Args::port, nullptr},
                {"--start", &Args::start, nullptr},
                {"--cycle", &Args::cycle, nullptr},
                {"--trigger", &Args::trigger, nullptr},
                {"--after", &Args::after, nullptr}};
  for (size_t i = 0; i < all.size(); ++i) {
    std::string name = all[i], value;
    const size_t eq = name.find('=');
    const bool inline_value = name.rfind("--", 0) == 0 && eq != std::string::npos;
    if (inline_value) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    // Wireshark says which version it is; the answers do not depend on it.
    if (name == "--extcap-version") continue;
    bool known = false;
    for (const auto& f : flags) {
      if (name != f.name) continue;
      if (inline_value) {
        *error = name + " takes no value";
        return false;
      }
      a->*f.flag = true;
      known = true;
    }
    for (const auto& v : values) {
      if (name != v.name) continue;
      if (!inline_value) {
        if (i + 1 >= all.size()) {
          *error = name + " needs a value";
          return false;
        }
        value = all[++i];
      }
      a->*v.value = value;
      if (v.given) a->*v.given = true;
      known = true;
    }
    if (!known) {
      *error = "unexpected '" + all[i] + "'";
      return false;
    }
  }
  return true;
}

bool ParseUnsigned(const std::string& text, unsigned long min, unsigned long max,
                   unsigned long* v) {
  uint64_t n = 0;
  if (!OsParseUnsigned(text, max, &n) || n < min) return false;
  *v = n;
  return true;
}

bool ParseBool(const std::string& text, bool* v) {
  for (const char* t : {"true", "1", "yes", "on"})
    if (strcasecmp(text.c_str(), t) == 0) return *v = true;
  for (const char* f : {"false", "0", "no", "off"})
    if (strcasecmp(text.c_str(), f) == 0) return !(*v = false);
  return false;
}

void PrintInterfaces(std::ostream& out) {
  out << "extcap {version=" VX_EXTCAP_VERSION "}\n"
      << "interface {value=" << kExtcapInterface << "}{display=NMX logger (viewer port)}\n";
}

void PrintDlts(std::ostream& out) {
  out << "dlt {number=1}{name=EN10MB}{display=Ethernet}\n";
}

void PrintConfig(std::ostream& out) {
  out << "arg {number=0}{call=--host}{display=Logger host}{type=string}{default=127.0.0.1}"
         "{tooltip=Name or IPv4 address of the machine where VxNmxLogger runs with -l}\n"
      << "arg {number=1}{call=--port}{display=Viewer port}{type=unsigned}{range=1,65535}"
         "{default="
      << kViewDefaultPort
      << "}{tooltip=The logger's viewer port (its -p)}\n"
         "arg {number=2}{call=--start}{display=Start the capture if it is stopped}"
         "{type=boolean}{default=true}"
         "{tooltip=A capture started here is stopped again when this capture ends}\n"
         "arg {number=3}{call=--cycle}{display=Notification cycle (ms)}{type=unsigned}"
         "{range=1,"
      << kMaxCycleMs
      << "}{default=10}{tooltip=How often the logger pushes the frames it captured}\n"
         "arg {number=4}{call=--trigger}{display=Stop the capture at}{type=string}"
         "{tooltip=error, slow:MS, unanswered:MS, address:NETID, port:N, command:NAME or "
         "group:G, joined by commas; empty: no trigger}\n"
         "arg {number=5}{call=--after}{display=Frames after the trigger}{type=unsigned}"
         "{default=0}{tooltip=The logger's capture stops this many frames after the "
         "trigger frame}\n";
}

int RunCapture(const Args& a, std::ostream& out, std::ostream& err) {
  if (a.fifo.empty()) return Usage(err, "--capture needs --fifo PATH");
  ExtcapCaptureOptions opt;
  if (!a.host.empty()) opt.view.host = a.host;
  unsigned long v = 0;
  if (!a.port.empty()) {
    if (!ParseUnsigned(a.port, 1, 65535, &v))
      return Usage(err, "--port needs a port number (1 to 65535)");
    opt.view.port = static_cast<WORD>(v);
  }
  if (!a.start.empty() && !ParseBool(a.start, &opt.bStart))
    return Usage(err, "--start takes true or false");
  if (!a.cycle.empty()) {
    if (!ParseUnsigned(a.cycle, 1, kMaxCycleMs, &v))
      return Usage(err, "--cycle needs milliseconds (1 to 10000)");
    opt.nCycleMs = static_cast<DWORD>(v);
  }
  opt.fifo = a.fifo;
  if (!a.trigger.empty()) {
    TriggerSpec spec;
    std::string why;
    if (!ParseTriggerSpec(a.trigger, &spec, &why)) return Usage(err, "--trigger: " + why);
    opt.trigger = a.trigger;
  }
  if (!a.after.empty()) {
    uint64_t n = 0;
    if (!OsParseUnsigned(a.after, UINT64_MAX, &n)) return Usage(err, "--after needs a frame count");
    opt.triggerStop.nFrames = n;
  }
  CExtcapFilter filter;
  std::string error;
  if (!filter.Parse(a.filter, &error)) {
    err << kProgram << ": " << error << "\n";
    return kViewExitUsage;
  }
  return RunExtcapCapture(opt, filter, out, err);
}

}  // namespace

int RunNmxExtcap(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  const std::vector<std::string> all(argv + (argc > 0 ? 1 : 0), argv + argc);
  Args a;
  std::string error;
  if (!ParseArgs(all, &a, &error)) return Usage(err, error);
  if (a.bHelp) {
    out << kUsage;
    return kViewExitOk;
  }
  if (a.bVersion) {
    out << kProgram << " " VX_EXTCAP_VERSION "\n";
    return kViewExitOk;
  }
  if (a.bInterfaces) {
    PrintInterfaces(out);
    return kViewExitOk;
  }
  if (!a.bInterface) return Usage(err, all.empty() ? "what to do?" : "--extcap-interface missing");
  if (a.interface != kExtcapInterface)
    return Usage(err, "no interface '" + a.interface + "' (there is " + kExtcapInterface + ")");
  if (a.bDlts) {
    PrintDlts(out);
    return kViewExitOk;
  }
  if (a.bConfig) {
    PrintConfig(out);
    return kViewExitOk;
  }
  if (a.bCapture) return RunCapture(a, out, err);
  if (a.bFilter) {
    // Wireshark checks a capture filter as it is typed: silence means valid, anything else
    // is the reason it is not.
    CExtcapFilter filter;
    if (!filter.Parse(a.filter, &error)) out << error << "\n";
    return kViewExitOk;
  }
  return Usage(err, "--extcap-interface " + a.interface +
                        " needs --extcap-dlts, --extcap-config, "
                        "--capture or --extcap-capture-filter");
}
