// The stand-in router's state: registered ports with their bounded queues, routing of
// written commands, the mirror copy to the logger port, the runtime system's run state and
// the counters. It does no I/O of its own: replies to reads leave through IRouterSink.
//
// Not thread-safe; the router runs it on its one event-loop thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "nmx/NmxTypes.h"
#include "router/PalDrvTypes.h"
#include "router/RouterProtocol.h"

namespace vx::router {

typedef uint32_t ClientId;

// Receives the answers to reads. The records and their data are valid only during the call.
class IRouterSink {
 public:
  // The answer to one read: n >= 1 records, the first answering the read itself, and, for a
  // reader that asked for it, the commands dropped for its port since it registered.
  virtual void ReadReply(ClientId client, const ReadRecord* records, size_t n,
                         std::optional<uint64_t> dropped) = 0;

 protected:
  ~IRouterSink() = default;
};

struct RegisterRequest {
  bool bFixed = false;
  uint16_t port = 0;
  uint16_t queueSize = 0;
  uint32_t attrib = 0;
  bool bUnregister = false;
  std::string name;
};

struct RegisterAnswer {
  uint16_t port = 0;
  uint16_t err = 0;
};

// Registration answers of our own choosing (0 and 1290 are the device's).
constexpr uint16_t REG_ERR_PORT_NOT_FOUND = 7;  // unregister or attach of an unknown port
constexpr uint16_t REG_ERR_INVALID = 8;         // handle already bound, or port 0xFFFF
constexpr uint16_t REG_ERR_PORT_IN_USE = 9;     // fixed port registered by another handle
constexpr uint16_t REG_ERR_NO_FREE_PORT = 10;

// Errors the router puts into its answer to a command it cannot deliver.
constexpr int32_t ROUTE_ERR_NETID_NOT_FOUND = 6;
constexpr int32_t ROUTE_ERR_PORT_NOT_FOUND = 7;

constexpr uint16_t LOGGER_PORT = 2;
constexpr uint16_t FIRST_CHOSEN_PORT = 32768;
constexpr uint16_t DEFAULT_QUEUE_SIZE = 80;
// Queued bytes a port may hold whatever its queue length, so that a reader that stops
// reading cannot make the router grow without bound.
constexpr size_t MAX_QUEUED_BYTES = 64u << 20;

class CRouterCore {
 public:
  // sink and log must outlive the core. log receives the (un)registration lines.
  CRouterCore(const NmxNetId& netId, bool bTimestamps, IRouterSink* sink, FILE* log);

  const NmxNetId& NetId() const { return m_netId; }
  bool SystemRunning() const { return m_bRunning; }

  RegisterAnswer Register(ClientId client, const RegisterRequest& req);
  // Answers with up to batch & READ_BATCH_COUNT records, with the port's dropped total when
  // batch has READ_WANT_DROPPED. Returns false for a protocol violation (a second read while
  // one is pending, a batch of 0).
  bool Read(ClientId client, uint32_t offset, uint32_t cbMax, uint32_t batch);
  // cmd holds cb >= 32 bytes: a header and whatever data the client wrote. Pending reads
  // are answered by DeliverQueued, so that one answer carries every command routed meanwhile.
  void Write(ClientId client, const uint8_t* cmd, uint32_t cb);
  // The router's clock for held reads (READ_HOLD); the server sets it at each round.
  using Clock = std::chrono::steady_clock;
  void SetNow(Clock::time_point now) { m_now = now; }
  // Answers the pending reads of ports that commands were queued for since the last call,
  // and held reads whose commands are due.
  void DeliverQueued();
  // When the next held read falls due, if one waits for its time.
  std::optional<Clock::time_point> NextHoldDeadline() const;
  void ClientGone(ClientId client);

  // Toggles the runtime system and tells every port (status 2 or 3).
  void ToggleSystem();
  // Starts the removal: every port's pending or next read gets status 5.
  void BeginRemoval();
  bool RemovalComplete() const;

  void PrintStats(FILE* out) const;

  struct Totals {
    uint64_t routed = 0;
    uint64_t mirrored = 0;
    uint64_t dropped = 0;
  };
  const Totals& GetTotals() const { return m_totals; }

 private:
  struct Item {
    uint32_t status;  // 0 for a command, else the status count to deliver
    std::vector<uint8_t> bytes;
  };
  struct Port {
    uint16_t number = 0;
    std::string name;
    uint16_t queueSize = DEFAULT_QUEUE_SIZE;
    ClientId owner = 0;
    std::vector<ClientId> attached;
    std::vector<ClientId> readers;  // clients with a pending read
    std::deque<Item> queue;
    size_t nCommands = 0;
    size_t cbQueued = 0;
    uint64_t dropped = 0;  // since this registration; the readers that ask are told
    bool bToldRemoved = false;
    bool bQueuedSinceDelivery = false;
    Clock::time_point oldestQueuedAt{};  // when the queue last went from empty to not
  };
  struct Client {
    bool bBound = false;
    uint16_t port = 0;
    bool bReadPending = false;
    uint32_t cbReadMax = 0;
    uint32_t nBatch = 1;
    bool bWantsDropped = false;  // its reads asked for the dropped total
    bool bHold = false;          // its pending read may be held (READ_HOLD)
  };
  struct PortStats {
    std::string name;
    uint64_t delivered = 0;
    uint64_t dropped = 0;
  };

  bool IsLocal(const NmxNetId& id) const;
  void Route(const uint8_t* cmd, uint32_t cb, bool bAnswerable);
  void Answer(const uint8_t* cmd, int32_t err);
  // False when the command did not fit the port's queue and was dropped.
  bool Enqueue(Port& port, std::vector<uint8_t>&& bytes);
  void EnqueueStatus(Port& port, uint32_t status);
  void Deliver(Port& port);
  // Whether a held read of port is to be answered now.
  bool HoldIsOver(const Port& port) const;
  static bool MayHold(const Port& port) { return port.number == LOGGER_PORT; }
  void Unregister(Port& port);
  // port is the one the client reads, null when it holds none.
  void ReplyStatus(ClientId client, uint32_t status, const Port* port);
  std::optional<uint64_t> DroppedFor(const Client& c, const Port* port) const;
  static uint64_t FileTimeNow();

  NmxNetId m_netId;
  bool m_bTimestamps;
  IRouterSink* m_pSink;
  FILE* m_pLog;
  bool m_bRunning = true;
  bool m_bRemoving = false;
  Clock::time_point m_now{};
  uint16_t m_nextChosen = FIRST_CHOSEN_PORT;
  std::map<uint16_t, Port> m_ports;
  std::unordered_map<ClientId, Client> m_clients;
  std::map<uint16_t, PortStats> m_stats;
  Totals m_totals;
  std::vector<Item> m_batch;          // reused by Deliver
  std::vector<ReadRecord> m_records;  // reused by Deliver
};

}  // namespace vx::router
