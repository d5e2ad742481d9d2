#pragma once

#include <termios.h>

#include <string>

#include "serial/serial_port.h"

namespace qm {

// Owns a file descriptor; closes it when it goes.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Open refuses a device that is no serial port: the description says what it is.
inline constexpr uint32_t kErrNotSerialPort = 8100;

// An Error with errno's number and the system's text for it.
Error ErrnoError(int number);

// The system's text for an errno value, as wide text.
std::wstring ErrnoText(int number);

// MSComm1 on the POSIX terminal interface: 57600 baud, 8 data bits, no parity, 1 stop bit, raw,
// no flow control, DTR and RTS lowered once the port is ours; the device is held exclusively
// while open, and its line settings are put back as they were when it is closed. Only a serial
// port is used: not a file, not this program's own terminal, a virtual console or the system
// console.
class PosixSerialPort final : public SerialPort {
 public:
  explicit PosixSerialPort(std::string path) : path_(std::move(path)) {}
  ~PosixSerialPort() override { Close(); }
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  // The port is named by its path; the number is kept only because the interface has one.
  void SetCommPort(int16_t port) override { number_ = port; }
  int16_t CommPort() const override { return number_; }
  bool PortOpen() const override { return static_cast<bool>(fd_); }
  void Open() override;
  void Close() override;
  void Write(std::string_view bytes) override;
  std::string ReadPending() override;
  std::wstring PortName() const override;
  std::wstring PortPath() const override;
  std::wstring OpenFailureReason(const Error& e) const override;

 private:
  void RequireOpen() const;

  std::string path_;
  int16_t number_ = 0;
  UniqueFd fd_;
  termios saved_{};  // the line settings found at open

};

}  // namespace qm
