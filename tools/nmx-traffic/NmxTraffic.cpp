#include "nmx-traffic/NmxTraffic.h"

#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "nmx-traffic/TrafficClient.h"
#include "nmx-traffic/TrafficServer.h"
#include "os/OsNumber.h"

namespace {

const char* const kUsage =
    "usage: nmx-traffic [options]\n"
    "  --count N           operations to send (default 1000; 0 with --duration: no limit)\n"
    "  --rate N            operations per second, 0 = as fast as possible (default 1000)\n"
    "  --size BYTES        data bytes of reads, writes and samples (default 64)\n"
    "  --mix LIST          of read,write,readwrite,readstate,devinfo,notification\n"
    "                      (default read,write,readwrite)\n"
    "  --target PORT       server port (default 851)\n"
    "  --server-only       only answer requests, until SIGINT/SIGTERM or --duration\n"
    "  --client-only       only send, to a server that runs elsewhere\n"
    "  --errors PERCENT    share of requests the server answers with a failure\n"
    "  --duration SECONDS  stop sending after this time\n"
    "  --window N          requests in flight at most (default 64)\n"
    "  --socket PATH       the router (default $VX_ROUTER_DEVICE, else /dev/vxpaldrv)\n"
    "Prints sent, answered, failed and the elapsed time; exits 0 when every request was\n"
    "answered.\n";

std::atomic<bool> g_stop{false};

// Decimal, after blanks and a '+', which this command line has always taken; a '-' is refused
// wherever it stands.
bool ParseUnsigned(const char* text, uint64_t max, uint64_t& out) {
  std::string_view t(text);
  while (!t.empty() && (t.front() == ' ' || (t.front() >= '\t' && t.front() <= '\r')))
    t.remove_prefix(1);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  return OsParseUnsigned(t, max, &out);
}

}  // namespace

int RunNmxTraffic(int argc, char** argv) {
  TrafficClientOptions copt;
  uint64_t target = 851, errors = 0, v = 0;
  bool serverOnly = false, clientOnly = false;
  double duration = 0;

  enum {
    O_COUNT = 1000,
    O_RATE,
    O_SIZE,
    O_MIX,
    O_TARGET,
    O_SERVER,
    O_CLIENT,
    O_ERRORS,
    O_DURATION,
    O_WINDOW,
    O_SOCKET,
    O_HELP
  };
  static const option opts[] = {{"count", required_argument, nullptr, O_COUNT},
                                {"rate", required_argument, nullptr, O_RATE},
                                {"size", required_argument, nullptr, O_SIZE},
                                {"mix", required_argument, nullptr, O_MIX},
                                {"target", required_argument, nullptr, O_TARGET},
                                {"server-only", no_argument, nullptr, O_SERVER},
                                {"client-only", no_argument, nullptr, O_CLIENT},
                                {"errors", required_argument, nullptr, O_ERRORS},
                                {"duration", required_argument, nullptr, O_DURATION},
                                {"window", required_argument, nullptr, O_WINDOW},
                                {"socket", required_argument, nullptr, O_SOCKET},
                                {"help", no_argument, nullptr, O_HELP},
                                {nullptr, 0, nullptr, 0}};
  int opt;
  bool ok = true;
  while (ok && (opt = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
    switch (opt) {
      case O_COUNT:
        ok = ParseUnsigned(optarg, UINT64_MAX, copt.count);
        break;
      case O_RATE:
        ok = ParseUnsigned(optarg, 100000000, copt.rate);
        break;
      case O_SIZE:
        ok = ParseUnsigned(optarg, 1u << 20, v);
        copt.size = static_cast<uint32_t>(v);
        break;
      case O_MIX:
        ok = ParseTrafficMix(optarg, copt.mix);
        break;
      case O_TARGET:
        ok = ParseUnsigned(optarg, 0xFFFE, target) && target != 0;
        break;
      case O_SERVER:
        serverOnly = true;
        break;
      case O_CLIENT:
        clientOnly = true;
        break;
      case O_ERRORS:
        ok = ParseUnsigned(optarg, 100, errors);
        break;
      case O_DURATION: {
        char* end = nullptr;
        duration = strtod(optarg, &end);
        ok = end != optarg && !*end && duration > 0;
        break;
      }
      case O_WINDOW:
        ok = ParseUnsigned(optarg, 100000, v) && v > 0;
        copt.window = static_cast<unsigned>(v);
        break;
      case O_SOCKET:
        setenv("VX_ROUTER_DEVICE", optarg, 1);
        break;
      case O_HELP:
        std::fputs(kUsage, stdout);
        return 0;
      default:
        ok = false;
    }
    if (!ok && opt >= O_COUNT && opt < O_HELP)
      std::fprintf(stderr, "nmx-traffic: bad value for --%s: %s\n", opts[opt - O_COUNT].name,
                   optarg ? optarg : "");
  }
  if (!ok || optind != argc || (serverOnly && clientOnly) ||
      (copt.count == 0 && duration == 0 && !serverOnly)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  copt.durationSec = duration;
  setvbuf(stdout, nullptr, _IOLBF, 0);

  // Signals are taken by one thread; every other thread is created with them blocked.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::unique_ptr<CTrafficClient> client;
  std::atomic<bool> done{false};
  std::atomic<CTrafficClient*> running{nullptr};
  std::thread sigThread([&] {
    timespec tick{0, 100 * 1000 * 1000};
    while (!done) {
      if (sigtimedwait(&set, nullptr, &tick) > 0) {
        g_stop = true;
        if (CTrafficClient* c = running.load()) c->Stop();
      }
    }
  });
  auto finish = [&](int code) {
    done = true;
    sigThread.join();
    return code;
  };

  std::unique_ptr<CTrafficServer> server;
  if (!clientOnly) {
    server =
        std::make_unique<CTrafficServer>(static_cast<WORD>(target), static_cast<unsigned>(errors));
    if (!server->NmxConnect(NMX_PORT_PREVIOUS, 65536, 1024)) {
      std::fprintf(stderr, "nmx-traffic: cannot register server port %llu (error %u)\n",
                   static_cast<unsigned long long>(target), server->NmxGetLastError());
      return finish(2);
    }
  }

  if (serverOnly) {
    std::printf("server on port %u\n", server->NmxGetPort());
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(duration > 0 ? duration : 1e9));
    while (!g_stop && server->NmxPortConnected() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server->Shutdown();
    std::printf("answered %llu  notifications %llu\n",
                static_cast<unsigned long long>(server->Answered()),
                static_cast<unsigned long long>(server->Notifications()));
    return finish(0);
  }

  client = std::make_unique<CTrafficClient>();
  if (!client->NmxConnect(NMX_PORT_ANY, 65536, 1024)) {
    std::fprintf(stderr, "nmx-traffic: cannot register the client port (error %u)\n",
                 client->NmxGetLastError());
    return finish(2);
  }
  copt.target = NmxAddr(client->NmxGetNetId(), static_cast<NmxPortNo>(target));
  running = client.get();
  if (g_stop) client->Stop();
  const auto start = std::chrono::steady_clock::now();
  const bool allAnswered = client->Run(copt);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  running = nullptr;
  client->NmxDisconnect();
  if (server) server->Shutdown();

  std::printf("sent %llu  answered %llu  failed %llu  notifications %llu  elapsed %.3f s\n",
              static_cast<unsigned long long>(client->Sent()),
              static_cast<unsigned long long>(client->Answered()),
              static_cast<unsigned long long>(client->Failed()),
              static_cast<unsigned long long>(client->NotificationsReceived()), elapsed);
  return finish(allAnswered ? 0 : 1);
}
