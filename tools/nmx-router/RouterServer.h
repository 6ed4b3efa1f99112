// The stand-in router's socket side: listens on a Unix stream socket, reads the messages of
// every connected handle, hands them to CRouterCore and writes the replies back. One thread
// runs everything in a poll loop; signals reach the loop through a pipe.
//
// A client that breaks the protocol (unknown type, bad length, a second pending read) or
// whose connection fails is dropped; the router goes on.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "RouterCore.h"

namespace vx::router {

class CRouterServer : private IRouterSink {
 public:
  CRouterServer(const NmxNetId& netId, bool bTimestamps);
  ~CRouterServer();
  CRouterServer(const CRouterServer&) = delete;
  CRouterServer& operator=(const CRouterServer&) = delete;

  // Binds the socket at path (removing a stale socket file, never anything else).
  // Returns false and prints why on failure.
  bool Listen(const std::string& path);
  // Runs until SIGTERM or SIGINT and the removal of every port; returns the exit status.
  int Run();

 private:
  struct Client {
    int fd = -1;
    ClientId id = 0;
    std::vector<uint8_t> in;
    size_t inStart = 0;
    size_t inEnd = 0;
    std::vector<uint8_t> out;
    size_t outStart = 0;
    bool bDead = false;
    bool bMore = false;    // messages wait that this round's budget left unparsed
    bool bParsed = false;  // this round's budget is spent
  };

  void ReadReply(ClientId client, const ReadRecord* records, size_t n,
                 std::optional<uint64_t> dropped) override;
  void Accept();
  void ReadFrom(Client& c);
  bool ParseMessages(Client& c);
  bool HandleIoctl(Client& c, const uint8_t* body);
  void Flush(Client& c);
  void Drop(Client& c, const char* why);
  void HandleSignals();
  size_t Pending(const Client& c) const { return c.out.size() - c.outStart; }

  CRouterCore m_core;
  int m_listenFd = -1;
  std::string m_path;
  dev_t m_dev = 0;
  ino_t m_ino = 0;
  ClientId m_nextId = 1;
  std::vector<std::unique_ptr<Client>> m_clients;
  std::unordered_map<ClientId, Client*> m_byId;
  bool m_bRemoving = false;
};

}  // namespace vx::router
