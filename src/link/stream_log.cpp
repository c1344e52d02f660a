#include <nel/link/stream_log.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace nel::link {

namespace {

template <class T>
void Put(std::vector<unsigned char>& out, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<unsigned char>(static_cast<uint64_t>(v) >> (8 * i)));
}

template <class T>
T Get(const unsigned char* p) {
  uint64_t v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return static_cast<T>(v);
}

bool KnownKind(char k) { return k == 'U' || k == 'D' || k == 'H' || k == 'T' || k == 'C'; }

}  // namespace

StreamRecorder::StreamRecorder() : start_(std::chrono::steady_clock::now()) {
  data_.assign(kStreamLogMagic, kStreamLogMagic + 8);
}

StreamRecorder::~StreamRecorder() { Detach(); }

void StreamRecorder::Attach(TSerialPort& port) {
  Detach();
  port_ = &port;
  port.SetStreamTap(&StreamRecorder::Tap, this);
}

void StreamRecorder::Detach() {
  if (port_) port_->SetStreamTap(nullptr, nullptr);
  port_ = nullptr;
}

void StreamRecorder::Tap(TSerialPort::StreamEvent event, const unsigned char* bytes, int n, int64_t position,
                         void* self) {
  static_cast<StreamRecorder*>(self)->Add(event, bytes, n, position);
}

void StreamRecorder::Add(TSerialPort::StreamEvent event, const unsigned char* bytes, int n, int64_t position) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_);
  const char kind = static_cast<char>(event);
  std::lock_guard lock(mu_);
  // Long writes and stores are split so that no payload passes the limit.
  for (int at = 0; at == 0 || at < n;) {
    int m = 0;
    if (kind == 'T') {
      m = 4;
    } else if (bytes != nullptr && n > 0) {
      m = std::min(n - at, kStreamLogMaxPayload);
    }
    Put<uint64_t>(data_, static_cast<uint64_t>(micros.count()));
    data_.push_back(static_cast<unsigned char>(kind));
    data_.push_back(0);
    Put<uint16_t>(data_, static_cast<uint16_t>(m));
    // A split store: each piece carries the position after its own bytes.
    const int64_t piece = kind == 'U' ? position - (n - at - m) : position;
    Put<int64_t>(data_, piece);
    if (kind == 'T') {
      Put<int32_t>(data_, n);
    } else if (m > 0) {
      data_.insert(data_.end(), bytes + at, bytes + at + m);
    }
    ++records_;
    if (kind == 'T' || m == 0) break;
    at += m;
  }
}

size_t StreamRecorder::Records() const {
  std::lock_guard lock(mu_);
  return records_;
}

std::vector<unsigned char> StreamRecorder::Contents() const {
  std::lock_guard lock(mu_);
  return data_;
}

bool StreamRecorder::Save(const std::string& path, std::string& error) const {
  const std::vector<unsigned char> data = Contents();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (out) out.flush();
  if (!out) {
    error = path + ": cannot write the stream log";
    return false;
  }
  return true;
}

bool ParseStreamLog(const unsigned char* data, size_t size, std::vector<StreamRecord>& out, std::string& error) {
  out.clear();
  if (data == nullptr || size < 8 || std::memcmp(data, kStreamLogMagic, 8) != 0) {
    error = "not a stream log (no NELRAW1 magic)";
    return false;
  }
  for (size_t at = 8; at < size;) {
    const std::string where = " at byte " + std::to_string(at);
    if (size - at < kStreamLogHeadBytes) {
      error = "record cut short" + where;
      return false;
    }
    StreamRecord r;
    r.micros = Get<uint64_t>(data + at);
    r.kind = static_cast<char>(data[at + 8]);
    const uint16_t n = Get<uint16_t>(data + at + 10);
    r.position = Get<int64_t>(data + at + 12);
    if (!KnownKind(r.kind) || data[at + 9] != 0) {
      error = "unknown record kind" + where;
      return false;
    }
    if (n > kStreamLogMaxPayload || (r.kind == 'T' && n != 4) || (r.kind == 'C' && n != 0)) {
      error = "bad payload length " + std::to_string(n) + where;
      return false;
    }
    if (size - at - kStreamLogHeadBytes < n) {
      error = "record cut short" + where;
      return false;
    }
    const unsigned char* payload = data + at + kStreamLogHeadBytes;
    if (r.kind == 'T') {
      r.count = Get<int32_t>(payload);
    } else {
      r.bytes.assign(payload, payload + n);
      r.count = n;
    }
    out.push_back(std::move(r));
    at += kStreamLogHeadBytes + n;
  }
  return true;
}

bool ReadStreamLog(const std::string& path, std::vector<StreamRecord>& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open";
    return false;
  }
  const std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!ParseStreamLog(data.data(), data.size(), out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace nel::link
