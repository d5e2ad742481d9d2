#pragma once

#include <optional>
#include <string>

#include "console/console.h"

namespace qm {

// Where --mqtt publishes: mqtt://[USER@]HOST[:PORT][/PREFIX] or mqtts://...
struct MqttUrl {
  bool tls = false;
  std::string user;  // UTF-8, as libmosquitto takes them; empty: none
  std::string host;
  int port = 1883;
  std::string prefix = "quillomarvet";  // one or more topic levels
};

// The URL, or why it cannot be used (in `error`).
std::optional<MqttUrl> ParseMqttUrl(const std::wstring& text, std::wstring& error);

// A name as one topic level: what a topic cannot hold in a level (+, #, / and NUL) becomes _,
// the same way every time; an empty name is _.
std::string TopicLevel(const std::wstring& name);

// The topic level of the socket an adapter is in: the board's name for it (its USB location,
// Windows' Port_#0004.Hub_#0001 as H1P4), else its port without /dev/.
std::string SocketLevel(const Adapter& adapter);

}  // namespace qm
