#include "console/mqtt/outbox.h"

#include "common/text.h"
#include "console/console.h"
#include "console/mqtt/address.h"
#include "console/mqtt/files.h"

namespace qm {

bool ReadLine(std::FILE* file, std::string& line) {
  line.clear();
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, file)) {
    line += buffer;
    if (!line.empty() && line.back() == '\n') {
      line.pop_back();
      if (!line.empty() && line.back() == '\r') line.pop_back();  // a log copied from Windows
      return true;
    }
  }
  return !line.empty();  // the last line without its end
}

namespace {

// A reader of one flat JSON object: strings, numbers, literals; nested values are passed over.
class JsonScanner {
 public:
  explicit JsonScanner(std::string_view text) : text_(text) {}

  std::optional<RecordFields> Object() {
    RecordFields fields;
    Space();
    if (!Take('{')) return std::nullopt;
    Space();
    if (Take('}')) return End(fields);
    for (;;) {
      Space();
      std::string key;
      if (!String(key)) return std::nullopt;
      Space();
      if (!Take(':')) return std::nullopt;
      Space();
      if (Peek() == '"') {
        std::string value;
        if (!String(value)) return std::nullopt;
        fields.strings[key] = std::move(value);
      } else if (Peek() == '-' || (Peek() >= '0' && Peek() <= '9')) {
        const std::size_t start = at_;
        while (at_ < text_.size() &&
               std::string_view("+-.eE0123456789").find(text_[at_]) != std::string_view::npos) {
          ++at_;
        }
        const std::string_view number = text_.substr(start, at_ - start);
        if (number.find_first_of(".eE") == std::string_view::npos && number.size() <= 18) {
          fields.integers[key] = std::stoll(std::string(number));
        }
      } else if (!Skip()) {
        return std::nullopt;
      }
      Space();
      if (Take('}')) return End(fields);
      if (!Take(',')) return std::nullopt;
    }
  }

 private:
  std::optional<RecordFields> End(RecordFields& fields) {
    Space();
    if (at_ != text_.size()) return std::nullopt;
    return std::move(fields);
  }
  char Peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  bool Take(char c) {
    if (Peek() != c || at_ >= text_.size()) return false;
    ++at_;
    return true;
  }
  void Space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r'))
      ++at_;
  }
  static void PutUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  bool Hex4(uint32_t& value) {
    if (at_ + 4 > text_.size()) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      value <<= 4;
      if (c >= '0' && c <= '9')
        value |= c - '0';
      else if (c >= 'a' && c <= 'f')
        value |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        value |= c - 'A' + 10;
      else
        return false;
    }
    return true;
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t c1 = 0;
          if (!Hex4(c1)) return false;
          if (c1 >= 0xD800 && c1 < 0xDC00 && text_.substr(at_, 2) == "\\u") {
            at_ += 2;
            uint32_t c2 = 0;
            if (!Hex4(c2)) return false;
            c1 = (c2 >= 0xDC00 && c2 < 0xE000) ? 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00)
                                               : 0xFFFD;
          } else if (c1 >= 0xD800 && c1 < 0xE000) {
            c1 = 0xFFFD;
          }
          PutUtf8(out, c1);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  // A value that is not read: a literal, or an array or object whatever it holds.
  bool Skip() {
    int depth = 0;
    while (at_ < text_.size()) {
      const char c = Peek();
      if (c == '"') {
        std::string ignored;
        if (!String(ignored)) return false;
        continue;
      }
      if (depth == 0 && (c == ',' || c == '}')) return true;
      if (c == '[' || c == '{') ++depth;
      if (c == ']' || c == '}') --depth;
      if (depth < 0) return false;
      ++at_;
    }
    return false;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

std::optional<RecordFields> ReadRecordFields(std::string_view json) {
  return JsonScanner(json).Object();
}

std::string CursorText(const std::string& bench, int64_t seq) {
  return "{\"bench\":" + Utf8(JsonString(TextFromBytes(bench))) +
         ",\"seq\":" + Utf8(DecimalNumber(seq)) + "}\n";
}

std::optional<int64_t> CursorSeq(std::string_view text, const std::string& bench) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  const std::optional<RecordFields> fields = ReadRecordFields(text);
  if (!fields || fields->strings.count("bench") == 0 || fields->strings.at("bench") != bench ||
      fields->integers.count("seq") == 0 || fields->integers.at("seq") < 0) {
    return std::nullopt;
  }
  return fields->integers.at("seq");
}

std::vector<std::string> StatePages(const std::string& bench_json,
                                    const std::map<std::string, std::string>& states,
                                    std::size_t budget) {
  const std::string head = "{\"type\":\"states\",\"bench\":" + bench_json + ",\"sockets\":{";
  std::vector<std::string> pages;
  std::string page;
  for (const auto& [socket, record] : states) {
    const std::string entry =
        Utf8(JsonString(TextFromBytes(socket))) + ":" + Utf8(JsonString(TextFromBytes(record)));
    if (!page.empty() && page.size() + 1 + entry.size() + 2 > budget) {
      pages.push_back(page + "}}");
      page.clear();
    }
    page += page.empty() ? head + entry : "," + entry;
  }
  if (!page.empty()) pages.push_back(page + "}}");
  return pages;
}

std::optional<LoggedRecord> OutboxReader::Ours(std::string_view line) {
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return std::nullopt;
  const std::optional<RecordFields> fields = ReadRecordFields(line);
  if (!fields || fields->integers.count("seq") == 0 || fields->strings.count("bench") == 0 ||
      fields->strings.at("bench") != bench_) {
    return std::nullopt;
  }
  LoggedRecord record;
  record.line = std::string(line);
  record.seq = fields->integers.at("seq");
  const auto text = [&](const char* name) {
    const auto it = fields->strings.find(name);
    return it == fields->strings.end() ? std::wstring() : TextFromBytes(it->second);
  };
  if (text("type") == L"exchange") {
    Adapter adapter;
    adapter.port = text("port");
    adapter.location = text("location");
    record.socket = SocketLevel(adapter);
  }
  return record;
}

void OutboxReader::Survey(std::string_view line) {
  const int64_t number = survey_line_++;
  const std::optional<LoggedRecord> record = Ours(line);
  if (!record) {
    if (!line.empty()) ++foreign_;
    return;
  }
  last_seq_ = record->seq;
  if (cursor_ && record->seq == *cursor_) cursor_line_ = number;
}

void OutboxReader::Collect(std::string_view line) {
  const int64_t number = collect_line_++;
  std::optional<LoggedRecord> record = Ours(line);
  if (!record) return;
  if (number <= cursor_line_) {
    if (!record->socket.empty()) states_[record->socket] = std::move(record->line);
  } else {
    unsent_.push_back(std::move(*record));
  }
}

}  // namespace qm
