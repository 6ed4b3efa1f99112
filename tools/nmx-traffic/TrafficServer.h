// The server side of nmx-traffic: answers every KRP request with its proper response, a
// chosen share of them with a failure, and serves device notifications at the cycle asked.
//
// Threads: requests are answered on the port's receive thread; each active notification has
// a thread of its own that sends until the client deletes it or the server disconnects.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "nmx-traffic/TrafficPort.h"

// A deterministic byte pattern for reads: byte i of a read at (group, offset).
BYTE TrafficPatternByte(DWORD indexGroup, DWORD indexOffset, DWORD i);

class CTrafficServer : public CTrafficPort {
 public:
  // errorPercent of the requests (0..100, spread evenly) are answered with KRP_E_GENERAL.
  CTrafficServer(WORD port, unsigned errorPercent);
  ~CTrafficServer() override;

  // Ends every notification and the connection.
  void Shutdown();

  uint64_t Answered() const { return m_nAnswered; }
  uint64_t Notifications() const { return m_nNotifications; }

  void KrpReadDeviceInfoInd(const NmxAddr& sender, DWORD invokeId) override;
  void KrpWriteControlInd(const NmxAddr& sender, DWORD invokeId, WORD krpState, WORD deviceState,
                          DWORD length, const void* data) override;
  void KrpReadStateInd(const NmxAddr& sender, DWORD invokeId) override;
  void KrpWriteInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup, DWORD indexOffset,
                   DWORD length, const void* data) override;
  void KrpReadInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup, DWORD indexOffset,
                  DWORD length) override;
  void KrpReadWriteInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup, DWORD indexOffset,
                       DWORD readLength, DWORD writeLength, const void* writeData) override;
  void KrpAddDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup,
                                   DWORD indexOffset, KrpNotificationAttrib attrib) override;
  void KrpDelDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId, DWORD handle) override;

 private:
  struct Notification {
    NmxAddr client;
    DWORD handle = 0;
    DWORD indexGroup = 0;
    DWORD indexOffset = 0;
    DWORD cbSample = 0;
    DWORD cycleMs = 0;
    bool bStop = false;  // guarded by m_lock
    std::thread thread;
  };

  // The result of the next answer: 0, or a failure for the chosen share.
  DWORD NextResult();
  DWORD ReadInto(DWORD indexGroup, DWORD indexOffset, DWORD length);
  void RunNotification(Notification* n);
  void StopAll();

  const unsigned m_errorPercent;
  std::atomic<uint64_t> m_nRequests{0};
  std::atomic<uint64_t> m_nAnswered{0};
  std::atomic<uint64_t> m_nNotifications{0};
  std::vector<BYTE> m_readBuf;  // receive thread only
  std::mutex m_lock;
  std::condition_variable m_cv;
  DWORD m_nextHandle = 1;
  std::map<DWORD, std::unique_ptr<Notification>> m_notifications;
};
