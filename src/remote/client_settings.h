// Where a client finds the application server and what it proves itself with: the machine-wide
// client settings of the remote object layer (the module's windows read none of their own).
//
// Sources, the first that names a setting wins:
//   1. environment: QMDW_SERVER_PORT, QMDW_SITE_KEY_FILE;
//   2. the settings file: QMDW_CLIENT_CONFIG if set; otherwise /etc/qmdw/client.conf on Linux
//      and qmdw-client.ini beside the DLL (or program) that holds this code on Windows.
//      Lines "port = 7211" and "site_key_file = PATH"; '#' or ';' start a comment; [sections]
//      are ignored;
//   3. defaults: port kDefaultPort, no site key.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace remote {

inline constexpr uint16_t kDefaultPort = 7211;

struct ClientSettings {
  uint16_t port = kDefaultPort;
  std::filesystem::path site_key_file;  // empty: this client holds no site key
  int connect_timeout_ms = 10000;
};

// Reads the settings afresh (environment, then file, then defaults). A malformed value throws
// ServerError naming the setting and where it came from.
ClientSettings LoadClientSettings();

// The settings file this process reads (whether or not it exists).
std::filesystem::path ClientConfigPath();

struct ServerAddress {
  std::string host;
  uint16_t port = kDefaultPort;
};

// A computer name as the module's host passes it: empty means this computer (127.0.0.1); a
// name or address, optionally with ":port" ("[v6]:port" for IPv6); a leading "\\" is dropped.
ServerAddress ParseComputerName(const std::string& computer_name, uint16_t default_port);

// The site key held in a file: its bytes without trailing blanks and line ends; at least 16
// bytes. Throws ServerError when it cannot be read or is too short.
std::string ReadSiteKeyFile(const std::filesystem::path& path);

// A path as UTF-8 text, for messages.
std::string PathText(const std::filesystem::path& path);

}  // namespace remote
