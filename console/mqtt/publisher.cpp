#include "console/mqtt/publisher.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>

#include "common/error.h"
#include "common/text.h"
#include "console/json.h"
#include "console/mqtt/files.h"
#include "console/mqtt/outbox.h"
#include "console/station.h"

namespace qm {

namespace {

// libmosquitto's own numbers, told apart from the system's.
constexpr uint32_t kMosquittoErrorBase = 0x4D510000;

Error MosquittoError(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return SystemError(errno);
  return Error(kMosquittoErrorBase + static_cast<uint32_t>(rc),
               TextFromBytes(mosquitto_strerror(rc)));
}

std::string Json(const std::wstring& text) {
  return Utf8(JsonString(text));
}

std::string Decimal(int64_t value) {
  return Utf8(DecimalNumber(value));
}

// Once for the process, before the first client: libmosquitto's (and its TLS library's) setup.
void InitialiseLibrary() {
  static const int done = mosquitto_lib_init();
  (void)done;
}

}  // namespace

MqttPublisher::MqttPublisher(MqttSettings settings)
    : settings_(std::move(settings)), bench_level_(TopicLevel(settings_.bench)) {
  // Without --log nothing on the disk says where the last run's seq ended: the start time in
  // milliseconds goes on from any earlier run (one record a millisecond), never back.
  last_seq_ = settings_.started_unix_ms;
  pages_not_before_ =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kStatePagesGapMs);
  if (!settings_.log.empty()) ReadOutbox();

  InitialiseLibrary();
  const std::string id =
      "qm-" + bench_level_.substr(0, 40) + "-" + Decimal(settings_.started_unix_ms % 1000000000);
  client_.reset(mosquitto_new(id.c_str(), true, this));
  mosq_ = client_.get();
  if (!mosq_) throw Error(static_cast<uint32_t>(errno), L"cannot make an MQTT client");
  mosquitto_threaded_set(mosq_, true);  // published on the worker, read on the network thread
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  const auto check = [](int rc) {
    if (rc != MOSQ_ERR_SUCCESS) throw MosquittoError(rc);
  };
  if (!settings_.url.user.empty()) {
    std::string password;
    if (!settings_.password_file.empty()) {
      FilePtr file = OpenToRead(settings_.password_file);
      if (!file)
        throw Error(ENOENT, L"the password file " + settings_.password_file + L" does not exist");
      ReadLine(file.get(), password);
      while (!password.empty() && password.back() == '\r') password.pop_back();
    }
    check(mosquitto_username_pw_set(mosq_, settings_.url.user.c_str(),
                                    settings_.password_file.empty() ? nullptr : password.c_str()));
  }
  if (settings_.url.tls) {
    if (!settings_.cafile.empty()) {
      check(mosquitto_tls_set(mosq_, ArgumentBytes(settings_.cafile).c_str(), nullptr, nullptr,
                              nullptr, nullptr));
    } else {
      // The system's store: OpenSSL's default paths, and the folder Debian keeps it in (which
      // libmosquitto 2.0.11 needs named before it turns TLS on).
      check(mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1));
      check(mosquitto_tls_set(mosq_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr));
    }
  }
  const std::string lost = Status("lost", UnixMs());
  check(mosquitto_will_set(mosq_, Topic("status").c_str(), static_cast<int>(lost.size()),
                           lost.data(), 1, true));
  mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
    static_cast<MqttPublisher*>(self)->Connected(rc);
  });
  mosquitto_disconnect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
    static_cast<MqttPublisher*>(self)->Disconnected(rc);
  });
  mosquitto_log_callback_set(mosq_, [](mosquitto*, void* self, int level, const char* text) {
    // What libmosquitto says of a failure it returns only a number for (TLS' own reasons).
    if ((level & MOSQ_LOG_ERR) == 0) return;
    // A lock of its own: libmosquitto may log from inside a call made under mutex_.
    auto* publisher = static_cast<MqttPublisher*>(self);
    Locked lock(publisher->said_mutex_);
    publisher->library_said_ = TextFromBytes(text);
  });
  mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int mid) {
    static_cast<MqttPublisher*>(self)->Acknowledged(mid);
  });
  link_ = L"MQTT connecting";
  worker_ = std::make_unique<JoinedThread>([this] { Work(); });
  try {
    network_ = std::make_unique<JoinedThread>([this] { Network(); });
  } catch (const Error&) {
    Stop();
    throw;
  }
}

void MqttPublisher::DestroyClient::operator()(mosquitto* client) const {
  mosquitto_destroy(client);
}

void MqttPublisher::Stop() {
  {
    Locked lock(mutex_);
    finishing_ = true;
    deadline_ = std::chrono::steady_clock::now();  // no more waiting: an early end
    condition_.WakeAll();
  }
  worker_.reset();
  {
    Locked lock(mutex_);
    stop_network_ = true;
    condition_.WakeAll();
  }
  network_.reset();
}

MqttPublisher::~MqttPublisher() {
  Stop();
}

void MqttPublisher::ReadOutbox() {
  cursor_path_ = settings_.log + L".cursor";
  const std::string bench = Utf8(settings_.bench);
  std::optional<int64_t> cursor;
  std::wstring cursor_said;  // what was wrong with the cursor; empty when nothing
  try {
    if (FilePtr file = OpenToRead(cursor_path_)) {
      std::string text;
      ReadLine(file.get(), text);
      cursor = CursorSeq(text, bench);
      if (!cursor) cursor_said = L"the cursor " + cursor_path_ + L" cannot be read";
    } else {
      cursor_said = L"no cursor " + cursor_path_;
    }
  } catch (const Error& e) {
    cursor_said = L"the cursor " + cursor_path_ + L" cannot be read: " + e.Description();
  }
  OutboxReader reader(bench, cursor);
  FilePtr log = OpenToRead(settings_.log);  // throws: said as the log's own failure would be
  if (!log) return;                         // a new log: nothing was published from it yet
  std::string line;
  while (ReadLine(log.get(), line)) reader.Survey(line);
  std::rewind(log.get());
  while (ReadLine(log.get(), line)) reader.Collect(line);
  if (reader.last_seq() > 0) last_seq_ = reader.last_seq();
  // A cursor past the log's end (a log cut short or put back): the broker had those seqs, so
  // new records go on after them, never repeat them (nor meet the stale cursor and be skipped).
  if (cursor && *cursor > last_seq_) last_seq_ = *cursor;
  if (cursor && !reader.CursorFound() && reader.last_seq() > 0) {
    cursor_said = L"the cursor " + cursor_path_ + L" names seq " + DecimalNumber(*cursor) +
                  L", which the log does not hold (its last is " +
                  DecimalNumber(reader.last_seq()) + L")";
  }
  if (!reader.CursorFound() && reader.last_seq() > 0) {
    notes_.push_back(cursor_said + L": every record of this bench in the log is sent again (" +
                     DecimalNumber(static_cast<int64_t>(reader.unsent().size())) + L")");
  } else if (!reader.unsent().empty()) {
    notes_.push_back(DecimalNumber(static_cast<int64_t>(reader.unsent().size())) +
                     L" records of the log not yet acknowledged by the broker are sent first");
  }
  for (LoggedRecord& record : reader.unsent()) {
    queue_.push_back({record.seq, std::move(record.line), std::move(record.socket), true});
  }
  states_ = std::move(reader.states());
  cursor_written_ = cursor.value_or(0);
}

void MqttPublisher::SetScreen(ConsoleEvents* screen) {
  Locked lock(mutex_);
  screen_ = screen;
  if (screen_) {
    screen_->Link(link_);
    if (!problem_.empty()) screen_->Problem(problem_);
  }
}

std::wstring MqttPublisher::Stamp(const std::wstring& record, int64_t& seq) {
  Locked lock(mutex_);
  seq = ++last_seq_;
  return StampedRecord(record, settings_.bench, seq);
}

void MqttPublisher::Kept(const std::wstring& record, int64_t seq, const RecordAbout& about,
                         bool in_log) {
  Locked lock(mutex_);
  Outgoing outgoing{seq, Utf8(record), "", in_log};
  if (about.adapter) {
    outgoing.socket = SocketLevel(*about.adapter);
    const std::string outcome = Utf8(OutcomeName(about.outcome));
    ++outcomes_[outcome];
    if (about.outcome == ExchangeOutcome::kAnswered) {
      ++sockets_[outgoing.socket].first;
    } else if (about.outcome != ExchangeOutcome::kNone) {
      ++sockets_[outgoing.socket].second;
    }
    tally_due_ = true;
  }
  if (about.watch) {
    settings_.watched = about.watch->watched;
    settings_.started_unix_ms = about.watch->unix_ms;
  }
  queue_.push_back(std::move(outgoing));
  if (!connected_) ShowLink();
  // Sent from here when nothing is in flight (libmosquitto only queues it for the network
  // thread: nobody waits for the network); else the acknowledgement of the one in flight sends
  // it, and without a link the connection does.
  PublishNext();
}

int64_t MqttPublisher::Finish() {
  {
    Locked lock(mutex_);
    finishing_ = true;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(settings_.wait_ms);
    condition_.WakeAll();
  }
  worker_.reset();  // once the broker took everything, or the wait is over
  Stop();
  Locked lock(mutex_);
  return static_cast<int64_t>(queue_.size());
}

std::wstring MqttPublisher::Problem() const {
  Locked lock(mutex_);
  return problem_;
}

bool MqttPublisher::Ending() const {
  return finishing_ && (std::chrono::steady_clock::now() >= deadline_ || offline_acknowledged_);
}

void MqttPublisher::Work() {
  Locked lock(mutex_);
  // At the end too the cursor catches up with the last acknowledgement: what the broker took
  // is not sent again at the next start.
  while (!Ending() || cursor_due_ > cursor_written_) {
    if (cursor_due_ > cursor_written_) {
      // The cursor goes to the disk without the lock: exchanges never wait for it.
      const int64_t seq = cursor_due_;
      mutex_.Unlock();
      std::wstring failure;
      try {
        ReplaceFile(cursor_path_, CursorText(Utf8(settings_.bench), seq));
      } catch (const Error& e) {
        failure = L"cannot write the cursor " + cursor_path_ + L": " + e.Description();
      }
      mutex_.Lock();
      cursor_written_ = seq;
      if (!failure.empty()) SetProblem(failure);
      continue;
    }
    if (PublishNext()) continue;
    // Until the cursor is due again, or the end (the tally's time is the network thread's).
    int32_t wait_ms = -1;
    if (finishing_) {
      wait_ms = static_cast<int32_t>(std::max<int64_t>(
          1, std::chrono::duration_cast<std::chrono::milliseconds>(
                 deadline_ - std::chrono::steady_clock::now())
                 .count()));
    }
    condition_.Wait(mutex_, wait_ms);
  }
}

bool MqttPublisher::PublishNext() {
  Message message;
  while (connected_ && !in_flight_ && Next(message)) {
    int mid = 0;
    const int rc = mosquitto_publish(mosq_, &mid, message.topic.c_str(),
                                     static_cast<int>(message.payload.size()),
                                     message.payload.data(), 1, message.retain);
    // Not connected after all: libmosquitto keeps the message and sends it once it is.
    if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) {
      in_flight_ = true;
      in_flight_mid_ = mid;
      in_flight_what_ = message.what;
      return true;
    }
    SetProblem(L"cannot publish to " + TextFromBytes(message.topic) + L": " +
               MosquittoError(rc).Description());
    if (message.what != What::kEvents && message.what != What::kState) break;
    queue_.pop_front();  // one the broker can never take (too long): the rest go on
    state_step_ = false;
  }
  return false;
}

bool MqttPublisher::Next(Message& message) {
  if (status_due_) {
    status_due_ = false;
    // A reconnect at the end: the status it is due is the offline one, below; an online one
    // after it would stay the broker's word on a bench that ended cleanly.
    if (!finishing_) {
      message = {What::kStatus, Topic("status"), Status("online", UnixMs()), true};
      return true;
    }
  }
  while (!republish_.empty()) {
    const std::string socket = republish_.back();
    republish_.pop_back();
    const auto it = states_.find(socket);
    if (it == states_.end()) continue;
    message = {What::kRepublish, Topic("socket/" + socket + "/state"), it->second, true};
    return true;
  }
  if (!queue_.empty()) {
    const Outgoing& front = queue_.front();
    if (state_step_) {
      message = {What::kState, Topic("socket/" + front.socket + "/state"), front.record, true};
    } else {
      message = {What::kEvents, Topic("events"), front.record, false};
    }
    return true;
  }
  // The tally at most every kTallyGapMs: a burst of verdicts is told in a few.
  if (tally_due_ && (finishing_ || std::chrono::steady_clock::now() >= tally_not_before_)) {
    tally_due_ = false;
    tally_not_before_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTallyGapMs);
    message = {What::kTally, Topic("tally"), TallyJson(), true};
    return true;
  }
  // The states' pages at most every kStatePagesGapMs (and at the end), those that changed: the
  // states themselves went at once, so these only spare a browser that connects later thousands
  // of messages. Readers take them as possibly older (a bench that was killed leaves them so),
  // each socket's newest record by seq; a page past the last (the records grew shorter) keeps
  // older records of sockets that moved to an earlier one.
  if (pages_out_.empty() && pages_due_ &&
      (finishing_ || std::chrono::steady_clock::now() >= pages_not_before_)) {
    pages_due_ = false;
    pages_not_before_ =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStatePagesGapMs);
    std::vector<std::string> pages =
        StatePages(Json(settings_.bench), states_, kStatePageBytes);
    if (pages_sent_.size() < pages.size()) pages_sent_.resize(pages.size());
    for (std::size_t i = 0; i < pages.size(); ++i) {
      if (pages[i] != pages_sent_[i]) pages_out_.emplace_back(i, std::move(pages[i]));
    }
  }
  if (!pages_out_.empty()) {
    auto& [number, page] = pages_out_.front();
    pages_sent_[number] = page;
    message = {What::kStatePage, Topic("states/" + Decimal(static_cast<int64_t>(number))),
               std::move(page), true};
    pages_out_.pop_front();
    return true;
  }
  if (finishing_ && !offline_acknowledged_) {
    message = {What::kOffline, Topic("status"), Status("offline", UnixMs()), true};
    return true;
  }
  return false;
}

void MqttPublisher::Acknowledged(int mid) {
  Locked lock(mutex_);
  if (!in_flight_ || mid != in_flight_mid_) return;
  in_flight_ = false;
  switch (in_flight_what_) {
    case What::kEvents:
      if (!queue_.front().socket.empty()) {
        state_step_ = true;
        break;
      }
      [[fallthrough]];
    case What::kState: {
      Outgoing& done = queue_.front();
      if (!done.socket.empty()) {
        states_[done.socket] = std::move(done.record);
        pages_due_ = true;
      }
      if (done.in_log) cursor_due_ = done.seq;
      queue_.pop_front();
      state_step_ = false;
      break;
    }
    case What::kOffline:
      offline_acknowledged_ = true;
      break;
    case What::kStatus:
    case What::kRepublish:
    case What::kTally:
    case What::kStatePage:
      break;
  }
  // The next one goes from here, at once; the worker is woken for what only it does (the
  // cursor, the end).
  PublishNext();
  if (cursor_due_ > cursor_written_ || finishing_) condition_.WakeAll();
}

void MqttPublisher::Connected(int rc) {
  Locked lock(mutex_);
  if (rc != 0) {
    SetProblem(L"the broker " + Broker() + L" refused the connection: " +
               TextFromBytes(mosquitto_connack_string(rc)));
    return;
  }
  connected_ = true;
  {
    Locked said(said_mutex_);
    library_said_.clear();
  }
  status_due_ = true;
  republish_.clear();
  for (const auto& [socket, record] : states_) republish_.push_back(socket);
  pages_sent_.clear();  // and their pages, all of them
  pages_out_.clear();
  pages_due_ = !states_.empty();
  SetProblem(L"");
  ShowLink();
  PublishNext();
  condition_.WakeAll();
}

void MqttPublisher::Disconnected(int rc) {
  Locked lock(mutex_);
  const bool was = connected_;
  connected_ = false;
  if (rc != 0 && was && !stop_network_) {
    SetProblem(L"lost the connection to the broker " + Broker() + L": " +
               MosquittoError(rc).Description() + L"; reconnecting");
  }
  ShowLink();
  condition_.WakeAll();
}

void MqttPublisher::Network() {
  constexpr int32_t kFirstDelayMs = 500, kLongestDelayMs = 4000;
  int32_t delay_ms = kFirstDelayMs;
  bool first = true;
  for (;;) {
    {
      Locked lock(mutex_);
      if (stop_network_) return;
    }
    int rc = first ? mosquitto_connect_async(mosq_, settings_.url.host.c_str(), settings_.url.port,
                                             settings_.keepalive_s)
                   : mosquitto_reconnect_async(mosq_);
    first = false;
    if (rc == MOSQ_ERR_SUCCESS) {
      int32_t wait_ms = 1000;
      while ((rc = mosquitto_loop(mosq_, wait_ms, 1)) == MOSQ_ERR_SUCCESS) {
        bool clean;
        {
          Locked lock(mutex_);
          if (connected_) delay_ms = kFirstDelayMs;
          if (!stop_network_) {
            // The tally and the states' pages, once their time comes: this loop wakes for them,
            // so nothing else need. At the end it looks for the stop often: nothing else can
            // wake it.
            PublishNext();
            wait_ms = finishing_ ? 50 : 1000;
            // A tally due: a look at least at its pace (a record dropped as one the broker can
            // never take wakes nothing here).
            if (tally_due_) wait_ms = std::min(wait_ms, kTallyGapMs);
            const auto until = [&](std::chrono::steady_clock::time_point when) {
              wait_ms = static_cast<int32_t>(
                  std::clamp<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          when - std::chrono::steady_clock::now())
                                              .count() +
                                          1,
                                      1, wait_ms));
            };
            if (connected_ && !in_flight_) {
              if (tally_due_) until(tally_not_before_);
              if (pages_due_ && !finishing_) until(pages_not_before_);
            }
            continue;
          }
          clean = offline_acknowledged_;
        }
        // Unless the broker has the offline status, the connection is dropped without a word:
        // the broker then tells its will, lost. The farewell is sent here, by the loop that
        // writes it: asked for from another thread it could be left unsent as this one ends.
        if (clean && mosquitto_disconnect(mosq_) == MOSQ_ERR_SUCCESS) {
          for (int i = 0; i < 5 && mosquitto_loop(mosq_, 100, 1) == MOSQ_ERR_SUCCESS; ++i) {
          }
        }
        return;
      }
    }
    const Error error = MosquittoError(rc);
    Locked lock(mutex_);
    if (stop_network_) return;
    if (!connected_ && rc != MOSQ_ERR_CONN_REFUSED) {
      SetProblem(L"cannot reach the broker " + Broker() + L": " + error.Description() + L" (" +
                 DecimalNumber(error.Number() & 0xFFFF) + L")" + LibrarySaid() + L"; trying again");
    }
    connected_ = false;
    ShowLink();
    condition_.Wait(mutex_, delay_ms);
    delay_ms = std::min(delay_ms * 2, kLongestDelayMs);
  }
}

std::wstring MqttPublisher::LibrarySaid() const {
  Locked said(said_mutex_);
  return library_said_.empty() ? L"" : L", " + library_said_;
}

void MqttPublisher::SetProblem(const std::wstring& text) {
  if (text == problem_) return;
  if (screen_ && !problem_.empty()) screen_->ProblemOver(problem_);
  problem_ = text;
  if (screen_ && !problem_.empty()) screen_->Problem(problem_);
}

void MqttPublisher::ShowLink() {
  std::wstring link = connected_
                          ? L"MQTT connected"
                          : L"MQTT reconnecting, " +
                                DecimalNumber(static_cast<int64_t>(queue_.size())) + L" waiting";
  if (link == link_) return;
  link_ = std::move(link);
  if (screen_) screen_->Link(link_);
}

std::string MqttPublisher::Topic(const std::string& tail) const {
  return settings_.url.prefix + "/" + bench_level_ + "/" + tail;
}

std::string MqttPublisher::Status(const char* state, int64_t at_ms) const {
  return "{\"type\":\"status\",\"bench\":" + Json(settings_.bench) + ",\"state\":\"" + state +
         "\",\"version\":" + Json(settings_.version) + ",\"host\":" + Json(settings_.host) +
         ",\"started\":\"" + Utf8(IsoTime(settings_.started_unix_ms)) +
         "\",\"watched\":" + Json(settings_.watched) + ",\"at\":\"" + Utf8(IsoTime(at_ms)) + "\"}";
}

std::string MqttPublisher::TallyJson() const {
  std::string json = "{\"type\":\"tally\",\"bench\":" + Json(settings_.bench);
  for (const char* outcome :
       {"answered", "no-answer", "unexpected", "cannot-open", "interrupted"}) {
    const auto it = outcomes_.find(outcome);
    json += ",\"" + std::string(outcome) + "\":" + Decimal(it == outcomes_.end() ? 0 : it->second);
  }
  json += ",\"sockets\":{";
  bool first = true;
  for (const auto& [socket, counts] : sockets_) {
    json += (first ? "" : ",") + Json(TextFromBytes(socket)) + ":{\"ok\":" + Decimal(counts.first) +
            ",\"fail\":" + Decimal(counts.second) + "}";
    first = false;
  }
  return json + "},\"at\":\"" + Utf8(IsoTime(UnixMs())) + "\"}";
}

std::wstring MqttPublisher::Broker() const {
  return TextFromBytes(settings_.url.host) + L":" + DecimalNumber(settings_.url.port);
}

}  // namespace qm
