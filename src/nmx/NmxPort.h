// CNmxPort: the base of every NMX endpoint, with its address and the operations that build,
// copy and answer commands.
//
// Buffers: an NmxCmd handed to NmxReceive belongs to the caller and is valid only during the
// call. NmxSend does not take the buffer. Buffers from NmxAlloc are released with NmxFree by
// whoever allocated them.
//
// Threads: m_bConnected and m_nLastError are atomic, because sends on other threads read and
// set them while a receive thread runs; everything else is set up before the endpoint is
// shared. The header and copy operations touch only the buffers they are given.
#pragma once

#include <atomic>

#include "nmx/NmxTypes.h"

// Longest endpoint name in characters; m_szName holds it with its terminator.
constexpr size_t NMX_PORT_NAME_MAX = 30;

// Error code of the answer to a command nobody handles.
constexpr LONG NMX_ERR_NOT_HANDLED = 11;

class CNmxPort {
 public:
  // A null name leaves the name empty; longer names are cut to NMX_PORT_NAME_MAX.
  CNmxPort(NmxPortNo port, const char* name, NMXPORT_TYPE type, DWORD attrib);
  CNmxPort(const CNmxPort&) = delete;
  CNmxPort& operator=(const CNmxPort&) = delete;

  // Sends one command (32 + cbData bytes). The base sends nothing and returns 0.
  virtual LONG NmxSend(NmxCmd* cmd);
  virtual void NmxReceive(NmxCmd* cmd) = 0;
  // Answers a command nobody handles with a 32-byte reply carrying error 11, unless the
  // command is itself such an error (so error answers are never answered again).
  virtual void NmxDispatch(NmxCmd* cmd);
  virtual NmxCmd* NmxAlloc(LONG size) = 0;
  virtual void NmxFree(NmxCmd* cmd) = 0;

  // Copies of commands in new buffers from NmxAlloc; null when size cannot hold a header or
  // the allocation fails. The copy's cbData is size - 32.
  virtual NmxCmd* NmxAllocCopy(const NmxCmd* cmd, LONG size);
  virtual NmxCmd* NmxAllocCopy(const NmxCmd* cmd);
  virtual NmxCmd* NmxAllocCopyHead(const NmxCmd* cmd, LONG size);
  // dest must hold 32 + src->head.cbData bytes, or size bytes.
  virtual void NmxCopy(NmxCmd* dest, const NmxCmd* src);
  virtual void NmxCopy(NmxCmd* dest, const NmxCmd* src, LONG size);
  virtual void NmxCopyHead(NmxCmd* dest, const NmxCmd* src);
  virtual void NmxSetAddr(const NmxAddr& addr);

  // Turns a received request into its response in place (addresses swapped, response flag
  // set, errCode set; data untouched) and sends it; returns NmxSend's result.
  virtual LONG NmxResponse(NmxCmd* cmd, LONG errCode);
  virtual BOOL NmxIsResponseCommand(const NmxCmd* cmd) const;
  virtual NmxNetId NmxGetNetId() const;
  virtual NmxPortNo NmxGetPort() const;
  virtual NmxAddr NmxGetAddr() const;
  virtual BOOL NmxPortConnected() const;
  virtual DWORD NmxGetLastError() const;

  // Fill every header field; the sender is m_addr.
  virtual void NmxMakeHead(NmxHead& head, WORD cmdId, LONG cbData, NmxNetId targetNetId,
                           NmxPortNo targetPort, LONG hUser, LONG errCode, WORD stateFlags);
  virtual void NmxMakeHead(NmxHead& head, WORD cmdId, LONG cbData, NmxAddr target, LONG hUser,
                           LONG errCode, WORD stateFlags);
  // Exchanges target and sender and sets NMX_FLAG_RESPONSE.
  virtual void NmxSwitchTarget(NmxHead& head);
  virtual void NmxSwitchTarget(NmxCmd* cmd);
  virtual void NmxCopyHeadAndSwitchTarget(NmxCmd* dest, const NmxCmd* src);
  // A 32-byte answer to src (cbData 0, addresses swapped) from NmxAlloc, or null.
  virtual NmxCmd* NmxAllocCopyHeadAndSwitchTarget(const NmxCmd* src);
  virtual void NmxSetError(NmxCmd* cmd, LONG errCode);
  virtual NMXPORT_TYPE NmxGetPortType() const;
  // Replaces the name (cut to NMX_PORT_NAME_MAX); returns it, or null for a null name.
  virtual const char* SetPortName(const char* name);
  // Joins name to the current one with a dot, cut so the whole stays within
  // NMX_PORT_NAME_MAX; a name already 29 characters or longer is left as it is.
  virtual const char* AppendPortName(const char* name);

  static void NmxMakeHead(NmxHead& head, WORD cmdId, LONG cbData, const NmxAddr& target,
                          const NmxAddr& sender, LONG hUser, LONG errCode, WORD stateFlags);

 protected:
  // Not virtual: endpoints are deleted through their own class, which adds the virtual
  // destructor after the operations above.
  ~CNmxPort() = default;

  NmxAddr m_addr;
  std::atomic<BOOL> m_bConnected;
  std::atomic<DWORD> m_nLastError;
  NMXPORT_TYPE m_type;
  DWORD m_dwAttrib;
  char m_szName[NMX_PORT_NAME_MAX + 1];
};
