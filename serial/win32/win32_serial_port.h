#pragma once

#include "common/win32/unique.h"
#include "serial/serial_port.h"

namespace qm {

// MSComm1 on the Win32 comm API: 57600 baud, 8 data bits, no parity, 1 stop bit, no flow
// control, DTR and RTS held low.
class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort() = default;

  void SetCommPort(int16_t port) override { port_ = port; }
  int16_t CommPort() const override { return port_; }
  bool PortOpen() const override { return static_cast<bool>(handle_); }
  void Open() override;
  void Close() override { handle_.reset(); }
  void Write(std::string_view bytes) override;
  std::string ReadPending() override;

 private:
  void RequireOpen() const;

  int16_t port_ = kStoredCommPort;
  UniqueHandle handle_;
};

}  // namespace qm
