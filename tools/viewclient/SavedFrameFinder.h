// CSavedFrameFinder: where a frame seen live sits in the capture file the logger saved, found
// by its time and its NMX header in the file's bytes as they are read from the start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "viewclient/FrameTrigger.h"
#include "viewclient/ViewSession.h"

// Not thread-safe. Holds no more than a record's head at a time, however large the file.
class CSavedFrameFinder {
 public:
  enum class State {
    kReading,      // more bytes needed
    kFound,        // Index() is its frame number
    kAbsent,       // no frame of the file is the one looked for
    kNotACapture,  // the header is not that of a capture file
    kDamaged,      // a record does not fit the file's layout
  };

  explicit CSavedFrameFinder(const TriggerFrame& frame) : m_frame(frame) {}

  // The next n bytes of the file. False once no more are needed (State() is not kReading).
  bool Add(const BYTE* p, size_t n);
  // The file ended here: a file still kReading is cut short (kDamaged).
  void End();

  State Result() const { return m_state; }
  uint64_t Index() const { return m_nIndex; }
  uint64_t Frames() const { return m_nFrames; }

 private:
  void Record();

  const TriggerFrame m_frame;
  State m_state = State::kReading;
  std::vector<BYTE> m_head;  // the header, then the head of the record being read
  bool m_bHaveHeader = false;
  uint64_t m_nRecordsEnd = 0;  // where the frame table begins
  uint64_t m_nAt = 0;          // file offset of the bytes in m_head, or of those to skip
  uint64_t m_nSkip = 0;        // bytes of the current record still to pass over
  uint64_t m_nIndex = 0;
  uint64_t m_nFrames = 0;
};

// Where the frame lies in the logger's current capture file.
struct SavedFramePlace {
  std::string file;  // the capture file as the logger names it
  CSavedFrameFinder::State state = CSavedFrameFinder::State::kReading;
  uint64_t nIndex = 0;
  uint64_t nFrames = 0;
  std::string why;  // why it could not be read
};

// Reads the logger's capture file (it lies in the boot folder, as the logger's own files are
// fetched) from its start until frame is found. False with place->why when the file could not
// be read; a failure to read the capture's state is also reported through the session.
bool FindSavedFrame(CViewSession& s, const TriggerFrame& frame, SavedFramePlace* place);

// "frame 5678 of 5800 in /boot/run.cap (5678 before it, 121 after it)", or why not.
std::string SavedFramePlaceText(const SavedFramePlace& place);
