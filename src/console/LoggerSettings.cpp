#include "console/LoggerSettings.h"

#include <sstream>

#include "capture/CaptureSettings.h"

namespace {

std::string DocumentText(const pugi::xml_document& doc) {
  std::ostringstream out;
  doc.save(out, "\t", pugi::format_indent | pugi::format_no_declaration, pugi::encoding_utf8);
  return out.str();
}

constexpr const char* ElementOf(CaptureSettingId id) {
  return CaptureSettingInfoOf(id).element;
}

}  // namespace

pugi::xml_node XmlAddNode(pugi::xml_node parent, const char* name) {
  return parent.append_child(name);
}

pugi::xml_node XmlAddLongNode(pugi::xml_node parent, const char* name, long value) {
  pugi::xml_node node = XmlAddNode(parent, name);
  node.text().set(value);
  return node;
}

pugi::xml_node XmlAddBoolNode(pugi::xml_node parent, const char* name, bool value) {
  return XmlAddTextNode(parent, name, value ? "true" : "false");
}

pugi::xml_node XmlAddTextNode(pugi::xml_node parent, const char* name, const char* text) {
  pugi::xml_node node = XmlAddNode(parent, name);
  node.text().set(text);
  return node;
}

std::string BuildLoggerSettings(const Parms_t& parms) {
  pugi::xml_document doc;
  pugi::xml_node capture = XmlAddNode(XmlAddNode(doc, "VxNmxLogger"), "CaptureInfo");
  XmlAddLongNode(capture, ElementOf(CaptureSettingId::kFileSize), parms.fileSizeMb);
  XmlAddBoolNode(capture, ElementOf(CaptureSettingId::kRingBuffer), parms.bRingBuffer);
  XmlAddLongNode(capture, ElementOf(CaptureSettingId::kRingFiles), parms.ringBufferFiles);
  XmlAddBoolNode(capture, ElementOf(CaptureSettingId::kAutoSave), true);
  XmlAddTextNode(capture, ElementOf(CaptureSettingId::kSaveName), parms.capName);
  XmlAddTextNode(capture, ElementOf(CaptureSettingId::kFolder), parms.capDir);

  return DocumentText(doc);
}

std::string BuildListenerSettings(const char* address) {
  pugi::xml_document doc;
  XmlAddTextNode(XmlAddNode(doc, "VxNmxLogger"), "ConnectionAddress", address);
  return DocumentText(doc);
}
