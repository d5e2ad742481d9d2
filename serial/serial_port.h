#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"

namespace qm {

// The reason shown after "Cannot open <port>: " for a Win32 error raised by opening a port.
std::wstring OpenFailureReason(const Error& e);

// The one serial port the tool talks through (MSComm1). Every failing operation throws Error.
// Text goes over the wire as the bytes of the ANSI code page; the command is plain ASCII and the
// answer is kept as bytes until it is drawn.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Any number is accepted here; a port that cannot be used fails when it is opened.
  virtual void SetCommPort(int16_t port) = 0;
  virtual int16_t CommPort() const = 0;

  virtual bool PortOpen() const = 0;
  virtual void Open() = 0;
  virtual void Close() = 0;

  // Sends every byte, in order, adding nothing.
  virtual void Write(std::string_view bytes) = 0;
  // Everything received and not yet read; never waits for more to arrive.
  virtual std::string ReadPending() = 0;

  // The port as the user names it, e.g. "COM7" or "/dev/ttyUSB0".
  virtual std::wstring PortName() const { return L"COM" + DecimalNumber(CommPort()); }
  // The port as programs name it (JSON): its path whole, where PortName may spell bytes out.
  virtual std::wstring PortPath() const { return PortName(); }
  // Why Open failed, in plain words, for an error Open raised.
  virtual std::wstring OpenFailureReason(const Error& e) const { return qm::OpenFailureReason(e); }
};

// The port used when start-up finds no adapter.
inline constexpr int16_t kStoredCommPort = 1;

}  // namespace qm
