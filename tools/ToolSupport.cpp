// What every parcel command shares: the message channels (Fail, Warn, Say
// and usage errors on stderr/stdout, quiet or not) and the helpers of
// ToolSupport.h.
#include "tools/ToolSupport.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "parcelio/FileIO.h"

namespace parceltool {

bool Quiet = false;

int Fail(const std::string& what, const std::string& reason) {
  parcelio::WriteErr("parcel: " + what + ": " + reason + "\n");
  return ExitFailed;
}

void Warn(const std::string& what, const std::string& reason) {
  if (!Quiet) parcelio::WriteErr("parcel: " + what + ": " + reason + "\n");
}

void Say(const std::string& line) {
  if (!Quiet) parcelio::WriteOut(line + "\n");
}

int UsageError(const std::string& command, const std::string& message) {
  parcelio::WriteErr("parcel: " + (command.empty() ? "" : command + ": ") + message + "\n" +
                     "Try 'parcel " + (command.empty() ? "" : command + " ") + "--help'.\n");
  return ExitUsage;
}

void ProblemList::Add(const std::string& what, const std::string& reason) {
  ++count_;
  if (said_ >= shown_) return;
  ++said_;
  if (kind_ == Kind::Error) {
    Fail(what, reason);
  } else {
    Warn(what, reason);
  }
}

void ProblemList::Close() {
  const size_t untold = count_ - said_ - told_;
  if (untold == 0) return;
  told_ += untold;
  // U+2026, the ellipsis, in UTF-8.
  const std::string line = "parcel: \xE2\x80\xA6" "and " + std::to_string(untold) + " more\n";
  if (kind_ == Kind::Error || !Quiet) parcelio::WriteErr(line);
}

ProgressLine::ProgressLine(std::string what, int64_t total)
    : what_(std::move(what)),
      total_(total),
      enabled_(!Quiet && parcelio::ErrorIsTerminal()),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

ProgressLine::~ProgressLine() { Finish(); }

void ProgressLine::Update(int64_t done) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  // Only work that takes a while shows a line, a few times a second.
  if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200)) return;
  last_ = now;
  const int percent = total_ > 0 ? static_cast<int>(done * 100 / total_) : 100;
  parcelio::WriteErr("\r" + what_ + ": " + std::to_string(percent) + "% (" + SizeText(done) + " of " +
                     SizeText(total_) + ")\033[K");
  shown_ = true;
}

void ProgressLine::Finish() {
  if (shown_) parcelio::WriteErr("\r\033[K");
  shown_ = false;
}

std::string SizeText(int64_t bytes) {
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

}  // namespace parceltool

#include "parcelio/SetReader.h"

namespace parceltool {

namespace {

// The ranges without the given numbers (ascending, each within a range).
std::vector<parcelio::NumberRange> Without(const std::vector<parcelio::NumberRange>& ranges,
                                           const std::vector<int32_t>& numbers) {
  std::vector<parcelio::NumberRange> left;
  size_t next = 0;
  for (const parcelio::NumberRange& range : ranges) {
    int64_t from = range.first;  // the lowest number of the range still to place
    for (; next < numbers.size() && numbers[next] <= range.last; ++next) {
      if (numbers[next] < from) continue;
      if (numbers[next] > from) left.push_back({static_cast<int32_t>(from), numbers[next] - 1});
      from = int64_t{numbers[next]} + 1;
    }
    if (from <= range.last) left.push_back({static_cast<int32_t>(from), range.last});
  }
  return left;
}

// Whether the set lacks its volume of this number: one of the missing
// ranges, or, while the last volume was not found, above every volume found.
bool IsMissing(const parcelio::SetInfo& set, int32_t number) {
  if (set.lastNumber == 0 && number > (set.volumes.empty() ? 0 : set.volumes.back().number)) return true;
  for (const parcelio::NumberRange& range : set.missing)
    if (number >= range.first && number <= range.last) return true;
  return false;
}

}  // namespace

bool ReportSetProblems(const parcelio::SetInfo& set, const std::string& volume) {
  {
    ProblemList warnings(ProblemList::Kind::Warning);
    for (const std::string& note : set.notes) warnings.Add("warning", note);
    // A volume of another set is only worth a warning while it takes no
    // missing volume's place.
    for (const parcelio::ForeignVolume& foreign : set.foreign)
      if (!IsMissing(set, foreign.number)) warnings.Add(foreign.name, "belongs to another set; ignored");
  }
  ProblemList errors;
  for (const parcelio::VolumeEntry& entry : set.volumes) {
    if (entry.damagedAt < 0) continue;
    errors.Add(entry.name, "damaged piece header at offset " + std::to_string(entry.damagedAt) + ": " + entry.damage);
  }
  for (const parcelio::SetFault& fault : set.faults) errors.Add(fault.where, fault.what);
  errors.AddUntold(set.faultCount - set.faults.size());

  // A file of the set's name that belongs to another set is named where
  // its number is missing.
  std::vector<int32_t> explained;
  for (const parcelio::ForeignVolume& foreign : set.foreign) {
    if (!IsMissing(set, foreign.number)) continue;
    errors.Add(foreign.name, "belongs to another set; volume " + std::to_string(foreign.number) +
                                 " of this set is missing");
    explained.push_back(foreign.number);
  }
  std::sort(explained.begin(), explained.end());
  explained.erase(std::unique(explained.begin(), explained.end()), explained.end());
  const std::vector<parcelio::NumberRange> missing = Without(set.missing, explained);
  if (!missing.empty() || set.lastNumber == 0) {
    int64_t count = 0;
    for (const parcelio::NumberRange& range : missing) count += int64_t{range.last} - range.first + 1;
    std::string text = parcelio::RangesText(missing);
    if (set.lastNumber == 0) {
      const int64_t after = set.volumes.empty() ? 0 : int64_t{set.volumes.back().number};
      text += (text.empty() ? "" : ", and ") + std::to_string(after + 1) + " or later (the last volume was not found)";
      ++count;
    }
    errors.Add(volume, std::string("set incomplete: missing volume") + (count > 1 ? "s " : " ") + text);
  }
  errors.Close();
  return !errors.Empty();
}

}  // namespace parceltool
