// The set reader's arithmetic on its own: how pieces cover a file (the
// proof that a file is whole) and how volume numbers are said as ranges.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "parcelio/SetReader.h"

namespace {

using parcelio::Span;

std::vector<std::string> Faults(std::vector<Span> spans, int64_t size) {
  std::vector<std::string> faults;
  parcelio::CheckCoverage(spans, size, [&](const std::string& what) { faults.push_back(what); });
  return faults;
}

TEST(CheckCoverage, SaysEveryGapAndOverlap) {
  const int64_t max = INT64_MAX;
  const struct {
    const char* what;
    std::vector<Span> spans;
    int64_t size;
    std::vector<std::string> faults;
  } cases[] = {
      {"whole, in any order", {{5, 5, 2}, {0, 5, 1}}, 10, {}},
      {"an empty file", {{0, 0, 1}}, 0, {}},
      {"an empty piece inside and at the end", {{0, 4, 1}, {2, 0, 1}, {4, 0, 2}}, 4, {}},
      {"a byte missing", {{0, 4, 1}, {5, 5, 2}}, 10, {"no piece holds byte 4"}},
      {"the end missing", {{0, 4, 1}}, 9, {"no piece holds bytes 4 to 8"}},
      {"twice the same piece", {{0, 4, 1}, {0, 4, 2}}, 4,
       {"bytes 0 to 3 are held by two pieces (volume 1 and volume 2)"}},
      {"a piece inside another", {{0, 10, 1}, {3, 2, 2}, {10, 1, 3}}, 11,
       {"bytes 3 to 4 are held by two pieces (volume 1 and volume 2)"}},
      {"overlap, then gap", {{0, 6, 1}, {5, 2, 2}, {9, 1, 3}}, 10,
       {"byte 5 is held by two pieces (volume 1 and volume 2)", "no piece holds bytes 7 to 8"}},
      {"reaching the last byte a file can have", {{max - 1, 1, 1}}, max, {"no piece holds bytes 0 to 9223372036854775805"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Faults(c.spans, c.size), c.faults) << c.what;
}

TEST(RangesText, RunsAndTheRestCounted) {
  using parcelio::NumberRange;
  EXPECT_EQ(parcelio::RangesText({}), "");
  EXPECT_EQ(parcelio::RangesText({{1, 1}, {3, 4}, {6, 9}}), "1, 3, 4, 6-9");
  EXPECT_EQ(parcelio::RangesText({{1, 2147483646}}), "1-2147483646");
  std::vector<NumberRange> many;
  for (int32_t n = 1; n <= 50; n += 2) many.push_back({n, n});
  EXPECT_EQ(parcelio::RangesText(many, 3), "1, 3, 5 \xE2\x80\xA6" "and 22 more");
  EXPECT_EQ(parcelio::NumbersText({2, 5, 6, 7, 9, 10}), "2, 5-7, 9, 10");
}

}  // namespace
