// Records exchanged with the router device: the device-control envelope, the port
// registration record and its answer, the read status counts and the control codes.
//
// The device takes these records in the host's byte order. The NMX structures already
// require a little-endian host (nmx/NmxTypes.h), so the same bytes are also what the
// stand-in router's socket carries (docs/router-protocol.md).
#pragma once

#include <cstddef>

#include "nmx/NmxTypes.h"
#include "os/OsTypes.h"

// Control codes of the device.
constexpr DWORD IOCTL_NMX_REGISTER_PORT = 0x222222;  // NmxRegisterR3PortIn -> ...Out
constexpr DWORD IOCTL_NMX_GET_NETID = 0x222252;      // no input -> NmxNetId

// ioctl requests: read-write, group 'H'; number 6 carries the whole 128-byte envelope with
// the data inline, number 19 the 64-byte parameter part with pointers to the caller's data.
constexpr unsigned long PAL_IOCTL_INLINE = 0xC0804806ul;
constexpr unsigned long PAL_IOCTL_POINTERS = 0xC0404813ul;

// Byte counts of a read that are status answers rather than a command.
constexpr DWORD NMX_READ_NOTHING = 0;
constexpr DWORD NMX_READ_UNREGISTERED = 1;
constexpr DWORD NMX_READ_SYSTEM_STOPPED = 2;
constexpr DWORD NMX_READ_SYSTEM_STARTED = 3;
constexpr DWORD NMX_READ_BUFFER_TOO_SMALL = 4;  // first 4 bytes: needed size
constexpr DWORD NMX_READ_ROUTER_REMOVED = 5;
constexpr DWORD NMX_READ_MAX_STATUS = 5;

// Registration answer: registered, but the runtime system is stopped.
constexpr WORD NMX_REGISTER_SYSTEM_STOPPED = 1290;

// Attribute bit of a registration that attaches a second handle to a registered port.
constexpr DWORD NMX_PORTATTRIB_ATTACH = 0x80000000u;

constexpr size_t NMX_PORTNAME_SIZE = 32;

struct OVERLAPPED {
  uintptr_t Internal;
  uintptr_t InternalHigh;
  DWORD Offset;  // the port whose commands are read
  DWORD OffsetHigh;
  void* hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

#pragma pack(push, 1)

struct PAL_IOCTL_PARAMETERS {
  DWORD dwIoControlCode;
  DWORD reserved0;
  uint64_t pInBuf;
  DWORD cbInBufSize;
  DWORD reserved1;
  uint64_t pOutBuf;
  DWORD cbOutBufSize;
  DWORD reserved2;
  uint64_t pReserved;
  uint64_t pIrp;
  uint64_t pFileObject;
};

struct PAL_IOCTL_TRANS_BUF {
  PAL_IOCTL_PARAMETERS params;
  BYTE buffer[64];
};

struct NmxRegisterPort {
  DWORD m_bFixedPort;
  NmxPortNo m_port;
  WORD m_queueSize;
  int32_t m_portType;
  DWORD m_dwPortAttrib;
  char m_szPortName[NMX_PORTNAME_SIZE];
};

// The base record followed by the unregister flag (kept flat so offsetof stays defined).
struct NmxRegisterR3PortIn {
  DWORD m_bFixedPort;
  NmxPortNo m_port;
  WORD m_queueSize;
  int32_t m_portType;
  DWORD m_dwPortAttrib;
  char m_szPortName[NMX_PORTNAME_SIZE];
  DWORD m_bUnRegister;
};

struct NmxRegisterR3PortOut {
  NmxPortNo m_port;
  WORD m_err;
};

#pragma pack(pop)

static_assert(sizeof(PAL_IOCTL_PARAMETERS) == 64);
static_assert(offsetof(PAL_IOCTL_PARAMETERS, dwIoControlCode) == 0);
static_assert(offsetof(PAL_IOCTL_PARAMETERS, pInBuf) == 8);
static_assert(offsetof(PAL_IOCTL_PARAMETERS, cbInBufSize) == 16);
static_assert(offsetof(PAL_IOCTL_PARAMETERS, pOutBuf) == 24);
static_assert(offsetof(PAL_IOCTL_PARAMETERS, cbOutBufSize) == 32);
static_assert(offsetof(PAL_IOCTL_PARAMETERS, pReserved) == 40);
static_assert(offsetof(PAL_IOCTL_PARAMETERS, pIrp) == 48);
static_assert(offsetof(PAL_IOCTL_PARAMETERS, pFileObject) == 56);
static_assert(sizeof(PAL_IOCTL_TRANS_BUF) == 128);
static_assert(offsetof(PAL_IOCTL_TRANS_BUF, buffer) == 64);
static_assert(sizeof(NmxRegisterPort) == 48);
static_assert(offsetof(NmxRegisterPort, m_port) == 4);
static_assert(offsetof(NmxRegisterPort, m_queueSize) == 6);
static_assert(offsetof(NmxRegisterPort, m_portType) == 8);
static_assert(offsetof(NmxRegisterPort, m_dwPortAttrib) == 12);
static_assert(offsetof(NmxRegisterPort, m_szPortName) == 16);
static_assert(sizeof(NmxRegisterR3PortIn) == 52);
static_assert(offsetof(NmxRegisterR3PortIn, m_port) == offsetof(NmxRegisterPort, m_port));
static_assert(offsetof(NmxRegisterR3PortIn, m_queueSize) == offsetof(NmxRegisterPort, m_queueSize));
static_assert(offsetof(NmxRegisterR3PortIn, m_portType) == offsetof(NmxRegisterPort, m_portType));
static_assert(offsetof(NmxRegisterR3PortIn, m_dwPortAttrib) ==
              offsetof(NmxRegisterPort, m_dwPortAttrib));
static_assert(offsetof(NmxRegisterR3PortIn, m_szPortName) ==
              offsetof(NmxRegisterPort, m_szPortName));
static_assert(offsetof(NmxRegisterR3PortIn, m_bUnRegister) == 48);
static_assert(sizeof(NmxRegisterR3PortOut) == 4);
static_assert(offsetof(NmxRegisterR3PortOut, m_err) == 2);

// A registration record with the device's defaults: not fixed, port 0, queue 80,
// PORTTYPE_R3PORT, attributes 4, register.
inline NmxRegisterR3PortIn MakeDefaultRegisterRecord() {
  NmxRegisterR3PortIn r{};
  r.m_queueSize = 80;
  r.m_portType = PORTTYPE_R3PORT;
  r.m_dwPortAttrib = 4;
  return r;
}
