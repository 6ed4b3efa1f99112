// The registry file held in memory: keys, values and open handles, kept current with the
// file that other processes of the runtime write. This program never writes the file.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "os/OsUserTools.h"
#include "registry/VxRegFileStamp.h"
#include "registry/VxRegTypes.h"
#include "registry/VxRegistryPath.h"

// Thread-safe: every public operation runs under m_cs. Normally one per process (see
// registry/VxReg.h); each object reads its own copy of the file.
class CVxXmlRegistry {
 public:
  // Loads the registry file named by paths; when it is missing or not a registry, builds the
  // default registry in memory instead (and says so on standard output).
  explicit CVxXmlRegistry(const CVxRegistryPath& paths = CVxRegistryPath());
  ~CVxXmlRegistry() = default;
  CVxXmlRegistry(const CVxXmlRegistry&) = delete;
  CVxXmlRegistry& operator=(const CVxXmlRegistry&) = delete;

  // The operations behind OsRegOpenKeyExA, OsRegQueryValueExA and OsRegCloseKey.
  LONG OpenKey(HKEY parent, const char* subKey, HKEY* result);
  LONG QueryValue(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* size);
  LONG CloseKey(HKEY key);

  static constexpr std::chrono::milliseconds s_stampInterval{100};

 private:
  struct CKeyHandle {
    std::string sPath;    // full path from a root key, e.g. HKLM\Software\Lormec
    pugi::xml_node node;  // valid only while generation == m_docGeneration
    uint64_t generation = 0;
  };

  bool LoadFile();
  void CreateDefaultDocument();
  void SetDefaultValue(const std::string& keyPath, const char* name, DWORD type, const char* text);
  void CheckFileStamp();
  void Reload();
  bool MergeChanges(pugi::xml_node newRoot);
  void ResetHandleMap();
  pugi::xml_node KeyNode(CKeyHandle& handle);
  pugi::xml_node CreateKey(pugi::xml_node root, std::string_view path, bool record);
  uintptr_t NewHandleNumber();

  std::unique_ptr<pugi::xml_document> m_doc;
  std::unordered_map<uintptr_t, CKeyHandle> m_mapKey;
  uint64_t m_docGeneration = 1;
  uint64_t m_nKey = 0;
  COsUserLock m_cs;
  bool m_bDirty = false;
  std::set<std::string> m_touchedKeys;
  std::set<std::pair<std::string, std::string>> m_touchedValues;
  std::set<std::string> m_clearedKeys;
  std::chrono::steady_clock::time_point m_lastStampCheck;
  CFileStamp m_fileStamp;
  CVxRegistryPath m_paths;
};
