// IEngineListener: what the capture engine tells the service above it (the viewer service)
// that the service must react to. The engine calls it under its control lock, so a listener
// may take its own locks (they come after the control lock) but must never call back into
// the engine's start, stop or settings, nor wait for a thread that does.
#pragma once

namespace pugi {
class xml_node;
}

class IEngineListener {
 public:
  // A capture is starting: the capture manager has started, the writer has not, and no frame
  // of the new run is stored yet.
  virtual void OnCaptureStarting() = 0;
  // A settings document being applied names "ConnectionPort" and/or "ConnectionAddress"
  // (either node may be empty). Called before the rest of the document is looked at, also
  // for a document that is then refused for another reason.
  virtual void OnConnectionSettings(const pugi::xml_node& port, const pugi::xml_node& address) = 0;

 protected:
  ~IEngineListener() = default;
};
