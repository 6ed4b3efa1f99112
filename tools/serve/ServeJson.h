// What the page receives, as JSON: a frame in the pieces of its nmx-cap dump line, and the
// state of the logger connection. Each object is one line, ready for a Server-Sent Event.
#pragma once

#include <cstdint>
#include <string>

#include "os/OsTypes.h"
#include "viewclient/ViewCommands.h"

// What pairing the frames with each other found out about one of them.
struct ServeFrameFacts {
  bool bError = false;     // an NMX error, or a KRP result other than 0
  bool bHasGroup = false;  // the index group of a request, or of the request a response answers
  DWORD nGroup = 0;
  bool bAnswers = false;  // a response to frame nRequest, nMicros after it
  uint64_t nRequest = 0;
  uint64_t nMicros = 0;
};

// The frame of a whole record (size bytes, as CFrameFollower hands it over) numbered number:
// {"n":..,"time":UTC as dump prints it,"ms":Unix milliseconds or null,"sender":..,
//  "target":..,"command":"Read(2)","dir":"req"|"res","flags":"0x0004","invoke":..,
//  "error":"0","errorCode":..,"length":..,"krp":"indexGroup=...","line":the dump line,
//  "bytes":hex of the packet,"bytesOmitted":..,"isError":true|false,"group":"0x4020"|null,
//  "req":the request's n or null,"rt":response time in microseconds or null}
std::string ServeFrameJson(const BYTE* record, DWORD size, DWORD number,
                           const ServeFrameFacts& facts = ServeFrameFacts());

// {"n":..,"ms":..}: request n had no answer within ms milliseconds.
std::string ServeUnansweredJson(uint64_t n, DWORD ms);

// {"t":Unix milliseconds at the end,"s":seconds counted,"frames":..,"errors":..}: what was
// captured in the last second or so.
std::string ServeRateJson(uint64_t unixMs, double seconds, uint64_t frames, uint64_t errors);

// {"problem":text}: frames were lost between two frames handed over.
std::string ServeLostJson(const std::string& problem);

// Where the page server stands with the logger.
enum class ServeLink {
  kIdle,  // no page open: the logger is free for other viewers
  kConnecting,
  kFollowing,    // connected, frames are followed
  kBusy,         // connected, but another viewer holds the logger and nothing answers
  kUnreachable,  // no connection
};
const char* ServeLinkName(ServeLink link);

// A trigger set from the page, and what became of it.
struct ServeTriggerState {
  enum class Stage { kOff, kArmed, kFired, kStopped, kFailed };
  Stage stage = Stage::kOff;
  std::string what;
  uint64_t nAfter = 0;
  DWORD nAfterMs = 0;
  bool bByTime = false;
  // Fired and after:
  uint64_t nFrame = 0;
  std::string why;
  std::string line;
  // Stopped:
  std::string place;  // where the frame lies in the saved capture, in words
  bool bFound = false;
  uint64_t nIndex = 0;
  uint64_t nFrames = 0;
  std::string message;  // kFailed: why
};

struct ServeState {
  ServeLink link = ServeLink::kIdle;
  std::string message;  // why, for kBusy and kUnreachable
  bool bHaveCapture = false;
  CaptureStatus capture;
  ServeTriggerState trigger;
};

// {"link":"following","message":..,"logger":"HOST:PORT","capture":{as status --json}|null,
//  "trigger":{"stage":"off"|"armed"|"fired"|"stopped"|"failed","what":..,"after":..,
//  "afterMs":..|null, then for a fired one "frame":..,"why":..,"line":.., for a stopped one
//  "place":..,"found":..,"index":..,"frames":.., for a failed one "message":..}}
std::string ServeStateJson(const ServeState& state, const std::string& logger);

// {"ok":true} or {"ok":false,"error":text}.
std::string ServeOutcomeJson(bool ok, const std::string& error);
