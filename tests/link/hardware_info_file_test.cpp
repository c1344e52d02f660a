// Reading and writing the hardware information file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "link/hardware_info_file.h"

namespace fs = std::filesystem;

namespace nel::link {
namespace {

class HardwareInfoFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("nel_hardinf_" + std::to_string(getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    path_ = (dir_ / kHardwareInfoFileName).string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Contents() const {
    std::ifstream f(path_, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  static tagHARDWAREINF Garbage() {
    tagHARDWAREINF g;
    g.ComPort = -99;
    for (int i = 0; i < 8; ++i) g.ADBase[i] = g.ADDatum[i] = -99;
    return g;
  }
  fs::path dir_;
  std::string path_;
};

void ExpectInfo(const tagHARDWAREINF& got, int32_t com, int32_t baseEcg, int32_t datumEcg, int32_t basePcg,
                int32_t datumPcg, int32_t basePulse, int32_t datumPulse) {
  EXPECT_EQ(got.ComPort, com);
  EXPECT_EQ(got.ADBase[WAVE_ECG], baseEcg);
  EXPECT_EQ(got.ADDatum[WAVE_ECG], datumEcg);
  EXPECT_EQ(got.ADBase[WAVE_PCG], basePcg);
  EXPECT_EQ(got.ADDatum[WAVE_PCG], datumPcg);
  for (int k = WAVE_RBRA; k <= WAVE_LTOE; ++k) {
    EXPECT_EQ(got.ADBase[k], basePulse) << "kind " << k;
    EXPECT_EQ(got.ADDatum[k], datumPulse) << "kind " << k;
  }
}

TEST_F(HardwareInfoFile, EmptyPathGivesBuiltInValuesMissingFileTheFileDefaults) {
  tagHARDWAREINF info = Garbage();
  ReadHardwareInfo("", 0, &info);
  ExpectInfo(info, 4, 2130, 665, 2130, 100, 400000, 3500);

  info = Garbage();
  ReadHardwareInfo(path_, 0, &info);  // no file
  ExpectInfo(info, 3, 2130, 665, 2130, 2048, 400000, 3500);
  EXPECT_FALSE(fs::exists(path_)) << "reading creates nothing";

  ReadHardwareInfo(path_, 0, nullptr);  // allowed, does nothing
}

TEST_F(HardwareInfoFile, UnitNumberSelectsItsSection) {
  EXPECT_EQ(HardwareInfoSection(0), "BED1");
  EXPECT_EQ(HardwareInfoSection(3), "BED4");
  Write("[BED1]\r\nCOMPORT=5\r\n[BED4]\r\nCOMPORT=9\r\nADBASE_ECG=2000\r\nADDATUM_PULSE=1234\r\n");
  tagHARDWAREINF info{};
  ReadHardwareInfo(path_, 0, &info);
  ExpectInfo(info, 5, 2130, 665, 2130, 2048, 400000, 3500);
  ReadHardwareInfo(path_, 3, &info);
  ExpectInfo(info, 9, 2000, 665, 2130, 2048, 400000, 1234);
  ReadHardwareInfo(path_, 7, &info);  // section missing: file defaults
  ExpectInfo(info, 3, 2130, 665, 2130, 2048, 400000, 3500);
}

TEST_F(HardwareInfoFile, WriteThenReadGivesEveryPulseKindTheFirstOnesValues) {
  tagHARDWAREINF info = BuiltInHardwareInfo();
  info.ComPort = 12;
  info.ADBase[WAVE_ECG] = 2100;
  info.ADDatum[WAVE_ECG] = 700;
  info.ADBase[WAVE_PCG] = -3;
  info.ADDatum[WAVE_PCG] = 90;
  for (int k = WAVE_RBRA; k <= WAVE_LTOE; ++k) {
    info.ADBase[k] = 410000 + k;  // only the first pulse kind is stored
    info.ADDatum[k] = 3600 + k;
  }
  ASSERT_TRUE(WriteHardwareInfo(path_, 1, info));
  EXPECT_EQ(Contents(),
            "[BED2]\r\nCOMPORT=12\r\nADBASE_ECG=2100\r\nADDATUM_ECG=700\r\nADBASE_PCG=-3\r\n"
            "ADDATUM_PCG=90\r\nADBASE_PULSE=410002\r\nADDATUM_PULSE=3602\r\n");
  tagHARDWAREINF back = Garbage();
  ReadHardwareInfo(path_, 1, &back);
  ExpectInfo(back, 12, 2100, 700, -3, 90, 410002, 3602);
}

TEST_F(HardwareInfoFile, WriteFailsWhereNoFileCanBeMade) {
  const std::string bad = (dir_ / "no_such_folder" / kHardwareInfoFileName).string();
  EXPECT_FALSE(WriteHardwareInfo(bad, 0, BuiltInHardwareInfo()));
}

}  // namespace
}  // namespace nel::link
