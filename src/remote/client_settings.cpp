#include "remote/client_settings.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "remote/messages.h"
#include "remote/server_object.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace remote {
namespace {

std::string Trim(std::string s) {
  const char* blanks = " \t\r\n";
  s.erase(0, s.find_first_not_of(blanks));
  std::size_t end = s.find_last_not_of(blanks);
  s.erase(end == std::string::npos ? 0 : end + 1);
  return s;
}

// An environment variable as a path; empty when unset.
std::filesystem::path EnvPath(const char* name) {
#ifdef _WIN32
  std::wstring wname(name, name + std::char_traits<char>::length(name));
  DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  n = GetEnvironmentVariableW(wname.c_str(), value.data(), n);
  value.resize(n);
  return std::filesystem::path(value);
#else
  const char* v = std::getenv(name);
  return v ? std::filesystem::path(v) : std::filesystem::path();
#endif
}

std::string EnvText(const char* name) {
  const char* v = std::getenv(name);
  return v ? Trim(v) : std::string();
}

msg::Text WhereComputerName(const std::string& computer_name) {
  return msg::ClientTable().Part("part.where.computer_name", {msg::Same(computer_name)});
}

// `where`: where the text was read, as the operator is told.
uint16_t ParsePort(const std::string& text, const msg::Text& where) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    throw msg::Error(msg::PortNotNumber(text, where));
  unsigned long v = std::stoul(text);
  if (v == 0 || v > 65535) throw msg::Error(msg::PortNotNumber(text, where));
  return static_cast<uint16_t>(v);
}

#ifdef _WIN32
std::filesystem::path ThisModuleDir() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModuleDir), &module);
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(module, buf.data(), static_cast<DWORD>(buf.size()));
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(buf.size() * 2);
  }
  return std::filesystem::path(buf).parent_path();
}
#endif

}  // namespace

std::string PathText(const std::filesystem::path& path) {
  std::u8string u8 = path.u8string();
  return std::string(u8.begin(), u8.end());
}

std::filesystem::path ClientConfigPath() {
  std::filesystem::path p = EnvPath("QMDW_CLIENT_CONFIG");
  if (!p.empty()) return p;
#ifdef _WIN32
  return ThisModuleDir() / L"qmdw-client.ini";
#else
  return "/etc/qmdw/client.conf";
#endif
}

ClientSettings LoadClientSettings() {
  ClientSettings s;
  bool port_set = false, key_set = false;

  std::string port = EnvText("QMDW_SERVER_PORT");
  if (!port.empty()) {
    s.port = ParsePort(
        port, msg::ClientTable().Part("part.where.environment", {msg::Same("QMDW_SERVER_PORT")}));
    port_set = true;
  }
  std::filesystem::path key = EnvPath("QMDW_SITE_KEY_FILE");
  if (!key.empty()) {
    s.site_key_file = key;
    key_set = true;
  }
  if (port_set && key_set) return s;

  std::filesystem::path config = ClientConfigPath();
  std::ifstream in(config);
  if (!in) return s;
  std::string line;
  while (std::getline(in, line)) {
    std::size_t comment = line.find_first_of("#;");
    if (comment != std::string::npos) line.erase(comment);
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = Trim(line.substr(0, eq));
    std::string value = Trim(line.substr(eq + 1));
    if (name == "port" && !port_set) {
      s.port = ParsePort(value, msg::ClientTable().Part("part.where.settings_file",
                                                        {msg::Same(PathText(config))}));
      port_set = true;
    } else if (name == "site_key_file" && !key_set && !value.empty()) {
      s.site_key_file = std::filesystem::u8path(value);
      key_set = true;
    }
  }
  return s;
}

ServerAddress ParseComputerName(const std::string& computer_name, uint16_t default_port) {
  std::string name = Trim(computer_name);
  while (!name.empty() && (name[0] == '\\' || name[0] == '/')) name.erase(0, 1);
  ServerAddress a;
  a.port = default_port;
  if (name.empty()) {
    a.host = "127.0.0.1";
    return a;
  }
  if (name[0] == '[') {
    std::size_t close = name.find(']');
    if (close == std::string::npos) throw msg::Error(msg::ComputerNameNotValid(computer_name));
    a.host = name.substr(1, close - 1);
    std::string rest = name.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') throw msg::Error(msg::ComputerNameNotValid(computer_name));
      a.port = ParsePort(rest.substr(1), WhereComputerName(computer_name));
    }
    return a;
  }
  std::size_t colon = name.find(':');
  if (colon != std::string::npos && name.find(':', colon + 1) == std::string::npos) {
    a.host = name.substr(0, colon);
    a.port = ParsePort(name.substr(colon + 1), WhereComputerName(computer_name));
    if (a.host.empty()) a.host = "127.0.0.1";
    return a;
  }
  a.host = name;  // a plain name, or an IPv6 address without port
  return a;
}

std::string ReadSiteKeyFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string shown = PathText(path);
  if (!in) throw msg::Error(msg::SiteKeyUnreadable(shown));
  std::ostringstream buf;
  buf << in.rdbuf();
  std::string key = buf.str();
  while (!key.empty() &&
         (key.back() == '\n' || key.back() == '\r' || key.back() == ' ' || key.back() == '\t'))
    key.pop_back();
  if (key.size() < 16) throw msg::Error(msg::SiteKeyTooShort(shown));
  return key;
}

}  // namespace remote
