#include "platform/sim/registry_file.h"

#include <cwctype>

#include "platform/registry.h"
#include "platform/sim/text.h"

namespace platform::sim {

wchar_t UpperChar(wchar_t c) {
  // Windows compares names by their upper case in every script, whatever the host's locale.
  if (c < 0x80) return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<wchar_t>(c - 32);
  if (c == 0xFF) return 0x178;
  if (c == 0xB5) return 0x39C;
  if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177) || (c >= 0x182 && c <= 0x185) ||
      (c >= 0x1A0 && c <= 0x1A5) || (c >= 0x1DE && c <= 0x1EF) || (c >= 0x1F8 && c <= 0x21F)) {
    return (c & 1) ? static_cast<wchar_t>(c - 1) : c;
  }
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E) || (c >= 0x1CD && c <= 0x1DC)) {
    return (c & 1) ? c : static_cast<wchar_t>(c - 1);
  }
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return static_cast<wchar_t>(c - 32);
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x430 && c <= 0x44F) return static_cast<wchar_t>(c - 32);
  if (c >= 0x450 && c <= 0x45F) return static_cast<wchar_t>(c - 80);
  if (c >= 0x460 && c <= 0x4FF) return (c & 1) ? static_cast<wchar_t>(c - 1) : c;
  if (c >= 0x1E00 && c <= 0x1EFF) return (c & 1) ? static_cast<wchar_t>(c - 1) : c;
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<wchar_t>(c - 32);
  return static_cast<wchar_t>(std::towupper(c));
}

std::wstring UpperName(const std::wstring& name) {
  std::wstring upper(name);
  for (wchar_t& c : upper) c = UpperChar(c);
  return upper;
}

std::optional<DWORD> CheckKeyPath(const std::vector<std::wstring>& levels, std::size_t depth) {
  if (levels.size() + depth > kMaxKeyDepth) return ERROR_BADKEY;
  for (const auto& level : levels) {
    if (level.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
  }
  return std::nullopt;
}

RegValue* RegKey::FindValue(const std::wstring& name) {
  std::wstring upper = UpperName(name);
  for (RegValue& v : values) {
    if (UpperName(v.name) == upper) return &v;
  }
  return nullptr;
}

std::shared_ptr<RegKey> RegKey::FindSubkey(const std::wstring& name) const {
  auto it = subkeys.find(UpperName(name));
  return it == subkeys.end() ? nullptr : it->second;
}

std::shared_ptr<RegKey> RegKey::Subkey(const std::wstring& name) {
  auto& slot = subkeys[UpperName(name)];
  if (!slot) {
    slot = std::make_shared<RegKey>();
    slot->name = name;
  }
  return slot;
}

std::vector<std::wstring> SplitKeyPath(const std::wstring& path) {
  std::vector<std::wstring> levels;
  std::wstring level;
  for (wchar_t c : path) {
    if (c == L'\\') {
      if (!level.empty()) levels.push_back(level);
      level.clear();
    } else {
      level += c;
    }
  }
  if (!level.empty()) levels.push_back(level);
  return levels;
}

namespace {

constexpr wchar_t kRoot[] = L"HKEY_LOCAL_MACHINE";
constexpr char kHeader4[] = "REGEDIT4";
constexpr wchar_t kHeader5[] = L"Windows Registry Editor Version 5.00";

bool IsTextType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::string LineError(std::size_t line, const std::string& what) {
  return "line " + std::to_string(line) + ": " + what;
}

std::wstring Trim(std::wstring_view s) {
  std::size_t a = 0, b = s.size();
  while (a < b && (s[a] == L' ' || s[a] == L'\t')) ++a;
  while (b > a && (s[b - 1] == L' ' || s[b - 1] == L'\t' || s[b - 1] == L'\r')) --b;
  return std::wstring(s.substr(a, b - a));
}

// A quoted text at `at` (the opening quote); on success `at` is past the closing quote.
bool ReadQuoted(const std::wstring& line, std::size_t& at, std::wstring* text) {
  if (at >= line.size() || line[at] != L'"') return false;
  ++at;
  text->clear();
  while (at < line.size()) {
    wchar_t c = line[at++];
    if (c == L'"') return true;
    if (c == L'\\' && at < line.size()) {
      wchar_t e = line[at++];
      *text += e == L'n' ? L'\n' : e == L'r' ? L'\r' : e;
    } else {
      *text += c;
    }
  }
  return false;
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool ParseHexBytes(std::wstring_view s, std::vector<std::uint8_t>* bytes) {
  bytes->clear();
  std::size_t i = 0;
  auto skipBlanks = [&] {
    while (i < s.size() && (s[i] == L' ' || s[i] == L'\t')) ++i;
  };
  skipBlanks();
  if (i == s.size()) return true;
  for (;;) {
    skipBlanks();
    if (i >= s.size()) return false;
    int hi = i < s.size() ? HexDigit(s[i]) : -1;
    int lo = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
    if (hi < 0) return false;
    if (lo < 0) {  // a single digit
      bytes->push_back(static_cast<std::uint8_t>(hi));
      i += 1;
    } else {
      bytes->push_back(static_cast<std::uint8_t>(hi * 16 + lo));
      i += 2;
    }
    skipBlanks();
    if (i == s.size()) return true;
    if (s[i] != L',') return false;
    ++i;
    skipBlanks();
    if (i == s.size()) return true;  // a trailing comma
  }
}

std::vector<std::uint8_t> TextData(const std::wstring& text) {
  std::vector<std::uint8_t> data = Utf16LeFromWide(text);
  data.push_back(0);
  data.push_back(0);
  return data;
}

// Parses the value part after "=". `ansi` tells the file's format: REGEDIT4 stores the
// hex form of text types as ANSI bytes, version 5 as UTF-16LE.
std::optional<std::string> ParseValueData(const std::wstring& rest, bool ansi, bool* remove,
                                          DWORD* type, std::vector<std::uint8_t>* data) {
  *remove = false;
  if (rest == L"-") {
    *remove = true;
    return std::nullopt;
  }
  if (!rest.empty() && rest[0] == L'"') {
    std::size_t at = 0;
    std::wstring text;
    if (!ReadQuoted(rest, at, &text) || !Trim(std::wstring_view(rest).substr(at)).empty()) {
      return "malformed string value";
    }
    *type = REG_SZ;
    *data = TextData(text);
    return std::nullopt;
  }
  if (rest.rfind(L"dword:", 0) == 0) {
    std::wstring digits = Trim(std::wstring_view(rest).substr(6));
    if (digits.empty() || digits.size() > 8) return "malformed dword value";
    std::uint32_t v = 0;
    for (wchar_t c : digits) {
      int d = HexDigit(c);
      if (d < 0) return "malformed dword value";
      v = v * 16 + static_cast<std::uint32_t>(d);
    }
    *type = REG_DWORD;
    data->assign({static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                  static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
    return std::nullopt;
  }
  if (rest.rfind(L"hex", 0) == 0) {
    std::size_t at = 3;
    DWORD t = REG_BINARY;
    if (at < rest.size() && rest[at] == L'(') {
      std::size_t close = rest.find(L')', at);
      if (close == std::wstring::npos || close == at + 1 || close - at - 1 > 8) {
        return "malformed hex value type";
      }
      t = 0;
      for (std::size_t k = at + 1; k < close; ++k) {
        int d = HexDigit(rest[k]);
        if (d < 0) return "malformed hex value type";
        t = t * 16 + static_cast<DWORD>(d);
      }
      at = close + 1;
    }
    if (at >= rest.size() || rest[at] != L':') return "malformed hex value";
    std::vector<std::uint8_t> bytes;
    if (!ParseHexBytes(std::wstring_view(rest).substr(at + 1), &bytes))
      return "malformed hex bytes";
    if (ansi && IsTextType(t)) {
      std::string narrow(bytes.begin(), bytes.end());
      bytes = Utf16LeFromWide(WideFromCp1252(narrow));
    }
    *type = t;
    *data = std::move(bytes);
    return std::nullopt;
  }
  return "unrecognised value data";
}

RegKey Clone(const RegKey& key) {
  RegKey copy;
  copy.name = key.name;
  copy.values = key.values;
  for (const auto& [upper, sub] : key.subkeys) {
    copy.subkeys[upper] = std::make_shared<RegKey>(Clone(*sub));
  }
  return copy;
}

bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    if (c < 0x80) {
      n = 0;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
    } else {
      return false;
    }
    if (s.size() - i - 1 < n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n + 1;
  }
  return true;
}

// The text of a file: UTF-16LE with its byte-order mark, UTF-8 with or without one, else
// Windows-1252. `ansi` tells whether the 8-bit form is Windows-1252.
std::wstring DecodeFile(std::string_view bytes, bool* ansi) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    *ansi = false;
    return WideFromUtf16Le(reinterpret_cast<const std::uint8_t*>(bytes.data()) + 2,
                           bytes.size() - 2);
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    *ansi = false;
    return WideFromUtf8(bytes.substr(3));
  }
  // REGEDIT4 is always the ANSI code page; the version 5 header in an 8-bit file is UTF-8
  // when the bytes are UTF-8.
  if (bytes.rfind("REGEDIT4", 0) != 0 && ValidUtf8(bytes)) {
    *ansi = false;
    return WideFromUtf8(bytes);
  }
  *ansi = true;
  return WideFromCp1252(bytes);
}

// Makes `real` hold what `parsed` holds, keeping the key objects that open handles name.
void Sync(RegKey& real, RegKey& parsed) {
  real.name = parsed.name;
  real.values = std::move(parsed.values);
  for (auto it = real.subkeys.begin(); it != real.subkeys.end();) {
    if (parsed.subkeys.find(it->first) == parsed.subkeys.end()) {
      it->second->deleted = true;
      it = real.subkeys.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [upper, sub] : parsed.subkeys) {
    auto found = real.subkeys.find(upper);
    if (found == real.subkeys.end()) {
      real.subkeys[upper] = sub;
    } else {
      Sync(*found->second, *sub);
    }
  }
}

}  // namespace

std::optional<std::string> ParseRegFile(std::string_view bytes, RegKey& root,
                                        std::vector<std::string>* notes) {
  bool ansi = true;
  std::wstring text = DecodeFile(bytes, &ansi);
  // Split into lines, keeping their numbers.
  std::vector<std::wstring> lines;
  std::wstring current;
  for (wchar_t c : text) {
    if (c == L'\n') {
      lines.push_back(Trim(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) lines.push_back(Trim(current));

  // Work on a copy so that a malformed file changes nothing.
  RegKey work = Clone(root);
  RegKey* key = nullptr;  // the key of the section; null after a deletion section
  bool inSection = false;
  bool header = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::size_t number = i + 1;
    std::wstring line = lines[i];
    if (line.empty() || line[0] == L';') continue;
    if (!header) {
      if (line == std::wstring(kHeader4, kHeader4 + sizeof kHeader4 - 1)) {
        header = true;
        ansi = true;  // REGEDIT4 keeps the text of hex values in the ANSI code page
        continue;
      }
      if (line == kHeader5) {
        header = true;
        ansi = false;
        continue;
      }
      return LineError(number,
                       "expected the header REGEDIT4 or Windows Registry Editor "
                       "Version 5.00");
    }
    // Continuation lines of hex data end with a backslash.
    while (!line.empty() && line.back() == L'\\' && line[0] != L'[' && i + 1 < lines.size()) {
      line.pop_back();
      line += lines[++i];
    }
    if (line[0] == L'[') {
      if (line.back() != L']') return LineError(number, "malformed key line");
      std::wstring path = line.substr(1, line.size() - 2);
      bool remove = !path.empty() && path[0] == L'-';
      if (remove) path.erase(0, 1);
      std::vector<std::wstring> levels = SplitKeyPath(path);
      if (levels.empty()) return LineError(number, "malformed key line");
      inSection = true;
      if (UpperName(levels[0]) != kRoot) {
        // Another hive: its section is passed over.
        if (notes != nullptr) {
          notes->push_back(LineError(number, "section outside HKEY_LOCAL_MACHINE passed over"));
        }
        key = nullptr;
        continue;
      }
      if (levels.size() - 1 > kMaxKeyDepth) return LineError(number, "key too deep");
      for (const auto& level : levels) {
        if (level.size() > kMaxKeyNameLength) return LineError(number, "key name too long");
      }
      if (remove) {
        std::shared_ptr<RegKey> parent;
        RegKey* at = &work;
        for (std::size_t k = 1; k + 1 < levels.size() && at != nullptr; ++k) {
          parent = at->FindSubkey(levels[k]);
          at = parent.get();
        }
        if (at != nullptr && levels.size() > 1) at->subkeys.erase(UpperName(levels.back()));
        key = nullptr;
        continue;
      }
      // Keys are made as the file names them.
      key = &work;
      for (std::size_t k = 1; k < levels.size(); ++k) key = key->Subkey(levels[k]).get();
      continue;
    }
    if (!inSection) return LineError(number, "value outside a key");
    std::wstring name;
    std::size_t at = 0;
    if (line[0] == L'@') {
      at = 1;
    } else if (!ReadQuoted(line, at, &name)) {
      return LineError(number, "malformed value name");
    }
    if (name.size() > kMaxValueNameLength) return LineError(number, "value name too long");
    while (at < line.size() && (line[at] == L' ' || line[at] == L'\t')) ++at;
    if (at >= line.size() || line[at] != L'=') return LineError(number, "expected '='");
    std::wstring rest = Trim(std::wstring_view(line).substr(at + 1));
    bool remove = false;
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    if (auto error = ParseValueData(rest, ansi, &remove, &type, &data)) {
      return LineError(number, *error);
    }
    if (key == nullptr) continue;  // values of a deleted key
    RegValue* existing = key->FindValue(name);
    if (remove) {
      if (existing != nullptr) {
        key->values.erase(key->values.begin() + (existing - key->values.data()));
      }
    } else if (existing != nullptr) {
      existing->type = type;
      existing->data = std::move(data);
    } else {
      key->values.push_back(RegValue{name, type, std::move(data)});
    }
  }
  if (!header) return LineError(lines.size() + 1, "the file has no header");
  Sync(root, work);
  return std::nullopt;
}

namespace {

// Whether the text survives Windows-1252.
bool Ansi(const std::wstring& text) {
  bool lossless = true;
  Cp1252FromWide(text, &lossless);
  return lossless;
}

bool AnsiTextData(const std::vector<std::uint8_t>& data) {
  return data.size() % 2 == 0 && Ansi(WideFromUtf16Le(data.data(), data.size()));
}

bool Representable(const RegKey& key) {
  if (!Ansi(key.name)) return false;
  for (const RegValue& v : key.values) {
    if (!Ansi(v.name)) return false;
    if (IsTextType(v.type) && !AnsiTextData(v.data)) return false;
  }
  for (const auto& [upper, sub] : key.subkeys) {
    if (!Representable(*sub)) return false;
  }
  return true;
}

std::wstring Quote(const std::wstring& text) {
  std::wstring out = L"\"";
  for (wchar_t c : text) {
    if (c == L'\n' || c == L'\r') {  // a line break in a name stays on the name's line
      out += c == L'\n' ? L"\\n" : L"\\r";
      continue;
    }
    if (c == L'\\' || c == L'"') out += L'\\';
    out += c;
  }
  return out + L"\"";
}

// A REG_SZ that the quoted form holds: one terminating zero, no other zero, no line break.
bool PlainString(const RegValue& v) {
  if (v.type != REG_SZ || v.data.size() < 2 || v.data.size() % 2 != 0) return false;
  std::wstring text = WideFromUtf16Le(v.data.data(), v.data.size());
  if (text.empty() || text.back() != L'\0') return false;
  text.pop_back();
  for (wchar_t c : text) {
    if (c == L'\0' || c == L'\r' || c == L'\n') return false;
  }
  return true;
}

std::wstring FormatValue(const RegValue& v, bool ansi) {
  std::wstring line = v.name.empty() ? L"@=" : Quote(v.name) + L"=";
  if (PlainString(v)) {
    std::wstring text = WideFromUtf16Le(v.data.data(), v.data.size() - 2);
    return line + Quote(text);
  }
  if (v.type == REG_DWORD && v.data.size() == 4) {
    std::uint32_t x = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                      (static_cast<std::uint32_t>(v.data[3]) << 24);
    wchar_t digits[9];
    static const wchar_t* hex = L"0123456789abcdef";
    for (int k = 7; k >= 0; --k) {
      digits[k] = hex[x & 0xF];
      x >>= 4;
    }
    digits[8] = 0;
    return line + L"dword:" + digits;
  }
  std::vector<std::uint8_t> bytes = v.data;
  if (ansi && IsTextType(v.type)) {
    std::string narrow = Cp1252FromWide(WideFromUtf16Le(bytes.data(), bytes.size()), nullptr);
    bytes.assign(narrow.begin(), narrow.end());
  }
  if (v.type == REG_BINARY) {
    line += L"hex:";
  } else {
    wchar_t type[16];
    std::swprintf(type, 16, L"hex(%x):", v.type);
    line += type;
  }
  static const wchar_t* hex = L"0123456789abcdef";
  std::wstring out = line;
  std::size_t width = out.size();
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    out += hex[bytes[k] >> 4];
    out += hex[bytes[k] & 0xF];
    width += 2;
    if (k + 1 < bytes.size()) {
      out += L',';
      ++width;
      if (width > 76) {  // regedit wraps long data with a backslash
        out += L"\\\r\n  ";
        width = 2;
      }
    }
  }
  return out;
}

void FormatKey(const RegKey& key, const std::wstring& path, bool ansi, std::wstring& out) {
  out += L"[" + path + L"]\r\n";
  for (const RegValue& v : key.values) out += FormatValue(v, ansi) + L"\r\n";
  out += L"\r\n";
  for (const auto& [upper, sub] : key.subkeys) {
    FormatKey(*sub, path + L"\\" + sub->name, ansi, out);
  }
}

}  // namespace

std::string FormatRegFile(const RegKey& root) {
  bool ansi = Representable(root);
  std::wstring text = ansi ? L"REGEDIT4\r\n\r\n" : std::wstring(kHeader5) + L"\r\n\r\n";
  FormatKey(root, kRoot, ansi, text);
  if (ansi) return Cp1252FromWide(text, nullptr);
  std::vector<std::uint8_t> bytes = Utf16LeFromWide(text);
  std::string out = "\xFF\xFE";
  out.append(bytes.begin(), bytes.end());
  return out;
}

}  // namespace platform::sim
