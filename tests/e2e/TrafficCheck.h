// Checks captured frames against what nmx-traffic sends with --mix read,write: the requests
// of the client and the answers of the server, each with its invoke id, in router order.
#pragma once

#include <string>
#include <vector>

#include "e2e/CaptureReader.h"

namespace vxtest {

struct TrafficSummary {
  DWORD nRequests = 0;
  DWORD nResponses = 0;
  DWORD firstRequest = 0;  // invoke ids
  DWORD lastRequest = 0;
  DWORD lastResponse = 0;
};

// Every frame must be one of the traffic's reads or writes (or their answers) with dataSize
// bytes, intact, without the router's time stamp bytes, stamped within [from, to] (file
// times) and not earlier than the frame before it. Requests and answers each come with
// consecutive invoke ids, and no answer comes before its request unless the request was
// not captured. Returns "" or the first fault.
std::string CheckTraffic(const std::vector<CapturedFrame>& frames, DWORD dataSize, LONGLONG from,
                         LONGLONG to, TrafficSummary* summary);

// The current UTC time as a file time.
LONGLONG FileTimeNow();

}  // namespace vxtest
