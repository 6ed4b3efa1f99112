// The command line of VxNmxLogger: the parameter record, its parser and the usage text.
#pragma once

#include <cstdint>

constexpr int32_t DEFAULT_LISTENER_PORT = 0xBF12;
constexpr int32_t DEFAULT_RING_BUFFER_FILES = 3;
constexpr int32_t DEFAULT_FILE_SIZE_MB = 15;
constexpr int CAP_PATH_SIZE = 1024;
constexpr int LISTEN_ADDRESS_SIZE = 16;  // a dotted IPv4 address and its terminator

struct Parms_t {
  bool bListen;
  bool bCapture;
  int32_t listenerPort;
  // -p ADDRESS:PORT: the one local IPv4 address the viewer port listens on; empty: every one.
  char listenerAddress[LISTEN_ADDRESS_SIZE];
  bool bRingBuffer;  // -r can only set it, and it is set by default
  int32_t ringBufferFiles;
  int32_t fileSizeMb;
  int32_t bufferSizeKB;  // reserved; no option sets it and nothing reads it
  char capName[CAP_PATH_SIZE];
  char capDir[CAP_PATH_SIZE];
};

// The text printed (with puts) whenever the options are not usable.
extern const char arg_doc[];

// Fills *parms with the defaults, then with argv's options. Returns false, after printing why
// (and the usage text where it helps), when the program should end without running the
// logger. Prints to standard output only; getopt_long adds its own diagnostic on standard
// error for an unknown option. Not thread-safe (getopt_long's state is process-wide); it
// restarts the option scan on every call.
bool ParseParameter(Parms_t* parms, int argc, char** argv);
