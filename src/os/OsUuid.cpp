// The platform's UUID generator and text conversion: libuuid where it exists, the BSD libc
// functions otherwise. A GUID's fields are host-order numbers; the text form prints them
// most significant digit first, as both platforms do for their own types.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "os/OsUserFile.h"

#if defined(VX_HAVE_LIBUUID)
#include <uuid/uuid.h>
#elif defined(VX_HAVE_BSD_UUID)
#include <sys/uuid.h>
#include <uuid.h>
#else
#error "no UUID generator: install libuuid (uuid-dev)"
#endif

namespace {
constexpr size_t kGuidTextLength = 36;

#if defined(VX_HAVE_LIBUUID)
// libuuid keeps the 16 bytes in network order.
void GuidToBytes(const GUID& id, uuid_t out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(id.Data1 >> (24 - 8 * i));
  out[4] = static_cast<unsigned char>(id.Data2 >> 8);
  out[5] = static_cast<unsigned char>(id.Data2);
  out[6] = static_cast<unsigned char>(id.Data3 >> 8);
  out[7] = static_cast<unsigned char>(id.Data3);
  memcpy(out + 8, id.Data4, 8);
}

void GuidFromBytes(const uuid_t in, GUID* id) {
  id->Data1 = (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
              (static_cast<uint32_t>(in[2]) << 8) | in[3];
  id->Data2 = static_cast<uint16_t>((in[4] << 8) | in[5]);
  id->Data3 = static_cast<uint16_t>((in[6] << 8) | in[7]);
  memcpy(id->Data4, in + 8, 8);
}
#else
void GuidToUuid(const GUID& id, uuid_t* out) {
  out->time_low = id.Data1;
  out->time_mid = id.Data2;
  out->time_hi_and_version = id.Data3;
  out->clock_seq_hi_and_reserved = id.Data4[0];
  out->clock_seq_low = id.Data4[1];
  memcpy(out->node, id.Data4 + 2, 6);
}

void GuidFromUuid(const uuid_t& in, GUID* id) {
  id->Data1 = in.time_low;
  id->Data2 = in.time_mid;
  id->Data3 = in.time_hi_and_version;
  id->Data4[0] = in.clock_seq_hi_and_reserved;
  id->Data4[1] = in.clock_seq_low;
  memcpy(id->Data4 + 2, in.node, 6);
}
#endif
}  // namespace

BOOL OsUserCreateGuid(GUID* id) {
  if (id == nullptr) {
    errno = EINVAL;
    return FALSE;
  }
#if defined(VX_HAVE_LIBUUID)
  uuid_t bytes;
  uuid_generate(bytes);
  GuidFromBytes(bytes, id);
#else
  uuid_t u;
  if (uuidgen(&u, 1) != 0) return FALSE;
  GuidFromUuid(u, id);
#endif
  return TRUE;
}

BOOL OsUserGuidToText(const GUID& id, char* text, size_t cbText) {
  if (text == nullptr || cbText < kGuidTextLength + 1) {
    errno = EINVAL;
    return FALSE;
  }
#if defined(VX_HAVE_LIBUUID)
  uuid_t bytes;
  GuidToBytes(id, bytes);
  uuid_unparse_lower(bytes, text);
#else
  uuid_t u;
  GuidToUuid(id, &u);
  char* s = nullptr;
  uint32_t status = 0;
  uuid_to_string(&u, &s, &status);
  if (s == nullptr || status != uuid_s_ok || strlen(s) != kGuidTextLength) {
    free(s);
    errno = ENOMEM;
    return FALSE;
  }
  memcpy(text, s, kGuidTextLength + 1);
  free(s);
#endif
  return TRUE;
}

HRESULT OsStringFromCLSIDA(const GUID& id, char** text) {
  if (text == nullptr) return E_FAIL;
  char plain[kGuidTextLength + 1];
  if (!OsUserGuidToText(id, plain, sizeof plain)) return E_FAIL;
  char* braced = static_cast<char*>(malloc(kGuidTextLength + 3));
  if (braced == nullptr) return E_FAIL;
  snprintf(braced, kGuidTextLength + 3, "{%s}", plain);
  *text = braced;
  return S_OK;
}
