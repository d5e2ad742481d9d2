#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "console/events.h"
#include "console/lock.h"
#include "console/mqtt/address.h"

struct mosquitto;

namespace qm {

struct MqttSettings {
  MqttUrl url;
  std::wstring bench;
  std::wstring password_file;  // empty: no password
  std::wstring cafile;         // empty: the system's CA store (mqtts://)
  int32_t wait_ms = 5000;      // at the end, for the broker to take what is left
  std::wstring log;            // --log: the outbox, with its cursor beside it; empty: none
  std::wstring version, host, watched;
  int64_t started_unix_ms = 0;
  int32_t keepalive_s = 15;
};

// --mqtt: every record, as the log keeps it, published to the broker by a thread of its own:
// PREFIX/BENCH/events, each exchange's socket's retained state (and those again in pages of
// several sockets) and the bench's retained tally and status. QoS 1 and one message in flight at a
// time, so that a retained state never goes back to an older record. The records wait in a queue
// (and with --log, in the log: a cursor beside it says up to which seq the broker acknowledged), so
// nobody waits for the network.
class MqttPublisher final : public RecordSink {
 public:
  // Reads the log and its cursor, then connects in the background. Throws Error when the
  // password file cannot be read or libmosquitto refuses the settings.
  explicit MqttPublisher(MqttSettings settings);
  ~MqttPublisher() override;

  // What the start found in the log, to be said once.
  const std::vector<std::wstring>& notes() const { return notes_; }
  // Where the link's state and problems are told; nullptr: nowhere.
  void SetScreen(ConsoleEvents* screen);

  std::wstring Stamp(const std::wstring& record, int64_t& seq) override;
  void Kept(const std::wstring& record, int64_t seq, const RecordAbout& about,
            bool in_log) override;

  // The end: waits up to the settings' wait for the broker to take what is left, publishes the
  // status offline and disconnects. Returns how many records it did not take.
  int64_t Finish();
  // The link's problem as it stands (why the broker did not take them); empty when none.
  std::wstring Problem() const;

 private:
  enum class What { kStatus, kRepublish, kEvents, kState, kTally, kStatePage, kOffline };
  struct Outgoing {
    int64_t seq = 0;
    std::string record;  // UTF-8
    std::string socket;  // an exchange's socket as a topic level; empty: no state to publish
    bool in_log = false;
  };
  struct Message {
    What what;
    std::string topic, payload;
    bool retain = false;
  };

  void ReadOutbox();
  void Stop();  // the threads ended (at once, unless Finish waited already)
  void Work();
  void Network();
  bool Next(Message& message);
  // With the lock held: the next message, when none is in flight. True when one went.
  bool PublishNext();
  void Acknowledged(int mid);
  void Connected(int rc);
  void Disconnected(int rc);
  void SetProblem(const std::wstring& text);  // empty: the problem is over
  void ShowLink();
  std::string Topic(const std::string& tail) const;
  std::string Status(const char* state, int64_t at_ms) const;
  std::string TallyJson() const;
  std::wstring Broker() const;
  bool Ending() const;

  MqttSettings settings_;
  std::string bench_level_;
  std::wstring cursor_path_;
  std::vector<std::wstring> notes_;
  struct DestroyClient {
    void operator()(mosquitto* client) const;
  };
  std::unique_ptr<mosquitto, DestroyClient> client_;
  mosquitto* mosq_ = nullptr;  // client_'s

  mutable Mutex mutex_;
  Condition condition_;  // the queue, the link or the end changed
  ConsoleEvents* screen_ = nullptr;
  std::wstring problem_, link_;
  mutable Mutex said_mutex_;   // taken alone, or after mutex_
  std::wstring library_said_;  // libmosquitto's last error message
  // ", " and that message; empty when it said none.
  std::wstring LibrarySaid() const;
  int64_t last_seq_ = 0;
  std::deque<Outgoing> queue_;  // records not yet acknowledged, oldest first
  bool state_step_ = false;     // the front record's events are acknowledged, its state not
  std::map<std::string, std::string> states_;  // each socket's last acknowledged record
  // PREFIX/BENCH/states/N: the states again, a page of sockets to a message, for the page that
  // draws a whole line. Mosquitto 2.0.11 sends a WebSocket message over 4 KiB a part per turn
  // of its loop, and what follows waits: twenty of them took 4 s to reach a browser.
  static constexpr std::size_t kStatePageBytes = 3500;
  static constexpr int32_t kStatePagesGapMs = 5000;
  bool pages_due_ = false;
  std::chrono::steady_clock::time_point pages_not_before_;
  std::vector<std::string> pages_sent_;                         // as last published, by number
  std::deque<std::pair<std::size_t, std::string>> pages_out_;   // changed, still to publish
  std::vector<std::string> republish_;                          // sockets whose state is due again
  std::map<std::string, int64_t> outcomes_;                     // this run's verdicts by outcome
  std::map<std::string, std::pair<int64_t, int64_t>> sockets_;  // ok, fail
  // The counts at most once a second: each tally is a round trip, and under a burst from the
  // whole line five a second cost a tenth of the publisher's time for a page's counts.
  static constexpr int32_t kTallyGapMs = 1000;
  bool connected_ = false, status_due_ = false, tally_due_ = false;
  std::chrono::steady_clock::time_point tally_not_before_;
  bool in_flight_ = false;
  int in_flight_mid_ = 0;
  What in_flight_what_ = What::kStatus;
  int64_t cursor_due_ = 0, cursor_written_ = 0;
  bool finishing_ = false, offline_acknowledged_ = false, stop_network_ = false;
  std::chrono::steady_clock::time_point deadline_;

  std::unique_ptr<JoinedThread> network_, worker_;
};

}  // namespace qm
