// CNmxTcpStub: NMX commands over one TCP connection in NMX/TCP framing (NmxTcpFormat.h).
//
// The receiver thread hands every chunk to OnReceive, which reassembles whole commands from
// the byte stream and passes each to OnNmxReceive; Send frames a command and writes it whole.
// A frame that breaks the framing rules closes the connection, and so does a frame whose
// rest stops coming: with a receive idle time-out set (SetReceiveIdleTimeout), a peer silent
// that long in the middle of a frame is closed as broken, while one silent between frames
// stays connected however long it waits. When not connected, Send opens a connection to the
// peer's NMX/TCP port (client mode).
//
// Thread safety: OnReceive, OnReceiveIdle and OnNmxReceive run on the receiver thread only;
// Send may be called from any thread at the same time and frames never interleave on the
// stream. m_addr is set during construction (the owner may still change its port in its own
// constructor) and only read afterwards.
#pragma once

#include <netinet/in.h>

#include <atomic>

#include "nmx/KrpArchive.h"
#include "nmx/NmxTypes.h"
#include "os/OsUserTools.h"
#include "support/TcpSocket.h"
#include "viewer/NmxTcpFormat.h"

class CNmxTcpStub : public VxFunctions::CTcpSocket {
 public:
  static const WORD s_serverSocketPort = NMXTCP_SERVER_PORT;

  // Creates the placeholder socket, finds the own NetId and runs InitStub.
  CNmxTcpStub();
  ~CNmxTcpStub() override;

  using VxFunctions::CTcpSocket::Send;

  DWORD OnReceive(DWORD error, const BYTE* buf, DWORD len, DWORD timeout) override;
  DWORD Receiver() override;
  // Closes the connection when a frame is partly received.
  DWORD OnReceiveIdle() override;

  // Command buffers of `size` bytes from the heap; null when out of memory.
  virtual NmxCmd* NmxAlloc(DWORD size);
  virtual void NmxFree(NmxCmd* cmd);
  virtual void NmxConnect(void* context);
  virtual void NmxDisconnect();
  // Sends and releases cmd (from NmxAlloc); true when the send succeeded.
  virtual bool NmxSend(NmxCmd* cmd);
  virtual NmxPortNo NmxGetPort() const;
  virtual NmxNetId NmxGetNetId() const;
  // Fills a header with sender = m_addr, then applies the loopback sender rule.
  virtual void NmxMakeHead(NmxHead& head, WORD cmdId, DWORD cbData, const NmxNetId& target,
                           NmxPortNo targetPort, DWORD invokeId, LONG errCode, WORD stateFlags);
  // Called for every complete received command. cmd points into the receive buffer, holds
  // exactly 32 + cbData bytes and is valid only during the call; do not release it.
  virtual void OnNmxReceive(NmxCmd* cmd);
  virtual DWORD NmxGetLastError() const;
  // Frames cmd (32 + cbData bytes, still the caller's) and writes it. Returns 0 or a socket
  // result code; 10040 for a command longer than NMXTCP_MAX_FRAME_LENGTH, 10055 when the frame
  // buffer cannot be allocated. A frame that could not be written whole ends the connection.
  virtual DWORD Send(const NmxCmd* cmd);
  // Sets the peer (IPv4, network order) of client mode; reconnects when connected elsewhere.
  virtual DWORD SetPeerIpAddr(DWORD addr);
  virtual void InitStub();

 protected:
  // Connects the created socket to m_peerIpAddr on the NMX/TCP port.
  DWORD ConnectToPeer();
  // Forgets a partly received frame.
  void ResetReceiveState();
  // Closes the connection because of broken framing.
  void CloseBroken();

  NmxAddr m_addr;
  std::atomic<DWORD> m_peerIpAddr;
  sockaddr_in m_peerSockAddr;
  std::atomic<DWORD> m_nLastError;
  CR3TpArchive* m_pArchiveIn;
  DWORD m_cbSize;  // length of the frame being collected, 0 between frames
  DWORD m_cbTcpBlockSize;
  bool m_bLocal;

 private:
  BYTE m_prefix[NMXTCP_PREFIX_SIZE];  // a prefix split across chunks
  DWORD m_cbPrefix;
  COsUserLock m_csSend;  // client-mode connect and the frame write of one Send
};
