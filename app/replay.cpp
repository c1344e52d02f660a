#include "replay.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "commands.h"
#include "session.h"

#ifdef NELCTL_HAVE_SIM
#include "sim/replay_server.h"
#endif

namespace nelctl {

namespace {
constexpr auto kGateLimit = std::chrono::seconds(2);  // a pass whose bytes never come goes on without them
constexpr int kGateWaitMs = 50;
// The unit sends up to this many passes ahead of the host (at most 512 bytes a pass, well within the ring):
// the reader and the unit are woken every few passes, not every one.
constexpr long kLeadPasses = 32;
// As fast as the host goes, a pass waits for the bytes of up to this many passes after it (the unit sends
// them before the host gets there), as long as the host neither writes nor clears its ring in between: the
// reader stores them, 128 bytes a read, without waking the host for each read.
constexpr size_t kGateAhead = kLeadPasses / 2;
}  // namespace

#ifdef NELCTL_HAVE_SIM
class ReplayLink::Server : public nel::sim::ReplayServer {
  using ReplayServer::ReplayServer;
};
#else
class ReplayLink::Server {};
#endif

ReplayLink::ReplayLink(const std::string& sessionOrStream, double speed) {
  std::string path = sessionOrStream;
  if (std::filesystem::is_directory(path)) path = (std::filesystem::path(path) / kSessionStream).string();
  std::vector<nel::link::StreamRecord> records;
  std::string error;
  if (!nel::link::ReadStreamLog(path, records, error)) throw Failure("cannot replay: " + error);
  for (const auto& r : records) {
    if (r.kind == 'T') {
      takes_.push_back({r.position, r.count});
      quietAfter_.push_back(true);
    } else if ((r.kind == 'H' || r.kind == 'C') && !quietAfter_.empty()) {
      quietAfter_.back() = false;
    }
  }
  if (takes_.empty()) throw Failure("cannot replay: " + path + " holds no processing pass");
  ahead_.resize(takes_.size());
  for (size_t k = 0; k < takes_.size(); ++k) {
    ahead_[k] = takes_[k].position;
    for (size_t j = k; speed <= 0 && j < k + kGateAhead && j + 1 < takes_.size() && quietAfter_[j]; ++j)
      ahead_[k] = std::max(ahead_[k], takes_[j + 1].position);
  }
#ifdef NELCTL_HAVE_SIM
  std::vector<nel::sim::ReplayEvent> events;
  if (!nel::sim::LoadReplay(path, events, &error)) throw Failure("cannot replay: " + error);
  nel::sim::ReplayServer::Options o;
  o.port = 1;
  o.speed = speed;
  o.lockstep = true;
  o.lead_passes = kLeadPasses;
  server_ = std::make_unique<Server>(std::move(events), o);
  if (!server_->Start(&error)) throw Failure("cannot start the replaying unit: " + error);
#else
  (void)speed;
  throw Failure("this nelctl was built without the virtual unit");
#endif
}

ReplayLink::~ReplayLink() { Detach(); }

void ReplayLink::Attach(TSerialPort& port, nel::link::StreamRecorder* capture) {
  Detach();
  port_ = &port;
  capture_ = capture;
  port.SetStreamTap(&ReplayLink::Tap, this);
  port.SetTakeGate(&ReplayLink::Gate, this);
}

void ReplayLink::Detach() {
  if (!port_) return;
  port_->SetStreamTap(nullptr, nullptr);
  port_->SetTakeGate(nullptr, nullptr);
  port_ = nullptr;
}

void ReplayLink::Tap(TSerialPort::StreamEvent event, const unsigned char* bytes, int n, int64_t position, void* self) {
  auto* link = static_cast<ReplayLink*>(self);
  if (link->capture_) link->capture_->Add(event, bytes, n, position);
#ifdef NELCTL_HAVE_SIM
  if (event == TSerialPort::StreamEvent::kCleared) link->server_->HostCleared(++link->clears_);
#endif
  if (event == TSerialPort::StreamEvent::kStored && position >= link->gateWant_.load()) {
    std::lock_guard lock(link->gateMu_);
    link->gateStored_.notify_one();
  }
  if (event != TSerialPort::StreamEvent::kTaken) return;
  const long k = link->passes_.load();
  if (k < static_cast<long>(link->takes_.size()) && link->takes_[static_cast<size_t>(k)].position != position)
    link->different_.fetch_add(1);
  link->passes_.store(k + 1);
#ifdef NELCTL_HAVE_SIM
  link->server_->HostTook(k + 1);
#endif
}

int32_t ReplayLink::Gate(void* self) {
  auto* link = static_cast<ReplayLink*>(self);
  const long k = link->passes_.load();
  if (link->port_ == nullptr || k >= static_cast<long>(link->takes_.size())) return TSerialPort::kTakeAny;
  // Each pass takes what the recorded one took (the unit sends some passes ahead), and one that found
  // nothing finds nothing now.
  const Take& take = link->takes_[static_cast<size_t>(k)];
  if (take.taken == 0) return 0;
  const int64_t want = take.position;
  const auto until = std::chrono::steady_clock::now() + kGateLimit;
  TSerialPort& port = *link->port_;
  if (const int64_t ahead = link->ahead_[static_cast<size_t>(k)]; port.WriteTotal() < ahead) {
    std::unique_lock lock(link->gateMu_);
    link->gateWant_.store(ahead);
    while (port.WriteTotal() < ahead && std::chrono::steady_clock::now() < until)
      link->gateStored_.wait_for(lock, std::chrono::milliseconds(kGateWaitMs));
    link->gateWant_.store(INT64_MAX);
  }
  // The ring's count is published after its write total: wait on what a pass can take.
  const auto enough = [&] { return port.ReadTotal() + port.RingCount() >= want; };
  while (!enough()) {
    port.DataEvent().Reset();
    if (enough()) break;
    if (!port.DataEvent().Wait(kGateWaitMs) && std::chrono::steady_clock::now() > until) {
      link->stalls_.fetch_add(1);
      return TSerialPort::kTakeAny;
    }
  }
  return take.taken;
}

bool ReplayLink::NextPassFollows() const {
  const long k = passes_.load();  // the pass just made is k - 1
  return k >= 1 && k < static_cast<long>(takes_.size()) && quietAfter_[static_cast<size_t>(k - 1)];
}

size_t ReplayLink::WritesDifferent() const {
#ifdef NELCTL_HAVE_SIM
  return server_->GetStats().writes_different;
#else
  return 0;
#endif
}

size_t ReplayLink::WritesMatched() const {
#ifdef NELCTL_HAVE_SIM
  return server_->GetStats().writes_matched;
#else
  return 0;
#endif
}

}  // namespace nelctl
