#include "registry/VxXmlRegistry.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "registry/VxRegLockFile.h"
#include "registry/VxRegValue.h"

namespace {

constexpr const char kRootName[] = "VxRegistry";

struct TPredefinedKey {
  uint32_t handle;
  const char* name;
};
constexpr TPredefinedKey kPredefinedKeys[] = {
    {0x80000002u, "HKLM"},
    {0x80000001u, "HKCU"},
    {0x80000000u, "HKCR"},
    {0x80000003u, "HKU"},
    {0x80000004u, "HKPERFORMANCED"},
    {0x80000050u, "HKPERFORMANCET"},
    {0x80000060u, "HKPERFORMANCENLST"},
};

uintptr_t PredefinedHandle(uint32_t value) {
  return static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<int32_t>(value)));
}

bool IsPredefinedHandle(uintptr_t h) {
  for (const auto& k : kPredefinedKeys)
    if (PredefinedHandle(k.handle) == h) return true;
  return false;
}

// Names in the registry are ASCII and compared without regard to case, whatever the locale.
bool NameEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

pugi::xml_node FindChild(pugi::xml_node parent, const char* element, std::string_view name) {
  for (pugi::xml_node n : parent.children(element))
    if (NameEquals(n.attribute("Name").value(), name)) return n;
  return {};
}

pugi::xml_node FindKey(pugi::xml_node parent, std::string_view name) {
  return FindChild(parent, "Key", name);
}

pugi::xml_node FindValue(pugi::xml_node key, std::string_view name) {
  return FindChild(key, "Value", name);
}

// Calls step(name) for each backslash-separated name of path, up to the first empty one.
// Stops early when step returns false; returns whether every step succeeded.
template <typename Step>
bool ForEachKeyName(std::string_view path, Step step) {
  while (true) {
    size_t end = path.find('\\');
    std::string_view name = path.substr(0, end);
    if (name.empty()) return true;
    if (!step(name)) return false;
    if (end == std::string_view::npos) return true;
    path.remove_prefix(end + 1);
  }
}

// The key that path names below key, or an empty node. *walked receives "\name" for each
// name used (with the spelling of path), so that it can be appended to key's own path.
pugi::xml_node WalkKeys(pugi::xml_node key, std::string_view path, std::string* walked = nullptr) {
  bool found = ForEachKeyName(path, [&](std::string_view name) {
    key = FindKey(key, name);
    if (key && walked) walked->append("\\").append(name);
    return static_cast<bool>(key);
  });
  return found ? key : pugi::xml_node();
}

pugi::xml_node RegistryRoot(const pugi::xml_document& doc) {
  return doc.child(kRootName);
}

// A document this store can use: the right root with the local machine's root key in it.
bool IsRegistryDocument(const pugi::xml_document& doc) {
  return static_cast<bool>(FindKey(RegistryRoot(doc), "HKLM"));
}

// Inserts a value element where the file keeps values: after the other values, before the
// first subkey.
pugi::xml_node InsertValue(pugi::xml_node key, const pugi::xml_node* copyOf) {
  pugi::xml_node firstKey = key.child("Key");
  if (copyOf)
    return firstKey ? key.insert_copy_before(*copyOf, firstKey) : key.append_copy(*copyOf);
  return firstKey ? key.insert_child_before("Value", firstKey) : key.append_child("Value");
}

const char* TypeName(DWORD type) {
  return type == REG_DWORD ? "DW" : "SZ";
}

}  // namespace

CVxXmlRegistry::CVxXmlRegistry(const CVxRegistryPath& paths) : m_paths(paths) {
  COsCsLock lock(m_cs);
  ResetHandleMap();
  m_lastStampCheck = std::chrono::steady_clock::now();
  if (!LoadFile()) CreateDefaultDocument();
}

bool CVxXmlRegistry::LoadFile() {
  auto doc = std::make_unique<pugi::xml_document>();
  CFileStamp before, after;
  pugi::xml_parse_result result;
  {
    CVxRegLockFile lock(m_paths.s_szLockFile);
    before = CFileStamp::Take(m_paths.s_szRegistryFile);
    result = doc->load_file(m_paths.s_szRegistryFile);
    after = CFileStamp::Take(m_paths.s_szRegistryFile);
  }
  if (before == after) m_fileStamp = before;
  // A well-formed file that is not a registry is as useless as a broken one; it falls back
  // to the defaults rather than leaving the program without a boot directory.
  int status = result ? (IsRegistryDocument(*doc) ? 0 : pugi::status_no_document_element)
                      : static_cast<int>(result.status);
  if (status != 0) {
    printf("Failed to load Varnix registry(%d).\n", status);
    fflush(stdout);
    return false;
  }
  m_doc = std::move(doc);
  ResetHandleMap();
  return true;
}

void CVxXmlRegistry::CreateDefaultDocument() {
  m_doc = std::make_unique<pugi::xml_document>();
  m_doc->append_child(kRootName).append_child("Key").append_attribute("Name") = "HKLM";
  ResetHandleMap();

  const std::string product = "Software\\Lormec\\Varnix3";
  const std::string version = product + "\\3.1";
  SetDefaultValue(product, "CurrentVersion", REG_SZ, "3.1");
  SetDefaultValue(product + "\\System", "RunAsDevice", REG_DWORD, "1");
  SetDefaultValue(version, "BootDir", REG_SZ, m_paths.s_szBootDir);
  SetDefaultValue(version, "ConfigDir", REG_SZ, m_paths.s_szConfigDir);
  SetDefaultValue(version, "InstallDir", REG_SZ, m_paths.s_szInstallDir);
  SetDefaultValue(version, "TargetDir", REG_SZ, m_paths.s_szTargetDir);
  SetDefaultValue(version, "DriverAutoLoadDir", REG_SZ, m_paths.s_szAutoloadDir);
  SetDefaultValue("Ident", "DeviceType", REG_SZ, "VX/BSD");
}

void CVxXmlRegistry::SetDefaultValue(const std::string& keyPath, const char* name, DWORD type,
                                     const char* text) {
  const std::string path = "HKLM\\" + keyPath;
  pugi::xml_node key = CreateKey(RegistryRoot(*m_doc), path, true);
  if (!key) return;
  pugi::xml_node value = FindValue(key, name);
  if (value) {
    DWORD dw;
    bool readable = VxRegTypeFromName(value.attribute("Type").value()) == REG_DWORD &&
                    VxRegParseDword(value.child_value(), dw);
    if (type != REG_DWORD || readable) return;
    key.remove_child(value);
  }
  value = InsertValue(key, nullptr);
  value.append_attribute("Name") = name;
  value.append_attribute("Type") = TypeName(type);
  value.text() = text;
  m_touchedValues.emplace(path, name);
  m_bDirty = true;
}

pugi::xml_node CVxXmlRegistry::CreateKey(pugi::xml_node root, std::string_view path, bool record) {
  pugi::xml_node key = root;
  std::string walked;
  bool ok = ForEachKeyName(path, [&](std::string_view name) {
    if (!walked.empty()) walked += '\\';
    walked.append(name);
    pugi::xml_node child = FindKey(key, name);
    if (!child) {
      child = key.append_child("Key");
      if (!child || !child.append_attribute("Name").set_value(std::string(name).c_str()))
        return false;
      if (record) {
        m_touchedKeys.insert(walked);
        m_bDirty = true;
      }
    }
    key = child;
    return true;
  });
  return ok && key != root ? key : pugi::xml_node();
}

void CVxXmlRegistry::CheckFileStamp() {
  auto now = std::chrono::steady_clock::now();
  if (now - m_lastStampCheck <= s_stampInterval) return;
  m_lastStampCheck = now;
  CFileStamp stamp = CFileStamp::Take(m_paths.s_szRegistryFile);
  if (stamp == m_fileStamp) return;
  if (stamp.exists)
    Reload();
  else
    m_fileStamp = stamp;
}

void CVxXmlRegistry::Reload() {
  auto doc = std::make_unique<pugi::xml_document>();
  CFileStamp before, after;
  pugi::xml_parse_result result;
  {
    CVxRegLockFile lock(m_paths.s_szLockFile);
    before = CFileStamp::Take(m_paths.s_szRegistryFile);
    result = doc->load_file(m_paths.s_szRegistryFile);
    after = CFileStamp::Take(m_paths.s_szRegistryFile);
  }
  // A stamp that moved during the parse is not remembered, so the next check reads again.
  const bool stable = before == after;
  if (!result || !IsRegistryDocument(*doc)) {
    if (stable) m_fileStamp = before;
    printf("Failed to read the changed Varnix registry file\n");
    fflush(stdout);
    return;
  }
  if (!m_touchedKeys.empty() || !m_touchedValues.empty() || !m_clearedKeys.empty()) {
    if (!MergeChanges(RegistryRoot(*doc))) return;
  } else if (m_bDirty) {
    return;
  }
  m_doc = std::move(doc);
  if (stable) m_fileStamp = before;
  ResetHandleMap();
}

// Carries what was changed in memory over into a newer file, so that those changes win over
// the file's values of the same name.
bool CVxXmlRegistry::MergeChanges(pugi::xml_node newRoot) {
  const pugi::xml_node curRoot = RegistryRoot(*m_doc);
  for (const std::string& path : m_clearedKeys) {
    pugi::xml_node key = WalkKeys(newRoot, path);
    if (!key || key == newRoot) continue;
    std::vector<pugi::xml_node> doomed;
    for (pugi::xml_node child : key.children())
      if (strcmp(child.name(), "Key") == 0 || strcmp(child.name(), "Value") == 0)
        doomed.push_back(child);
    for (pugi::xml_node child : doomed) key.remove_child(child);
  }
  for (const std::string& path : m_touchedKeys) {
    if (WalkKeys(curRoot, path)) {
      if (!CreateKey(newRoot, path, false)) return false;
    } else if (pugi::xml_node key = WalkKeys(newRoot, path); key && key != newRoot) {
      key.parent().remove_child(key);
    }
  }
  for (const auto& [path, name] : m_touchedValues) {
    pugi::xml_node curKey = WalkKeys(curRoot, path);
    pugi::xml_node curValue = curKey ? FindValue(curKey, name) : pugi::xml_node();
    if (curValue) {
      pugi::xml_node key = CreateKey(newRoot, path, false);
      if (!key) return false;
      pugi::xml_node old = FindValue(key, name);
      pugi::xml_node copy =
          old ? key.insert_copy_before(curValue, old) : InsertValue(key, &curValue);
      if (!copy) return false;
      if (old) key.remove_child(old);
    } else if (pugi::xml_node key = WalkKeys(newRoot, path)) {
      if (pugi::xml_node old = FindValue(key, name)) key.remove_child(old);
    }
  }
  return true;
}

void CVxXmlRegistry::ResetHandleMap() {
  ++m_docGeneration;
  for (const auto& k : kPredefinedKeys) {
    CKeyHandle& handle = m_mapKey[PredefinedHandle(k.handle)];
    if (handle.sPath.empty()) handle.sPath = k.name;
  }
}

pugi::xml_node CVxXmlRegistry::KeyNode(CKeyHandle& handle) {
  if (handle.generation != m_docGeneration) {
    handle.node = WalkKeys(RegistryRoot(*m_doc), handle.sPath);
    handle.generation = m_docGeneration;
  }
  return handle.node;
}

uintptr_t CVxXmlRegistry::NewHandleNumber() {
  // Among size() + 2 consecutive numbers at least one is neither 0 nor in use.
  for (size_t tries = 0; tries < m_mapKey.size() + 2; ++tries) {
    uintptr_t h = static_cast<uintptr_t>(++m_nKey);
    if (h != 0 && m_mapKey.find(h) == m_mapKey.end()) return h;
  }
  return 0;
}

LONG CVxXmlRegistry::OpenKey(HKEY parent, const char* subKey, HKEY* result) {
  if (!result) return VXREG_INVALID_PARAMETER;
  *result = nullptr;
  if (!subKey || !*subKey || *subKey == '\\') return VXREG_INVALID_PARAMETER;

  COsCsLock lock(m_cs);
  CheckFileStamp();
  auto it = m_mapKey.find(reinterpret_cast<uintptr_t>(parent));
  if (it == m_mapKey.end()) return VXREG_NOT_FOUND;
  pugi::xml_node parentNode = KeyNode(it->second);
  if (!parentNode) return VXREG_NOT_FOUND;
  std::string path = it->second.sPath;
  pugi::xml_node key = WalkKeys(parentNode, subKey, &path);
  if (!key) return VXREG_FILE_NOT_FOUND;
  uintptr_t h = NewHandleNumber();
  if (h == 0) return VXREG_NOT_FOUND;
  m_mapKey.emplace(h, CKeyHandle{std::move(path), key, m_docGeneration});
  *result = reinterpret_cast<HKEY>(h);
  return VXREG_SUCCESS;
}

LONG CVxXmlRegistry::QueryValue(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* size) {
  if (!name || (data && !size)) return VXREG_INVALID_PARAMETER;

  COsCsLock lock(m_cs);
  CheckFileStamp();
  auto it = m_mapKey.find(reinterpret_cast<uintptr_t>(key));
  if (it == m_mapKey.end()) return VXREG_NOT_FOUND;
  pugi::xml_node keyNode = KeyNode(it->second);
  if (!keyNode) return VXREG_NOT_FOUND;
  pugi::xml_node value = FindValue(keyNode, name);
  if (!value) return VXREG_FILE_NOT_FOUND;

  DWORD valueType;
  std::vector<BYTE> bytes;
  LONG rc = VxRegDecodeValue(value, valueType, bytes);
  if (type) *type = valueType;
  if (rc != VXREG_SUCCESS) {
    if (size) *size = 0;
    return rc;
  }
  const DWORD length = static_cast<DWORD>(bytes.size());
  if (size) {
    if (data) {
      if (*size < length) {
        *size = length;
        return VXREG_MORE_DATA;
      }
      if (length != 0) memcpy(data, bytes.data(), length);
    }
    *size = length;
  }
  return VXREG_SUCCESS;
}

LONG CVxXmlRegistry::CloseKey(HKEY key) {
  const uintptr_t h = reinterpret_cast<uintptr_t>(key);
  COsCsLock lock(m_cs);
  // Other threads of the process rely on the root keys; closing one must not take it away.
  if (IsPredefinedHandle(h)) return VXREG_SUCCESS;
  return m_mapKey.erase(h) != 0 ? VXREG_SUCCESS : VXREG_NOT_FOUND;
}
