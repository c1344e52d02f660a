// A small decoder of the unit's output, written for these tests on their own
// (it shares nothing with the unit's encoder or the library's link code).
#pragma once

#include <cstdint>
#include <vector>

namespace simtest {

struct Packet {
  int32_t t[4];
  int ecg, pcg;
};

struct Reply {
  uint8_t code;
  std::vector<uint8_t> payload;
};

class LineDecoder {
 public:
  void Feed(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) Byte(p[i]);
  }
  void Feed(const std::vector<uint8_t>& v) { Feed(v.data(), v.size()); }

  std::vector<Packet> packets;
  std::vector<Reply> replies;
  int abandoned = 0;  // frames cut by a code byte

 private:
  static int Length(uint8_t code) {
    if (code == 0x90) return 19;
    if (code == 0xF1) return 4;
    if (code == 0xF5) return 63;
    if (code >= 0xF0 && code <= 0xF7) return 1;
    return 0;
  }
  void Byte(uint8_t b) {
    if (b & 0x80) {
      abandoned += code_ != 0;
      buf_.clear();
      code_ = Length(b) > 1 ? b : 0;
      if (Length(b) == 1) replies.push_back({b, {}});
      return;
    }
    if (!code_) return;
    buf_.push_back(b);
    if (static_cast<int>(buf_.size()) + 1 < Length(code_)) return;
    if (code_ == 0x90)
      Decode();
    else
      replies.push_back({code_, buf_});
    code_ = 0;
    buf_.clear();
  }
  // Bit i of payload byte 0 carries the top bit of byte 3 + i, of byte 1 of
  // byte 10 + i, bit 0 of byte 2 that of byte 17.
  void Decode() {
    for (int i = 3; i < 18; ++i)
      if (buf_[static_cast<size_t>(i < 10 ? 0 : i < 17 ? 1 : 2)] >> (i < 10 ? i - 3 : i < 17 ? i - 10 : 0) & 1)
        buf_[static_cast<size_t>(i)] |= 0x80;
    auto b = [&](int i) { return uint32_t{buf_[static_cast<size_t>(i)]}; };
    Packet k;
    for (int c = 0; c < 4; ++c) {
      const uint32_t v = (b(3 + 3 * c) << 16) | (b(4 + 3 * c) << 8) | b(5 + 3 * c);
      k.t[c] = static_cast<int32_t>(v & 0x800000u ? v | 0xFF000000u : v);
    }
    k.ecg = static_cast<int>(((b(15) >> 4) << 8) | b(16));
    k.pcg = static_cast<int>(((b(15) & 0x0F) << 8) | b(17));
    packets.push_back(k);
  }
  uint8_t code_ = 0;
  std::vector<uint8_t> buf_;
};

// Tells a unit to begin streaming, runs it `frames` frames and decodes (and
// takes) what it sent.
template <class Unit>
LineDecoder Stream(Unit& u, int frames) {
  const uint8_t begin = 0x82;
  u.Receive(&begin, 1);
  u.Advance(frames);
  LineDecoder d;
  d.Feed(u.Output());
  u.ConsumeOutput(u.Output().size());
  return d;
}

// Pressure from counts with a channel's coefficients.
inline double Mmhg(int32_t counts, float slope, float offset) { return counts * double{slope} + double{offset}; }

}  // namespace simtest
