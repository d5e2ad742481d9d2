#include "serial/win32/win32_serial_port.h"

#include "common/win32/os_error.h"

namespace qm {

namespace {

constexpr DWORD kBaudRate = 57600;
// Two seconds at 57600 baud bring 11520 bytes; ask the driver for room to spare.
constexpr DWORD kReceiveBufferSize = 16384;
constexpr DWORD kSendBufferSize = 4096;
// A write gives up after this, so a stuck port cannot hang the window.
constexpr DWORD kWriteTimeoutConstantMs = 500;
constexpr DWORD kWriteTimeoutPerByteMs = 2;

void Check(BOOL ok) {
  if (!ok) throw LastOsError();
}

void ConfigureLine(HANDLE port) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  Check(::GetCommState(port, &dcb));
  // Every field is set: a port can come with settings a previous program left behind,
  // XON/XOFF among them.
  dcb.BaudRate = kBaudRate;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  // Low, as boards that wire DTR or RTS to their reset line expect of a terminal at rest.
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  // XonLim and XoffLim stay as the driver reported them: they matter only with flow control,
  // and some drivers refuse limits larger than their queue ("The parameter is incorrect").
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
  Check(::SetCommState(port, &dcb));

  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;  // with zero totals: return at once with what is there
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = kWriteTimeoutPerByteMs;
  timeouts.WriteTotalTimeoutConstant = kWriteTimeoutConstantMs;
  Check(::SetCommTimeouts(port, &timeouts));
}

}  // namespace

void Win32SerialPort::Open() {
  if (handle_) throw Error(kErrPortAlreadyOpen, L"Port already open");
  // The \\.\ form reaches COM10 and above too.
  const std::wstring path = L"\\\\.\\COM" + DecimalNumber(port_);
  UniqueHandle port(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  if (!port) throw LastOsError();
  ::SetupComm(port.get(), kReceiveBufferSize, kSendBufferSize);  // a request; drivers may differ
  ConfigureLine(port.get());
  ::PurgeComm(port.get(), PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
  handle_ = std::move(port);
}

void Win32SerialPort::RequireOpen() const {
  if (!handle_) throw Error(kErrPortNotOpen, L"Operation valid only when the port is open");
}

void Win32SerialPort::Write(std::string_view bytes) {
  RequireOpen();
  while (!bytes.empty()) {
    DWORD written = 0;
    Check(::WriteFile(handle_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                      nullptr));
    if (written == 0) throw OsError(ERROR_TIMEOUT);
    bytes.remove_prefix(written);
  }
}

std::string Win32SerialPort::ReadPending() {
  RequireOpen();
  // Clears any line error (overrun, framing) that would otherwise stall the reads.
  DWORD errors = 0;
  ::ClearCommError(handle_.get(), &errors, nullptr);
  std::string received;
  char chunk[4096];
  for (;;) {
    DWORD got = 0;
    Check(::ReadFile(handle_.get(), chunk, sizeof chunk, &got, nullptr));
    if (got == 0) break;
    received.append(chunk, got);
  }
  return received;
}

}  // namespace qm
