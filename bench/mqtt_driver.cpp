// Simulated benches for scripts/benchmark_mqtt.py: the console's own publisher (the records as
// --log keeps them, through LogEvents and MqttPublisher), fed verdicts on a schedule, without
// devices.
//
//   mqtt_driver burst URL BENCHES SOCKETS WINDOW_MS   verdicts spread over the window; prints
//                                                     "bench seq unix_ns" per verdict, then the
//                                                     CPU used per record (URL "-": the same
//                                                     records made and dropped, no publisher)
//   mqtt_driver down URL RECORDS                      records for a broker that is not there;
//                                                     prints the resident memory before and after
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "console/events.h"
#include "console/mqtt/publisher.h"
#include "console/station.h"

namespace {

using qm::MqttPublisher;

// Tells when the link is up.
struct LinkWatch final : public qm::ConsoleEvents {
  std::atomic<bool> connected{false};
  void Link(const std::wstring& text) override { connected = text == L"MQTT connected"; }
};

struct Bench {
  std::unique_ptr<MqttPublisher> publisher;
  std::unique_ptr<qm::LogEvents> records;
  LinkWatch link;
};

std::unique_ptr<Bench> MakeBench(const std::wstring& url, const std::wstring& name) {
  auto bench = std::make_unique<Bench>();
  if (url == L"-") {
    bench->link.connected = true;
    bench->records = std::make_unique<qm::LogEvents>(nullptr, L"");
    return bench;
  }
  qm::MqttSettings settings;
  std::wstring error;
  settings.url = *qm::ParseMqttUrl(url, error);
  settings.bench = name;
  settings.host = L"driver";
  settings.version = L"bench";
  settings.watched = L"simulated sockets";
  settings.started_unix_ms = qm::UnixMs();
  settings.wait_ms = 60000;
  bench->publisher = std::make_unique<MqttPublisher>(std::move(settings));
  bench->publisher->SetScreen(&bench->link);
  bench->records = std::make_unique<qm::LogEvents>(nullptr, L"", bench->publisher.get());
  return bench;
}

// One verdict of socket `n`, as a watch tells it.
void Verdict(Bench& bench, int n) {
  qm::ExchangeId id;
  id.number = n;
  id.port = id.path = L"/dev/ttyUSB" + qm::DecimalNumber(n);
  id.adapter = {id.path, L"CP2102N USB to UART Bridge Controller",
                L"1-" + qm::DecimalNumber(1 + n / 8) + L"." + qm::DecimalNumber(1 + n % 8),
                L"QM" + qm::DecimalNumber(10000 + n), qm::DecimalNumber(n)};
  qm::Verdict verdict;
  verdict.outcome = n % 10 == 3 ? qm::ExchangeOutcome::kNoAnswer : qm::ExchangeOutcome::kAnswered;
  if (verdict.outcome == qm::ExchangeOutcome::kAnswered) verdict.answer = L"OK";
  verdict.started_unix_ms = qm::UnixMs() - 2004;
  verdict.took_ms = 2004;
  bench.records->Finished(id, verdict);
}

long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int Burst(const std::wstring& url, int benches, int sockets, int window_ms) {
  std::vector<std::unique_ptr<Bench>> line;
  for (int b = 0; b < benches; ++b) line.push_back(MakeBench(url, L"sim" + qm::DecimalNumber(b)));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::any_of(line.begin(), line.end(), [](auto& b) { return !b->link.connected; })) {
    if (std::chrono::steady_clock::now() > until) {
      std::fprintf(stderr, "not every bench connected\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Every socket of every bench once, at a random moment of the window.
  std::vector<std::pair<int, int>> schedule;  // ms into the window, bench * sockets + socket
  std::mt19937 random(7);
  for (int i = 0; i < benches * sockets; ++i) {
    schedule.emplace_back(std::uniform_int_distribution<int>(0, window_ms - 1)(random), i);
  }
  std::sort(schedule.begin(), schedule.end());
  std::vector<std::pair<int, int64_t>> sent;  // who, when (unix ns)
  sent.reserve(schedule.size());
  const double cpu_before = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  for (const auto& [at_ms, who] : schedule) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(at_ms));
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    Verdict(*line[who / sockets], who % sockets);
    sent.emplace_back(who, now);
  }
  int64_t left = 0;
  for (auto& bench : line) left += bench->publisher ? bench->publisher->Finish() : 0;
  const double cpu = CpuSeconds() - cpu_before;
  // The seq of each bench's n-th record, from its first: the log's order is the schedule's.
  std::vector<int64_t> next(benches, 0);
  for (const auto& [who, when] : sent) {
    std::printf("sim%d %lld %lld\n", who / sockets, static_cast<long long>(next[who / sockets]++),
                static_cast<long long>(when));
  }
  std::fprintf(stderr, "cpu_us_per_record %.1f\nnot_delivered %lld\n",
               cpu * 1e6 / static_cast<double>(sent.size()), static_cast<long long>(left));
  return 0;
}

int Down(const std::wstring& url, int records) {
  auto bench = MakeBench(url, L"down");
  const long before = ResidentKb();
  for (int i = 0; i < records; ++i) Verdict(*bench, i % 64);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long after = ResidentKb();
  std::fprintf(stderr, "rss_before_kb %ld\nrss_after_kb %ld\n", before, after);
  bench->publisher.reset();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "burst") == 0) {
    return Burst(qm::TextFromBytes(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
                 std::atoi(argv[5]));
  }
  if (argc == 4 && std::strcmp(argv[1], "down") == 0) {
    return Down(qm::TextFromBytes(argv[2]), std::atoi(argv[3]));
  }
  std::fprintf(stderr, "usage: mqtt_driver burst URL BENCHES SOCKETS WINDOW_MS | down URL N\n");
  return 64;
}
