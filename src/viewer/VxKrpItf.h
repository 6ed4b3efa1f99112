// The interfaces between the viewer TCP server, its connections and the command handler.
//
// IVxKrpSync (the command handler) is called synchronously on the connection's receiver
// thread for every request; IVxKrpAsyncRes carries answers and notifications towards the
// viewer and may be called from any thread; IVxKrpComm learns of viewers connecting and
// going. Pointers passed into these calls belong to the caller and are valid only during
// the call. Results are 32-bit: 0 success, negative failure; a failure of the form
// 0x9811xxxx carries the KRP code xxxx that the viewer is answered with.
#pragma once

#include "nmx/KrpTypes.h"
#include "nmx/NmxTypes.h"
#include "os/ComBase.h"

inline constexpr IID IID_IVxKrpComm = {
    0x6f1c2a10, 0x4b7e, 0x4d21, {0x9a, 0x51, 0x3e, 0x08, 0x7c, 0x15, 0xd2, 0x01}};
inline constexpr IID IID_IVxKrpSync = {
    0x6f1c2a11, 0x4b7e, 0x4d21, {0x9a, 0x51, 0x3e, 0x08, 0x7c, 0x15, 0xd2, 0x01}};
inline constexpr IID IID_IVxKrpAsync = {
    0x6f1c2a12, 0x4b7e, 0x4d21, {0x9a, 0x51, 0x3e, 0x08, 0x7c, 0x15, 0xd2, 0x01}};
inline constexpr IID IID_IVxKrpAsyncRes = {
    0x6f1c2a13, 0x4b7e, 0x4d21, {0x9a, 0x51, 0x3e, 0x08, 0x7c, 0x15, 0xd2, 0x01}};
inline constexpr IID IID_IVxKrpServer = {
    0x6f1c2a14, 0x4b7e, 0x4d21, {0x9a, 0x51, 0x3e, 0x08, 0x7c, 0x15, 0xd2, 0x01}};
inline constexpr IID IID_IVxKrpServerInternal = {
    0x6f1c2a15, 0x4b7e, 0x4d21, {0x9a, 0x51, 0x3e, 0x08, 0x7c, 0x15, 0xd2, 0x01}};

// Events of the viewer connection, on the server's listener thread. Not reference-counted.
class IVxKrpComm {
 public:
  // The viewer has gone (reported within about a second).
  virtual HRESULT OnDisconnected() = 0;
  // A viewer has been accepted; its requests follow.
  virtual HRESULT OnNewConnection() = 0;
  virtual ~IVxKrpComm() = default;
};

// The command handler. Out-parameters are preset by the caller.
class IVxKrpSync : public IUnknown {
 public:
  virtual HRESULT Write(DWORD indexGroup, DWORD indexOffset, DWORD length, const void* data) = 0;
  virtual HRESULT Read(DWORD indexGroup, DWORD indexOffset, DWORD length, void* data) = 0;
  // data has room for length bytes; *bytesRead receives the bytes filled in.
  virtual HRESULT ReadEx(DWORD indexGroup, DWORD indexOffset, DWORD length, void* data,
                         DWORD* bytesRead) = 0;
  virtual HRESULT ReadWrite(DWORD indexGroup, DWORD indexOffset, DWORD readLength, void* readData,
                            DWORD writeLength, const void* writeData, DWORD* bytesRead) = 0;
  virtual HRESULT WriteControl(DWORD krpState, DWORD deviceState, DWORD length,
                               const void* data) = 0;
  // name has room for 16 characters.
  virtual HRESULT ReadDeviceInfo(char* name, KrpVersion* version) = 0;
  virtual HRESULT ReadState(DWORD* krpState, DWORD* deviceState, DWORD* length, void** data) = 0;
  virtual HRESULT AddDeviceNotification(DWORD indexGroup, DWORD indexOffset,
                                        KrpNotificationAttrib* attrib, DWORD user,
                                        DWORD* handle) = 0;
  virtual HRESULT DelDeviceNotification(DWORD handle) = 0;
  virtual HRESULT DeviceNotification(const NmxAddr* sender, DWORD length, const void* stream) = 0;

 protected:
  ~IVxKrpSync() = default;
};

// An asynchronous handler: the same requests with the requester's address and invoke id,
// answered later through IVxKrpAsyncRes. Declared for completeness; nothing supplies one.
class IVxKrpAsync : public IUnknown {
 public:
  virtual HRESULT Write(const NmxAddr& addr, DWORD invokeId, DWORD indexGroup, DWORD indexOffset,
                        DWORD length, const void* data) = 0;
  virtual HRESULT Read(const NmxAddr& addr, DWORD invokeId, DWORD indexGroup, DWORD indexOffset,
                       DWORD length) = 0;
  virtual HRESULT ReadWrite(const NmxAddr& addr, DWORD invokeId, DWORD indexGroup,
                            DWORD indexOffset, DWORD readLength, DWORD writeLength,
                            const void* writeData) = 0;
  virtual HRESULT WriteControl(const NmxAddr& addr, DWORD invokeId, DWORD krpState,
                               DWORD deviceState, DWORD length, const void* data) = 0;
  virtual HRESULT ReadDeviceInfo(const NmxAddr& addr, DWORD invokeId) = 0;
  virtual HRESULT ReadState(const NmxAddr& addr, DWORD invokeId) = 0;
  virtual HRESULT AddDeviceNotification(const NmxAddr& addr, DWORD invokeId, DWORD indexGroup,
                                        DWORD indexOffset, KrpNotificationAttrib* attrib) = 0;
  virtual HRESULT DelDeviceNotification(const NmxAddr& addr, DWORD invokeId, DWORD handle) = 0;
  virtual HRESULT DeviceNotification(const NmxAddr& addr, DWORD length, const void* stream) = 0;

 protected:
  ~IVxKrpAsync() = default;
};

// Answers and notifications towards the viewer. result is a KRP code.
class IVxKrpAsyncRes : public IUnknown {
 public:
  virtual HRESULT WriteRes(const NmxAddr& addr, DWORD invokeId, DWORD result) = 0;
  virtual HRESULT ReadRes(const NmxAddr& addr, DWORD invokeId, DWORD result, DWORD length,
                          const void* data) = 0;
  virtual HRESULT ReadWriteRes(const NmxAddr& addr, DWORD invokeId, DWORD result, DWORD length,
                               const void* data) = 0;
  virtual HRESULT WriteControlRes(const NmxAddr& addr, DWORD invokeId, DWORD result) = 0;
  virtual HRESULT ReadStateRes(const NmxAddr& addr, DWORD invokeId, DWORD result, DWORD krpState,
                               DWORD deviceState, DWORD length, const void* data) = 0;
  virtual HRESULT ReadDeviceInfoRes(const NmxAddr& addr, DWORD invokeId, DWORD result,
                                    const char* name, KrpVersion version) = 0;
  virtual HRESULT AddDeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD result,
                                           DWORD handle) = 0;
  virtual HRESULT DelDeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD result) = 0;
  // Sends a DeviceNotification request carrying the notification stream to the viewer.
  virtual HRESULT DeviceNotificationRes(const NmxAddr& addr, DWORD invokeId, DWORD length,
                                        const void* stream) = 0;
  virtual HRESULT KrpSyncNotificationRes(const NmxAddr& addr, KrpNotificationHeader2* header,
                                         DWORD user) = 0;

 protected:
  ~IVxKrpAsyncRes() = default;
};

class IVxKrpServer : public IUnknown {
 public:
  // Starts serving KRP as NMX port krpPort with syncHandler (not owned; it must outlive the
  // server's connections). On success *resultInterface, when given, receives a reference to
  // the server's IVxKrpAsyncRes. asyncHandler and the two reserved arguments are not used.
  virtual HRESULT ConnectAs(LONG krpPort, IVxKrpSync* syncHandler, IVxKrpAsync* asyncHandler,
                            IVxKrpAsyncRes** resultInterface, void* reserved1, void* reserved2) = 0;

 protected:
  ~IVxKrpServer() = default;
};

class IVxKrpServerInternal : public IVxKrpServer {
 public:
  // The NMX address the server answers as: the local NetId and the KRP port.
  virtual HRESULT GetAddr(NmxAddr* addr) = 0;

 protected:
  ~IVxKrpServerInternal() = default;
};
