#include "link/hardware_info_file.h"

#include <string_view>

#include "platform/ini_file.h"

namespace nel::link {

namespace {

constexpr int kFirstPulseKind = WAVE_RBRA;
constexpr int kKinds = 8;

struct Key {
  std::string_view name;
  int32_t fileDefault;
};

constexpr Key kComPort{"COMPORT", 3};
constexpr Key kBaseEcg{"ADBASE_ECG", 2130};
constexpr Key kDatumEcg{"ADDATUM_ECG", 665};
constexpr Key kBasePcg{"ADBASE_PCG", 2130};
constexpr Key kDatumPcg{"ADDATUM_PCG", 2048};
constexpr Key kBasePulse{"ADBASE_PULSE", 400000};
constexpr Key kDatumPulse{"ADDATUM_PULSE", 3500};

}  // namespace

std::string HardwareInfoSection(int32_t unit) { return "BED" + std::to_string(static_cast<int64_t>(unit) + 1); }

tagHARDWAREINF BuiltInHardwareInfo() {
  tagHARDWAREINF info{};
  info.ComPort = 4;
  info.ADBase[WAVE_ECG] = 2130;
  info.ADDatum[WAVE_ECG] = 665;
  info.ADBase[WAVE_PCG] = 2130;
  info.ADDatum[WAVE_PCG] = 100;
  for (int k = kFirstPulseKind; k < kKinds; ++k) {
    info.ADBase[k] = 400000;
    info.ADDatum[k] = 3500;
  }
  return info;
}

void ReadHardwareInfo(const std::string& path, int32_t unit, tagHARDWAREINF* info) {
  if (!info) return;
  *info = BuiltInHardwareInfo();
  if (path.empty()) return;
  const std::string section = HardwareInfoSection(unit);
  auto read = [&](const Key& k) { return platform::ReadIniInt(path, section, k.name, k.fileDefault); };
  info->ComPort = read(kComPort);
  info->ADBase[WAVE_ECG] = read(kBaseEcg);
  info->ADDatum[WAVE_ECG] = read(kDatumEcg);
  info->ADBase[WAVE_PCG] = read(kBasePcg);
  info->ADDatum[WAVE_PCG] = read(kDatumPcg);
  // The pulse keys are read once per pulse kind, base then datum.
  for (int k = kFirstPulseKind; k < kKinds; ++k) {
    info->ADBase[k] = read(kBasePulse);
    info->ADDatum[k] = read(kDatumPulse);
  }
}

bool WriteHardwareInfo(const std::string& path, int32_t unit, const tagHARDWAREINF& info) {
  const std::string section = HardwareInfoSection(unit);
  bool ok = true;
  auto write = [&](const Key& k, int32_t value) {
    ok = platform::WriteIniString(path, section, k.name, std::to_string(value)) && ok;
  };
  write(kComPort, info.ComPort);
  write(kBaseEcg, info.ADBase[WAVE_ECG]);
  write(kDatumEcg, info.ADDatum[WAVE_ECG]);
  write(kBasePcg, info.ADBase[WAVE_PCG]);
  write(kDatumPcg, info.ADDatum[WAVE_PCG]);
  write(kBasePulse, info.ADBase[kFirstPulseKind]);
  write(kDatumPulse, info.ADDatum[kFirstPulseKind]);
  return ok;
}

}  // namespace nel::link
