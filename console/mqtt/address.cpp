#include "console/mqtt/address.h"

#include "common/text.h"
#include "console/board/model.h"

namespace qm {

namespace {

bool AllDigits(const std::wstring& text) {
  if (text.empty()) return false;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
  }
  return true;
}

}  // namespace

std::optional<MqttUrl> ParseMqttUrl(const std::wstring& text, std::wstring& error) {
  MqttUrl url;
  std::wstring rest;
  if (text.rfind(L"mqtt://", 0) == 0) {
    rest = text.substr(7);
  } else if (text.rfind(L"mqtts://", 0) == 0) {
#ifdef _WIN32
    error = L"mqtts:// is not supported on Windows yet: use mqtt:// (the link is not encrypted)";
    return std::nullopt;
#endif
    url.tls = true;
    url.port = 8883;
    rest = text.substr(8);
  } else {
    error = L"--mqtt needs mqtt://HOST[:PORT][/PREFIX] or mqtts://..., not " + text;
    return std::nullopt;
  }
  const std::size_t slash = rest.find(L'/');
  std::wstring authority = rest.substr(0, slash);
  if (slash != std::wstring::npos) {
    std::wstring prefix = rest.substr(slash + 1);
    while (!prefix.empty() && prefix.back() == L'/') prefix.pop_back();
    if (!prefix.empty()) {
      if (prefix.find_first_of(std::wstring(L"+#\0", 3)) != std::wstring::npos ||
          prefix.find(L"//") != std::wstring::npos || prefix.front() == L'/') {
        error = L"the topic prefix " + prefix + L" cannot hold +, # or empty levels";
        return std::nullopt;
      }
      url.prefix = Utf8(prefix);
    }
  }
  const std::size_t at = authority.rfind(L'@');
  if (at != std::wstring::npos) {
    const std::wstring user = authority.substr(0, at);
    if (user.find(L':') != std::wstring::npos) {
      error = L"no password in the URL (ps shows it): put it in a file for --mqtt-password-file";
      return std::nullopt;
    }
    if (user.empty()) {
      error = L"an empty user name before @ in " + text;
      return std::nullopt;
    }
    url.user = Utf8(user);
    authority = authority.substr(at + 1);
  }
  std::wstring host = authority, port;
  if (!authority.empty() && authority[0] == L'[') {  // [::1]:1883
    const std::size_t close = authority.find(L']');
    if (close == std::wstring::npos) {
      error = L"no ] after the IPv6 address in " + text;
      return std::nullopt;
    }
    host = authority.substr(1, close - 1);
    const std::wstring after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != L':') {
        error = L"unexpected text after ] in " + text;
        return std::nullopt;
      }
      port = after.substr(1);
      if (port.empty()) port = L"x";  // a colon with nothing after it is no port
    }
  } else if (const std::size_t colon = authority.rfind(L':'); colon != std::wstring::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (port.empty()) port = L"x";
  }
  if (host.empty()) {
    error = L"no broker host in " + text;
    return std::nullopt;
  }
  url.host = Utf8(host);
  if (!port.empty()) {
    if (!AllDigits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535) {
      error = L"the port in " + text + L" is not a number from 1 to 65535";
      return std::nullopt;
    }
    url.port = std::stoi(port);
  }
  return url;
}

std::string TopicLevel(const std::wstring& name) {
  std::wstring level = name.empty() ? L"_" : name;
  for (wchar_t& c : level) {
    if (c == L'+' || c == L'#' || c == L'/' || c == 0) c = L'_';
  }
  return Utf8(level);
}

std::string SocketLevel(const Adapter& adapter) {
  std::wstring key = SocketKey(adapter);
  if (adapter.location.empty() && key.rfind(L"/dev/", 0) == 0) key = key.substr(5);
  return TopicLevel(key);
}

}  // namespace qm
