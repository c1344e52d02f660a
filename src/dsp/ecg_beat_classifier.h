// Template classifier of the ECG beat analyser: labels each detected beat by
// the shape of its QRS complex, compared with up to six learned templates.
//
// Fed one baseline-free value per examined detection index (the analyser's
// cursor); 150 values after an accepted beat's R peak it extracts 30 features
// from the 300 values around the peak, matches them against the templates,
// learns or updates a template, re-chooses the dominant template and returns
// the beat's label (1 normal, 2 abnormal shape).
//
// Not thread-safe; owned by EcgAnalyser and driven from its caller's thread.
#pragma once

#include <cstdint>

namespace nel::dsp {

class EcgBeatClassifier {
 public:
  static constexpr int kWindow = 300;   // values kept around a beat
  static constexpr int kFeatures = 30;  // averages of 10 values
  static constexpr int kShape = 20;     // template length in features
  static constexpr int kMaxTemplates = 6;
  static constexpr int kUsage = 40;  // usage ring entries
  static constexpr int kWidthHistory = 8;
  static constexpr int kNoLabel = -1;

  struct Template {
    int32_t shape[kShape];
    float energy;  // sum of the squared shape values
    int32_t medianWidth;
    int32_t widthHistory[kWidthHistory];  // oldest first; 0 marks an empty entry
    int32_t flag;                         // 0 new, 1 has been dominant, 2 wide
  };

  // Flags of a template.
  static constexpr int32_t kFlagNew = 0;
  static constexpr int32_t kFlagDominant = 1;
  static constexpr int32_t kFlagWide = 2;

  EcgBeatClassifier() { Reset(); }

  // Empty state: no templates, usage ring and template indices -1, pending R
  // index -1000.
  void Reset();

  // One baseline-free value of the examined index; when a beat was accepted at
  // this index, hasBeat is true and rIndex/width/rr describe it. Returns the
  // label of the pending beat when it falls due (fed count == R + 150),
  // kNoLabel otherwise.
  int32_t Feed(int32_t value, bool hasBeat, int32_t rIndex, int32_t width, int32_t rr);

  // Correlation score (0..100, negative for opposite shapes) of a template
  // against a feature vector; bestShift receives the winning shift (-4..4).
  static int32_t Score(const Template& t, const int32_t* features, int32_t* bestShift);

  // Observers.
  int32_t TemplateCount() const { return templateCount_; }
  int32_t Dominant() const { return dominant_; }
  int32_t Repeated() const { return repeated_; }
  const Template& TemplateAt(int32_t i) const { return templates_[i]; }
  int32_t LastTemplate() const { return lastTemplate_; }  // template of the last classified beat
  int32_t LastScore() const { return lastBeatScore_; }    // its score against the dominant

 private:
  int32_t Classify();
  void MakeTemplate(int32_t index, const int32_t* f);
  void UpdateTemplate(Template& t, const int32_t* f, int32_t shift);
  void ChooseDominant();
  static float Energy(const int32_t* shape);

  int32_t window_[kWindow];
  int32_t windowPos_;
  int32_t fed_;
  int32_t pendingR_;
  int32_t pendingWidth_;
  int32_t pendingRR_;
  Template templates_[kMaxTemplates];
  int32_t templateCount_;
  int32_t usage_[kUsage];
  int32_t usagePos_;
  int32_t dominant_;
  int32_t lastMatched_;
  int32_t repeated_;
  int32_t lastTemplate_;
  int32_t lastBeatScore_;
};

}  // namespace nel::dsp
