#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// The members of a flat JSON object (a record) that are strings or integers; nullopt when the
// text is no JSON object. Strings come back as UTF-8.
struct RecordFields {
  std::map<std::string, std::string> strings;
  std::map<std::string, int64_t> integers;
};
std::optional<RecordFields> ReadRecordFields(std::string_view json);

// The cursor beside the log: the seq of the last record the broker acknowledged.
std::string CursorText(const std::string& bench, int64_t seq);
// The seq in a cursor's text; nullopt when the text is not a cursor of this bench.
std::optional<int64_t> CursorSeq(std::string_view text, const std::string& bench);

// Every socket's state again, several sockets to a message, so that a page or a program that
// subscribes gets a bench in a few messages rather than one per socket: {"type":"states",
// "bench":BENCH,"sockets":{KEY:RECORD,...}} with each record (`states`: socket -> record) as a
// JSON string. Sockets in key order, whole, each page at most `budget` bytes unless one socket
// alone is more.
std::vector<std::string> StatePages(const std::string& bench_json,
                                    const std::map<std::string, std::string>& states,
                                    std::size_t budget);

// A record of the log still to be sent.
struct LoggedRecord {
  std::string line;  // as in the log, without the line end
  int64_t seq = 0;
  std::string socket;  // an exchange's socket as a topic level; empty for the other records
};

// What the log holds for the broker: read twice over, line by line, first to see where the
// cursor points, then to take what comes after it.
class OutboxReader {
 public:
  // `cursor`: the cursor's seq, nullopt when there is none or it cannot be read.
  OutboxReader(std::string bench, std::optional<int64_t> cursor)
      : bench_(std::move(bench)), cursor_(cursor) {}

  void Survey(std::string_view line);
  // After the survey: the records after the cursor, and each socket's last record up to it.
  void Collect(std::string_view line);

  // This bench's last seq in the log; 0 when it has none.
  int64_t last_seq() const { return last_seq_; }
  // Whether the cursor names a record of the log (else everything is sent again).
  bool CursorFound() const { return cursor_line_ >= 0; }
  // Records that are not this bench's (no seq: written without --mqtt, or another --bench).
  int64_t foreign() const { return foreign_; }

  std::vector<LoggedRecord>& unsent() { return unsent_; }
  std::map<std::string, std::string>& states() { return states_; }

 private:
  std::optional<LoggedRecord> Ours(std::string_view line);

  std::string bench_;
  std::optional<int64_t> cursor_;
  int64_t survey_line_ = 0, collect_line_ = 0, cursor_line_ = -1, last_seq_ = 0, foreign_ = 0;
  std::vector<LoggedRecord> unsent_;
  std::map<std::string, std::string> states_;
};

}  // namespace qm
