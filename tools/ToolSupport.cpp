#include "tools/ToolSupport.h"

#include <cstdio>

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
  if (count_++ >= shown_) return;
  if (kind_ == Kind::Error) {
    Fail(what, reason);
  } else {
    Warn(what, reason);
  }
}

void ProblemList::Close() {
  const size_t untold = count_ > shown_ ? count_ - shown_ - told_ : 0;
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

bool ReportSetProblems(const parcelio::SetInfo& set, const std::string& volume) {
  for (const std::string& note : set.notes) Warn("warning", note);
  bool bad = false;
  for (const parcelio::VolumeEntry& entry : set.volumes) {
    if (entry.damagedAt < 0) continue;
    Fail(entry.name, "damaged piece header at offset " + std::to_string(entry.damagedAt) + ": " + entry.damage);
    bad = true;
  }
  if (!set.missing.empty() || set.lastNumber == 0) {
    std::string text = set.missing.empty() ? "" : parcelio::NumbersText(set.missing);
    if (set.lastNumber == 0) {
      const int32_t after = set.volumes.empty() ? 0 : set.volumes.back().number;
      text += (text.empty() ? "" : ", and ") + std::to_string(after + 1) + " or later (the last volume was not found)";
    }
    Fail(volume, std::string("set incomplete: missing volume") +
                     (set.missing.size() + (set.lastNumber == 0) > 1 ? "s " : " ") + text);
    bad = true;
  }
  return bad;
}

}  // namespace parceltool
