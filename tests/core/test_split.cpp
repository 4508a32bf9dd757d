// Cutting a compressed stream over recorded IDAT lengths: the worked cases,
// then the promised properties over random lengths.
#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "png/split.hpp"

using namespace corvane;
using Sizes = std::vector<size_t>;
using Lengths = std::vector<int64_t>;

static void test_cases() {
  struct Case { size_t total; Lengths lengths; Sizes want; };
  const Case cases[] = {
      {230, {100, 100, 50}, {100, 100, 30}},
      {150, {100, 100, 50}, {100, 50}},    // the third entry gets nothing
      {200, {100, 100, 50}, {100, 100}},   // used up before the last entry
      {400, {100, 100, 50}, {100, 100, 200}},  // the last takes the rest
      {1, {100}, {1}},
      {5000, {100}, {5000}},
      {250, {}, {250}},
      {0, {}, {}},
      {0, {100, 100, 50}, {}},
      {250, {100, 0}, {100, 150}},  // skipped last entry: the rest is an extra piece
      {250, {0, 100}, {250}},
      {250, {-5, 100, -1}, {100, 150}},
      {250, {INT64_MAX, 1}, {250}},
      {250, {INT64_MIN, INT64_MIN}, {250}},
  };
  for (const Case &c : cases) CHECK(split_idat(c.total, c.lengths) == c.want);
}

static void test_properties() {
  std::mt19937 gen(7);
  int bad = 0;
  for (int round = 0; round < 2000; ++round) {
    const size_t total = gen() % 300;
    Lengths lengths(gen() % 6);
    for (auto &l : lengths) l = int64_t(gen() % 160) - 40;
    const Sizes parts = split_idat(total, lengths);
    // A piece that is not the last took its recorded length in full, so the
    // pieces up to the last are the positive lengths, in order.
    Lengths positive;
    for (int64_t l : lengths)
      if (l > 0) positive.push_back(l);
    size_t sum = 0;
    bool empty_piece = false, follows = true;
    for (size_t i = 0; i < parts.size(); ++i) {
      sum += parts[i];
      empty_piece |= parts[i] == 0;
      if (i + 1 < parts.size()) follows &= i < positive.size() && parts[i] == size_t(positive[i]);
    }
    const size_t most = lengths.empty() ? 1 : lengths.size();
    bad += sum != total || empty_piece || !follows || parts.size() > most ||
           (total == 0 && !parts.empty());
  }
  CHECK(bad == 0);
}

int main() {
  test_cases();
  test_properties();
  return check::finish();
}
