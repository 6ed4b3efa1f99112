// CServeSocketStream: one request's connection as cpp-httplib's server reads and writes it.
// The request was read whole by the front (CServeFront) and is handed out from memory; the
// answer goes to the socket, each write given a time in which the peer must make room.
#pragma once

#include <httplib.h>

#include <string>

#include "os/OsTypes.h"

// Not thread-safe: one server thread uses it.
class CServeSocketStream : public httplib::Stream {
 public:
  // fd stays the caller's; request holds the whole request, head and body.
  CServeSocketStream(int fd, std::string request, DWORD stallMs);

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override;

 private:
  const int m_fd;
  const std::string m_request;
  const DWORD m_nStallMs;
  size_t m_nRead = 0;
};
