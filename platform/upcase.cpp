#include "platform/upcase.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace zyv {
namespace {

/// first + k * stride (k < count) upper-cases to itself + delta.
struct Run {
  std::uint16_t first;
  std::uint16_t count;
  std::uint8_t stride;
  std::int32_t delta;
};

constexpr Run kRuns[] = {
#include "platform/upcase_table.inc"
};

}  // namespace

char16_t UpcaseNtfs(char16_t unit) {
  if (unit < u'a') return unit;
  // The last run that starts at or before unit.
  const Run* run = std::upper_bound(std::begin(kRuns), std::end(kRuns), unit,
                                    [](char16_t c, const Run& r) { return c < r.first; });
  if (run == std::begin(kRuns)) return unit;
  --run;
  const unsigned offset = unit - run->first;
  if (offset % run->stride != 0 || offset / run->stride >= run->count) return unit;
  return static_cast<char16_t>(unit + run->delta);
}

std::u16string UpcaseNtfs(std::u16string_view text) {
  std::u16string upper(text);
  for (char16_t& unit : upper) unit = UpcaseNtfs(unit);
  return upper;
}

}  // namespace zyv
