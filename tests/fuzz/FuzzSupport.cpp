#include "fuzz/FuzzSupport.h"

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "nmx/KrpTypes.h"
#include "nmx/NmxTypes.h"
#include "os/ByteOrder.h"
#include "viewer/NmxTcpFormat.h"

namespace vxfuzz {

namespace {

namespace fs = std::filesystem;

std::string MakeBaseDir() {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vxfuzz.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    perror("vxfuzz: mkdtemp");
    abort();
  }
  std::string dir = buf.data();
  std::error_code ec;
  fs::create_directories(dir + "/Boot", ec);
  setenv("VX_BASE_DIR", dir.c_str(), 1);
  return dir;
}

// Never destroyed: the folder is removed by an exit handler, which may run after static
// objects are gone.
const std::string* g_baseDir = nullptr;

void RemoveBaseDir() {
  std::error_code ec;
  fs::remove_all(*g_baseDir, ec);
}

const std::string& BaseDirOnce() {
  static const bool made = [] {
    g_baseDir = new std::string(MakeBaseDir());
    WriteFile(*g_baseDir + "/VxRegistry.xml", DefaultRegistryText(*g_baseDir));
    atexit(RemoveBaseDir);
    return true;
  }();
  (void)made;
  return *g_baseDir;
}

}  // namespace

const std::string& BaseDir() {
  return BaseDirOnce();
}

std::string BootDir() {
  return BaseDir() + "/Boot";
}

std::string ScratchDir(const char* name) {
  std::string dir = BaseDir() + "/" + name;
  std::error_code ec;
  fs::create_directories(dir, ec);
  return dir;
}

void EmptyFolder(const std::string& dir) {
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  f.close();
  return static_cast<bool>(f);
}

bool WriteFile(const std::string& path, const std::string& text) {
  return WriteFile(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::vector<uint8_t> NmxCommand(uint16_t cmdId, uint16_t stateFlags, uint16_t targetPort,
                                int32_t errCode, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> cmd(NMX_HEAD_SIZE + payload.size());
  NmxHead head;
  NmxNetId target, sender;
  target = "1.2.3.4.1.1";
  sender = "5.6.7.8.1.1";
  KrpMakeHead(head, NmxAddr(target, targetPort), NmxAddr(sender, 30000), 1, cmdId, stateFlags,
              static_cast<DWORD>(payload.size()));
  head.errCode = errCode;
  memcpy(cmd.data(), &head, sizeof head);
  if (!payload.empty()) memcpy(cmd.data() + NMX_HEAD_SIZE, payload.data(), payload.size());
  return cmd;
}

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> b(4 * words.size());
  size_t i = 0;
  for (uint32_t w : words) vx::EncodeLE32(b.data() + 4 * i++, w);
  return b;
}

std::vector<std::vector<uint8_t>> NmxTcpStream::Bodies() const {
  std::vector<std::vector<uint8_t>> bodies;
  for (const Frame& f : frames) bodies.emplace_back(data + f.offset, data + f.offset + f.length);
  return bodies;
}

NmxTcpStream ReadNmxTcpStream(const uint8_t* p, size_t n) {
  NmxTcpStream s;
  s.data = p;
  size_t pos = 0;
  while (pos < n) {
    if (n - pos < NMXTCP_PREFIX_SIZE) {
      s.midFrame = true;
      break;
    }
    const NmxTcpPrefix prefix = DecodeNmxTcpPrefix(p + pos);
    if (prefix.reserved > NMXTCP_MAX_RESERVED || prefix.length < NMX_HEAD_SIZE ||
        prefix.length > NMXTCP_MAX_FRAME_LENGTH) {
      s.broken = true;
      break;
    }
    const size_t body = pos + NMXTCP_PREFIX_SIZE;
    if (n - body < NMX_HEAD_SIZE) {
      s.midFrame = true;
      break;
    }
    if (uint64_t{vx::DecodeLE32(p + body + NMXTCP_CBDATA_OFFSET)} + NMX_HEAD_SIZE !=
        prefix.length) {
      s.broken = true;
      break;
    }
    if (n - body < prefix.length) {
      s.midFrame = true;
      break;
    }
    s.frames.push_back({body, prefix.length});
    pos = body + prefix.length;
  }
  return s;
}

std::string DefaultRegistryText(const std::string& baseDir) {
  return "<VxRegistry>\n"
         " <Key Name=\"HKLM\">\n"
         "  <Key Name=\"Software\">\n"
         "   <Key Name=\"Lormec\">\n"
         "    <Key Name=\"Varnix3\">\n"
         "     <Value Name=\"CurrentVersion\" Type=\"SZ\">3.1</Value>\n"
         "     <Key Name=\"System\">\n"
         "      <Value Name=\"NmxNetId\" Type=\"BIN\">7F0000010101</Value>\n"
         "     </Key>\n"
         "     <Key Name=\"3.1\">\n"
         "      <Value Name=\"BootDir\" Type=\"SZ\">" +
         baseDir +
         "/Boot/</Value>\n"
         "     </Key>\n"
         "    </Key>\n"
         "   </Key>\n"
         "  </Key>\n"
         " </Key>\n"
         "</VxRegistry>\n";
}

}  // namespace vxfuzz
