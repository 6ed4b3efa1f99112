#include "nmx/NmxPort.h"

#include <cstring>

namespace {

// Copies at most max characters of src behind the first `at` characters of dest and
// terminates; dest has room for NMX_PORT_NAME_MAX + 1 bytes.
void CopyName(char* dest, size_t at, const char* src, size_t max) {
  size_t n = strnlen(src, max);
  memcpy(dest + at, src, n);
  dest[at + n] = '\0';
}

}  // namespace

CNmxPort::CNmxPort(NmxPortNo port, const char* name, NMXPORT_TYPE type, DWORD attrib)
    : m_bConnected(FALSE), m_nLastError(0), m_type(type), m_dwAttrib(attrib) {
  m_addr.port = port;
  m_szName[0] = '\0';
  if (name != nullptr) CopyName(m_szName, 0, name, NMX_PORT_NAME_MAX);
}

LONG CNmxPort::NmxSend(NmxCmd*) {
  return 0;
}

void CNmxPort::NmxDispatch(NmxCmd* cmd) {
  if (cmd == nullptr || cmd->head.errCode == NMX_ERR_NOT_HANDLED) return;
  NmxCmd* answer = NmxAlloc(NMX_HEAD_SIZE);
  if (answer == nullptr) return;
  NmxCopyHeadAndSwitchTarget(answer, cmd);
  answer->head.cbData = 0;
  NmxSetError(answer, NMX_ERR_NOT_HANDLED);
  NmxSend(answer);
  NmxFree(answer);
}

NmxCmd* CNmxPort::NmxAllocCopy(const NmxCmd* cmd, LONG size) {
  // A buffer shorter than a header could not even take the new cbData.
  if (cmd == nullptr || size < static_cast<LONG>(NMX_HEAD_SIZE)) return nullptr;
  NmxCmd* copy = NmxAlloc(size);
  if (copy == nullptr) return nullptr;
  uint64_t whole = uint64_t{NMX_HEAD_SIZE} + cmd->head.cbData;
  memcpy(copy, cmd, static_cast<size_t>(whole < static_cast<uint64_t>(size) ? whole : size));
  copy->head.cbData = static_cast<DWORD>(size) - NMX_HEAD_SIZE;
  return copy;
}

NmxCmd* CNmxPort::NmxAllocCopy(const NmxCmd* cmd) {
  if (cmd == nullptr || cmd->head.cbData > 0x7FFFFFFFu - NMX_HEAD_SIZE) return nullptr;
  return NmxAllocCopy(cmd, static_cast<LONG>(NMX_HEAD_SIZE + cmd->head.cbData));
}

NmxCmd* CNmxPort::NmxAllocCopyHead(const NmxCmd* cmd, LONG size) {
  if (cmd == nullptr || size < static_cast<LONG>(NMX_HEAD_SIZE)) return nullptr;
  NmxCmd* copy = NmxAlloc(size);
  if (copy == nullptr) return nullptr;
  NmxCopyHead(copy, cmd);
  copy->head.cbData = static_cast<DWORD>(size) - NMX_HEAD_SIZE;
  return copy;
}

void CNmxPort::NmxCopy(NmxCmd* dest, const NmxCmd* src) {
  memcpy(dest, src, size_t{NMX_HEAD_SIZE} + src->head.cbData);
}

void CNmxPort::NmxCopy(NmxCmd* dest, const NmxCmd* src, LONG size) {
  if (size > 0) memcpy(dest, src, static_cast<size_t>(size));
}

void CNmxPort::NmxCopyHead(NmxCmd* dest, const NmxCmd* src) {
  memcpy(&dest->head, &src->head, NMX_HEAD_SIZE);
}

void CNmxPort::NmxSetAddr(const NmxAddr& addr) {
  m_addr = addr;
}

LONG CNmxPort::NmxResponse(NmxCmd* cmd, LONG errCode) {
  NmxSwitchTarget(cmd);
  NmxSetError(cmd, errCode);
  return NmxSend(cmd);
}

BOOL CNmxPort::NmxIsResponseCommand(const NmxCmd* cmd) const {
  return (cmd->head.stateFlags & NMX_FLAG_RESPONSE) != 0;
}

NmxNetId CNmxPort::NmxGetNetId() const {
  return m_addr.netId;
}
NmxPortNo CNmxPort::NmxGetPort() const {
  return m_addr.port;
}
NmxAddr CNmxPort::NmxGetAddr() const {
  return m_addr;
}
BOOL CNmxPort::NmxPortConnected() const {
  return m_bConnected;
}
DWORD CNmxPort::NmxGetLastError() const {
  return m_nLastError;
}

void CNmxPort::NmxMakeHead(NmxHead& head, WORD cmdId, LONG cbData, NmxNetId targetNetId,
                           NmxPortNo targetPort, LONG hUser, LONG errCode, WORD stateFlags) {
  NmxMakeHead(head, cmdId, cbData, NmxAddr(targetNetId, targetPort), m_addr, hUser, errCode,
              stateFlags);
}

void CNmxPort::NmxMakeHead(NmxHead& head, WORD cmdId, LONG cbData, NmxAddr target, LONG hUser,
                           LONG errCode, WORD stateFlags) {
  NmxMakeHead(head, cmdId, cbData, target, m_addr, hUser, errCode, stateFlags);
}

void CNmxPort::NmxMakeHead(NmxHead& head, WORD cmdId, LONG cbData, const NmxAddr& target,
                           const NmxAddr& sender, LONG hUser, LONG errCode, WORD stateFlags) {
  head.target = target;
  head.sender = sender;
  head.cmdId = cmdId;
  head.stateFlags = stateFlags;
  head.cbData = static_cast<DWORD>(cbData);
  head.errCode = errCode;
  head.hUser = static_cast<DWORD>(hUser);
}

void CNmxPort::NmxSwitchTarget(NmxHead& head) {
  NmxAddr target = head.target;
  head.target = head.sender;
  head.sender = target;
  head.stateFlags |= NMX_FLAG_RESPONSE;
}

void CNmxPort::NmxSwitchTarget(NmxCmd* cmd) {
  NmxSwitchTarget(cmd->head);
}

void CNmxPort::NmxCopyHeadAndSwitchTarget(NmxCmd* dest, const NmxCmd* src) {
  NmxCopyHead(dest, src);
  NmxSwitchTarget(dest);
}

NmxCmd* CNmxPort::NmxAllocCopyHeadAndSwitchTarget(const NmxCmd* src) {
  NmxCmd* answer = NmxAlloc(NMX_HEAD_SIZE);
  if (answer == nullptr) return nullptr;
  NmxCopyHead(answer, src);
  answer->head.cbData = 0;
  NmxSwitchTarget(answer);
  return answer;
}

void CNmxPort::NmxSetError(NmxCmd* cmd, LONG errCode) {
  cmd->head.errCode = errCode;
}

NMXPORT_TYPE CNmxPort::NmxGetPortType() const {
  return PORTTYPE_INVALID;
}

const char* CNmxPort::SetPortName(const char* name) {
  if (name == nullptr) return nullptr;
  CopyName(m_szName, 0, name, NMX_PORT_NAME_MAX);
  return m_szName;
}

const char* CNmxPort::AppendPortName(const char* name) {
  if (name == nullptr) return nullptr;
  size_t len = strlen(m_szName);
  size_t n = len + (len != 0 ? 1 : 0);
  if (n > NMX_PORT_NAME_MAX - 1) return m_szName;
  if (len != 0) m_szName[len] = '.';
  CopyName(m_szName, n, name, NMX_PORT_NAME_MAX - n);
  return m_szName;
}
