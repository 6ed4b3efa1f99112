// CNmxLoggerPort: the router port (fixed number 2) through which the router hands the program
// a copy of its traffic, and the host of the logger component that records it. It owns the
// component (one reference), configures, starts and stops it, feeds it every command received
// while capturing, and learns through IVxNmxLoggerCallback when capturing starts or stops,
// also when a viewer or the engine itself does that.
//
// Threads: Open, Start, Stop, Close and the getters run on the controlling (main) thread;
// NmxReceive on the router port's receive thread; OnStart and OnStop on the thread that
// started or stopped the component (main, a viewer's connection, or the engine's writer when
// a single capture file is full). m_lock, re-entrant, serialises the state changes and the
// router connects and disconnects of those paths. It is never held while the component is
// stopped or released: the engine calls OnStop (which takes it) under a lock of its own.
//
// Lifetime: one object on the stack of StartLogger for the whole run; not reference counted
// (AddRef and Release are no-ops), so the component must be released (Close) before the port
// goes away, which the destructor does.
#pragma once

#include <atomic>
#include <string>

#include "console/Parameters.h"
#include "engine/VxNmxLoggerItf.h"
#include "os/OsUserTools.h"
#include "router/NmxR3Port.h"

constexpr WORD NMX_LOGGER_PORT = 2;
constexpr DWORD NMX_LOGGER_PORT_BUFFER = 4096;
constexpr DWORD NMX_LOGGER_PORT_QUEUE = 512;
// KRP code 0x712 (invalid state) in its 32-bit form: every failure without a code of its own.
constexpr HRESULT NMX_LOGGER_E_INVALID_STATE = static_cast<HRESULT>(0x98110712);

class CNmxLoggerPort : public CNmxR3Port, public IVxNmxLoggerCallback {
 public:
  enum State : int32_t {
    INIT = 0,     // no component
    OPENED = 1,   // component created and configured, not capturing
    STARTED = 2,  // capturing (in listen mode: started at least once and not closed)
  };

  CNmxLoggerPort();
  ~CNmxLoggerPort() override;
  CNmxLoggerPort(const CNmxLoggerPort&) = delete;
  CNmxLoggerPort& operator=(const CNmxLoggerPort&) = delete;

  // Creates and initialises the component; with bListen also starts the viewer listener on
  // port, and on the local IPv4 address alone when one is given (null or empty: every
  // address). On failure the component is released again and the state stays INIT.
  HRESULT Open(bool bListen, WORD port, const char* address = nullptr);
  // Loads the capture settings of parms, connects to the router and starts capturing. A
  // failure's line is followed by one naming the device or file and the reason (ReportDetail).
  HRESULT Start(const Parms_t& parms);
  // Disconnects from the router and stops the component if capturing; true when this call
  // ended a capture.
  bool Stop();
  // Stops a running capture and releases the component.
  void Close();

  State GetState() const { return m_state.load(); }
  bool IsStarted() const { return m_state.load() == STARTED; }
  bool IsListener() const { return m_bListener; }
  ULONG GetPacketCount();
  ULONG GetCaptureFileSize();
  bool IsViewerConnected();
  // Frames lost during the last run: not queued, or not stored by the capture, and those the
  // router dropped for the port because it had not read them yet (where the router says).
  ULONGLONG GetDroppedFrames();
  // Of those, the ones the router dropped.
  ULONGLONG GetRouterDroppedFrames();
  // "Frames dropped: N" for the losses of the last run, followed by " (router: M)" when the
  // router dropped M of them; empty when nothing was lost.
  std::string DroppedLine();
  // "Frames stored: N, given up by the ring: M, dropped: K" for the last run, K followed by
  // " (router: R)" where the router says how many of them it dropped: what the file holds,
  // what the ring let go to make room, and what never reached the file.
  std::string SummaryLine();
  // "Capture file write failed: <reason>" for the first failed write of the current or last
  // capture, the first time it is asked; empty otherwise.
  std::string TakeWriteErrorLine();
  // The next line about the capture's files (removed or replaced while capturing, written
  // again at stop), each once; empty when there is none.
  std::string TakeNoticeLine();
  // True once after the router went away under a connected port (it was removed, exited or
  // was killed): nothing more is received until the port connects again.
  bool TakeRouterLost() { return m_bRouterLost.exchange(false); }

  // Router port: hands the command to the component while capturing.
  void NmxReceive(NmxCmd* cmd) override;

  // IVxNmxLoggerCallback
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT OnStart() override;
  HRESULT OnStop() override;

 private:
  HRESULT OpenListener(WORD port, const char* address);
  HRESULT OnListenerStart();
  void OnListenerStop();
  void ReleaseComponent();
  ULONGLONG GetEngineDroppedFrames();
  // Marks the start of a run: the router's drops are counted from here.
  void SetStarted();

  // Read by the receive thread without the lock.
  std::atomic<State> m_state{INIT};
  // Set in Open before the router connection exists and cleared in Close after it ended, so
  // the receive thread never sees it change.
  IVxNmxLogger2* m_pNmxLogger = nullptr;
  COsUserLock m_lock;
  // Read on the viewer's threads.
  std::atomic<bool> m_bListener{false};
  std::atomic<bool> m_bRouterLost{false};
  // The port's count of the router's drops when the last run started.
  std::atomic<ULONGLONG> m_routerDroppedAtStart{0};
};
