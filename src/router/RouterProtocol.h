// Messages between a router handle and the stand-in router (nmx-router) on its Unix stream
// socket. docs/router-protocol.md draws the bytes; this header is the one place that encodes
// them. Every field is little-endian and encoded field by field.
//
// One connection is one device handle. A message is an 8-byte head followed by its body:
//   +0 u16 type   +2 u16 reserved (0)   +4 u32 body length
//
// Client to router:
//   READ   body 12:       u32 offset (the port to read), u32 buffer length, u32 batch
//   WRITE  body n >= 32:  one whole NMX command; there is no reply
//   IOCTL  body 132:      u32 request, then the 128-byte device-control envelope
// Router to client:
//   READ_REPLY   body 12+k: u32 errno (0 = success), u32 byte count, u32 replies that
//                           follow in the same batch, k data bytes
//   IOCTL_REPLY  body 4|132: u32 errno, then (errno 0 only) the envelope with the output
//
// A READ is answered when the port has something to deliver, with a batch of 1 to `batch`
// READ_REPLYs back to back: the first is the read's answer, the others are what the port
// holds behind it (commands that fit the buffer length, system statuses), handed over ahead
// so that the next reads need no round trip. The client answers its following reads from
// them, in order, before it sends another READ.
//
// At most one READ (until its whole batch has arrived) and one IOCTL may be outstanding per
// connection; IOCTLs are answered at once, so READ and IOCTL replies can arrive in either
// order and are told apart by their type.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/ByteOrder.h"

namespace vx::router {

constexpr uint16_t MSG_READ = 1;
constexpr uint16_t MSG_WRITE = 2;
constexpr uint16_t MSG_IOCTL = 3;
constexpr uint16_t MSG_READ_REPLY = 0x81;
constexpr uint16_t MSG_IOCTL_REPLY = 0x83;

constexpr size_t MSG_HEAD_SIZE = 8;
constexpr size_t READ_BODY_SIZE = 12;
constexpr size_t READ_REPLY_FIXED = 12;  // errno, count and following before the data
// Replies a client asks for per READ; the router may send fewer, and holds a batch to
// READ_BATCH_BYTES of data.
constexpr uint32_t READ_BATCH = 64;
constexpr uint32_t READ_BATCH_MAX = 1024;
constexpr uint32_t READ_BATCH_BYTES = 256u << 10;
constexpr size_t ENVELOPE_SIZE = 128;
constexpr size_t ENVELOPE_INLINE = 64;  // bytes of in/output carried inside the envelope
constexpr size_t IOCTL_BODY_SIZE = 4 + ENVELOPE_SIZE;

// Largest command a client may write; the router appends 8 bytes to mirrored copies, so a
// reply can carry up to MAX_COMMAND + 8 data bytes.
constexpr uint32_t MAX_COMMAND = 1u << 20;
constexpr uint32_t MAX_DELIVERY = MAX_COMMAND + 8;
constexpr uint32_t MAX_BODY = READ_REPLY_FIXED + MAX_DELIVERY;

struct MsgHead {
  uint16_t type;
  uint16_t reserved;
  uint32_t cbBody;
};

inline void EncodeHead(uint8_t* p, uint16_t type, uint32_t cbBody) {
  EncodeLE16(p, type);
  EncodeLE16(p + 2, 0);
  EncodeLE32(p + 4, cbBody);
}

inline MsgHead DecodeHead(const uint8_t* p) {
  return MsgHead{DecodeLE16(p), DecodeLE16(p + 2), DecodeLE32(p + 4)};
}

// The fields of the device-control envelope that travel over the socket. The pointer fields
// of the device's form are always 0 here, since the inline form is the only one a socket can
// carry; they are still sent as zeros so the 128 bytes match the device's layout.
struct Envelope {
  uint32_t code = 0;
  uint32_t cbIn = 0;
  uint32_t cbOut = 0;
  uint8_t buffer[ENVELOPE_INLINE] = {};
};

// Envelope byte offsets (the same as the device's record).
constexpr size_t ENV_CODE = 0;
constexpr size_t ENV_CB_IN = 16;
constexpr size_t ENV_CB_OUT = 32;
constexpr size_t ENV_BUFFER = 64;

inline void EncodeEnvelope(uint8_t* p, const Envelope& e) {
  for (size_t i = 0; i < ENVELOPE_SIZE; ++i) p[i] = 0;
  EncodeLE32(p + ENV_CODE, e.code);
  EncodeLE32(p + ENV_CB_IN, e.cbIn);
  EncodeLE32(p + ENV_CB_OUT, e.cbOut);
  for (size_t i = 0; i < ENVELOPE_INLINE; ++i) p[ENV_BUFFER + i] = e.buffer[i];
}

inline Envelope DecodeEnvelope(const uint8_t* p) {
  Envelope e;
  e.code = DecodeLE32(p + ENV_CODE);
  e.cbIn = DecodeLE32(p + ENV_CB_IN);
  e.cbOut = DecodeLE32(p + ENV_CB_OUT);
  for (size_t i = 0; i < ENVELOPE_INLINE; ++i) e.buffer[i] = p[ENV_BUFFER + i];
  return e;
}

}  // namespace vx::router
