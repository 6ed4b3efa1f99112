// The commands on a logger that nmx-view gives and its browser page and nmx-extcap use. Each
// returns the exit status of the program (ViewOptions.h).
#pragma once

#include <string>
#include <vector>

#include "viewclient/ViewSession.h"

int ViewStatus(CViewSession& s);
// settingsFile: the path of a settings document on the logger's machine, or empty.
int ViewStart(CViewSession& s, const std::string& settingsFile);
int ViewStop(CViewSession& s);
// set ring | single | filesize BYTES | buffersize BYTES | savename NAME | autosave on|off
int ViewSet(CViewSession& s, const std::vector<std::string>& args);
int ViewSave(CViewSession& s, const std::string& name);
// filter [show] | enable|disable [filter|include|exclude] | include|exclude [ADDR...] |
// flags none|krp|error|krp,error
int ViewFilter(CViewSession& s, const std::vector<std::string>& args);
// local "-" writes to the output stream.
int ViewGet(CViewSession& s, const std::string& name, const std::string& local);

// The filter state as the logger reports it.
struct FilterState {
  bool bActive = false;
  bool bInclude = false;
  bool bExclude = false;
  DWORD dwFlags = 0;
  std::vector<BYTE> include;  // the tables' bytes: u32 count, 10 bytes per entry
  std::vector<BYTE> exclude;
};
bool ReadFilterState(CViewSession& s, FilterState* state, int* status);

// Everything status reports.
struct CaptureStatus {
  bool bCapturing = false;
  bool bRing = false;
  DWORD fileSize = 0;
  DWORD bufferSize = 0;
  LONG frames = 0;
  DWORD frameBytes = 0;
  DWORD overflows = 0;
  bool bDroppedKnown = false;  // an older logger does not tell
  ULONGLONG dropped = 0;       // frames the logger lost in the run (queue full, refused)
  std::string captureFile;     // empty: none yet
  std::string saveName;        // empty: none set
  bool bAutoSave = false;
  FilterState filter;
};
// False as CViewSession::Check.
bool ReadCaptureStatus(CViewSession& s, CaptureStatus* st, int* status);
// {"state":"capturing"|"stopped","fileMode":...,"filter":{...}}, as status --json prints it.
std::string CaptureStatusJson(const CaptureStatus& st);
// Lines "filter: on" ... for status and filter show.
void PrintFilterState(std::ostream& out, const FilterState& state);
// {"active":...,"include":{...},"exclude":{...},"flags":[...]}
std::string FilterStateJson(const FilterState& state);

// One address entry (10 bytes) from "any", "NETID", ":PORT" or "NETID:PORT"; false with
// *error for anything else.
bool ParseAddressEntry(const std::string& text, BYTE* entry, std::string* error);
// The table bytes (u32 count, 10 bytes per entry) of addresses in that form; false with
// *error for the first one that is not.
bool BuildAddressTable(const std::vector<std::string>& addrs, std::vector<BYTE>* table,
                       std::string* error);
// "none", or "krp", "error" or both separated by a comma, as filter flag bits; false with
// *error otherwise.
bool ParseFilterFlags(const std::string& list, DWORD* flags, std::string* error);
// The text form ParseAddressEntry reads.
std::string FormatAddressEntry(const BYTE* entry);
// A byte count with an optional K, M or G suffix (powers of 1024); false when malformed or
// above 0xFFFFFFFF.
bool ParseByteCount(const std::string& text, DWORD* value);
