// The client side of nmx-traffic: sends KRP requests from a mix to a target port at a given
// rate, keeps a bounded number of them in flight, and counts the answers.
//
// Threads: Run sends on the calling thread; confirmations and notifications arrive on the
// port's receive thread. The counters are safe to read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "nmx-traffic/TrafficPort.h"

enum class TrafficOp { Read, Write, ReadWrite, ReadState, DevInfo, Notification };

// Parses "read,write,..." into ops; false on an unknown or empty name.
bool ParseTrafficMix(const std::string& text, std::vector<TrafficOp>& ops);

struct TrafficClientOptions {
  NmxAddr target;
  uint64_t count = 1000;   // operations; 0 = until the duration ends
  double durationSec = 0;  // 0 = no limit
  uint64_t rate = 1000;    // operations per second, 0 = as fast as possible
  uint32_t size = 64;      // data bytes of writes and reads
  unsigned window = 64;    // requests in flight at most
  std::vector<TrafficOp> mix = {TrafficOp::Read, TrafficOp::Write, TrafficOp::ReadWrite};
  std::chrono::milliseconds answerTimeout{10000};  // waiting for stragglers at the end
};

class CTrafficClient : public CTrafficPort {
 public:
  CTrafficClient();
  ~CTrafficClient() override;

  // Sends until count or duration is reached (or Stop), then waits for the outstanding
  // answers. Returns true when every request sent was answered.
  bool Run(const TrafficClientOptions& opt);
  // Ends Run early (from a signal-watching thread); answers in flight are still awaited.
  void Stop();

  uint64_t Sent() const;
  uint64_t Answered() const;
  uint64_t Failed() const;
  uint64_t NotificationsReceived() const;

  void KrpReadDeviceInfoCon(const NmxAddr& sender, DWORD invokeId, DWORD result, const char* name,
                            KrpVersion version) override;
  void KrpWriteControlCon(const NmxAddr& sender, DWORD invokeId, DWORD result) override;
  void KrpReadStateCon(const NmxAddr& sender, DWORD invokeId, DWORD result, WORD krpState,
                       WORD deviceState) override;
  void KrpWriteCon(const NmxAddr& sender, DWORD invokeId, DWORD result) override;
  void KrpReadCon(const NmxAddr& sender, DWORD invokeId, DWORD result, DWORD length,
                  const void* data) override;
  void KrpReadWriteCon(const NmxAddr& sender, DWORD invokeId, DWORD result, DWORD length,
                       const void* data) override;
  void KrpAddDeviceNotificationCon(const NmxAddr& sender, DWORD invokeId, DWORD result,
                                   DWORD handle) override;
  void KrpDelDeviceNotificationCon(const NmxAddr& sender, DWORD invokeId, DWORD result) override;
  void KrpDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId, DWORD length,
                                const void* stream) override;

 private:
  // Marks invokeId answered; a failure when result is not 0 or check is false.
  void Answer(DWORD invokeId, DWORD result, bool check = true);
  bool SendOp(TrafficOp op, DWORD invokeId);
  void SendDeletes();

  TrafficClientOptions m_opt;       // Run's thread only
  std::atomic<uint32_t> m_size{0};  // read by the receive thread
  std::vector<BYTE> m_writeData;
  mutable std::mutex m_lock;
  std::condition_variable m_cv;
  bool m_bStop = false;
  std::set<DWORD> m_inFlight;
  std::vector<DWORD> m_toDelete;  // notification handles whose first samples arrived
  std::set<DWORD> m_active;       // notification handles not yet asked to be deleted
  uint64_t m_nSent = 0;
  uint64_t m_nAnswered = 0;
  uint64_t m_nFailed = 0;
  uint64_t m_nNotifications = 0;
  DWORD m_nextInvoke = 1;
};
