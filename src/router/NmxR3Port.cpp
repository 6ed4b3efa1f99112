#include "router/NmxR3Port.h"

#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "os/ByteOrder.h"
#include "os/OsUserTools.h"
#include "router/PalDrvTypes.h"

namespace {

// A receive buffer is never smaller than a header, so a status answer or a short command
// can always be looked at as one.
constexpr DWORD MIN_BUFFER = NMX_HEAD_SIZE;
// Largest size a "buffer too small" answer may ask for.
constexpr DWORD MAX_BUFFER = 64u << 20;
// Pause after a failed read before the next one, so a broken link does not spin a core.
constexpr DWORD READ_RETRY_MS = 100;

// Receive threads given up by NmxDisconnect that have not ended yet.
std::atomic<LONG> g_nGivenUp{0};

NmxRegisterR3PortIn UnregisterRecord(NmxPortNo port) {
  NmxRegisterR3PortIn rec = MakeDefaultRegisterRecord();
  rec.m_port = port;
  rec.m_queueSize = 0;
  rec.m_bUnRegister = 1;
  return rec;
}

}  // namespace

class CNmxR3PortImpl {
 public:
  CNmxR3PortImpl() {
    OsUserInitializeCriticalSection(&m_lock);
    OsUserInitializeCriticalSection(&m_lockWait);
  }
  ~CNmxR3PortImpl() {
    OsUserDeleteCriticalSection(&m_lockWait);
    OsUserDeleteCriticalSection(&m_lock);
  }
  CNmxR3PortImpl(const CNmxR3PortImpl&) = delete;
  CNmxR3PortImpl& operator=(const CNmxR3PortImpl&) = delete;

  OS_USER_EVENT_HANDLE m_hEvent[2] = {nullptr, nullptr};
  OS_USER_THREAD_HANDLE m_hThread = nullptr;
  BOOL m_bUnfixedPort = FALSE;
  CRITICAL_SECTION m_lock;
  CRITICAL_SECTION m_lockWait;
  std::shared_ptr<void> m_ctx;  // the running thread's context, see ReceiveContext
  // The router's drops for the port over all its connections, added by the receive threads.
  std::atomic<ULONGLONG> m_routerDropped{0};
  std::atomic<bool> m_bRouterDropsKnown{false};
};

// Shared by the port and its receive thread, so that a thread given up by NmxDisconnect can
// finish without the port.
struct CNmxR3Port::ReceiveContext {
  CNmxR3Port* pPort = nullptr;
  CDrvControl* pDrv = nullptr;  // the receive handle; the thread's own once abandoned
  OS_USER_EVENT_HANDLE hRead = nullptr;
  OS_USER_EVENT_HANDLE hStop = nullptr;
  // Held by the thread whenever it is not inside a router read, i.e. whenever it may touch
  // the port; NmxDisconnect takes it to give the thread up.
  std::mutex inPort;
  bool bAbandoned = false;      // guarded by inPort
  bool bDone = false;           // the thread has left the port for good; guarded by inPort
  ULONGLONG routerDropped = 0;  // of the router's total, what the port has counted; the thread's
};

CNmxR3Port::CNmxR3Port(WORD port, BOOL bAutoConnect, const char* name, DWORD dwAttrib)
    : CNmxPort(port, name, PORTTYPE_R3PORT, dwAttrib | 0x4),
      m_bTerminate(FALSE),
      m_pImpl(new CNmxR3PortImpl()),
      m_pReserved(nullptr),
      m_pReceiveDrv(nullptr),
      m_pSendDrv(nullptr),
      m_nBuffer(0),
      m_bEnabled(FALSE) {
  m_pImpl->m_bUnfixedPort = port == 0;
  m_bConnected = FALSE;
  m_addr.port = port;
  if (bAutoConnect) NmxConnect(NMX_PORT_PREVIOUS, 4096, 80);
}

CNmxR3Port::~CNmxR3Port() {
  if (m_bConnected) {
    NmxDisconnect();
  } else {
    ReleaseThread();
    DeleteHandle(m_pSendDrv);
    DeleteHandle(m_pReceiveDrv);
  }
  delete m_pImpl;
}

void CNmxR3Port::DeleteHandle(CDrvControl*& drv) {
  if (drv == nullptr) return;
  drv->CloseDrv();
  delete drv;
  drv = nullptr;
}

void CNmxR3Port::CloseEvents() {
  for (auto& h : m_pImpl->m_hEvent) {
    if (h) OsUserCloseHandle(h);
    h = nullptr;
  }
}

BOOL CNmxR3Port::AbandonConnect(DWORD dwError) {
  m_nLastError = dwError;
  DeleteHandle(m_pSendDrv);
  DeleteHandle(m_pReceiveDrv);
  CloseEvents();
  return FALSE;
}

BOOL CNmxR3Port::NmxConnect(WORD port, DWORD nBuffer, DWORD nQueueSize) {
  if (m_bConnected) {
    m_nLastError = NMX_R3_ERR_CONNECTED;
    return FALSE;
  }
  // A port that lost its registration (read status 1) or whose thread was given up still
  // has thread resources; they go before new ones are made.
  ReleaseThread();

  if (port == NMX_PORT_ANY) {
    m_pImpl->m_bUnfixedPort = TRUE;
    m_addr.port = 0;
  } else if (port == NMX_PORT_PREVIOUS) {
    if (m_pImpl->m_bUnfixedPort) m_addr.port = 0;
  } else {
    m_pImpl->m_bUnfixedPort = FALSE;
    m_addr.port = port;
  }
  const NmxPortNo p = m_addr.port;

  NmxRegisterR3PortIn rec = MakeDefaultRegisterRecord();
  rec.m_bFixedPort = p != 0;
  rec.m_port = p;
  rec.m_queueSize = static_cast<WORD>(nQueueSize);
  rec.m_portType = m_type;
  rec.m_dwPortAttrib = m_dwAttrib;
  std::strncpy(rec.m_szPortName, m_szName, NMX_PORTNAME_SIZE - 1);
  rec.m_bUnRegister = 0;

  m_nBuffer = nBuffer;
  m_bTerminate = FALSE;
  for (auto& h : m_pImpl->m_hEvent) h = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);

  m_nDeviceError = 0;
  m_pReceiveDrv = new CDrvControl();
  if (const DWORD e = m_pReceiveDrv->OpenRouter(TRUE)) {
    m_nDeviceError = e;
    return AbandonConnect(NMX_R3_ERR_DEVICE);
  }
  m_pSendDrv = new CDrvControl();
  if (const DWORD e = m_pSendDrv->OpenRouter(FALSE)) {
    m_nDeviceError = e;
    return AbandonConnect(NMX_R3_ERR_DEVICE);
  }

  // Without an answer the port keeps the NetId it has.
  NmxNetId netId{};
  DWORD cbRet = 0;
  if (m_pSendDrv->IoControl(IOCTL_NMX_GET_NETID, nullptr, 0, &netId, sizeof(netId), &cbRet,
                            nullptr) == 0 &&
      cbRet == sizeof(netId) && netId != m_addr.netId)
    m_addr.netId = netId;

  NmxRegisterR3PortOut out{};
  cbRet = 0;
  DWORD err = m_pReceiveDrv->IoControl(IOCTL_NMX_REGISTER_PORT, &rec, sizeof(rec), &out,
                                       sizeof(out), &cbRet, nullptr);
  // A registration the device did not answer must not pass for one with answer 0.
  if (err != 0 || cbRet < sizeof(out)) {
    m_nDeviceError = err;
    return AbandonConnect(NMX_R3_ERR_DEVICE);
  }
  if (out.m_err != 0 && out.m_err != NMX_REGISTER_SYSTEM_STOPPED) return AbandonConnect(out.m_err);
  m_bEnabled = out.m_err == 0;
  m_bConnected = TRUE;
  m_addr.port = out.m_port;

  NmxRegisterR3PortIn attach = rec;
  attach.m_dwPortAttrib |= NMX_PORTATTRIB_ATTACH;
  attach.m_port = out.m_port;
  attach.m_bFixedPort = out.m_port != 0;
  NmxRegisterR3PortOut attachOut{};
  m_pSendDrv->IoControl(IOCTL_NMX_REGISTER_PORT, &attach, sizeof(attach), &attachOut,
                        sizeof(attachOut), &cbRet, nullptr);

  auto ctx = std::make_shared<ReceiveContext>();
  ctx->pPort = this;
  ctx->pDrv = m_pReceiveDrv;
  ctx->hRead = m_pImpl->m_hEvent[0];
  ctx->hStop = m_pImpl->m_hEvent[1];
  auto* param = new std::shared_ptr<ReceiveContext>(ctx);
  OS_USER_THREAD_HANDLE hThread = nullptr;
  if (OsUserCreateThreadEx(0, &CNmxR3Port::ThreadMain, param, 2, &hThread, nullptr, TRUE) != 0) {
    // A registered port that nobody reads would look connected and never receive: undo it.
    delete param;
    NmxRegisterR3PortIn unreg = UnregisterRecord(m_addr.port);
    m_pReceiveDrv->IoControl(IOCTL_NMX_REGISTER_PORT, &unreg, sizeof(unreg), &attachOut,
                             sizeof(attachOut), &cbRet, nullptr);
    m_bConnected = FALSE;
    m_bEnabled = FALSE;
    return AbandonConnect(NMX_R3_ERR_NO_THREAD);
  }
  m_pImpl->m_ctx = ctx;
  m_pImpl->m_hThread = hThread;
  OsUserThreadResume(hThread);
  return m_bConnected;
}

BOOL CNmxR3Port::NmxDisconnect() {
  OsUserEnterCriticalSection(&m_pImpl->m_lock);
  if (!m_bConnected) {
    OsUserLeaveCriticalSection(&m_pImpl->m_lock);
    ReleaseThread();
    return FALSE;
  }
  m_bConnected = FALSE;
  OsUserLeaveCriticalSection(&m_pImpl->m_lock);

  m_bTerminate = TRUE;
  // The unregistration is what makes the thread's pending read return.
  NmxRegisterR3PortIn unreg = UnregisterRecord(m_addr.port);
  NmxRegisterR3PortOut out{};
  DWORD cbRet = 0;
  if (m_pReceiveDrv)
    m_pReceiveDrv->IoControl(IOCTL_NMX_REGISTER_PORT, &unreg, sizeof(unreg), &out, sizeof(out),
                             &cbRet, nullptr);
  ReleaseThread();
  DeleteHandle(m_pSendDrv);
  DeleteHandle(m_pReceiveDrv);
  return TRUE;
}

void CNmxR3Port::ReleaseThread() {
  COsCsLock wait(m_pImpl->m_lockWait);
  auto ctx = std::static_pointer_cast<ReceiveContext>(m_pImpl->m_ctx);
  if (m_pImpl->m_hThread && m_pImpl->m_hEvent[1]) {
    OsUserSetEvent(m_pImpl->m_hEvent[1]);
    if (OsUserWaitForThread(m_pImpl->m_hThread, static_cast<INT>(NMX_R3_THREAD_WAIT_MS)) !=
            WAIT_OBJECT_0 &&
        ctx) {
      // The read has not returned: the thread is given up. Once it is out of port code
      // (inPort) it is marked so, and only then is its read cancelled where the link can:
      // whenever the read returns, the thread takes its handle along and leaves the port
      // alone. A thread that finished meanwhile leaves the handle to the port.
      std::lock_guard<std::mutex> g(ctx->inPort);
      if (!ctx->bDone) {
        ctx->bAbandoned = true;
        ++g_nGivenUp;
        if (m_pReceiveDrv == ctx->pDrv) m_pReceiveDrv = nullptr;
        if (ctx->pDrv) ctx->pDrv->CancelIo();
      }
    }
  }
  if (m_pImpl->m_hThread) OsUserCloseThreadHandle(m_pImpl->m_hThread);
  m_pImpl->m_hThread = nullptr;
  m_pImpl->m_ctx.reset();
  CloseEvents();
}

DWORD CNmxR3Port::ThreadMain(PVOID param) {
  bool bAbandoned = false;
  {
    auto* holder = static_cast<std::shared_ptr<ReceiveContext>*>(param);
    std::shared_ptr<ReceiveContext> ctx = std::move(*holder);
    delete holder;

    std::unique_lock<std::mutex> lk(ctx->inPort);
    if (!ctx->bAbandoned) ctx->pPort->ReceiveLoop(*ctx);
    bAbandoned = ctx->bAbandoned;
    ctx->bDone = true;
    lk.unlock();
    if (bAbandoned) DeleteHandle(ctx->pDrv);
  }
  if (bAbandoned) --g_nGivenUp;
  return 0;
}

LONG CNmxR3Port::NmxGivenUpThreads() {
  return g_nGivenUp;
}

DWORD CNmxR3Port::ReadUnlocked(ReceiveContext& ctx, BYTE* buf, DWORD cb, DWORD* pcbRead,
                               OVERLAPPED* ov) {
  CDrvControl* drv = ctx.pDrv;
  ctx.inPort.unlock();
  DWORD err = drv->Read(buf, cb, pcbRead, ov);
  ctx.inPort.lock();
  return err;
}

// Runs with ctx.inPort held; returns with it held.
void CNmxR3Port::ReceiveLoop(ReceiveContext& ctx) {
  if (m_bRaisePriority) OsUserRaiseThreadPriority();
  const DWORD cbNormal = m_nBuffer < MIN_BUFFER ? MIN_BUFFER : m_nBuffer;
  DWORD cbBuf = cbNormal;
  BYTE* buf = static_cast<BYTE*>(malloc(cbBuf));
  if (buf == nullptr) return;

  OVERLAPPED ov{};
  ov.Offset = m_addr.port;
  ov.hEvent = ctx.hRead;

  bool bStop = false;
  while (!bStop && !m_bTerminate) {
    if (cbBuf != cbNormal) {
      if (BYTE* p = static_cast<BYTE*>(realloc(buf, cbNormal))) {
        buf = p;
        cbBuf = cbNormal;
      }
    }
    DWORD n = 0;
    DWORD err = ReadUnlocked(ctx, buf, cbBuf, &n, &ov);
    // The buffer is too small: grow it to the size the router names and read again.
    while (err == 0 && n == NMX_READ_BUFFER_TOO_SMALL && !ctx.bAbandoned && !m_bTerminate) {
      const DWORD need = vx::DecodeLE32(buf);
      BYTE* p =
          need > cbBuf && need <= MAX_BUFFER ? static_cast<BYTE*>(realloc(buf, need)) : nullptr;
      if (p == nullptr) {
        err = ENOMEM;
        break;
      }
      buf = p;
      cbBuf = need;
      n = 0;
      err = ReadUnlocked(ctx, buf, cbBuf, &n, &ov);
    }
    if (ctx.bAbandoned) break;
    // Also when terminating: the answer to the read the unregistration ended brings the
    // connection's last total.
    if (err == 0) CountRouterDropped(ctx);
    if (m_bTerminate) break;
    if (err != 0 || n > cbBuf) {
      // Failed reads are retried until the port is disconnected; the pause ends early
      // when the disconnect signals the stop event.
      OsUserWaitForSingleObject(ctx.hStop, READ_RETRY_MS);
      continue;
    }

    switch (n) {
      case NMX_READ_NOTHING:
        break;
      case NMX_READ_UNREGISTERED:
        m_nLastError = NMX_R3_ERR_UNREGISTERED;
        bStop = true;
        break;
      case NMX_READ_SYSTEM_STOPPED:
        DeliverSystemCommand(NMX_SYSCMD_STOPPED);
        break;
      case NMX_READ_SYSTEM_STARTED:
        DeliverSystemCommand(NMX_SYSCMD_STARTED);
        break;
      case NMX_READ_ROUTER_REMOVED:
        OnRouterRemoved(ctx);
        bStop = true;
        break;
      default: {
        // A command shorter than a header gets a header of zeros behind its bytes rather
        // than what an earlier command left in the buffer.
        if (n < NMX_HEAD_SIZE) std::memset(buf + n, 0, NMX_HEAD_SIZE - n);
        NmxCmd* cmd = reinterpret_cast<NmxCmd*>(buf);
        if (uint64_t{NMX_HEAD_SIZE} + cmd->head.cbData != n) {
          cmd->head.cbData = 0;
          cmd->head.errCode = NMX_ERR_LENGTH_MISMATCH;
        }
        NmxReceive(cmd);
        break;
      }
    }
  }
  free(buf);
}

void CNmxR3Port::CountRouterDropped(ReceiveContext& ctx) {
  ULONGLONG total = 0;
  if (ctx.pDrv == nullptr || !ctx.pDrv->RouterDropped(&total)) return;
  m_pImpl->m_bRouterDropsKnown.store(true, std::memory_order_relaxed);
  if (total > ctx.routerDropped) {
    m_pImpl->m_routerDropped.fetch_add(total - ctx.routerDropped, std::memory_order_relaxed);
    ctx.routerDropped = total;
  }
}

BOOL CNmxR3Port::GetRouterDroppedCount(ULONGLONG* pCount) {
  *pCount = m_pImpl->m_routerDropped.load(std::memory_order_relaxed);
  return m_pImpl->m_bRouterDropsKnown.load(std::memory_order_relaxed);
}

void CNmxR3Port::OnRouterRemoved(ReceiveContext& ctx) {
  DeliverSystemCommand(NMX_SYSCMD_REMOVED);
  m_bEnabled = FALSE;
  COsCsLock g(m_pImpl->m_lock);
  if (m_bConnected) {
    DeleteHandle(m_pSendDrv);
    DeleteHandle(m_pReceiveDrv);
    ctx.pDrv = nullptr;
    m_bConnected = FALSE;
  }
}

void CNmxR3Port::DeliverSystemCommand(WORD id) {
  BYTE buf[NMX_HEAD_SIZE + 8] = {};
  NmxCmd* cmd = reinterpret_cast<NmxCmd*>(buf);
  NmxMakeHead(cmd->head, id, id == NMX_SYSCMD_STARTED ? 8 : 0, m_addr.netId, m_addr.port, 0, 0,
              NMX_FLAG_SYSTEM_COMMAND);
  NmxReceive(cmd);
}

bool CNmxR3Port::MaySend() {
  if (!m_bConnected) {
    m_nLastError = NMX_R3_ERR_NOT_CONNECTED;
    return false;
  }
  if (!NmxPortEnabled()) {
    m_nLastError = NMX_R3_ERR_DISABLED;
    return false;
  }
  return true;
}

LONG CNmxR3Port::NmxSend(NmxCmd* cmd) {
  // The lock keeps the send handle alive while it is used: a disconnect or the router's
  // removal clears m_bConnected under it before the handle goes.
  COsCsLock g(m_pImpl->m_lock);
  if (!MaySend()) return FALSE;
  const uint64_t cb = cmd ? uint64_t{NMX_HEAD_SIZE} + cmd->head.cbData : 0;
  DWORD written = 0;
  if (cmd == nullptr || cb > 0xFFFFFFFFu ||
      m_pSendDrv->Write(cmd, static_cast<DWORD>(cb), &written, nullptr) != 0) {
    m_nLastError = NMX_R3_ERR_DEVICE;
    return FALSE;
  }
  if (written == 0) {
    m_nLastError = NMX_R3_ERR_WRITE_EMPTY;
    return FALSE;
  }
  return TRUE;
}

LONG CNmxR3Port::NmxSendMany(NmxCmd* const* cmds, DWORD n) {
  COsCsLock g(m_pImpl->m_lock);
  if (!MaySend()) return FALSE;
  constexpr DWORD kPerCall = 256;
  const void* bufs[kPerCall];
  DWORD cbs[kPerCall];
  for (DWORD first = 0; first < n;) {
    DWORD k = 0;
    for (; k < kPerCall && first + k < n; ++k) {
      NmxCmd* cmd = cmds[first + k];
      const uint64_t cb = cmd ? uint64_t{NMX_HEAD_SIZE} + cmd->head.cbData : 0;
      if (cmd == nullptr || cb > 0xFFFFFFFFu) {
        m_nLastError = NMX_R3_ERR_DEVICE;
        return FALSE;
      }
      bufs[k] = cmd;
      cbs[k] = static_cast<DWORD>(cb);
    }
    if (m_pSendDrv->WriteMany(bufs, cbs, k) != 0) {
      m_nLastError = NMX_R3_ERR_DEVICE;
      return FALSE;
    }
    first += k;
  }
  return TRUE;
}

BOOL CNmxR3Port::NmxReceiveReady() {
  // On the receive thread the read handle cannot go away under the call.
  return m_pReceiveDrv && m_pReceiveDrv->ReadReady();
}

void CNmxR3Port::NmxReceive(NmxCmd* cmd) {
  NmxDispatch(cmd);
}

void CNmxR3Port::NmxDispatch(NmxCmd* cmd) {
  if (cmd == nullptr) return;
  if (cmd->head.stateFlags & NMX_FLAG_SYSTEM_COMMAND) {
    switch (cmd->head.cmdId) {
      case NMX_SYSCMD_REMOVED:
        NmxOnSystemRemoved();
        m_bEnabled = FALSE;
        break;
      case NMX_SYSCMD_STARTED:
        m_bEnabled = TRUE;
        NmxOnSystemStartStop(TRUE);
        break;
      case NMX_SYSCMD_STOPPED:
        m_bEnabled = FALSE;
        NmxOnSystemStartStop(FALSE);
        break;
    }
    return;
  }
  switch (cmd->head.cmdId) {
    case NMX_CMD_SYSTEM_START:
      m_bEnabled = TRUE;
      NmxOnSystemStartStop(TRUE);
      return;
    case NMX_CMD_SYSTEM_STOP:
      m_bEnabled = FALSE;
      NmxOnSystemStartStop(FALSE);
      return;
  }
  CNmxPort::NmxDispatch(cmd);
}

NmxCmd* CNmxR3Port::NmxAlloc(LONG size) {
  if (size <= 0) return nullptr;
  return static_cast<NmxCmd*>(malloc(static_cast<size_t>(size)));
}

void CNmxR3Port::NmxFree(NmxCmd* cmd) {
  free(cmd);
}

void CNmxR3Port::NmxOnSystemStartStop(BOOL /*bStart*/) {}

void CNmxR3Port::NmxOnSystemRemoved() {}

BOOL CNmxR3Port::NmxPortEnabled() {
  return m_bEnabled;
}
