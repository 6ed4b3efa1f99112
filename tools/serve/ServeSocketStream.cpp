#include "serve/ServeSocketStream.h"

#include <errno.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

#include "support/SocketOs.h"

namespace {

void Name(const sockaddr_storage& addr, socklen_t len, std::string& ip, int& port) {
  char host[NI_MAXHOST] = "", serv[NI_MAXSERV] = "";
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr), len, host, sizeof host, serv,
                  sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return;
  ip = host;
  port = atoi(serv);
}

}  // namespace

CServeSocketStream::CServeSocketStream(int fd, std::string request, DWORD stallMs)
    : m_fd(fd), m_request(std::move(request)), m_nStallMs(stallMs) {}

bool CServeSocketStream::is_readable() const {
  return m_nRead < m_request.size();
}

bool CServeSocketStream::is_writable() const {
  return VxFunctions::SocketWaitWritable(m_fd, m_nStallMs) == 1;
}

ssize_t CServeSocketStream::read(char* ptr, size_t size) {
  const size_t n = std::min(size, m_request.size() - m_nRead);
  memcpy(ptr, m_request.data() + m_nRead, n);
  m_nRead += n;
  return static_cast<ssize_t>(n);
}

ssize_t CServeSocketStream::write(const char* ptr, size_t size) {
  if (!is_writable()) return -1;
  const ssize_t n =
      send(m_fd, ptr, size,
           VxFunctions::SocketNoSigPipeSendFlags() | VxFunctions::SocketDontWaitSendFlags());
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return n;
}

void CServeSocketStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getpeername(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) Name(addr, len, ip, port);
}

void CServeSocketStream::get_local_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) Name(addr, len, ip, port);
}

socket_t CServeSocketStream::socket() const {
  return m_fd;
}
