// What the fuzz targets share: the private runtime folder of the process and small file
// helpers.
//
// Every target runs against real files. The runtime's base directory (VX_BASE_DIR) is pointed
// at a folder of this process, made on first use with a registry file and a boot project
// folder in it and removed at exit, so a run never touches the machine's runtime and two
// processes never share files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace vxfuzz {

// Creates the private base directory on first call (VX_BASE_DIR, Boot/ and a registry file
// naming both the boot folder and a local NetId) and returns it. Call it before anything reads
// the registry: the store takes its paths when it is created.
const std::string& BaseDir();
// The boot project folder inside BaseDir(), without a trailing slash.
std::string BootDir();
// A folder of BaseDir() for one target's scratch files, created when missing.
std::string ScratchDir(const char* name);

// Removes everything inside dir but dir itself.
void EmptyFolder(const std::string& dir);
bool WriteFile(const std::string& path, const uint8_t* data, size_t size);
bool WriteFile(const std::string& path, const std::string& text);

// The bytes of an NMX command from sender port 30000 of 5.6.7.8.1.1 to targetPort of
// 1.2.3.4.1.1 with the invoke id 1: the header with cbData = payload size, then the payload.
std::vector<uint8_t> NmxCommand(uint16_t cmdId, uint16_t stateFlags, uint16_t targetPort,
                                int32_t errCode, const std::vector<uint8_t>& payload);
// Little-endian 32-bit words, for payloads.
std::vector<uint8_t> Words(std::initializer_list<uint32_t> words);

// An NMX/TCP byte stream read straight through by the framing rules of docs/nmx-tcp.md.
struct NmxTcpStream {
  // Offset and length of each whole frame's body (NMX header and data), in stream order.
  struct Frame {
    size_t offset;
    size_t length;
  };
  std::vector<Frame> frames;
  bool broken = false;    // a frame breaks the rules; nothing from it on is passed on
  bool midFrame = false;  // the stream ends inside a frame or its prefix
  const uint8_t* data = nullptr;

  std::vector<std::vector<uint8_t>> Bodies() const;
};
NmxTcpStream ReadNmxTcpStream(const uint8_t* p, size_t n);

// The registry file a base directory starts with: boot folder baseDir/Boot/, NetId
// 127.0.0.1.1.1.
std::string DefaultRegistryText(const std::string& baseDir);

}  // namespace vxfuzz
