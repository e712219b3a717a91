// Reed-Solomon coding of recovery slices over GF(2^16).
//
// Input slice k (counting from 0 across the files in the order of the set's
// index) has the constant c_k = 2^n_k, n_k being the k-th exponent n >= 1
// with n % 3, n % 5, n % 17 and n % 257 all nonzero (so that c_k has order
// 65535). The recovery slice with exponent e is, word by word,
//     R_e = sum over k of c_k^e * D_k
// where D_k is input slice k as 16-bit little-endian words, zero-padded to
// the slice size.
//
// RecoveryEncoder sums streamed input slices into a chosen set of recovery
// slices; RecoveryDecoder solves for missing input slices from the present
// ones and enough recovery slices. Both take their slices from one reading
// thread, in any order, and share the arithmetic among worker threads: each
// worker takes a fixed share of every slice's bytes, so no thread is started
// per slice or per block.
//
// Memory: the results (one slice each) plus two groups of buffered input
// slices (see GroupSlices), and for the decoder the inverse matrix (2 M^2
// bytes for M missing slices). The arithmetic is the same on every byte
// position, so a caller that must hold less can run several passes, each over
// one byte range of every slice (an encoder of that range's size, fed that
// range of every input slice, gives that range of the recovery slices).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "par2/MD5.h"

constexpr uint32_t MaxInputSlices = 32768;

// n_k, and the constant 2^n_k, of input slice index (< MaxInputSlices).
uint32_t InputSliceLog(uint32_t index);
uint16_t InputSliceConstant(uint32_t index);
// c_index ^ exponent: how much input slice index weighs in recovery slice
// exponent.
uint16_t RecoveryCoefficient(uint32_t index, uint32_t exponent);

// MD5 and CRC-32 of a whole input slice, zero-padded to the slice size (as a
// set's index lists them).
struct SliceChecksum {
  Md5Digest Md5{};
  uint32_t Crc32 = 0;
};

// Sums whole slices, each weighted by a column of coefficients (one per
// output), into outputs. The engine behind the encoder and the decoder.
//
// The slices of a group are shared among the worker threads as tasks taken
// in turn: first the MD5 streams the slices continue (see Commit), then the
// slices' own checksums in batches, then the sums in byte ranges of every
// slice. Each output byte is thus read and written once per group.
class SliceAccumulator {
 public:
  struct Options {
    unsigned Threads = 0;      // 0: one per processor
    size_t GroupSlices = 0;    // 0: GroupSlices(sliceBytes)
    bool Checksums = false;    // SliceChecksum of every committed slice
    size_t Streams = 0;        // MD5 streams that slices can continue
  };
  static constexpr uint32_t NoStream = UINT32_MAX;

  SliceAccumulator(size_t sliceBytes, size_t outputs, const Options& options);
  ~SliceAccumulator();
  SliceAccumulator(const SliceAccumulator&) = delete;
  SliceAccumulator& operator=(const SliceAccumulator&) = delete;

  // A buffer of SliceBytes() to fill with the next slice; waits while both
  // groups are being worked on.
  uint8_t* Acquire();
  // The buffer from Acquire holds bytes bytes of a slice (the rest of it is
  // taken as zeros); column[o] is its weight in output o. tag names the
  // slice's checksum (Checksums); the bytes (not the padding) continue MD5
  // stream `stream` unless it is NoStream, after the slices committed to it
  // before.
  void Commit(size_t bytes, const uint16_t* column, uint32_t tag = 0, uint32_t stream = NoStream);
  // Waits until every committed slice is summed and hashed.
  void Finish();

  size_t SliceBytes() const { return SliceBytes_; }
  size_t Outputs() const { return Outputs_.size(); }
  uint8_t* Output(size_t o) { return Outputs_[o]; }
  // After Finish: the checksum of the slice committed with tag (a default
  // one for a tag never committed), and the digest of a stream.
  SliceChecksum Checksum(uint32_t tag) const;
  Md5Digest StreamDigest(uint32_t stream);
  size_t MemoryBytes() const;
  // The default number of slices buffered per group: up to 64, within 128
  // MiB for both groups.
  static size_t GroupSlices(size_t sliceBytes);

 private:
  struct Group {
    uint8_t* Data = nullptr;
    std::vector<uint16_t> Coefs;  // [output][slot]
    std::vector<uint32_t> Tags, Streams;
    std::vector<size_t> Bytes;
    std::vector<SliceChecksum> Sums;
    size_t Count = 0;
    size_t Harvest = 0;  // checksums not yet copied out
  };
  void Submit();
  void Collect(Group& g);
  void Worker();
  void RunTask(Group& g, size_t task);

  size_t SliceBytes_;
  size_t Stride_;
  size_t GroupSlices_;
  Options Options_;
  std::vector<uint8_t*> Outputs_;
  Group Groups_[2];
  int Filling_ = 0;
  unsigned Threads_;
  std::vector<std::thread> Workers_;
  std::mutex Mutex_;
  std::condition_variable WorkReady_;
  std::condition_variable WorkDone_;
  // The group being worked on, its tasks (handed out in order), how many are
  // still running or waiting, and the sums' share per task.
  int Working_ = -1;
  size_t Tasks_ = 0, NextTask_ = 0, Unfinished_ = 0;
  size_t HashTasks_ = 0, ChecksumTasks_ = 0, RangeBytes_ = 0;
  bool Stop_ = false;
  std::vector<Md5Context> StreamContexts_;
  std::vector<SliceChecksum> Checksums_;
  std::vector<bool> Seen_;
  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  std::vector<std::unique_ptr<uint8_t, Free>> Storage_;
};

class RecoveryEncoder {
 public:
  // Recovery slices of sliceBytes (even) for the given exponents. With
  // options.Checksums, the SliceChecksum of every input slice as well; with
  // options.Streams, MD5 streams (a file's digest, say) fed by the slices.
  RecoveryEncoder(size_t sliceBytes, std::vector<uint32_t> exponents, unsigned threads = 0,
                  size_t groupSlices = 0);
  RecoveryEncoder(size_t sliceBytes, std::vector<uint32_t> exponents,
                  const SliceAccumulator::Options& options);

  // Adds input slice index: bytes (<= SliceBytes) of data, zero-padded. The
  // data is copied; slices may come in any order, each once.
  void Add(uint32_t index, const void* data, size_t bytes,
           uint32_t stream = SliceAccumulator::NoStream);
  // The same without the copy: read the slice into Acquire()'s buffer, then
  // Commit it.
  uint8_t* Acquire() { return Engine_.Acquire(); }
  // stream: the MD5 stream the slice's bytes continue (see
  // SliceAccumulator::Commit); a file's slices go to its stream in order.
  void Commit(uint32_t index, size_t bytes, uint32_t stream = SliceAccumulator::NoStream);
  // Waits for the work; then Slice(k) is the recovery slice of Exponent(k).
  void Finish() { Engine_.Finish(); }
  SliceChecksum Checksum(uint32_t index) const { return Engine_.Checksum(index); }
  Md5Digest StreamDigest(uint32_t stream) { return Engine_.StreamDigest(stream); }

  size_t Count() const { return Exponents_.size(); }
  uint32_t Exponent(size_t k) const { return Exponents_[k]; }
  uint8_t* Slice(size_t k) { return Engine_.Output(k); }
  size_t SliceBytes() const { return Engine_.SliceBytes(); }
  size_t MemoryBytes() const { return Engine_.MemoryBytes(); }

 private:
  std::vector<uint32_t> Exponents_;
  std::vector<uint16_t> Logs_;  // exponents mod 65535
  std::vector<uint16_t> Column_;
  SliceAccumulator Engine_;
};

// The missing input slices, from the present input slices and recovery
// slices, in three steps: Plan (choose recovery slices and invert), feed
// every present input slice and every recovery slice of UsedExponents, then
// Finish.
class RecoveryDecoder {
 public:
  RecoveryDecoder(size_t sliceBytes, unsigned threads = 0, size_t groupSlices = 0);
  ~RecoveryDecoder();

  enum class PlanResult { Ready, TooFew, Singular };
  // missing: the input slices to rebuild (distinct, < MaxInputSlices);
  // available: exponents of the recovery slices at hand (distinct). Chooses
  // missing.size() of them, in the order given, skipping any that would
  // leave the system unsolvable. TooFew: fewer available than missing;
  // Singular: no such choice among them.
  PlanResult Plan(const std::vector<uint32_t>& missing, const std::vector<uint32_t>& available);
  const std::vector<uint32_t>& Missing() const { return Missing_; }
  const std::vector<uint32_t>& UsedExponents() const { return Used_; }

  // Every input slice that is not missing, and the recovery slices of
  // UsedExponents, in any order (bytes <= SliceBytes, zero-padded).
  void AddInput(uint32_t index, const void* data, size_t bytes);
  void AddRecovery(uint32_t exponent, const void* data, size_t bytes);
  uint8_t* Acquire();
  void CommitInput(uint32_t index, size_t bytes);
  // false when exponent is not one of UsedExponents (nothing is added).
  bool CommitRecovery(uint32_t exponent, size_t bytes);
  void Finish();
  // After Finish: the rebuilt input slice Missing()[k].
  uint8_t* Slice(size_t k);
  size_t SliceBytes() const { return SliceBytes_; }
  size_t MemoryBytes() const;

 private:
  size_t SliceBytes_;
  unsigned Threads_;
  size_t GroupSlices_;
  std::vector<uint32_t> Missing_;
  std::vector<uint32_t> Used_;
  // Inverse of the chosen system, column j (for recovery slice Used_[j]) as
  // M little-endian words.
  std::vector<std::vector<uint8_t>> InverseColumns_;
  std::vector<const uint8_t*> InverseSources_;
  std::vector<uint16_t> Column_;
  std::vector<uint8_t> ColumnBytes_;
  std::unique_ptr<SliceAccumulator> Engine_;
};
