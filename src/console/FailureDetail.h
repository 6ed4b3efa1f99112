// The line that follows a failure's fixed console text and says where and why: the path,
// device or port, and the system's reason. Pure functions; any thread.
#pragma once

#include <string>

#include "os/OsTypes.h"

// The reason a result code gives: the system's text for 0x80070000 + an error number (the
// capture's own codes in that range read as what they mean), "out of memory", else the code.
std::string ResultReason(HRESULT hr);

// "router device DEVICE: REASON" after the router port could not connect: deviceError is the
// system's error number (CNmxR3Port::NmxGetDeviceError), else lastError the router's refusal
// of the registration (NmxGetLastError).
std::string RouterFailureDetail(const char* device, DWORD deviceError, DWORD lastError);

// "capture file PATH: REASON" after a capture that could not start with the result hr.
std::string CaptureFailureDetail(const std::string& path, HRESULT hr);

// "viewer port [ADDRESS:]PORT: REASON" after the viewer port could not be opened with the
// result hr (a socket code in the KRP result form, or another failure).
std::string ListenerFailureDetail(WORD port, const char* address, HRESULT hr);

// The capture path of -d and -f made absolute for a message: the folder resolved where it
// exists, else joined to the working folder.
std::string AbsoluteCapturePath(const char* dir, const char* name);
