// The command line of VxNmxLogger: the parameter record, its parser and the usage text.
#pragma once

#include <cstdint>

constexpr int32_t DEFAULT_LISTENER_PORT = 0xBF12;
constexpr int32_t DEFAULT_RING_BUFFER_FILES = 3;
constexpr int32_t DEFAULT_FILE_SIZE_MB = 15;
// The most -s takes: a capture file's offsets are 32-bit (Parameters.cpp says why).
constexpr int32_t MAX_FILE_SIZE_MB = 4095;
constexpr int CAP_PATH_SIZE = 1024;
constexpr int LISTEN_ADDRESS_SIZE = 16;  // a dotted IPv4 address and its terminator

// Exit statuses of the program.
constexpr int EXIT_STATUS_OK = 0;           // a run that ended as it should; the usage alone
constexpr int EXIT_STATUS_NOT_STARTED = 1;  // the logger could not start, or its capture failed
constexpr int EXIT_STATUS_USAGE = 2;        // the command line was wrong

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

// Fills *parms with the defaults, then with argv's options. An absolute -f is split into
// its folder (capDir) and its name (capName). Returns false, after printing why and the
// usage text, when the program should end without running the logger; *exitStatus (when
// given) then says how: EXIT_STATUS_OK for the usage asked for by giving no arguments,
// EXIT_STATUS_USAGE for a wrong command line. Prints to standard output only; getopt_long adds
// its own diagnostic on standard error for an unknown option. Not thread-safe (getopt_long's
// state is process-wide); it restarts the option scan on every call.
bool ParseParameter(Parms_t* parms, int argc, char** argv, int* exitStatus = nullptr);
