// Recovery slices over GF(2^16): the input slice constants, the slice
// accumulator shared by encoding and decoding (two groups of buffered input
// slices; worker threads each sum a fixed share of the bytes of a group into
// every output), and the choice and inversion of the system a repair solves.
#include "par2/ReedSolomon.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "CRC32/CRC32.h"
#include "par2/GF16.h"

// ------------------------------------------------------------ constants

namespace {

const std::vector<uint16_t>& SliceLogs() {
  static const std::vector<uint16_t> logs = [] {
    std::vector<uint16_t> v;
    v.reserve(MaxInputSlices);
    for (uint32_t n = 1; v.size() < MaxInputSlices; ++n)
      if (n % 3 != 0 && n % 5 != 0 && n % 17 != 0 && n % 257 != 0)
        v.push_back(static_cast<uint16_t>(n));
    return v;
  }();
  return logs;
}

inline uint16_t Coefficient(uint32_t index, uint16_t exponentLog) {
  return GfExp(static_cast<uint32_t>(
      static_cast<uint64_t>(SliceLogs()[index]) * exponentLog % GfOrder));
}

inline uint16_t GetWord(const uint8_t* p, size_t i) {
  return static_cast<uint16_t>(p[2 * i] | p[2 * i + 1] << 8);
}

inline void SetWord(uint8_t* p, size_t i, uint16_t v) {
  p[2 * i] = static_cast<uint8_t>(v);
  p[2 * i + 1] = static_cast<uint8_t>(v >> 8);
}

constexpr size_t Alignment = 64;

size_t RoundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

uint32_t InputSliceLog(uint32_t index) { return SliceLogs()[index]; }

uint16_t InputSliceConstant(uint32_t index) { return GfExp(SliceLogs()[index]); }

uint16_t RecoveryCoefficient(uint32_t index, uint32_t exponent) {
  return Coefficient(index, static_cast<uint16_t>(exponent % GfOrder));
}

// ------------------------------------------------------------ accumulator

namespace {

// Slices per checksum task (the widest MD5 kernel's lanes), and byte ranges
// per worker for the sums (several, so that a worker that is done with the
// hashes takes more of them).
constexpr size_t ChecksumBatch = 16;
constexpr size_t RangesPerThread = 4;

}  // namespace

size_t SliceAccumulator::GroupSlices(size_t sliceBytes) {
  constexpr size_t Budget = 128u << 20;  // both groups together
  constexpr size_t Most = 64;
  const size_t fit = Budget / 2 / std::max<size_t>(RoundUp(sliceBytes, Alignment), 1);
  return std::max<size_t>(1, std::min(Most, fit));
}

SliceAccumulator::SliceAccumulator(size_t sliceBytes, size_t outputs, const Options& options)
    : SliceBytes_(sliceBytes),
      Stride_(RoundUp(std::max<size_t>(sliceBytes, 1), Alignment)),
      GroupSlices_(options.GroupSlices ? options.GroupSlices : GroupSlices(sliceBytes)),
      Options_(options),
      Threads_(options.Threads ? options.Threads
                               : std::max(1u, std::thread::hardware_concurrency())),
      StreamContexts_(options.Streams) {
  // Zeroed memory from calloc, which for large blocks is fresh pages the
  // system zeroes when they are first touched (by the workers, in parallel)
  // rather than a pass over all of it here.
  auto allocate = [&](size_t bytes) {
    void* raw = std::calloc(bytes + Alignment, 1);
    if (raw == nullptr) std::abort();
    Storage_.emplace_back(static_cast<uint8_t*>(raw));
    return reinterpret_cast<uint8_t*>(RoundUp(reinterpret_cast<uintptr_t>(raw), Alignment));
  };
  Outputs_.resize(outputs);
  for (auto& o : Outputs_) o = allocate(Stride_);
  for (Group& g : Groups_) {
    g.Data = allocate(Stride_ * GroupSlices_);
    g.Coefs.resize(outputs * GroupSlices_);
    g.Tags.resize(GroupSlices_);
    g.Streams.resize(GroupSlices_);
    g.Bytes.resize(GroupSlices_);
    g.Sums.resize(GroupSlices_);
  }
  for (unsigned id = 0; id < Threads_; ++id) Workers_.emplace_back(&SliceAccumulator::Worker, this);
}

SliceAccumulator::~SliceAccumulator() {
  {
    std::unique_lock<std::mutex> lock(Mutex_);
    WorkDone_.wait(lock, [&] { return Working_ < 0; });
    Stop_ = true;
  }
  WorkReady_.notify_all();
  for (auto& t : Workers_) t.join();
}

size_t SliceAccumulator::MemoryBytes() const {
  return Stride_ * (Outputs_.size() + 2 * GroupSlices_) +
         2 * Outputs_.size() * GroupSlices_ * sizeof(uint16_t) +
         Checksums_.size() * sizeof(SliceChecksum);
}

uint8_t* SliceAccumulator::Acquire() {
  Group& g = Groups_[Filling_];
  return g.Data + g.Count * Stride_;
}

void SliceAccumulator::Commit(size_t bytes, const uint16_t* column, uint32_t tag, uint32_t stream) {
  Group& g = Groups_[Filling_];
  bytes = std::min(bytes, SliceBytes_);
  uint8_t* slot = g.Data + g.Count * Stride_;
  std::memset(slot + bytes, 0, Stride_ - bytes);
  for (size_t o = 0; o < Outputs_.size(); ++o) g.Coefs[o * GroupSlices_ + g.Count] = column[o];
  g.Tags[g.Count] = tag;
  g.Streams[g.Count] = stream < StreamContexts_.size() ? stream : NoStream;
  g.Bytes[g.Count] = bytes;
  if (++g.Count == GroupSlices_) Submit();
}

// Copies a worked group's checksums out by tag.
void SliceAccumulator::Collect(Group& g) {
  if (!Options_.Checksums) return;
  for (size_t s = 0; s < g.Harvest; ++s) {
    const uint32_t tag = g.Tags[s];
    if (tag >= Checksums_.size()) {
      Checksums_.resize(static_cast<size_t>(tag) + 1);
      Seen_.resize(static_cast<size_t>(tag) + 1);
    }
    Checksums_[tag] = g.Sums[s];
    Seen_[tag] = true;
  }
  g.Harvest = 0;
}

// Hands the filling group to the workers once they are done with the other,
// and fills the other next.
void SliceAccumulator::Submit() {
  Group& g = Groups_[Filling_];
  if (g.Count < GroupSlices_) {  // the matrix's rows are Count long
    for (size_t o = 0; o < Outputs_.size(); ++o)
      for (size_t s = 0; s < g.Count; ++s) g.Coefs[o * g.Count + s] = g.Coefs[o * GroupSlices_ + s];
  }
  const size_t even = SliceBytes_ & ~static_cast<size_t>(1);
  {
    std::unique_lock<std::mutex> lock(Mutex_);
    WorkDone_.wait(lock, [&] { return Working_ < 0; });
    bool streams = false;
    for (size_t s = 0; s < g.Count; ++s) streams = streams || g.Streams[s] != NoStream;
    HashTasks_ = streams ? 1 : 0;
    ChecksumTasks_ = Options_.Checksums ? (g.Count + ChecksumBatch - 1) / ChecksumBatch : 0;
    const size_t ranges = Outputs_.empty() || even == 0 ? 0 : RangesPerThread * Threads_;
    RangeBytes_ = ranges ? RoundUp((even + ranges - 1) / ranges, Alignment) : 0;
    const size_t rangeTasks = RangeBytes_ ? (even + RangeBytes_ - 1) / RangeBytes_ : 0;
    Tasks_ = HashTasks_ + ChecksumTasks_ + rangeTasks;
    NextTask_ = 0;
    Unfinished_ = Tasks_;
    g.Harvest = Options_.Checksums ? g.Count : 0;
    Working_ = Filling_;
    if (Tasks_ == 0) {
      g.Count = 0;
      Working_ = -1;
    }
  }
  WorkReady_.notify_all();
  Filling_ ^= 1;
  // The group now filling was worked on last: its checksums are complete.
  Collect(Groups_[Filling_]);
}

void SliceAccumulator::Finish() {
  if (Groups_[Filling_].Count > 0) Submit();
  {
    std::unique_lock<std::mutex> lock(Mutex_);
    WorkDone_.wait(lock, [&] { return Working_ < 0; });
  }
  Collect(Groups_[0]);
  Collect(Groups_[1]);
}

SliceChecksum SliceAccumulator::Checksum(uint32_t tag) const {
  return tag < Checksums_.size() && Seen_[tag] ? Checksums_[tag] : SliceChecksum{};
}

Md5Digest SliceAccumulator::StreamDigest(uint32_t stream) {
  if (stream >= StreamContexts_.size()) return Md5Digest{};
  const Md5Digest digest = StreamContexts_[stream].Final();
  StreamContexts_[stream].Init();
  return digest;
}

void SliceAccumulator::RunTask(Group& g, size_t task) {
  if (task < HashTasks_) {
    // Each stream's slices in the order committed; streams that have taken
    // the same number of bytes advance together in the MD5 lanes.
    std::vector<std::vector<size_t>> perStream(StreamContexts_.size());
    for (size_t s = 0; s < g.Count; ++s)
      if (g.Streams[s] != NoStream) perStream[g.Streams[s]].push_back(s);
    std::vector<Md5Context*> contexts;
    std::vector<const uint8_t*> data;
    for (size_t round = 0;; ++round) {
      // Slices of one length at a time.
      std::vector<size_t> slots;
      std::vector<uint32_t> owners;
      for (uint32_t st = 0; st < perStream.size(); ++st)
        if (round < perStream[st].size()) {
          slots.push_back(perStream[st][round]);
          owners.push_back(st);
        }
      if (slots.empty()) break;
      std::vector<bool> done(slots.size());
      for (size_t k = 0; k < slots.size(); ++k) {
        if (done[k]) continue;
        contexts.clear();
        data.clear();
        for (size_t j = k; j < slots.size(); ++j)
          if (!done[j] && g.Bytes[slots[j]] == g.Bytes[slots[k]]) {
            contexts.push_back(&StreamContexts_[owners[j]]);
            data.push_back(g.Data + slots[j] * Stride_);
            done[j] = true;
          }
        Md5UpdateTogether(contexts.data(), data.data(), contexts.size(), g.Bytes[slots[k]]);
      }
    }
    return;
  }
  task -= HashTasks_;
  if (task < ChecksumTasks_) {
    const size_t first = task * ChecksumBatch;
    const size_t count = std::min(ChecksumBatch, g.Count - first);
    const uint8_t* data[ChecksumBatch] = {};
    Md5Digest digests[ChecksumBatch];
    for (size_t k = 0; k < count; ++k) data[k] = g.Data + (first + k) * Stride_;
    Md5Many(data, count, SliceBytes_, digests);
    for (size_t k = 0; k < count; ++k) {
      uint32_t crc = 0;
      size_t left = SliceBytes_;
      const uint8_t* p = data[k];
      UpdateCrc32(p, 0, crc, true, false);
      while (left > 0) {
        const size_t take = std::min<size_t>(left, 1u << 30);
        UpdateCrc32(p, static_cast<int32_t>(take), crc, false, false);
        p += take;
        left -= take;
      }
      UpdateCrc32(p, 0, crc, false, true);
      g.Sums[first + k] = SliceChecksum{digests[k], crc};
    }
    return;
  }
  task -= ChecksumTasks_;
  const size_t even = SliceBytes_ & ~static_cast<size_t>(1);
  const size_t begin = task * RangeBytes_;
  const size_t end = std::min(even, begin + RangeBytes_);
  std::vector<const uint8_t*> srcs(g.Count);
  for (size_t s = 0; s < g.Count; ++s) srcs[s] = g.Data + s * Stride_;
  GfMulAddMatrix(g.Coefs.data(), srcs.data(), g.Count, Outputs_.data(), Outputs_.size(), begin,
                 end - begin);
}

void SliceAccumulator::Worker() {
  std::unique_lock<std::mutex> lock(Mutex_);
  for (;;) {
    WorkReady_.wait(lock, [&] { return Stop_ || (Working_ >= 0 && NextTask_ < Tasks_); });
    if (Stop_) return;
    Group& g = Groups_[Working_];
    const size_t task = NextTask_++;
    lock.unlock();
    RunTask(g, task);
    lock.lock();
    if (--Unfinished_ == 0) {
      g.Count = 0;
      Working_ = -1;
      WorkDone_.notify_all();
    }
  }
}

// ------------------------------------------------------------ encoder

namespace {

SliceAccumulator::Options EngineOptions(unsigned threads, size_t groupSlices) {
  SliceAccumulator::Options options;
  options.Threads = threads;
  options.GroupSlices = groupSlices;
  return options;
}

}  // namespace

RecoveryEncoder::RecoveryEncoder(size_t sliceBytes, std::vector<uint32_t> exponents,
                                 unsigned threads, size_t groupSlices)
    : RecoveryEncoder(sliceBytes, std::move(exponents), EngineOptions(threads, groupSlices)) {}

RecoveryEncoder::RecoveryEncoder(size_t sliceBytes, std::vector<uint32_t> exponents,
                                 const SliceAccumulator::Options& options)
    : Exponents_(std::move(exponents)),
      Column_(Exponents_.size()),
      Engine_(sliceBytes, Exponents_.size(), options) {
  for (uint32_t e : Exponents_) Logs_.push_back(static_cast<uint16_t>(e % GfOrder));
}

void RecoveryEncoder::Add(uint32_t index, const void* data, size_t bytes, uint32_t stream) {
  bytes = std::min(bytes, Engine_.SliceBytes());
  std::memcpy(Engine_.Acquire(), data, bytes);
  Commit(index, bytes, stream);
}

void RecoveryEncoder::Commit(uint32_t index, size_t bytes, uint32_t stream) {
  for (size_t k = 0; k < Logs_.size(); ++k) Column_[k] = Coefficient(index, Logs_[k]);
  Engine_.Commit(bytes, Column_.data(), index, stream);
}

// ------------------------------------------------------------ decoder

RecoveryDecoder::RecoveryDecoder(size_t sliceBytes, unsigned threads, size_t groupSlices)
    : SliceBytes_(sliceBytes), Threads_(threads), GroupSlices_(groupSlices) {}

RecoveryDecoder::~RecoveryDecoder() = default;

namespace {

// row ^= factor * other, rows of words words.
void RowMulAdd(uint16_t factor, const uint8_t* other, uint8_t* row, size_t words) {
  if (factor != 0) GfMulAdd(factor, other, row, 2 * words);
}

void RowScale(uint16_t factor, uint8_t* row, std::vector<uint8_t>& scratch, size_t words) {
  scratch.assign(2 * words, 0);
  GfMulAdd(factor, row, scratch.data(), 2 * words);
  std::memcpy(row, scratch.data(), 2 * words);
}

}  // namespace

RecoveryDecoder::PlanResult RecoveryDecoder::Plan(const std::vector<uint32_t>& missing,
                                                  const std::vector<uint32_t>& available) {
  Engine_.reset();
  Missing_ = missing;
  Used_.clear();
  InverseColumns_.clear();
  const size_t m = Missing_.size();
  if (available.size() < m) return PlanResult::TooFew;

  // Choose: each candidate row (the missing slices' coefficients for one
  // exponent) is reduced against the rows chosen so far, and kept when
  // something is left of it.
  std::vector<std::vector<uint8_t>> basis;
  std::vector<size_t> pivots;
  std::vector<uint8_t> scratch;
  for (uint32_t e : available) {
    if (Used_.size() == m) break;
    std::vector<uint8_t> row(2 * m);
    for (size_t c = 0; c < m; ++c) SetWord(row.data(), c, RecoveryCoefficient(Missing_[c], e));
    for (size_t b = 0; b < basis.size(); ++b)
      RowMulAdd(GetWord(row.data(), pivots[b]), basis[b].data(), row.data(), m);
    size_t pivot = 0;
    while (pivot < m && GetWord(row.data(), pivot) == 0) ++pivot;
    if (pivot == m) continue;
    RowScale(GfInv(GetWord(row.data(), pivot)), row.data(), scratch, m);
    basis.push_back(std::move(row));
    pivots.push_back(pivot);
    Used_.push_back(e);
  }
  if (Used_.size() < m) {
    Used_.clear();
    return PlanResult::Singular;
  }

  // Invert A (A[j][c] = coefficient of missing c in recovery Used_[j]) by
  // Gauss-Jordan elimination on [A | I]; it is regular by construction.
  const size_t width = 2 * m;
  std::vector<std::vector<uint8_t>> rows(m, std::vector<uint8_t>(2 * width));
  for (size_t j = 0; j < m; ++j) {
    for (size_t c = 0; c < m; ++c)
      SetWord(rows[j].data(), c, RecoveryCoefficient(Missing_[c], Used_[j]));
    SetWord(rows[j].data(), m + j, 1);
  }
  for (size_t c = 0; c < m; ++c) {
    size_t p = c;
    while (p < m && GetWord(rows[p].data(), c) == 0) ++p;
    if (p == m) {  // cannot happen: the rows were chosen independent
      Used_.clear();
      return PlanResult::Singular;
    }
    std::swap(rows[p], rows[c]);
    RowScale(GfInv(GetWord(rows[c].data(), c)), rows[c].data(), scratch, width);
    for (size_t r = 0; r < m; ++r)
      if (r != c) RowMulAdd(GetWord(rows[r].data(), c), rows[c].data(), rows[r].data(), width);
  }
  // Row c of the right half is row c of the inverse: missing c as a sum of
  // the right-hand sides. Stored by columns, one per recovery slice.
  InverseColumns_.assign(m, std::vector<uint8_t>(2 * m));
  for (size_t c = 0; c < m; ++c)
    for (size_t j = 0; j < m; ++j)
      SetWord(InverseColumns_[j].data(), c, GetWord(rows[c].data(), m + j));

  InverseSources_.clear();
  for (const auto& column : InverseColumns_) InverseSources_.push_back(column.data());
  Column_.assign(m, 0);
  ColumnBytes_.assign(2 * m, 0);
  Engine_ = std::make_unique<SliceAccumulator>(SliceBytes_, m, EngineOptions(Threads_, GroupSlices_));
  return PlanResult::Ready;
}

uint8_t* RecoveryDecoder::Acquire() { return Engine_->Acquire(); }

void RecoveryDecoder::CommitInput(uint32_t index, size_t bytes) {
  // Missing c gets sum over j of inverse[c][j] * coefficient(index, Used_[j]):
  // the inverse's columns weighted and summed in one pass.
  const size_t m = Missing_.size();
  for (size_t j = 0; j < m; ++j) Column_[j] = RecoveryCoefficient(index, Used_[j]);
  std::fill(ColumnBytes_.begin(), ColumnBytes_.end(), 0);
  uint8_t* out = ColumnBytes_.data();
  GfMulAddMatrix(Column_.data(), InverseSources_.data(), m, &out, 1, 0, 2 * m);
  for (size_t c = 0; c < m; ++c) Column_[c] = GetWord(ColumnBytes_.data(), c);
  Engine_->Commit(bytes, Column_.data());
}

bool RecoveryDecoder::CommitRecovery(uint32_t exponent, size_t bytes) {
  const auto it = std::find(Used_.begin(), Used_.end(), exponent);
  if (it == Used_.end()) return false;
  const std::vector<uint8_t>& column = InverseColumns_[it - Used_.begin()];
  for (size_t c = 0; c < Missing_.size(); ++c) Column_[c] = GetWord(column.data(), c);
  Engine_->Commit(bytes, Column_.data());
  return true;
}

void RecoveryDecoder::AddInput(uint32_t index, const void* data, size_t bytes) {
  bytes = std::min(bytes, SliceBytes_);
  std::memcpy(Acquire(), data, bytes);
  CommitInput(index, bytes);
}

void RecoveryDecoder::AddRecovery(uint32_t exponent, const void* data, size_t bytes) {
  if (std::find(Used_.begin(), Used_.end(), exponent) == Used_.end()) return;
  bytes = std::min(bytes, SliceBytes_);
  std::memcpy(Acquire(), data, bytes);
  CommitRecovery(exponent, bytes);
}

void RecoveryDecoder::Finish() {
  if (Engine_) Engine_->Finish();
}

uint8_t* RecoveryDecoder::Slice(size_t k) { return Engine_->Output(k); }

size_t RecoveryDecoder::MemoryBytes() const {
  const size_t m = Missing_.size();
  return (Engine_ ? Engine_->MemoryBytes() : 0) + 2 * m * m;
}
