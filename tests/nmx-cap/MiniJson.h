// A small JSON reader for what the tool prints: a document that does not parse, or has text
// behind it, is a test failure.
#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace captool {

struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool b = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> fields;

  bool Has(const std::string& k) const { return fields.count(k) != 0; }
  const Json& operator[](const std::string& k) const {
    static const Json none;
    auto it = fields.find(k);
    return it == fields.end() ? none : it->second;
  }
  long long Int() const { return static_cast<long long>(number); }
  bool IsNull() const { return kind == kNull; }
};

class CJsonReader {
 public:
  // False when text is not one JSON value (with white space around it).
  static bool Parse(const std::string& text, Json* out) {
    CJsonReader r(text);
    return r.Value(out) && (r.Space(), r.m_at == text.size());
  }

 private:
  explicit CJsonReader(const std::string& s) : m_s(s) {}

  void Space() {
    while (m_at < m_s.size() &&
           (m_s[m_at] == ' ' || m_s[m_at] == '\n' || m_s[m_at] == '\t' || m_s[m_at] == '\r'))
      ++m_at;
  }
  bool Literal(const char* word) {
    const std::string w(word);
    if (m_s.compare(m_at, w.size(), w) != 0) return false;
    m_at += w.size();
    return true;
  }
  bool String(std::string* out) {
    if (m_at >= m_s.size() || m_s[m_at] != '"') return false;
    ++m_at;
    while (m_at < m_s.size() && m_s[m_at] != '"') {
      char c = m_s[m_at++];
      if (c == '\\') {
        if (m_at >= m_s.size()) return false;
        c = m_s[m_at++];
        if (c == 'u') {
          if (m_at + 4 > m_s.size()) return false;
          c = static_cast<char>(std::strtol(m_s.substr(m_at, 4).c_str(), nullptr, 16));
          m_at += 4;
        } else if (c == 'n') {
          c = '\n';
        } else if (c == 't') {
          c = '\t';
        }
      }
      out->push_back(c);
    }
    if (m_at >= m_s.size()) return false;
    ++m_at;
    return true;
  }
  bool Value(Json* v) {
    Space();
    if (m_at >= m_s.size()) return false;
    const char c = m_s[m_at];
    if (c == '{') {
      v->kind = Json::kObject;
      ++m_at;
      Space();
      if (m_at < m_s.size() && m_s[m_at] == '}') return ++m_at, true;
      for (;;) {
        Space();
        std::string key;
        if (!String(&key)) return false;
        Space();
        if (m_at >= m_s.size() || m_s[m_at++] != ':') return false;
        if (!Value(&v->fields[key])) return false;
        Space();
        if (m_at >= m_s.size()) return false;
        if (m_s[m_at] == '}') return ++m_at, true;
        if (m_s[m_at++] != ',') return false;
      }
    }
    if (c == '[') {
      v->kind = Json::kArray;
      ++m_at;
      Space();
      if (m_at < m_s.size() && m_s[m_at] == ']') return ++m_at, true;
      for (;;) {
        v->items.emplace_back();
        if (!Value(&v->items.back())) return false;
        Space();
        if (m_at >= m_s.size()) return false;
        if (m_s[m_at] == ']') return ++m_at, true;
        if (m_s[m_at++] != ',') return false;
      }
    }
    if (c == '"') {
      v->kind = Json::kString;
      return String(&v->text);
    }
    if (Literal("null")) return v->kind = Json::kNull, true;
    if (Literal("true")) return v->kind = Json::kBool, v->b = true, true;
    if (Literal("false")) return v->kind = Json::kBool, v->b = false, true;
    const char* begin = m_s.c_str() + m_at;
    char* end = nullptr;
    v->number = std::strtod(begin, &end);
    if (end == begin) return false;
    v->kind = Json::kNumber;
    m_at += static_cast<size_t>(end - begin);
    return true;
  }

  const std::string& m_s;
  size_t m_at = 0;
};

}  // namespace captool
