// Shared pieces of the viewer tests: a private registry with a known NetId, a raw NMX/TCP
// peer that builds and parses frames byte by byte (independently of the code under test),
// and a command handler that records what reaches it.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/TestUtil.h"
#include "nmx/NmxTypes.h"
#include "os/ByteOrder.h"
#include "registry/VxRegTesting.h"
#include "viewer/VxKrpItf.h"

namespace viewertest {

typedef std::vector<BYTE> Bytes;

// The NetId the registry of every viewer test names for the local machine.
constexpr NmxNetId kLocalNetId = {{5, 1, 204, 160, 1, 1}};

// Points the registry at a private folder whose registry names kLocalNetId.
class RegistryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::string xml =
        "<?xml version=\"1.0\"?>\n<VxRegistry><Key Name=\"HKLM\"><Key Name=\"Software\">"
        "<Key Name=\"Lormec\"><Key Name=\"Varnix3\"><Key Name=\"System\">"
        "<Value Name=\"NmxNetId\" Type=\"BIN\">0501cca00101</Value>"
        "</Key></Key></Key></Key></Key></VxRegistry>\n";
    vxtest::WriteFileBytes(m_dir / "VxRegistry.xml", Bytes(xml.begin(), xml.end()));
    setenv("VX_BASE_DIR", m_dir.path().c_str(), 1);
    VxRegTestRecreateStore();
  }
  void TearDown() override {
    VxRegTestRecreateStore();
    unsetenv("VX_BASE_DIR");
  }

 private:
  vxtest::TempDir m_dir;
};

inline void PutLE16(Bytes& b, WORD v) {
  b.resize(b.size() + 2);
  vx::EncodeLE16(&b[b.size() - 2], v);
}
inline void PutLE32(Bytes& b, DWORD v) {
  b.resize(b.size() + 4);
  vx::EncodeLE32(&b[b.size() - 4], v);
}
inline void PutAddr(Bytes& b, const NmxAddr& a) {
  b.insert(b.end(), a.netId.b, a.netId.b + 6);
  PutLE16(b, a.port);
}
inline void PutBytes(Bytes& b, const Bytes& more) {
  b.insert(b.end(), more.begin(), more.end());
}

// Fields of a received NMX header.
struct Head {
  NmxAddr target, sender;
  WORD cmdId = 0, stateFlags = 0;
  DWORD cbData = 0, errCode = 0, hUser = 0;
};

inline Head DecodeHead(const BYTE* p) {
  const NmxHead n = DecodeNmxHead(p);
  return Head{n.target, n.sender, n.cmdId, n.stateFlags, n.cbData, static_cast<DWORD>(n.errCode),
              n.hUser};
}

// One NMX/TCP frame: prefix, 32-byte header, data. length overrides the prefix length and
// cbData the header's, to build broken frames.
struct FrameSpec {
  WORD cmdId = 0;
  WORD stateFlags = 0;
  DWORD hUser = 0;
  NmxAddr target;
  NmxAddr sender;
  Bytes data;
  WORD reserved = 0;
  long long length = -1;
  long long cbData = -1;
};

inline Bytes EncodeFrame(const FrameSpec& f) {
  const DWORD cbData =
      f.cbData >= 0 ? static_cast<DWORD>(f.cbData) : static_cast<DWORD>(f.data.size());
  Bytes b;
  PutLE16(b, f.reserved);
  PutLE32(b, f.length >= 0 ? static_cast<DWORD>(f.length) : static_cast<DWORD>(32 + f.data.size()));
  PutAddr(b, f.target);
  PutAddr(b, f.sender);
  PutLE16(b, f.cmdId);
  PutLE16(b, f.stateFlags);
  PutLE32(b, cbData);
  PutLE32(b, 0);
  PutLE32(b, f.hUser);
  PutBytes(b, f.data);
  return b;
}

// The peer every viewer test uses as the viewer's address.
inline NmxAddr ViewerAddr() {
  return NmxAddr(NmxNetId{{10, 0, 0, 7, 1, 1}}, 33000);
}

// A KRP request frame from ViewerAddr() to the server at {kLocalNetId, 10502}.
inline Bytes KrpRequest(WORD cmdId, DWORD invokeId, const Bytes& payload) {
  FrameSpec f;
  f.cmdId = cmdId;
  f.stateFlags = NMX_FLAG_KRP_COMMAND;
  f.hUser = invokeId;
  f.target = NmxAddr(kLocalNetId, 10502);
  f.sender = ViewerAddr();
  f.data = payload;
  return EncodeFrame(f);
}

struct Frame {
  WORD reserved = 0;
  DWORD length = 0;
  Head head;
  Bytes data;
};

// A raw loopback TCP peer with blocking reads bounded by a generous deadline.
class RawPeer {
 public:
  RawPeer() = default;
  explicit RawPeer(WORD port) { Connect(port); }
  explicit RawPeer(int adoptedFd) : m_fd(adoptedFd) {}
  ~RawPeer() { Close(); }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  bool Connect(WORD port) {
    Close();
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return connect(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0;
  }
  void Close() {
    if (m_fd != -1) close(m_fd);
    m_fd = -1;
  }
  int Fd() const { return m_fd; }

  bool Send(const Bytes& b) {
    size_t off = 0;
    while (off < b.size()) {
      ssize_t n = send(m_fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }

  // Waits up to `deadline` for n bytes; false on end of stream, error or time-out.
  bool ReadExact(BYTE* p, size_t n, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    size_t got = 0;
    while (got < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd pfd{m_fd, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
      ssize_t r = recv(m_fd, p + got, n - got, 0);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }

  bool ReadFrame(Frame* f, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    BYTE prefix[6];
    if (!ReadExact(prefix, 6, deadline)) return false;
    f->reserved = vx::DecodeLE16(prefix);
    f->length = vx::DecodeLE32(prefix + 2);
    if (f->length < 32 || f->length > (64u << 20)) return false;
    Bytes body(f->length);
    if (!ReadExact(body.data(), body.size(), deadline)) return false;
    f->head = DecodeHead(body.data());
    f->data.assign(body.begin() + 32, body.end());
    return true;
  }

  // True when the other side closes the connection within the deadline; data that arrives
  // before the close is skipped.
  bool WaitClosed(std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    BYTE buf[4096];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd pfd{m_fd, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
      ssize_t r = recv(m_fd, buf, sizeof(buf), 0);
      if (r == 0) return true;
      if (r < 0) return errno == ECONNRESET;
    }
  }

  // True when nothing arrives (and the connection stays open) for the given time.
  bool Silent(std::chrono::milliseconds time) {
    pollfd pfd{m_fd, POLLIN, 0};
    return poll(&pfd, 1, static_cast<int>(time.count())) == 0;
  }

 private:
  int m_fd = -1;
};

// A listening loopback socket on an ephemeral port, to hand accepted descriptors to a stub.
class RawListener {
 public:
  RawListener() {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin));
    listen(m_fd, 8);
    socklen_t len = sizeof(sin);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&sin), &len);
    m_port = ntohs(sin.sin_port);
  }
  ~RawListener() { close(m_fd); }
  WORD Port() const { return m_port; }
  int Accept() { return accept(m_fd, nullptr, nullptr); }

 private:
  int m_fd = -1;
  WORD m_port = 0;
};

// A command handler that records the calls reaching it and answers as configured.
class RecordingHandler : public IVxKrpSync, public IVxKrpComm {
 public:
  HRESULT QueryInterface(REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }

  HRESULT OnDisconnected() override {
    ++m_disconnects;
    return S_OK;
  }
  HRESULT OnNewConnection() override {
    ++m_connects;
    return S_OK;
  }

  HRESULT Write(DWORD group, DWORD offset, DWORD length, const void* data) override {
    Record("Write", group, offset, Bytes(Ptr(data), Ptr(data) + length));
    return m_result;
  }
  HRESULT Read(DWORD, DWORD, DWORD, void*) override { return E_NOTIMPL; }
  HRESULT ReadEx(DWORD group, DWORD offset, DWORD length, void* data, DWORD* bytesRead) override {
    Record("Read", group, offset, {});
    std::lock_guard<std::mutex> guard(m_mutex);
    const DWORD n = std::min<DWORD>(length, static_cast<DWORD>(m_readData.size()));
    memcpy(data, m_readData.data(), n);
    *bytesRead = m_claimBytes ? m_claimBytes : n;
    return m_result;
  }
  HRESULT ReadWrite(DWORD group, DWORD offset, DWORD readLength, void* readData, DWORD writeLength,
                    const void* writeData, DWORD* bytesRead) override {
    Record("ReadWrite", group, offset, Bytes(Ptr(writeData), Ptr(writeData) + writeLength));
    std::lock_guard<std::mutex> guard(m_mutex);
    const DWORD n = std::min<DWORD>(readLength, static_cast<DWORD>(m_readData.size()));
    memcpy(readData, m_readData.data(), n);
    *bytesRead = n;
    return m_result;
  }
  HRESULT WriteControl(DWORD krpState, DWORD deviceState, DWORD length, const void* data) override {
    Record("WriteControl", krpState, deviceState, Bytes(Ptr(data), Ptr(data) + length));
    return m_result;
  }
  HRESULT ReadDeviceInfo(char*, KrpVersion*) override { return E_NOTIMPL; }
  HRESULT ReadState(DWORD* krpState, DWORD* deviceState, DWORD*, void**) override {
    Record("ReadState", 0, 0, {});
    *krpState = 5;
    *deviceState = 7;
    return m_result;
  }
  HRESULT AddDeviceNotification(DWORD group, DWORD offset, KrpNotificationAttrib* attrib, DWORD,
                                DWORD* handle) override {
    Record("AddDeviceNotification", group, offset, {});
    std::lock_guard<std::mutex> guard(m_mutex);
    m_lastAttrib = *attrib;
    *handle = 42;
    return m_result;
  }
  HRESULT DelDeviceNotification(DWORD handle) override {
    Record("DelDeviceNotification", handle, 0, {});
    return m_result;
  }
  HRESULT DeviceNotification(const NmxAddr*, DWORD length, const void* stream) override {
    Record("DeviceNotification", length, 0, Bytes(Ptr(stream), Ptr(stream) + length));
    return m_result;
  }

  struct Call {
    std::string name;
    DWORD a = 0, b = 0;
    Bytes data;
  };
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_calls;
  }
  size_t CallCount() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_calls.size();
  }

  // What ReadEx and ReadWrite hand out; claimBytes, when non-zero, is the byte count ReadEx
  // reports whatever it filled in.
  void SetReadData(Bytes data, DWORD claimBytes = 0) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_readData = std::move(data);
    m_claimBytes = claimBytes;
  }
  KrpNotificationAttrib LastAttrib() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lastAttrib;
  }

  std::atomic<HRESULT> m_result{S_OK};
  std::atomic<int> m_connects{0};
  std::atomic<int> m_disconnects{0};

 private:
  static const BYTE* Ptr(const void* p) { return static_cast<const BYTE*>(p); }
  void Record(const char* name, DWORD a, DWORD b, Bytes data) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_calls.push_back(Call{name, a, b, std::move(data)});
  }
  std::mutex m_mutex;
  std::vector<Call> m_calls;
  Bytes m_readData;
  DWORD m_claimBytes = 0;
  KrpNotificationAttrib m_lastAttrib{};
};

}  // namespace viewertest
