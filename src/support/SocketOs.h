// The few places where socket behaviour differs between platforms, behind named functions.
// Thread-safe: every function here is stateless.
#pragma once

#include "os/OsTypes.h"

namespace VxFunctions {

// Result codes of the socket layer. The numbers are what callers see on every platform: they
// follow the BSD errno numbering offset by 10000, whatever the local errno values are.
constexpr DWORD SOCK_ERR_BASE = 10000;          // any errno without a code of its own
constexpr DWORD SOCK_ERR_INPROGRESS = 10035;    // operation now in progress
constexpr DWORD SOCK_ERR_ALREADY = 10037;       // operation already in progress
constexpr DWORD SOCK_ERR_NOTSOCK = 10038;       // not a socket, or the socket is disabled
constexpr DWORD SOCK_ERR_MSGSIZE = 10040;       // message too long: the receiver reads again
constexpr DWORD SOCK_ERR_ADDRINUSE = 10048;     // address already in use
constexpr DWORD SOCK_ERR_ADDRNOTAVAIL = 10049;  // cannot assign requested address
constexpr DWORD SOCK_ERR_CONNRESET = 10054;     // connection reset by peer
constexpr DWORD SOCK_ERR_NOBUFS = 10055;        // no buffer space available
constexpr DWORD SOCK_ERR_NOTCONN = 10057;       // socket is not connected
constexpr DWORD SOCK_ERR_TIMEDOUT = 10060;      // timed out
constexpr DWORD SOCK_ERR_CONNREFUSED = 10061;   // connection refused
constexpr DWORD SOCK_ERR_ACCESS = 13;           // Accept without target or while not listening
constexpr DWORD SOCK_ERR_FAILED = 0xFFFFFFFFu;  // option failure, or disabled (Create, SetSockOpt)

// Translates a local errno value into the socket result code above.
DWORD SocketErrorFromErrno(int err);

// SocketErrorFromErrno(errno).
DWORD SocketLastError();

// Flags to add to every send() so that writing to a connection the peer has closed returns
// an error instead of raising SIGPIPE (0 where the socket option below does the job).
int SocketNoSigPipeSendFlags();

// Flags that make one send() take what fits now and return instead of waiting for room.
int SocketDontWaitSendFlags();

// Marks a descriptor so that sends on it never raise SIGPIPE, where the platform has a
// socket option for it. Returns false only when such an option exists and failed.
bool SocketSetNoSigPipe(int fd);

// Lets a socket bind an address whose port still has connections of an earlier socket in
// TIME-WAIT, so that a restarted server listens again at once. It never lets two sockets
// listen on one address and port. Returns false when the option failed.
bool SocketSetReuseAddress(int fd);

// Has the system probe a connection that carries nothing, so that a peer that vanished without
// a word (switched off, unplugged, its address gone) ends it with an error instead of holding
// it for good: after idleSeconds of silence a probe every intervalSeconds, and after `probes`
// unanswered ones the connection fails (ETIMEDOUT). Where the system lacks one of the three
// per-socket settings, its own default stands for that one. Returns false when keepalive could
// not be switched on.
bool SocketSetKeepAlive(int fd, int idleSeconds, int intervalSeconds, int probes);

// Switches a descriptor between blocking and non-blocking mode. Returns false on failure.
bool SocketSetNonBlocking(int fd, bool nonBlocking);

// Waits up to timeoutMs (measured on the monotonic clock, signals do not restart it) for fd to
// become readable. 1: readable, or an end of stream or error that a read will report; 0: the
// time passed with nothing to read; -1: the wait failed (errno set).
int SocketWaitReadable(int fd, DWORD timeoutMs);

// The same for room to write: 1 when a send would take bytes (or report an error).
int SocketWaitWritable(int fd, DWORD timeoutMs);

}  // namespace VxFunctions
