// CViewSession: one run of an nmx-view command against a logger: the connection, the
// output streams and how failures are reported.
#pragma once

#include <initializer_list>
#include <ostream>
#include <string>
#include <utility>

#include "viewclient/ViewClient.h"
#include "viewclient/ViewOptions.h"
#include "viewer/KrpCommFormat.h"

// Not thread-safe.
class CViewSession {
 public:
  // program names the tool in what it reports.
  CViewSession(const ViewOptions& opt, const std::string& command, std::ostream& out,
               std::ostream& err, const char* program = "nmx-view");

  // Connects; false after reporting why.
  bool Connect();

  CViewClient& Client() { return m_client; }
  const ViewOptions& Options() const { return m_opt; }
  std::ostream& Out() { return m_out; }
  std::ostream& Err() { return m_err; }

  // What a KRP code means for one request, in place of its general meaning.
  typedef std::initializer_list<std::pair<DWORD, const char*>> Meanings;

  // True when the request succeeded. Otherwise reports "PROGRAM: COMMAND: what: why (code)"
  // and sets *status to the exit status that fits.
  bool Check(const KrpReply& r, const std::string& what, int* status, Meanings meanings = {});
  // Reports "PROGRAM: COMMAND: text" and returns status.
  int Fail(const std::string& text, int status);

  // A u32 value read from group/offset; false as Check.
  bool ReadValue(DWORD group, DWORD offset, DWORD* value, const std::string& what, int* status);
  KrpReply WriteValue(DWORD group, DWORD offset, DWORD value);

 private:
  ViewOptions m_opt;
  std::string m_command;
  const char* m_program;
  std::ostream& m_out;
  std::ostream& m_err;
  CViewClient m_client;
};
