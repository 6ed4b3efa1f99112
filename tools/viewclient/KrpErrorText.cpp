#include "viewclient/KrpErrorText.h"

#include <cstdio>

#include "nmx/KrpTypes.h"

std::string KrpErrorText(DWORD code) {
  const char* what = nullptr;
  switch (code) {
    case KRP_E_GENERAL:
      what = "the logger could not do it";
      break;
    case KRP_E_NOT_SUPPORTED:
      what = "not supported by the logger";
      break;
    case KRP_E_INVALID_OFFSET:
      what = "no such view";
      break;
    case KRP_E_INVALID_SIZE:
      what = "invalid size";
      break;
    case KRP_E_NO_MEMORY:
      what = "the logger is out of memory";
      break;
    case KRP_E_INVALID_PARAM:
      what = "invalid parameter";
      break;
    case KRP_E_INVALID_STATE:
      what = "invalid state";
      break;
    case KRP_E_INVALID_HANDLE:
      what = "invalid notification handle";
      break;
    case KRP_E_NO_HANDLER:
      what = "the logger has no command handler";
      break;
    default:
      break;
  }
  char buf[64];
  if (what)
    snprintf(buf, sizeof buf, "%s (0x%X)", what, static_cast<unsigned>(code));
  else
    snprintf(buf, sizeof buf, "KRP error 0x%X", static_cast<unsigned>(code));
  return buf;
}
