#include "nmx-view/NmxView.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "os/OsNumber.h"
#include "serve/ServeOptions.h"
#include "serve/ServeToken.h"
#include "serve/ViewServe.h"
#include "viewclient/ViewCommands.h"

namespace {

const char kUsage[] =
    "usage: nmx-view [--host H] [--port P] [--timeout SECONDS] [--json] COMMAND ...\n"
    "  status                         state, file mode, sizes, counts, names, filters\n"
    "  start [SETTINGS_FILE]          start capturing (after loading a settings document\n"
    "                                 that lies on the logger's machine)\n"
    "  stop                           stop capturing\n"
    "  set ring|single                capture into a ring of files or one file\n"
    "  set filesize|buffersize BYTES  sizes (suffix K, M or G allowed)\n"
    "  set savename NAME              name of the capture file (\"\" for none)\n"
    "  set autosave on|off\n"
    "  save NAME                      copy the stopped capture into the boot folder\n"
    "  filter [show]                  the filter switches, tables and flags\n"
    "  filter enable|disable [filter|include|exclude]\n"
    "  filter include|exclude [ADDR...]\n"
    "                                 replace a table; ADDR is any, NETID, :PORT or\n"
    "                                 NETID:PORT (NETID like 5.1.204.160.1.1)\n"
    "  filter flags none|krp|error|krp,error\n"
    "  follow [--notify [--cycle MS] | --poll [--cycle MS]] [--packet BYTES]\n"
    "         [--count N] [--duration SECONDS] [--write FILE]\n"
    "         [--trigger WHAT [--after N | --after-time MS]]\n"
    "                                 frames captured from now on, decoded, or stored\n"
    "                                 into a local capture file; ends on Ctrl-C; a\n"
    "                                 trigger stops the logger's capture N frames (or MS\n"
    "                                 milliseconds) after the first frame that matches\n"
    "                                 WHAT: error, slow:MS, unanswered:MS, address:NETID,\n"
    "                                 port:N, command:NAME, group:G, joined by commas\n"
    "  get NAME [-o LOCAL]            copy a file of the boot folder (LOCAL - for the\n"
    "                                 output; default: its own name here)\n"
    "  serve [--listen ADDR:PORT] [--token TOKEN | --token-file FILE] [--metrics]\n"
    "                                 a page for the browser at ADDR:PORT (default\n"
    "                                 127.0.0.1:8080): status, start and stop, live\n"
    "                                 frames, response times, a trigger, downloads,\n"
    "                                 /metrics (--metrics: follow the capture all the\n"
    "                                 time, so that they count every frame); any\n"
    "                                 address but loopback needs the token (else\n"
    "                                 $NMX_VIEW_TOKEN; made up and printed when none\n"
    "                                 is given)\n"
    "Exit status: 0 done, 1 refused or failed, 2 wrong command line, 3 no connection.\n";

// A logger that accepts the connection but does not answer the first request within this
// time serves another viewer: the connection waits in its listen backlog.
constexpr DWORD kBusyAfterMs = 3000;

// The options that go before the command.
bool IsGlobalOption(const std::string& arg) {
  const std::string name = arg.substr(0, arg.find('='));
  return name == "--host" || name == "--port" || name == "--timeout" || name == "--json";
}

// "CMD: --json goes before the command" when args hold a global option, else "".
std::string MisplacedGlobalOption(const std::string& cmd, const std::vector<std::string>& args) {
  for (const std::string& a : args)
    if (IsGlobalOption(a))
      return cmd + ": " + a.substr(0, a.find('=')) + " goes before the command (nmx-view " +
             a.substr(0, a.find('=')) + (a == "--json" ? "" : " VALUE") + " " + cmd + " ...)";
  return {};
}

int Usage(std::ostream& err, const std::string& why) {
  if (!why.empty()) err << "nmx-view: " << why << "\n";
  err << kUsage;
  return kViewExitUsage;
}

bool ParseSeconds(const std::string& text, DWORD* ms) {
  char* end = nullptr;
  errno = 0;
  const double s = strtod(text.c_str(), &end);
  if (text.empty() || errno || *end || !(s >= 0) || s > 2000000) return false;
  // Rounded up: a time above 0 must not become 0, which means "no limit".
  *ms = static_cast<DWORD>(std::ceil(s * 1000));
  return true;
}

// "--name value" or "--name=value" at args[i]; *value receives the value.
bool TakeValue(const std::vector<std::string>& args, size_t& i, std::string* name,
               std::string* value) {
  *name = args[i];
  const size_t eq = name->find('=');
  if (name->rfind("--", 0) == 0 && eq != std::string::npos) {
    *value = name->substr(eq + 1);
    name->resize(eq);
    return true;
  }
  if (i + 1 >= args.size()) return false;
  *value = args[++i];
  return true;
}

int RunFollow(const ViewOptions& opt, const std::vector<std::string>& args, std::ostream& out,
              std::ostream& err) {
  FollowOptions f;
  bool modeGiven = false;
  std::vector<std::string> afterGiven;
  if (const std::string why = MisplacedGlobalOption("follow", args); !why.empty())
    return Usage(err, why);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--notify" || a == "--poll") {
      if (modeGiven && f.bNotify != (a == "--notify"))
        return Usage(err, "follow takes --notify or --poll, not both");
      modeGiven = true;
      f.bNotify = a == "--notify";
      continue;
    }
    std::string name, value;
    if (a.rfind("--", 0) != 0) return Usage(err, "follow: unexpected '" + a + "'");
    if (!TakeValue(args, i, &name, &value)) return Usage(err, "follow: " + name + " needs a value");
    uint64_t v = 0;
    if (name == "--cycle") {
      if (!OsParseUnsigned(value, 429496, &v)) return Usage(err, "--cycle needs milliseconds");
      f.nCycleMs = static_cast<DWORD>(v);
    } else if (name == "--packet") {
      if (!OsParseUnsigned(value, 0xFFFFFFFF, &v)) return Usage(err, "--packet needs a byte count");
      f.cbPacket = static_cast<DWORD>(v);
    } else if (name == "--count") {
      if (!OsParseUnsigned(value, UINT64_MAX, &v)) return Usage(err, "--count needs a frame count");
      f.nCount = v;
    } else if (name == "--duration") {
      if (!ParseSeconds(value, &f.nDurationMs)) return Usage(err, "--duration needs seconds");
    } else if (name == "--trigger") {
      TriggerSpec spec;
      std::string why;
      if (!ParseTriggerSpec(value, &spec, &why)) return Usage(err, "--trigger: " + why);
      f.trigger = value;
    } else if (name == "--after") {
      if (!OsParseUnsigned(value, UINT64_MAX, &v)) return Usage(err, "--after needs a frame count");
      f.triggerStop.nFrames = v;
      afterGiven.push_back(name);
    } else if (name == "--after-time") {
      if (!OsParseUnsigned(value, 86400000, &v))
        return Usage(err, "--after-time needs milliseconds");
      f.triggerStop.nMs = static_cast<DWORD>(v);
      f.triggerStop.bByTime = true;
      afterGiven.push_back(name);
    } else if (name == "--write") {
      if (value.empty()) return Usage(err, "--write needs a file");
      // A capture gets its header last, so it cannot go into a pipe.
      if (value == "-") return Usage(err, "--write needs a file, not standard output");
      f.writeFile = value;
    } else {
      return Usage(err, "follow: unknown option " + name);
    }
  }
  if (afterGiven.size() > 1) return Usage(err, "follow takes --after or --after-time, not both");
  if (!afterGiven.empty() && f.trigger.empty())
    return Usage(err, afterGiven[0] + " needs --trigger");
  CViewSession s(opt, "follow", out, err);
  s.Client().SetBusyTimeout(kBusyAfterMs);
  if (!s.Connect()) return kViewExitConnection;
  return ViewFollow(s, f);
}

int RunServe(const ViewOptions& opt, const std::vector<std::string>& args, std::ostream& out,
             std::ostream& err) {
  ServeOptions serve;
  std::string tokenFrom;  // the option that gave the token
  if (const std::string why = MisplacedGlobalOption("serve", args); !why.empty())
    return Usage(err, why);
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name, value;
    if (args[i] == "--metrics") {
      serve.bMetrics = true;
      continue;
    }
    if (args[i].rfind("--", 0) != 0) return Usage(err, "serve: unexpected '" + args[i] + "'");
    if (!TakeValue(args, i, &name, &value)) return Usage(err, "serve: " + name + " needs a value");
    if (name == "--listen") {
      if (!ParseListenAddress(value, &serve.host, &serve.port))
        return Usage(err, "--listen needs ADDR:PORT (like 127.0.0.1:8080 or [::1]:8080)");
    } else if (name == "--token" || name == "--token-file") {
      if (!tokenFrom.empty() && tokenFrom != name)
        return Usage(err, "serve takes --token or --token-file, not both");
      tokenFrom = name;
      std::string token = value, why;
      if (name == "--token-file" && !ReadServeTokenFile(value, &token, &why))
        return Usage(err, "--token-file " + value + ": " + why);
      if (!IsServeToken(token))
        return Usage(err, name + " takes a token of letters, digits and - _ . ~ only");
      serve.token = token;
    } else {
      return Usage(err, "serve: unknown option " + name);
    }
  }
  const char* fromEnvironment = getenv(kServeTokenVariable);
  if (tokenFrom.empty() && fromEnvironment && *fromEnvironment) {
    if (!IsServeToken(fromEnvironment))
      return Usage(err, std::string(kServeTokenVariable) +
                            " takes a token of letters, digits and - _ . ~ only");
    serve.token = fromEnvironment;
  }
#ifdef VX_HAVE_HTTPLIB
  return ViewServe(opt, serve, out, err);
#else
  (void)opt;
  (void)out;
  err << "nmx-view: serve: this nmx-view was built without cpp-httplib (libcpp-httplib-dev)\n";
  return kViewExitFailed;
#endif
}

}  // namespace

int RunNmxView(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  const std::vector<std::string> all(argv + (argc > 0 ? 1 : 0), argv + argc);
  ViewOptions opt;
  size_t i = 0;
  for (; i < all.size() && all[i].rfind("--", 0) == 0; ++i) {
    if (all[i] == "--help") {
      out << kUsage;
      return kViewExitOk;
    }
    if (all[i] == "--json") {
      opt.bJson = true;
      continue;
    }
    std::string name, value;
    if (!TakeValue(all, i, &name, &value)) return Usage(err, name + " needs a value");
    uint64_t v = 0;
    if (name == "--host") {
      if (value.empty()) return Usage(err, "--host needs a host");
      opt.host = value;
    } else if (name == "--port") {
      if (!OsParseUnsigned(value, 0xFFFF, &v) || v == 0)
        return Usage(err, "--port needs a port number (1 to 65535)");
      opt.port = static_cast<WORD>(v);
    } else if (name == "--timeout") {
      if (!ParseSeconds(value, &opt.timeoutMs) || opt.timeoutMs == 0)
        return Usage(err, "--timeout needs seconds");
    } else {
      return Usage(err, "unknown option " + name);
    }
  }
  if (i >= all.size()) return Usage(err, "");
  const std::string cmd = all[i];
  const std::vector<std::string> args(all.begin() + static_cast<std::ptrdiff_t>(i) + 1, all.end());
  if (cmd == "help" || cmd == "-h") {
    out << kUsage;
    return kViewExitOk;
  }
  if (cmd == "follow") return RunFollow(opt, args, out, err);
  if (cmd == "serve") return RunServe(opt, args, out, err);

  // Check the command line before connecting.
  std::string local;
  if ((cmd == "status" || cmd == "stop" || cmd == "filter") && !args.empty()) {
    if (const std::string why = MisplacedGlobalOption(cmd, args); !why.empty())
      return Usage(err, why);
  }
  if (cmd == "status" || cmd == "stop") {
    if (!args.empty()) return Usage(err, cmd + " takes no arguments");
  } else if (cmd == "start") {
    if (args.size() > 1) return Usage(err, "start takes at most a settings file");
  } else if (cmd == "save") {
    if (args.size() != 1) return Usage(err, "save takes one name");
  } else if (cmd == "get") {
    if (args.empty()) return Usage(err, "get needs a name");
    if (args.size() == 3 && (args[1] == "-o" || args[1] == "--output"))
      local = args[2];
    else if (args.size() != 1)
      return Usage(err, "get takes a name and optionally -o LOCAL");
    if (local.empty()) {
      const size_t slash = args[0].find_last_of("/\\");
      local = slash == std::string::npos ? args[0] : args[0].substr(slash + 1);
      if (local.empty() || local == "." || local == "..")
        return Usage(err, "get: name the local file with -o");
    }
  } else if (cmd != "set" && cmd != "filter") {
    return Usage(err, "unknown command '" + cmd + "'");
  }

  CViewSession s(opt, cmd, out, err);
  s.Client().SetBusyTimeout(kBusyAfterMs);
  if (!s.Connect()) return kViewExitConnection;
  if (cmd == "status") return ViewStatus(s);
  if (cmd == "start") return ViewStart(s, args.empty() ? std::string() : args[0]);
  if (cmd == "stop") return ViewStop(s);
  if (cmd == "save") return ViewSave(s, args[0]);
  if (cmd == "get") return ViewGet(s, args[0], local);
  if (cmd == "set") return ViewSet(s, args);
  return ViewFilter(s, args);
}
