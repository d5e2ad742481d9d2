#include "console/arguments.h"

#include <algorithm>

#include "console/console.h"

namespace qm {

namespace {

// --help, and through it the manual page (a test compares the two): every option on a line
// of its own starting "  --", every exit status on one starting with its number.
const wchar_t* const kUsage[] = {
    L"Usage: quillomarvet [--port PORT]... | --list | --all | --watch [--settle SECONDS]",
    L"                    [--expect TEXT] [--json] [--plain] [--log FILE]",
    L"",
    L"Puts a device on a CP210x USB-to-serial adapter back to its factory settings: opens the",
    L"port (57600 baud, 8N1, no flow control), sends AT+DEFAULT and ten line ends, waits 2 s and",
    L"prints \"Open port\", the device's answer (or \"NO COMM\") and \"Port closed\".",
    L"",
    L"Options:",
    L"  (no option)       the first CP210x adapter found",
    L"  --port PORT       that port; given several times, those ports all at once",
    L"  --list            the adapters found: port, location, serial number, product",
    L"  --all             every adapter found, all at once; each line starts with its port",
    L"  --watch           every adapter present and every one plugged in later, once per",
    L"                    plug-in, until interrupted; a summary on standard error at the end.",
    L"                    On a terminal, a station board: one place per USB socket with its",
    L"                    state and last verdict; q ends it",
    L"  --settle SECONDS  with --watch: how long a device plugged in is given to power up",
    L"                    before it is reset (default 1)",
    L"  --expect TEXT     an answer passes only when one of its lines (split at CR and LF,",
    L"                    spaces around it ignored) is TEXT, e.g. --expect OK; any other is",
    L"                    \"unexpected\": a failure with its own count and exit status 4",
    L"  --json            JSON Lines on standard output: one object per adapter, exchange,",
    L"                    run of several ports and start of a watch",
    L"  --plain           with --watch on a terminal: the lines instead of the station board",
    L"  --log FILE        appends every --json record to FILE as well, each one whole and on",
    L"                    the disk before its verdict is shown; the file is never truncated",
    L"  --help            this text",
    L"  --version         the version",
    L"",
    L"Exit status (with several ports the highest wins):",
    L"  0    every device answered (a watch: ended with q on its board)",
    L"  1    some device gave no answer",
    L"  2    some port could not be opened",
    L"  3    no adapter found and no --port given",
    L"  4    a device answered, but not as expected (--expect)",
    L"  64   a usage error",
    L"  70   the program could not run, list the devices, open its log or write its output",
    L"       (the reason is on standard error)",
#ifdef _WIN32
    L"  130  interrupted (Ctrl+C, Ctrl+Break, the console closed, log-off, shutdown): the",
    L"       ports are closed first",
#else
    L"  130  interrupted by Ctrl+C (SIGINT): the ports are closed, then it ends by the signal",
    L"  143  ended by SIGTERM, likewise",
    L"  129  ended by SIGHUP (the terminal closed), likewise",
#endif
};

// Seconds as --settle takes them: digits, with up to three decimals; at most an hour.
std::optional<int32_t> SettleMs(const std::wstring& text) {
  int64_t ms = 0;
  int decimals = -1;
  for (wchar_t c : text) {
    if (c == L'.' && decimals < 0) {
      decimals = 0;
    } else if (c >= L'0' && c <= L'9' && decimals < 3) {
      ms = ms * 10 + (c - L'0');
      if (decimals >= 0) ++decimals;
      if (ms > 3600000) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (text.empty() || text == L".") return std::nullopt;
  for (int d = std::max(decimals, 0); d < 3; ++d) ms *= 10;
  if (ms > 3600000) return std::nullopt;
  return static_cast<int32_t>(ms);
}

bool Blank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

// The line --expect asks for, without the blanks around it (a line is compared so); nullopt
// when no line can ever be it.
std::optional<std::wstring> ExpectedLine(const std::wstring& text) {
  std::size_t first = 0, end = text.size();
  while (first < end && Blank(text[first])) ++first;
  while (end > first && Blank(text[end - 1])) --end;
  if (first == end) return std::nullopt;
  for (std::size_t i = first; i < end; ++i) {
    // A line never holds CR or LF; no other control either, as it is shown on a terminal.
    const auto c = static_cast<uint32_t>(text[i]);
    if ((c < 0x20 && !Blank(text[i])) || (c >= 0x7F && c < 0xA0)) return std::nullopt;
  }
  return text.substr(first, end - first);
}

}  // namespace

std::vector<std::wstring> UsageLines() {
  return {std::begin(kUsage), std::end(kUsage)};
}

ParsedArguments ParseArguments(const std::vector<std::wstring>& args) {
  Options options;
  bool list = false, all = false, watch = false, help = false, version = false, settle = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::wstring& arg = args[i];
    // --name VALUE or --name=VALUE
    const auto value = [&](const wchar_t* name) -> std::optional<std::wstring> {
      const std::wstring option(name);
      if (arg == option && i + 1 < args.size()) return args[++i];
      if (arg.rfind(option + L"=", 0) == 0) return arg.substr(option.size() + 1);
      return std::nullopt;
    };
    if (arg == L"--help" || arg == L"-h") {
      help = true;
    } else if (arg == L"--version") {
      version = true;
    } else if (arg == L"--list") {
      list = true;
    } else if (arg == L"--all") {
      all = true;
    } else if (arg == L"--watch") {
      watch = true;
    } else if (arg == L"--json") {
      options.json = true;
    } else if (arg == L"--plain") {
      options.plain = true;
    } else if (auto file = value(L"--log")) {
      if (file->empty()) return {std::nullopt, L"--log needs a file name"};
      options.log = std::move(*file);
    } else if (auto port = value(L"--port")) {
      if (port->empty()) return {std::nullopt, L"--port needs a port name"};
      for (const std::wstring& given : options.ports) {
        if (given == *port) return {std::nullopt, L"--port " + *port + L" given twice"};
      }
      options.ports.push_back(std::move(*port));
    } else if (auto text = value(L"--expect")) {
      const std::optional<std::wstring> line = ExpectedLine(*text);
      if (!line) return {std::nullopt, L"--expect needs the text of one line, e.g. --expect OK"};
      if (!options.expect.empty()) return {std::nullopt, L"--expect given twice"};
      options.expect = *line;
    } else if (auto seconds = value(L"--settle")) {
      const std::optional<int32_t> ms = SettleMs(*seconds);
      if (!ms) return {std::nullopt, L"--settle needs seconds from 0 to 3600, e.g. 1.5"};
      options.settle_ms = *ms;
      settle = true;
    } else if (arg == L"--port" || arg == L"--settle" || arg == L"--log" || arg == L"--expect") {
      return {std::nullopt, arg + (arg == L"--port"     ? L" needs a port name"
                                   : arg == L"--log"    ? L" needs a file name"
                                   : arg == L"--expect" ? L" needs the text of a line"
                                                        : L" needs seconds")};
    } else {
      return {std::nullopt, L"unknown argument: " + arg};
    }
  }
  if (help) {
    options.mode = Options::Mode::kHelp;
  } else if (version) {
    options.mode = Options::Mode::kVersion;
  } else if (int(list) + int(all) + int(watch) + int(!options.ports.empty()) > 1) {
    return {std::nullopt, L"--port, --list, --all and --watch do not go together"};
  } else if (settle && !watch) {
    return {std::nullopt, L"--settle goes with --watch"};
  } else if (list && !options.log.empty()) {
    return {std::nullopt, L"--log goes with the exchanges, not with --list"};
  } else if (list && !options.expect.empty()) {
    return {std::nullopt, L"--expect goes with the exchanges, not with --list"};
  } else if (list) {
    options.mode = Options::Mode::kList;
  } else if (all) {
    options.mode = Options::Mode::kAll;
  } else if (watch) {
    options.mode = Options::Mode::kWatch;
  }
  return {options, L""};
}

}  // namespace qm
