// CKrp: the KRP protocol engine. It encodes requests and responses into payloads and hands
// them to the transport hooks a binding implements, and turns received NMX commands into
// calls of the indication and confirmation handlers.
//
// Ownership: every payload, data and stream pointer passed in belongs to the caller and is
// read only during the call; the hooks copy what they send. Pointers handed to handlers
// point into the received command and are valid only during the handler call.
//
// Threads: the engine has no lock. Requests and responses may be built on several threads at
// once (each call uses its own buffers); received commands are dispatched on one thread. The
// only state that changes is m_nKrpState, in the default WriteControl handler on that
// thread.
//
// Results of the request and response operations: 0, a KRP code (KRP_E_NO_MEMORY when a
// buffer cannot be allocated, KRP_E_MISSING_DATA for a non-zero length without data, and
// nothing sent in both cases), or the hook's result.
#pragma once

#include "nmx/KrpTypes.h"

class CKrp {
 public:
  CKrp();
  virtual ~CKrp();
  CKrp(const CKrp&) = delete;
  CKrp& operator=(const CKrp&) = delete;

  // Requests to a server.
  virtual DWORD KrpReadDeviceInfoReq(const NmxAddr& target, DWORD invokeId);
  virtual DWORD KrpWriteControlReq(const NmxAddr& target, DWORD invokeId, WORD krpState,
                                   WORD deviceState, DWORD length, const void* data);
  virtual DWORD KrpReadStateReq(const NmxAddr& target, DWORD invokeId);
  virtual DWORD KrpWriteReq(const NmxAddr& target, DWORD invokeId, DWORD indexGroup,
                            DWORD indexOffset, DWORD length, const void* data);
  virtual DWORD KrpReadReq(const NmxAddr& target, DWORD invokeId, DWORD indexGroup,
                           DWORD indexOffset, DWORD length);
  virtual DWORD KrpReadWriteReq(const NmxAddr& target, DWORD invokeId, DWORD indexGroup,
                                DWORD indexOffset, DWORD readLength, DWORD writeLength,
                                const void* writeData);
  virtual DWORD KrpAddDeviceNotificationReq(const NmxAddr& target, DWORD invokeId, DWORD indexGroup,
                                            DWORD indexOffset, const KrpNotificationAttrib& attrib);
  virtual DWORD KrpDelDeviceNotificationReq(const NmxAddr& target, DWORD invokeId, DWORD handle);
  virtual DWORD KrpDeviceNotificationReq(const NmxAddr& target, DWORD invokeId, DWORD length,
                                         const void* stream);

  // Indication handlers: called for each well-formed request received. Each default answers
  // through the matching response (service not supported, except WriteControl and
  // ReadState, which keep a KRP state); a DeviceNotification is never answered.
  virtual void KrpReadDeviceInfoInd(const NmxAddr& sender, DWORD invokeId);
  virtual void KrpWriteControlInd(const NmxAddr& sender, DWORD invokeId, WORD krpState,
                                  WORD deviceState, DWORD length, const void* data);
  virtual void KrpReadStateInd(const NmxAddr& sender, DWORD invokeId);
  virtual void KrpWriteInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup,
                           DWORD indexOffset, DWORD length, const void* data);
  virtual void KrpReadInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup,
                          DWORD indexOffset, DWORD length);
  virtual void KrpReadWriteInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup,
                               DWORD indexOffset, DWORD readLength, DWORD writeLength,
                               const void* writeData);
  virtual void KrpAddDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId, DWORD indexGroup,
                                           DWORD indexOffset, KrpNotificationAttrib attrib);
  virtual void KrpDelDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId, DWORD handle);
  virtual void KrpDeviceNotificationInd(const NmxAddr& sender, DWORD invokeId, DWORD length,
                                        const void* stream);

  // Forwarding: the requests above sent with an explicit sender through KrpForward.
  virtual DWORD KrpReadDeviceInfoFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId);
  virtual DWORD KrpWriteControlFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId,
                                   WORD krpState, WORD deviceState, DWORD length, const void* data);
  virtual DWORD KrpReadStateFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId);
  virtual DWORD KrpWriteFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId,
                            DWORD indexGroup, DWORD indexOffset, DWORD length, const void* data);
  virtual DWORD KrpReadFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId,
                           DWORD indexGroup, DWORD indexOffset, DWORD length);
  virtual DWORD KrpReadWriteFrw(const NmxAddr& source, const NmxAddr& target, DWORD invokeId,
                                DWORD indexGroup, DWORD indexOffset, DWORD readLength,
                                DWORD writeLength, const void* writeData);
  virtual DWORD KrpAddDeviceNotificationFrw(const NmxAddr& source, const NmxAddr& target,
                                            DWORD invokeId, DWORD indexGroup, DWORD indexOffset,
                                            const KrpNotificationAttrib& attrib);
  virtual DWORD KrpDelDeviceNotificationFrw(const NmxAddr& source, const NmxAddr& target,
                                            DWORD invokeId, DWORD handle);
  virtual DWORD KrpDeviceNotificationFrw(const NmxAddr& source, const NmxAddr& target,
                                         DWORD invokeId, DWORD length, const void* stream);

  // Responses; target and invoke id are the sender and invoke id of the request.
  // A null name is sent as 16 zero bytes; at most 15 characters are sent.
  virtual DWORD KrpReadDeviceInfoRes(const NmxAddr& target, DWORD invokeId, DWORD result,
                                     const char* name, KrpVersion version);
  virtual DWORD KrpWriteControlRes(const NmxAddr& target, DWORD invokeId, DWORD result);
  virtual DWORD KrpReadStateRes(const NmxAddr& target, DWORD invokeId, DWORD result, WORD krpState,
                                WORD deviceState);
  virtual DWORD KrpWriteRes(const NmxAddr& target, DWORD invokeId, DWORD result);
  // When the answer cannot be allocated (or the hook reports KRP_E_NO_MEMORY), the 8-byte
  // answer {KRP_E_NO_MEMORY, 0} is sent instead and KRP_E_NO_MEMORY returned.
  virtual DWORD KrpReadRes(const NmxAddr& target, DWORD invokeId, DWORD result, DWORD length,
                           const void* data);
  virtual DWORD KrpReadWriteRes(const NmxAddr& target, DWORD invokeId, DWORD result, DWORD length,
                                const void* data);
  virtual DWORD KrpAddDeviceNotificationRes(const NmxAddr& target, DWORD invokeId, DWORD result,
                                            DWORD handle);
  virtual DWORD KrpDelDeviceNotificationRes(const NmxAddr& target, DWORD invokeId, DWORD result);

  // Confirmation handlers: called for each well-formed response received. A response whose
  // header carries an error arrives with that error as result and no data. Empty here.
  virtual void KrpReadDeviceInfoCon(const NmxAddr& sender, DWORD invokeId, DWORD result,
                                    const char* name, KrpVersion version);
  virtual void KrpWriteControlCon(const NmxAddr& sender, DWORD invokeId, DWORD result);
  virtual void KrpReadStateCon(const NmxAddr& sender, DWORD invokeId, DWORD result, WORD krpState,
                               WORD deviceState);
  virtual void KrpWriteCon(const NmxAddr& sender, DWORD invokeId, DWORD result);
  virtual void KrpReadCon(const NmxAddr& sender, DWORD invokeId, DWORD result, DWORD length,
                          const void* data);
  virtual void KrpReadWriteCon(const NmxAddr& sender, DWORD invokeId, DWORD result, DWORD length,
                               const void* data);
  virtual void KrpAddDeviceNotificationCon(const NmxAddr& sender, DWORD invokeId, DWORD result,
                                           DWORD handle);
  virtual void KrpDelDeviceNotificationCon(const NmxAddr& sender, DWORD invokeId, DWORD result);
  virtual void KrpDeviceNotificationCon(const NmxAddr& sender, DWORD invokeId, DWORD result);

  // Payload buffers (ordinary heap); KrpFree accepts null.
  virtual void* KrpAlloc(DWORD size);
  virtual void KrpFree(void* buffer);

  // Transport hooks. Request and response go out with the binding's own address as sender
  // (and the loopback rule, KrpApplyLoopbackRule); a forward goes out with source as sender.
  // The payload is the caller's; the hook copies it. Result: 0, a KRP code or a transport
  // code.
  virtual DWORD KrpRequest(const NmxAddr& target, DWORD invokeId, WORD cmdId, DWORD length,
                           const void* payload) = 0;
  virtual DWORD KrpForward(const NmxAddr& source, const NmxAddr& target, DWORD invokeId, WORD cmdId,
                           DWORD length, const void* payload) = 0;
  virtual DWORD KrpResponse(const NmxAddr& target, DWORD invokeId, WORD cmdId, DWORD length,
                            const void* payload) = 0;

  // Decode a request or response payload of `length` bytes and call its handler. Payloads
  // too short for their command, or whose declared data length exceeds what arrived, and
  // command ids outside 1..9 are dropped.
  virtual void KrpIndication(const NmxAddr& sender, DWORD invokeId, WORD cmdId, DWORD length,
                             const void* payload);
  virtual void KrpConfirmation(const NmxAddr& sender, DWORD invokeId, WORD cmdId, LONG headerError,
                               DWORD length, const void* payload);

  // The validating front of KrpIndication: drops malformed requests without an answer and
  // widens the short AddDeviceNotification form to the full one.
  void KrpDispatchIndication(const NmxAddr& sender, DWORD invokeId, WORD cmdId, DWORD length,
                             const void* payload);
  // A binding's receive path for one complete NMX command in a buffer of cbBuffer bytes:
  // commands without the KRP flag, or whose cbData exceeds the buffer, are ignored;
  // responses go to KrpConfirmation, requests to KrpDispatchIndication.
  void KrpDispatchCommand(const NmxCmd* cmd, size_t cbBuffer);

  // Whether a request payload is long enough for its command and its declared data.
  static bool KrpRequestLengthValid(WORD cmdId, DWORD length, const void* payload);

 protected:
  KRPSTATE m_nKrpState;
  DWORD m_nDeviceState;
  KrpVersion m_krpVersion;
  DWORD nReserved;

 private:
  // source null: a request through KrpRequest; otherwise a forward through KrpForward.
  DWORD Emit(const NmxAddr* source, const NmxAddr& target, DWORD invokeId, WORD cmdId, DWORD length,
             const void* payload);
  // A fixed part followed by caller data, in a buffer from KrpAlloc.
  DWORD EmitWithData(const NmxAddr* source, const NmxAddr& target, DWORD invokeId, WORD cmdId,
                     const BYTE* fixed, DWORD cbFixed, DWORD length, const void* data);
  DWORD ReadDeviceInfo(const NmxAddr* source, const NmxAddr& target, DWORD invokeId);
  DWORD WriteControl(const NmxAddr* source, const NmxAddr& target, DWORD invokeId, WORD krpState,
                     WORD deviceState, DWORD length, const void* data);
  DWORD ReadState(const NmxAddr* source, const NmxAddr& target, DWORD invokeId);
  DWORD Write(const NmxAddr* source, const NmxAddr& target, DWORD invokeId, DWORD indexGroup,
              DWORD indexOffset, DWORD length, const void* data);
  DWORD Read(const NmxAddr* source, const NmxAddr& target, DWORD invokeId, DWORD indexGroup,
             DWORD indexOffset, DWORD length);
  DWORD ReadWrite(const NmxAddr* source, const NmxAddr& target, DWORD invokeId, DWORD indexGroup,
                  DWORD indexOffset, DWORD readLength, DWORD writeLength, const void* writeData);
  DWORD AddDeviceNotification(const NmxAddr* source, const NmxAddr& target, DWORD invokeId,
                              DWORD indexGroup, DWORD indexOffset,
                              const KrpNotificationAttrib& attrib);
  DWORD DelDeviceNotification(const NmxAddr* source, const NmxAddr& target, DWORD invokeId,
                              DWORD handle);
  DWORD DeviceNotification(const NmxAddr* source, const NmxAddr& target, DWORD invokeId,
                           DWORD length, const void* stream);
  DWORD ReadResponse(WORD cmdId, const NmxAddr& target, DWORD invokeId, DWORD result, DWORD length,
                     const void* data);
  DWORD ResultResponse(WORD cmdId, const NmxAddr& target, DWORD invokeId, DWORD result);
};
