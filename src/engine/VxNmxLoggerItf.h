// The logger component's interfaces: IVxNmxLogger/IVxNmxLogger2, which a host uses to
// configure, feed, start and stop a capture, and IVxNmxLoggerCallback, which the host
// implements to learn that capturing started or stopped.
//
// Conventions: results are 32-bit codes (0 success, negative failure); VARIANT_BOOL is -1 for
// true and 0 for false, and an input counts as true only when it is -1; a BSTR is a
// NUL-terminated 8-bit text (UTF-8 for settings documents). The slot order of every interface
// is fixed: new operations are only ever appended.
#pragma once

#include "os/ComBase.h"
#include "os/OsTypes.h"

typedef const char* BSTR;

inline constexpr IID IID_IVxNmxLogger = {
    0x9943a5e3, 0xc16b, 0x4bb9, {0xaf, 0xc4, 0xa5, 0xd3, 0x31, 0x49, 0xdc, 0x7d}};
inline constexpr IID IID_IVxNmxLogger2 = {
    0x8ddffffb, 0xd921, 0x4a16, {0x85, 0x61, 0x8e, 0x48, 0x5d, 0x84, 0x75, 0x17}};
inline constexpr IID IID_IVxNmxLoggerCallback = {
    0xbaf62097, 0x5f9d, 0x42ff, {0x98, 0x77, 0x2e, 0xf4, 0xe4, 0x96, 0x03, 0x95}};
inline constexpr CLSID CLSID_VxNmxLogger = {
    0x8dfa0b1b, 0x22ed, 0x44bf, {0x9c, 0xe1, 0xdc, 0x17, 0xf1, 0x66, 0x00, 0xb1}};

// Implemented by the host. Called on the thread that started or stopped the capture: the
// host's, a viewer's, or the engine's writer thread when a single capture file became full.
// Results are ignored; the component never calls the IUnknown operations.
class IVxNmxLoggerCallback : public IUnknown {
 public:
  virtual HRESULT OnStart() = 0;  // slot 3: capturing has started
  virtual HRESULT OnStop() = 0;   // slot 4: capturing has stopped

 protected:
  ~IVxNmxLoggerCallback() = default;
};

// Every operation from Start on returns 0x80004005 and does nothing else before Init.
class IVxNmxLogger : public IUnknown {
 public:
  // 3: creates the engine, with bOwnPort non-zero one with a router port of its own. The
  // callback is kept without a reference and must outlive the component. 0x80004005 when an
  // engine exists already.
  virtual HRESULT Init(BOOL bOwnPort, IVxNmxLoggerCallback* pCallback) = 0;
  virtual HRESULT Start() = 0;                 // 4: 0x80004005 when it did not start
  virtual HRESULT Stop() = 0;                  // 5: 0x80004005 when not started before
  virtual HRESULT NmxReceive(void* pCmd) = 0;  // 6: an NmxCmd, copied if capturing
  // 7: *pDrop = -1 when the filters drop the command, else 0. pDrop must not be null.
  virtual HRESULT FilterNmxCmd(void* pCmd, VARIANT_BOOL* pDrop) = 0;
  // 8: frame, byte and overflow counts read together; null pointers are skipped.
  virtual HRESULT GetCaptureInfo(LONG* pnFrames, ULONG* pcbFrames, ULONG* pnOverflows) = 0;
  virtual HRESULT LoadXmlSettings(BSTR bstrXml) = 0;  // 9: 0x80004005 when not applied
  virtual HRESULT get_EnableViewerConnection(VARIANT_BOOL* pbEnable) = 0;  // 10
  virtual HRESULT put_EnableViewerConnection(VARIANT_BOOL bEnable) = 0;    // 11
  virtual HRESULT get_IsStarted(VARIANT_BOOL* pbStarted) = 0;              // 12
  virtual HRESULT get_IsConnectedToViewer(VARIANT_BOOL* pbConnected) = 0;  // 13
  virtual HRESULT get_ConnectionPort(LONG* pnPort) = 0;                    // 14
  // 15: a running listener keeps its port until the service is enabled again.
  virtual HRESULT put_ConnectionPort(LONG nPort) = 0;

 protected:
  ~IVxNmxLogger() = default;
};

class IVxNmxLogger2 : public IVxNmxLogger {
 public:
  // 16: as LoadXmlSettings; with bIsFile -1 the argument is the path of the document.
  virtual HRESULT LoadXmlSettingsEx(BSTR bstrXmlOrPath, VARIANT_BOOL bIsFile) = 0;
  // 17: frames lost since the last start: the engine's queue was full, or the capture could
  // not store them (a full single file, a failed write).
  virtual HRESULT GetDroppedFrames(ULONGLONG* pnDropped) = 0;
  // 18: the first failed write to disk of the current (or last) capture, reported once: S_OK
  // with the failure's code the first time it is asked after the write failed, S_FALSE with 0
  // before and after that.
  virtual HRESULT TakeWriteError(LONG* phrError) = 0;
  // 19: the next line the operator must hear about the capture's files (one removed or
  // replaced while capturing, and what the stop did about it), each once: S_OK with the line
  // in szText (cut to cbText - 1 characters), S_FALSE with "" when there is none.
  virtual HRESULT TakeNotice(char* szText, DWORD cbText) = 0;
  // 20: frames the ring gave up since the last start to make room (the oldest file's frames,
  // each time that file was reused); 0 for a single file.
  virtual HRESULT GetRingDroppedFrames(ULONGLONG* pnFrames) = 0;
  // 21: why the last start failed: S_OK with the failure's code (0x80070000 + the system's
  // error number where a file or folder was refused), S_FALSE with 0 when it did not fail.
  virtual HRESULT GetStartError(LONG* phrError) = 0;

 protected:
  ~IVxNmxLogger2() = default;
};

// Creates a logger component; *ppLogger holds its only reference. 0x80004003 for a null
// ppLogger, 0x8007000E when it cannot be allocated.
HRESULT DllGetVxNmxLogger(IVxNmxLogger2** ppLogger);
