// Messages between a router handle and the stand-in router (nmx-router) on its Unix stream
// socket. docs/router-protocol.md draws the bytes; this header is the one place that encodes
// them. Every field is little-endian and encoded field by field.
//
// One connection is one device handle. A message is an 8-byte head followed by its body:
//   +0 u16 type   +2 u16 reserved (0)   +4 u32 body length
//
// Client to router:
//   READ   body 12:       u32 offset (the port to read), u32 buffer length, u32 batch (the
//                         records asked for; bit 31 asks for READ_REPLY_DROPPED replies)
//   WRITE  body n >= 32:  one whole NMX command; there is no reply
//   IOCTL  body 132:      u32 request, then the 128-byte device-control envelope
// Router to client:
//   READ_REPLY   body 8+r: u32 errno (0 = success), u32 n records (0 with an errno, else at
//                          least 1), then n records of u32 byte count, u32 k, k data bytes
//   READ_REPLY_DROPPED  body 16+r: u32 errno, u32 n, u64 commands the router dropped for the
//                          port since it registered (its queue was full), then the n records
//   IOCTL_REPLY  body 4|132: u32 errno, then (errno 0 only) the envelope with the output
//
// A READ is answered when the port has something to deliver, with one READ_REPLY that holds
// 1 to `batch` records: the first is the read's answer, the others are what the port holds
// behind it (commands that fit the buffer length, system statuses), handed over ahead so that
// the next reads need no round trip. The client answers its following reads from them, in
// order, before it sends another READ. A reply holds at most READ_BATCH_BYTES of records,
// unless its first record alone is larger, so a client reading 64 KiB at a time usually gets
// a whole batch with one receive.
//
// A router that does not know bit 31 of the batch reads it as a batch beyond READ_BATCH_MAX
// and caps it, answering with READ_REPLY, so a client that asks accepts either form; a client
// that does not ask never sees the other.
//
// At most one READ (until its reply has arrived) and one IOCTL may be outstanding per
// connection; IOCTLs are answered at once, so READ and IOCTL replies can arrive in either
// order and are told apart by their type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "os/ByteOrder.h"

namespace vx::router {

constexpr uint16_t MSG_READ = 1;
constexpr uint16_t MSG_WRITE = 2;
constexpr uint16_t MSG_IOCTL = 3;
constexpr uint16_t MSG_READ_REPLY = 0x81;
constexpr uint16_t MSG_IOCTL_REPLY = 0x83;
constexpr uint16_t MSG_READ_REPLY_DROPPED = 0x91;

constexpr size_t MSG_HEAD_SIZE = 8;
constexpr size_t READ_BODY_SIZE = 12;
constexpr size_t READ_REPLY_FIXED = 8;  // errno and the record count
// errno, the record count and the port's dropped total
constexpr size_t READ_REPLY_DROPPED_FIXED = 16;
constexpr size_t READ_RECORD_HEAD = 8;  // a record's byte count and data length
// Records a client asks for per READ; the router may send fewer, and caps the request at
// READ_BATCH_MAX.
constexpr uint32_t READ_BATCH = 1024;
constexpr uint32_t READ_BATCH_MAX = 1024;
// The parts of a READ's batch field.
constexpr uint32_t READ_BATCH_COUNT = 0x3FFFFFFFu;
constexpr uint32_t READ_WANT_DROPPED = 0x80000000u;
// A reader that records mirrored copies would rather have fewer, fuller replies: on the
// logger's port the router may hold its read until READ_HOLD_RECORDS commands or
// READ_HOLD_BYTES are queued, or the oldest has waited READ_HOLD_US.
constexpr uint32_t READ_HOLD = 0x40000000u;
constexpr uint32_t READ_HOLD_RECORDS = 64;
constexpr uint32_t READ_HOLD_BYTES = 16u << 10;
constexpr uint32_t READ_HOLD_US = 1000;
// Record bytes per reply: the whole message then fits in 64 KiB, in either form.
constexpr uint32_t READ_BATCH_BYTES = (64u << 10) - MSG_HEAD_SIZE - READ_REPLY_DROPPED_FIXED;
constexpr size_t ENVELOPE_SIZE = 128;
constexpr size_t ENVELOPE_INLINE = 64;  // bytes of in/output carried inside the envelope
constexpr size_t IOCTL_BODY_SIZE = 4 + ENVELOPE_SIZE;

// Largest command a client may write; the router appends 8 bytes to mirrored copies, so a
// record can carry up to MAX_COMMAND + 8 data bytes.
constexpr uint32_t MAX_COMMAND = 1u << 20;
constexpr uint32_t MAX_DELIVERY = MAX_COMMAND + 8;
// The largest reply body to a READ: one record of the largest delivery, or a batch.
constexpr uint32_t MAX_BODY = READ_REPLY_DROPPED_FIXED + READ_RECORD_HEAD + MAX_DELIVERY;
static_assert(MAX_BODY > READ_REPLY_DROPPED_FIXED + READ_BATCH_BYTES);

// The bytes before the records of a reply to a READ, by its type; 0 for any other type.
constexpr size_t ReadReplyFixed(uint16_t type) {
  return type == MSG_READ_REPLY           ? READ_REPLY_FIXED
         : type == MSG_READ_REPLY_DROPPED ? READ_REPLY_DROPPED_FIXED
                                          : 0;
}

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

// One record of a READ_REPLY: a status count without data, or a command (count = cb).
struct ReadRecord {
  uint32_t count;
  const uint8_t* data;
  uint32_t cb;
};

inline uint8_t* EncodeReadRecord(uint8_t* p, const ReadRecord& r) {
  EncodeLE32(p, r.count);
  EncodeLE32(p + 4, r.cb);
  if (r.cb) std::memcpy(p + READ_RECORD_HEAD, r.data, r.cb);
  return p + READ_RECORD_HEAD + r.cb;
}

// The record at p, which CheckReadReply has vouched for; returns the next one.
inline const uint8_t* DecodeReadRecord(const uint8_t* p, ReadRecord* r) {
  r->count = DecodeLE32(p);
  r->cb = DecodeLE32(p + 4);
  r->data = p + READ_RECORD_HEAD;
  return r->data + r->cb;
}

// The body of a reply to a READ, of cbFixed bytes before its records (ReadReplyFixed), is
// well formed when it holds an errno with no record, or errno 0 with 1 to maxRecords records
// of at most cbMaxData data bytes each that fill it exactly.
inline bool CheckReadReply(const uint8_t* body, uint32_t cbBody, size_t cbFixed,
                           uint32_t maxRecords, uint32_t cbMaxData, uint32_t* pErr,
                           uint32_t* pRecords) {
  if (cbFixed < READ_REPLY_FIXED || cbBody < cbFixed) return false;
  *pErr = DecodeLE32(body);
  *pRecords = DecodeLE32(body + 4);
  if (*pErr != 0) return *pRecords == 0 && cbBody == cbFixed;
  if (*pRecords == 0 || *pRecords > maxRecords) return false;
  uint32_t left = cbBody - static_cast<uint32_t>(cbFixed);
  const uint8_t* p = body + cbFixed;
  for (uint32_t i = 0; i < *pRecords; ++i) {
    if (left < READ_RECORD_HEAD) return false;
    const uint32_t cb = DecodeLE32(p + 4);
    if (cb > cbMaxData || cb > left - READ_RECORD_HEAD) return false;
    left -= READ_RECORD_HEAD + cb;
    p += READ_RECORD_HEAD + cb;
  }
  return left == 0;
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
