#include "console/board/model.h"

#include <algorithm>
#include <cwchar>

#include "common/error.h"
#include "common/text.h"

namespace qm {


std::wstring VerdictWord(const Verdict& verdict) {
  switch (verdict.outcome) {
    case ExchangeOutcome::kAnswered:
      return verdict.answer.empty() ? L"answered" : verdict.answer;
    case ExchangeOutcome::kUnexpected:  // what it said instead (in the bad ink)
      return verdict.answer.empty() ? L"unexpected" : verdict.answer;
    case ExchangeOutcome::kNoAnswer:
      return L"NO COMM";
    case ExchangeOutcome::kCouldNotOpen:
      return L"cannot open";
    case ExchangeOutcome::kNone:
      break;
  }
  return L"interrupted";
}

Ink VerdictInk(ExchangeOutcome outcome) {
  switch (outcome) {
    case ExchangeOutcome::kAnswered:
      return Ink::kGood;
    case ExchangeOutcome::kNoAnswer:
    case ExchangeOutcome::kCouldNotOpen:
    case ExchangeOutcome::kUnexpected:
      return Ink::kBad;
    case ExchangeOutcome::kNone:
      break;
  }
  return Ink::kBusy;
}

void BoardModel::Watching(const WatchStart& start, std::wstring clock) {
  since_ = std::move(clock);
  watched_ = start.watched;
  settle_ms_ = start.settle_ms;
  expect_ = start.expect;
  totals_.judged = !start.expect.empty();
}

std::wstring SocketKey(const Adapter& adapter) {
  if (adapter.location.empty()) return adapter.port;
  // Windows says "Port_#0004.Hub_#0001": hub 1, port 4.
  unsigned port = 0, hub = 0;
  wchar_t more = 0;
  if (std::swscanf(adapter.location.c_str(), L"Port_#%u.Hub_#%u%lc", &port, &hub, &more) == 2) {
    return L"H" + DecimalNumber(hub) + L"P" + DecimalNumber(port);
  }
  return adapter.location;
}

Socket& BoardModel::At(const Adapter& adapter) {
  const std::wstring key = SocketKey(adapter);
  auto it = std::lower_bound(
      sockets_.begin(), sockets_.end(), key,
      [](const Socket& s, const std::wstring& k) { return NaturalLess(s.key, k); });
  if (it == sockets_.end() || it->key != key) {
    Socket socket;
    socket.key = key;
    it = sockets_.insert(it, std::move(socket));
  }
  return *it;
}

Socket* BoardModel::Holding(const Adapter& adapter) {
  Socket& socket = At(adapter);
  return socket.instance == adapter.instance && socket.port == adapter.port ? &socket : nullptr;
}

void BoardModel::Found(const Adapter& adapter, int64_t due_ms) {
  Socket& socket = At(adapter);  // the next device in a socket takes the place of the last
  socket.location = adapter.location;
  socket.port = adapter.port;
  socket.serial = adapter.serial;
  socket.instance = adapter.instance;
  socket.state = Socket::State::kSettling;
  socket.since_ms = due_ms;
  socket.pulled = false;
}

void BoardModel::Started(const ExchangeId& id, int64_t now_ms) {
  if (Socket* socket = Holding(id.adapter)) {
    socket->state = Socket::State::kResetting;
    socket->since_ms = now_ms;
  }
}

void BoardModel::Finished(const ExchangeId& id, const Verdict& verdict, std::wstring clock) {
  totals_.Count(verdict.outcome);
  events_.push_front(clock + L" " + SocketKey(id.adapter) + L" " + VerdictWord(verdict));
  if (events_.size() > kEventsKept) events_.pop_back();
  Socket& socket = At(id.adapter);
  if (verdict.outcome == ExchangeOutcome::kAnswered) {
    ++socket.answered;
  } else if (verdict.outcome != ExchangeOutcome::kNone) {
    ++socket.failed;
  }
  // A verdict that comes after the next device was plugged in is counted, not shown over it.
  if (socket.instance != id.adapter.instance || socket.port != id.adapter.port) return;
  socket.state = Socket::State::kVerdict;
  socket.verdict = verdict;
  socket.verdict_time = std::move(clock);
}

void BoardModel::Pulled(const Adapter& adapter) {
  if (Socket* socket = Holding(adapter)) socket->pulled = true;
}

void BoardModel::ProblemOver(const std::wstring& text) {
  const auto it = std::find(problems_.rbegin(), problems_.rend(), text);
  if (it != problems_.rend()) problems_.erase(std::next(it).base());
}

bool BoardModel::Moving() const {
  return std::any_of(sockets_.begin(), sockets_.end(), [](const Socket& s) {
    return !s.pulled && s.state != Socket::State::kVerdict;
  });
}

}  // namespace qm
