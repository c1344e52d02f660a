#include "dsp/ecg_beat_classifier.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>

namespace nel::dsp {

namespace {

constexpr int32_t kDueAfterR = 150;   // values fed after the R peak before classifying
constexpr int32_t kMatchScore = 89;   // a template matches at this score
constexpr int32_t kUpdateScore = 93;  // a match this good refines the template
constexpr int32_t kWideWidth = 80;    // median width of a wide template
constexpr int32_t kDominantUses = 6;  // uses among the 15 newest beats to become dominant
constexpr int32_t kRecentUses = 15;

// Features: 30 integer means of 10 values, oldest first; windowPos is the oldest.
void ExtractFeatures(const int32_t* window, int32_t windowPos, int32_t* f) {
  for (int j = 0; j < EcgBeatClassifier::kFeatures; ++j) {
    int32_t sum = 0;
    for (int i = 0; i < 10; ++i) sum += window[(windowPos + 10 * j + i) % EcgBeatClassifier::kWindow];
    f[j] = sum / 10;
  }
}

// The template a beat's features match (-1 none), with its shift, the score
// of the last template tried and the score against the dominant template.
struct TemplateMatch {
  int32_t matched = -1;
  int32_t shift = 0;
  int32_t lastScore = 0;
  int32_t beatScore = 0;
};

// Tries the dominant template, then the repeated one, then the others in order.
TemplateMatch MatchTemplates(const EcgBeatClassifier::Template* templates, int32_t count, int32_t dominant,
                             int32_t repeated, const int32_t* f) {
  TemplateMatch m;
  if (dominant >= 0) {
    int32_t s = 0;
    const int32_t sc = EcgBeatClassifier::Score(templates[dominant], f, &s);
    m.lastScore = m.beatScore = sc;
    if (sc >= kMatchScore) {
      m.matched = dominant;
      m.shift = s;
    }
  }
  if (m.matched < 0 && repeated >= 0 && repeated != dominant) {
    int32_t s = 0;
    const int32_t sc = EcgBeatClassifier::Score(templates[repeated], f, &s);
    m.lastScore = sc;
    if (sc >= kMatchScore) {
      m.matched = repeated;
      m.shift = s;
    }
  }
  if (m.matched < 0) {
    // The dominant and repeated templates were scored above.
    for (int32_t i = 0; i < count; ++i) {
      if (i == dominant || i == repeated) continue;
      int32_t s = 0;
      const int32_t sc = EcgBeatClassifier::Score(templates[i], f, &s);
      m.lastScore = sc;
      if (sc > kMatchScore) {
        m.matched = i;
        m.shift = s;
        break;
      }
    }
  }
  return m;
}

}  // namespace

void EcgBeatClassifier::Reset() {
  std::fill(std::begin(window_), std::end(window_), 0);
  windowPos_ = 0;
  fed_ = 0;
  pendingR_ = -1000;
  pendingWidth_ = 0;
  pendingRR_ = 0;
  for (Template& t : templates_) t = Template{};
  templateCount_ = 0;
  std::fill(std::begin(usage_), std::end(usage_), -1);
  usagePos_ = 0;
  dominant_ = -1;
  lastMatched_ = -1;
  repeated_ = -1;
  lastTemplate_ = -1;
  lastBeatScore_ = 0;
}

float EcgBeatClassifier::Energy(const int32_t* shape) {
  int64_t sum = 0;
  for (int k = 0; k < kShape; ++k) sum += static_cast<int64_t>(shape[k]) * shape[k];
  return static_cast<float>(sum);
}

int32_t EcgBeatClassifier::Score(const Template& t, const int32_t* f, int32_t* bestShift) {
  int32_t best = 0;
  int32_t bestS = -4;
  bool have = false;
  for (int32_t s = -4; s <= 4; ++s) {
    const int32_t base = f[s + 5];
    int64_t cross = 0;
    int64_t dd = 0;
    for (int k = 0; k < kShape; ++k) {
      const int64_t d = static_cast<int64_t>(f[s + 5 + k]) - base;
      cross += t.shape[k] * d;
      dd += d * d;
    }
    int32_t r = 10000;
    if (dd > 1 && t.energy >= 1.0f) {
      // Products in double precision; the result truncates toward zero.
      r = static_cast<int32_t>(static_cast<double>(cross) * 10000.0 /
                               std::sqrt(static_cast<double>(dd) * static_cast<double>(t.energy)));
    }
    if (!have || r > best) {
      best = r;
      bestS = s;
      have = true;
    }
    if (best > 9900) break;
  }
  if (bestShift) *bestShift = bestS;
  return best / 100;
}

int32_t EcgBeatClassifier::Feed(int32_t value, bool hasBeat, int32_t rIndex, int32_t width, int32_t rr) {
  window_[windowPos_] = value;
  windowPos_ = (windowPos_ + 1) % kWindow;
  ++fed_;
  if (hasBeat) {
    pendingR_ = rIndex;
    pendingWidth_ = width;
    pendingRR_ = rr;
  }
  if (fed_ != pendingR_ + kDueAfterR) return kNoLabel;
  return Classify();
}

void EcgBeatClassifier::MakeTemplate(int32_t index, const int32_t* f) {
  Template& t = templates_[index];
  for (int k = 0; k < kShape; ++k) t.shape[k] = f[5 + k] - f[5];
  t.energy = Energy(t.shape);
  t.medianWidth = pendingWidth_;
  std::fill(std::begin(t.widthHistory), std::end(t.widthHistory), 0);
  t.widthHistory[kWidthHistory - 1] = pendingWidth_;
  t.flag = kFlagNew;
}

void EcgBeatClassifier::UpdateTemplate(Template& t, const int32_t* f, int32_t shift) {
  const int32_t w = pendingWidth_;
  if (std::abs(t.medianWidth - w) < t.medianWidth / 3) {
    for (int k = 0; k < kShape; ++k) t.shape[k] = (7 * t.shape[k] - f[shift + 5] + f[shift + 5 + k]) / 8;
    t.energy = Energy(t.shape);
  }
  std::copy(t.widthHistory + 1, t.widthHistory + kWidthHistory, t.widthHistory);
  t.widthHistory[kWidthHistory - 1] = w;
  int first = 0;
  while (first < kWidthHistory && t.widthHistory[first] <= 0) ++first;
  const int n = kWidthHistory - first;
  if (n < 3) {
    t.medianWidth = w;
  } else {
    int32_t sorted[kWidthHistory];
    std::copy(t.widthHistory + first, t.widthHistory + kWidthHistory, sorted);
    std::sort(sorted, sorted + n);
    t.medianWidth = sorted[(n + 1) / 2 - 1];
  }
  if (t.medianWidth >= kWideWidth) t.flag = kFlagWide;
}

void EcgBeatClassifier::ChooseDominant() {
  int32_t uses[kMaxTemplates] = {};
  for (int i = 0; i < kRecentUses; ++i) {
    const int32_t e = usage_[(usagePos_ - 1 - i + kUsage) % kUsage];
    if (e >= 0 && e < templateCount_) ++uses[e];
  }
  int32_t cand = 0;
  for (int32_t i = 1; i < templateCount_; ++i)
    if (uses[i] > uses[cand]) cand = i;
  if (uses[cand] < kDominantUses) return;
  int32_t winner = cand;
  if (templateCount_ >= 2) {
    int32_t runner = -1;
    for (int32_t i = 0; i < templateCount_; ++i) {
      if (i == cand) continue;
      if (runner < 0 || uses[i] > uses[runner]) runner = i;
    }
    if (runner != cand && templates_[runner].medianWidth < templates_[cand].medianWidth) {
      if (uses[cand] > 4 * uses[runner]) {
        winner = cand;
      } else if (uses[runner] >= 5) {
        winner = runner;
      } else {
        return;
      }
    }
  }
  dominant_ = winner;
  templates_[winner].flag = kFlagDominant;
}

int32_t EcgBeatClassifier::Classify() {
  int32_t f[kFeatures];
  ExtractFeatures(window_, windowPos_, f);
  const TemplateMatch m = MatchTemplates(templates_, templateCount_, dominant_, repeated_, f);

  int32_t index = m.matched;
  if (m.matched < 0) {
    if (templateCount_ < kMaxTemplates) {
      index = templateCount_++;
    } else {
      int32_t uses[kMaxTemplates] = {};
      for (int32_t e : usage_)
        if (e >= 0 && e < kMaxTemplates) ++uses[e];
      index = 0;
      for (int32_t i = 1; i < kMaxTemplates; ++i)
        if (uses[i] < uses[index]) index = i;
    }
    MakeTemplate(index, f);
  } else if (m.lastScore >= kUpdateScore) {
    UpdateTemplate(templates_[m.matched], f, m.shift);
  }

  // Every classified beat's template, a new one too: see docs/decisions.md, "Templates".
  usage_[usagePos_] = index;
  usagePos_ = (usagePos_ + 1) % kUsage;
  if (index == lastMatched_ && index >= 0) {
    repeated_ = index;
  } else {
    lastMatched_ = index;
  }

  int32_t label = 1;
  if (dominant_ >= 0 && index != dominant_) {
    const int32_t flag = templates_[index].flag;
    if (flag == kFlagDominant || (flag == kFlagNew && m.beatScore >= 15)) {
      label = 1;
    } else {
      label = (pendingWidth_ >= 68 || m.beatScore <= 25) ? 2 : 1;
    }
  }

  ChooseDominant();
  lastTemplate_ = index;
  lastBeatScore_ = m.beatScore;
  return label;
}

}  // namespace nel::dsp
