// The port's stream tap and the stream log: every event in its order with its
// ring position, long writes split, and the reasons a log is refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <nel/link/sam_thread.h>
#include <nel/link/stream_log.h>

namespace {

using nel::link::StreamRecord;

// "kind count@position" of each record.
std::string Rows(const std::vector<StreamRecord>& records) {
  std::string rows;
  for (const auto& r : records)
    rows += std::string(rows.empty() ? "" : " ") + r.kind + std::to_string(r.count) + "@" + std::to_string(r.position);
  return rows;
}

TEST(StreamLog, RecordsEveryEventOfThePortInOrder) {
  TSamThread sam;
  TSerialPort& port = sam.Protocol();
  ASSERT_TRUE(port.OpenInProcess(nullptr, nullptr));
  nel::link::StreamRecorder recorder;
  recorder.Attach(port);
  std::vector<tagSAM_DATA> frames(TSamThread::kFrameCapacity);
  const std::vector<unsigned char> command{0x81}, bytes(600, 0x11), longWrite(5000, 0x22);
  int written = 0;

  port.WriteBytes(command.data(), 1, written);
  sam.GetData(frames.data());  // nothing there
  port.InjectReceived(bytes.data(), 40);
  port.InjectReceived(bytes.data(), 30);
  sam.GetData(frames.data());
  port.InjectReceived(bytes.data(), 600);
  for (int pass = 0; pass < 3; ++pass) sam.GetData(frames.data());  // at most 512 a pass, then nothing
  port.WriteBytes(longWrite.data(), 5000, written);
  recorder.Detach();
  port.WriteBytes(command.data(), 1, written);  // after Detach: not recorded

  std::vector<StreamRecord> log;
  std::string error;
  const std::vector<unsigned char> contents = recorder.Contents();
  ASSERT_TRUE(nel::link::ParseStreamLog(contents.data(), contents.size(), log, error)) << error;
  const std::string want = "H1@0 T0@0 U40@40 U30@70 T70@70 U600@670 T512@582 T88@670 T0@670 H4096@0 H904@0";
  EXPECT_EQ(Rows(log), want);
  EXPECT_EQ(log[0].bytes, command);
  EXPECT_EQ(log[5].bytes, bytes);
  for (size_t i = 1; i < log.size(); ++i) EXPECT_LE(log[i - 1].micros, log[i].micros) << i;

  const std::string path = testing::TempDir() + "stream_log_test.nelraw";
  ASSERT_TRUE(recorder.Save(path, error)) << error;
  std::vector<StreamRecord> again;
  ASSERT_TRUE(nel::link::ReadStreamLog(path, again, error)) << error;
  EXPECT_EQ(Rows(again), want);
  std::remove(path.c_str());
}

// Head of a record: time, kind, 0, length, position.
std::vector<unsigned char> Record(char kind, uint16_t n, size_t payload, unsigned char zero = 0) {
  std::vector<unsigned char> r(20 + payload, 0);
  r[8] = static_cast<unsigned char>(kind);
  r[9] = zero;
  r[10] = static_cast<unsigned char>(n & 0xFF);
  r[11] = static_cast<unsigned char>(n >> 8);
  return r;
}

TEST(StreamLog, ADamagedLogIsRefusedWithWhereItBreaks) {
  const std::string magic = "NELRAW1\n";
  const auto log = [&](std::vector<std::vector<unsigned char>> records) {
    std::vector<unsigned char> d(magic.begin(), magic.end());
    for (const auto& r : records) d.insert(d.end(), r.begin(), r.end());
    return d;
  };
  const struct {
    const char* name;
    std::vector<unsigned char> data;
    const char* reason;  // empty: read
  } cases[] = {
      {"empty", {}, "not a stream log (no NELRAW1 magic)"},
      {"another magic", {'N', 'E', 'L', 'R', 'A', 'W', '2', '\n'}, "not a stream log (no NELRAW1 magic)"},
      {"magic only", log({}), ""},
      {"head cut short", log({std::vector<unsigned char>(19, 0)}), "record cut short at byte 8"},
      {"payload cut short", log({Record('U', 5, 3)}), "record cut short at byte 8"},
      {"unknown kind", log({Record('X', 0, 0)}), "unknown record kind at byte 8"},
      {"non-zero pad", log({Record('U', 0, 0, 1)}), "unknown record kind at byte 8"},
      {"pass without its count", log({Record('T', 3, 3)}), "bad payload length 3 at byte 8"},
      {"clear with a payload", log({Record('C', 1, 1)}), "bad payload length 1 at byte 8"},
      {"payload over 4096", log({Record('H', 4097, 4097)}), "bad payload length 4097 at byte 8"},
      {"second record bad", log({Record('U', 1, 1), Record('Q', 0, 0)}), "unknown record kind at byte 29"},
  };
  for (const auto& c : cases) {
    std::vector<StreamRecord> out;
    std::string error;
    const bool read = nel::link::ParseStreamLog(c.data.data(), c.data.size(), out, error);
    EXPECT_EQ(read, std::string(c.reason).empty()) << c.name;
    if (!read) {
      EXPECT_EQ(error, c.reason) << c.name;
    }
  }
}

}  // namespace
