#include "viewclient/ViewSession.h"

#include <cstdio>

#include "os/ByteOrder.h"
#include "viewclient/KrpErrorText.h"

CViewSession::CViewSession(const ViewOptions& opt, const std::string& command, std::ostream& out,
                           std::ostream& err, const char* program)
    : m_opt(opt), m_command(command), m_program(program), m_out(out), m_err(err) {
  m_client.SetTimeout(opt.timeoutMs);
}

bool CViewSession::Connect() {
  std::string error;
  if (m_client.Open(m_opt.host, m_opt.port, &error)) return true;
  Fail("cannot connect to " + m_opt.host + ":" + std::to_string(m_opt.port) + ": " + error,
       kViewExitConnection);
  return false;
}

int CViewSession::Fail(const std::string& text, int status) {
  m_out.flush();
  m_err << m_program << ": " << m_command << ": " << text << "\n";
  m_err.flush();
  return status;
}

bool CViewSession::Check(const KrpReply& r, const std::string& what, int* status,
                         Meanings meanings) {
  if (r.answered && r.result == 0) return true;
  if (r.bBusy) {
    *status = Fail(
        "another viewer holds the logger: it serves one viewer at a time, and did "
        "not answer within " +
            std::to_string((m_client.BusyTimeout() + 999) / 1000) + " s",
        kViewExitConnection);
    return false;
  }
  if (!r.answered) {
    *status = Fail(what + ": " + r.error, kViewExitConnection);
    return false;
  }
  std::string why = KrpErrorText(r.result);
  for (const auto& m : meanings) {
    if (m.first != r.result) continue;
    char code[16];
    snprintf(code, sizeof code, " (0x%X)", static_cast<unsigned>(r.result));
    why = m.second + std::string(code);
  }
  *status = Fail(what + ": " + why, kViewExitFailed);
  return false;
}

bool CViewSession::ReadValue(DWORD group, DWORD offset, DWORD* value, const std::string& what,
                             int* status) {
  const KrpReply r = m_client.Read(group, offset, 4);
  if (!Check(r, what, status)) return false;
  if (r.data.size() != 4) {
    *status = Fail(
        what + ": the logger answered " + std::to_string(r.data.size()) + " bytes instead of 4",
        kViewExitFailed);
    return false;
  }
  *value = vx::DecodeLE32(r.data.data());
  return true;
}

KrpReply CViewSession::WriteValue(DWORD group, DWORD offset, DWORD value) {
  BYTE b[4];
  vx::EncodeLE32(b, value);
  return m_client.Write(group, offset, b, sizeof b);
}
