// What every command of the parcel tool shares: its messages, exit codes,
// the progress line, and number formatting.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace parceltool {

constexpr int ExitOk = 0;
constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

// What test and join say of a set made without CRCs.
constexpr const char NoCrcsText[] = "no CRCs recorded: contents not checked";

// -q: only errors are shown.
extern bool Quiet;

// "parcel: WHAT: REASON" on standard error; answers ExitFailed.
int Fail(const std::string& what, const std::string& reason);
// The same form, for something the work goes on after.
void Warn(const std::string& what, const std::string& reason);
// A line on standard output, unless quiet.
void Say(const std::string& line);

// A usage error: the message, then where to find help; answers ExitUsage.
int UsageError(const std::string& command, const std::string& message);

// A list of problems of one kind, said as they are found: the first few in
// full, the rest only counted, and "parcel: …and N more" when the list is
// closed (by Close or at the end of its life). Errors go through Fail,
// warnings through Warn.
class ProblemList {
 public:
  static constexpr size_t DefaultShown = 20;
  enum class Kind { Error, Warning };

  explicit ProblemList(Kind kind = Kind::Error, size_t shown = DefaultShown) : kind_(kind), shown_(shown) {}
  ~ProblemList() { Close(); }
  ProblemList(const ProblemList&) = delete;
  ProblemList& operator=(const ProblemList&) = delete;

  // One problem: said in full (through Fail or Warn) while fewer than
  // `shown` have been, else only counted.
  void Add(const std::string& what, const std::string& reason);
  // Counts problems that are only counted, never said one by one.
  void AddUntold(size_t count) { count_ += count; }
  // Says how many were not shown (once for each that was not); the count
  // stays.
  void Close();
  // How many problems were added, said or not; none at all.
  size_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }

 private:
  Kind kind_;
  size_t shown_;
  size_t count_ = 0;
  size_t said_ = 0;  // said one by one
  size_t told_ = 0;  // counted in an "…and N more" line already
};

// A line on standard error that shows how far a long piece of work is,
// only when standard error is a terminal and the tool is not quiet.
class ProgressLine {
 public:
  // Shows nothing yet; total is the work's size in bytes. The line goes
  // when the object does.
  ProgressLine(std::string what, int64_t total);
  ~ProgressLine();
  // "WHAT: N% (done of total)", once the work has taken a second, a few
  // times a second at most.
  void Update(int64_t done);
  void SetTotal(int64_t total) { total_ = total; }
  // Clears the line, if one is shown.
  void Finish();

 private:
  std::string what_;
  int64_t total_;
  bool shown_ = false;
  bool enabled_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

// A size for people: "1.5 MiB", or the bytes below 1 KiB.
std::string SizeText(int64_t bytes);

}  // namespace parceltool

namespace parcelio {
struct SetInfo;
}

namespace parceltool {

// Says what is wrong with a set as read: notes as warnings, damaged volumes
// and missing volume numbers as errors. Answers whether anything was wrong
// (damage, or volumes missing).
bool ReportSetProblems(const parcelio::SetInfo& set, const std::string& volume);

}  // namespace parceltool
