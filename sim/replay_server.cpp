#include "replay_server.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>

#include "pty_line.h"

namespace nel::sim {

namespace {

constexpr size_t kHead = 20;
constexpr int kMaxPayload = 4096;
constexpr int kPollMs = 50;
constexpr size_t kBatchBytes = 8192;
constexpr int kFreeWriteWaitMs = 200;

uint64_t Le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

}  // namespace

bool LoadReplay(const std::string& path, std::vector<ReplayEvent>& out, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = path + ": " + why;
    return false;
  };
  out.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("cannot open");
  const std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (d.size() < 8 || std::memcmp(d.data(), "NELRAW1\n", 8) != 0) return fail("not a recorded session stream");
  for (size_t at = 8; at < d.size();) {
    const std::string where = " at byte " + std::to_string(at);
    if (d.size() - at < kHead) return fail("record cut short" + where);
    ReplayEvent e;
    e.micros = Le(&d[at], 8);
    e.kind = static_cast<char>(d[at + 8]);
    const auto n = static_cast<size_t>(Le(&d[at + 10], 2));
    e.position = static_cast<int64_t>(Le(&d[at + 12], 8));
    const bool known = std::strchr("UDHTC", e.kind) != nullptr && e.kind != 0;
    if (!known || d[at + 9] != 0) return fail("unknown record kind" + where);
    if (n > kMaxPayload || (e.kind == 'T' && n != 4) || (e.kind == 'C' && n != 0))
      return fail("bad payload length" + where);
    if (d.size() - at - kHead < n) return fail("record cut short" + where);
    const uint8_t* payload = &d[at + kHead];
    if (e.kind == 'T')
      e.taken = static_cast<int32_t>(Le(payload, 4));
    else
      e.bytes.assign(payload, payload + n);
    out.push_back(std::move(e));
    at += kHead + n;
  }
  return true;
}

std::vector<long> PassNeeds(const std::vector<ReplayEvent>& events) {
  std::vector<long> needs;
  long epoch = 0;                                // first event after the last ring clear
  std::vector<std::pair<int64_t, long>> stored;  // (position, event) of this epoch's chunks, positions rising
  for (long i = 0; i < static_cast<long>(events.size()); ++i) {
    const ReplayEvent& e = events[static_cast<size_t>(i)];
    if (e.kind == 'C') {
      epoch = i + 1;
      stored.clear();
    } else if (e.kind == 'U') {
      stored.emplace_back(e.position, i);
    } else if (e.kind == 'T') {
      // A pass that took bytes needed the chunk that brought the ring to its
      // position; one that found nothing saw the ring as the chunk ending at its
      // position left it (none: as the clear left it).
      const std::pair<int64_t, long> key{e.position, -1};
      long need = epoch - 1;
      if (e.taken > 0) {
        const auto it = std::lower_bound(stored.begin(), stored.end(), key);
        need = it != stored.end() ? it->second : (stored.empty() ? need : stored.back().second);
      } else {
        const auto it = std::upper_bound(stored.begin(), stored.end(), std::pair<int64_t, long>{e.position, i});
        if (it != stored.begin()) need = std::prev(it)->second;
      }
      needs.push_back(need);
    }
  }
  return needs;
}

ReplayServer::ReplayServer(std::vector<ReplayEvent> events, Options opt)
    : events_(std::move(events)), opt_(std::move(opt)) {
  // Chunks a ring clear discarded before any pass took them are not sent.
  skip_.assign(events_.size(), false);
  char next = 0;
  for (size_t i = events_.size(); i-- > 0;) {
    if (events_[i].kind == 'T' || events_[i].kind == 'C') next = events_[i].kind;
    if (events_[i].kind == 'U') skip_[i] = next == 'C';
  }
  // A chunk waits for every pass whose needed chunk came before it.
  const std::vector<long> needs = PassNeeds(events_);
  passesBefore_.assign(events_.size(), 0);
  clearsBefore_.assign(events_.size(), 0);
  long k = 0, clears = 0;
  for (size_t i = 0; i < events_.size(); ++i) {
    while (static_cast<size_t>(k) < needs.size() && needs[static_cast<size_t>(k)] < static_cast<long>(i)) ++k;
    passesBefore_[i] = k;
    clearsBefore_[i] = clears;
    clears += events_[i].kind == 'C';
  }
}

ReplayServer::~ReplayServer() { Stop(); }

bool ReplayServer::Start(std::string* error) {
  if (thread_.joinable()) return true;
  PtyLine line;
  if (!OpenPtyLine(opt_.port, opt_.link_dir, line, error)) return false;
  master_ = line.master;
  slave_ = line.slave;
  device_ = line.device;
  stop_ = false;
  thread_ = std::thread(&ReplayServer::Run, this);
  return true;
}

void ReplayServer::Stop() {
  stop_ = true;
  took_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (master_ >= 0) {
    PtyLine line{master_, slave_, device_};
    ClosePtyLine(line);
    UnregisterPtyLine(opt_.port, opt_.link_dir);
    master_ = slave_ = -1;
  }
}

ReplayServer::Stats ReplayServer::GetStats() const {
  std::lock_guard lock(mu_);
  return stats_;
}

void ReplayServer::HostTook(long passes) {
  hostPasses_.store(passes);
  // Woken only when it waits for this many: most passes release nothing.
  if (waitingFor_.load() <= passes) {
    std::lock_guard lock(mu_);
    took_.notify_all();
  }
}

void ReplayServer::HostCleared(long clears) {
  hostClears_.store(clears);
  std::lock_guard lock(mu_);
  took_.notify_all();
}

bool ReplayServer::HostReady(size_t event, long lead) const {
  return hostPasses_.load() >= passesBefore_[event] - lead && hostClears_.load() >= clearsBefore_[event];
}

bool ReplayServer::WaitHost(size_t event) {
  if (HostReady(event, opt_.lead_passes)) return !stop_;
  // Once held back, the unit waits until the host is half its lead further on, and then sends the passes'
  // worth that became due in one write: the unit and the reader are woken every few passes, not every one.
  // The host makes those passes without the chunk, which it needs only as many passes later as the lead.
  const long lead = opt_.lead_passes / 2;
  std::unique_lock lock(mu_);
  waitingFor_.store(passesBefore_[event] - lead);
  while (!HostReady(event, lead) && !stop_) took_.wait_for(lock, std::chrono::milliseconds(kPollMs));
  waitingFor_.store(LONG_MAX);
  return !stop_;
}

bool ReplayServer::Send(const std::vector<uint8_t>& bytes) {
  for (size_t at = 0; at < bytes.size() && !stop_;) {
    const ssize_t n = ::write(master_, bytes.data() + at, bytes.size() - at);
    if (n > 0) {
      at += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{master_, POLLOUT, 0};
    ::poll(&p, 1, kPollMs);
  }
  std::lock_guard lock(mu_);
  stats_.bytes_sent += bytes.size();
  return !stop_;
}

bool ReplayServer::Expect(const std::vector<uint8_t>& bytes, bool bounded) {
  std::vector<uint8_t> got;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFreeWriteWaitMs);
  while (got.size() < bytes.size() && !stop_ && (!bounded || std::chrono::steady_clock::now() < until)) {
    uint8_t buf[256];
    const ssize_t n = ::read(master_, buf, std::min(sizeof buf, bytes.size() - got.size()));
    if (n > 0) {
      got.insert(got.end(), buf, buf + n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) return false;
    pollfd p{master_, POLLIN, 0};
    ::poll(&p, 1, bounded ? 5 : kPollMs);
  }
  std::lock_guard lock(mu_);
  (got == bytes ? stats_.writes_matched : stats_.writes_different)++;
  return !stop_;
}

void ReplayServer::Run() {
  const auto start = std::chrono::steady_clock::now();
  size_t i = 0;
  // Without the lockstep, once the recorded host streams (its first pass), its writes are awaited a while only:
  // a host that went another way, or runs slower, must not stop the stream. The time spent awaiting a host
  // write is taken off the pace, so the stream after it does not come in a burst: a host a little slower than
  // the recording still has its commands land where the recording had them.
  bool streaming = false;
  std::chrono::steady_clock::duration awaited{0};
  for (; i < events_.size() && !stop_; ++i) {
    const ReplayEvent& e = events_[i];
    streaming = streaming || e.kind == 'T';
    if (e.kind == 'H') {
      const auto before = std::chrono::steady_clock::now();
      if (!Expect(e.bytes, !opt_.lockstep && streaming)) break;
      awaited += std::chrono::steady_clock::now() - before;
      continue;
    }
    if ((e.kind != 'U' || skip_[i]) && e.kind != 'D') continue;
    if (opt_.lockstep && !WaitHost(i)) break;
    if (opt_.speed > 0) {
      const auto due =
          start + awaited + std::chrono::microseconds(static_cast<int64_t>(static_cast<double>(e.micros) / opt_.speed));
      while (!stop_ && std::chrono::steady_clock::now() < due)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            due - std::chrono::steady_clock::now(), std::chrono::milliseconds(kPollMs)));
    }
    // As fast as the line goes: every chunk already due goes out in one write.
    std::vector<uint8_t> batch = e.bytes;
    while (opt_.speed <= 0 && batch.size() < kBatchBytes && i + 1 < events_.size()) {
      const ReplayEvent& n = events_[i + 1];
      if (n.kind == 'H' || n.kind == 'D') break;
      if (n.kind == 'U' && !skip_[i + 1]) {
        if (opt_.lockstep && !HostReady(i + 1, opt_.lead_passes)) break;
        batch.insert(batch.end(), n.bytes.begin(), n.bytes.end());
      }
      ++i;
    }
    if (!Send(batch)) break;
  }
  {
    std::lock_guard lock(mu_);
    stats_.finished = i == events_.size();
  }
  // The recording is over: what the host still writes is read and dropped.
  while (!stop_) {
    uint8_t buf[256];
    if (::read(master_, buf, sizeof buf) > 0) continue;
    pollfd p{master_, POLLIN, 0};
    ::poll(&p, 1, kPollMs);
  }
}

}  // namespace nel::sim
