// Golden records: a test writes what the library produced as text, one record
// per line, and compares it with a file kept under tests/<room>/golden/.
//
// Tokens are compared one by one: integers exactly, numbers with a '.' or an
// exponent within `abs + rel * |expected|` (the vector kernels may round
// differently from one instruction set to another), anything else as text.
// Lines that start with '#' are the file's documentation and are not compared.
//
// To remake the files after an intended change, run the tests with
// NEL_UPDATE_GOLDEN=1 and review the diff before committing it.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace nel::golden {

struct Tolerance {
  double abs = 1e-6;
  double rel = 1e-5;
};

inline std::string PathOf(const std::string& relative) { return std::string(NEL_SOURCE_DIR) + "/tests/" + relative; }

inline std::vector<std::string> DataLines(std::istream& in) {
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  return lines;
}

inline bool IsInteger(const std::string& t) {
  if (t.empty()) return false;
  size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
  if (i == t.size()) return false;
  for (; i < t.size(); ++i)
    if (t[i] < '0' || t[i] > '9') return false;
  return true;
}

inline bool ParseReal(const std::string& t, double& v) {
  char* end = nullptr;
  v = std::strtod(t.c_str(), &end);
  return !t.empty() && end == t.c_str() + t.size();
}

// Empty when the token matches, else why not.
inline std::string CompareToken(const std::string& got, const std::string& want, Tolerance tol) {
  if (got == want) return {};
  double g = 0, w = 0;
  if (IsInteger(got) || IsInteger(want) || !ParseReal(got, g) || !ParseReal(want, w))
    return "'" + got + "' instead of '" + want + "'";
  if (std::fabs(g - w) <= tol.abs + tol.rel * std::fabs(w)) return {};
  return got + " instead of " + want;
}

// `header` is written above the records when the file is remade: say what
// produced them and from which input.
inline void Check(const std::string& relative, const std::string& produced, const std::string& header,
                  Tolerance tol = {}) {
  const std::string path = PathOf(relative);
  const char* update = std::getenv("NEL_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream out(path, std::ios::binary);
    std::istringstream h(header);
    for (std::string line; std::getline(h, line);) out << "# " << line << '\n';
    out << produced;
    ASSERT_TRUE(out.good()) << "cannot write " << path;
    return;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in.is_open()) << "no golden file " << path << " (remake with NEL_UPDATE_GOLDEN=1)";
  std::istringstream p(produced);
  const auto want = DataLines(in);
  const auto got = DataLines(p);
  int reported = 0;
  const size_t n = std::min(want.size(), got.size());
  for (size_t i = 0; i < n && reported < 10; ++i) {
    std::istringstream gs(got[i]), ws(want[i]);
    std::vector<std::string> gt, wt;
    for (std::string t; gs >> t;) gt.push_back(t);
    for (std::string t; ws >> t;) wt.push_back(t);
    std::string why = gt.size() == wt.size() ? "" : "different number of fields";
    for (size_t k = 0; why.empty() && k < gt.size(); ++k) why = CompareToken(gt[k], wt[k], tol);
    if (!why.empty()) {
      ADD_FAILURE() << relative << " record " << i + 1 << ": " << why << "\n  got:  " << got[i]
                    << "\n  want: " << want[i];
      ++reported;
    }
  }
  EXPECT_EQ(got.size(), want.size()) << relative << ": number of records";
}

}  // namespace nel::golden
