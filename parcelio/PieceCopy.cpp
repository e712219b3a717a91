// The piece copy engine: one copy loop over blocks; for large copies with a
// target, each next block is read (and run through the CRC) by the run's one
// reader thread while the current block is written, so a verified copy takes
// about what an unverified one does.
#include "parcelio/PieceCopy.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "CRC32/CRC32.h"

namespace parcelio {

namespace {

// Small steps keep the CRC and the write working on data still in the
// processor's cache; copies from AheadFrom bytes up read ahead in larger
// blocks.
constexpr int64_t CopyStep = 256 * 1024;
constexpr int64_t AheadFrom = 4 * 1024 * 1024;
constexpr int64_t AheadStep = 2 * 1024 * 1024;

// One block of a copy: what to read, and what the read gave.
struct Block {
  File* source = nullptr;
  int64_t position = 0;  // in the source
  int64_t offset = 0;    // from the start of the range
  int64_t want = 0;
  int64_t size = 0;      // the range's size (the CRC's last block ends it)
  uint32_t* crc = nullptr;
  uint8_t* data = nullptr;
  int64_t got = 0;       // bytes read; 0 at an early end, -1 on a failed read
  std::string reason;    // the system's reason when got < 0
  bool done = false;
};

// Reads the block and runs what was read through the CRC; the reason for a
// failure is taken on the thread that read.
void ReadAndCheck(Block& block) {
  block.got = block.source->ReadAt(block.position, block.data, block.want);
  if (block.got < 0) {
    block.reason = LastErrorText();
  } else if (block.got > 0) {
    UpdateCrc32(block.data, static_cast<int32_t>(block.got), *block.crc, block.offset == 0,
                block.offset + block.got == block.size);
  }
}

// The run's one reader thread, started at the first large copy and fed by a
// queue of blocks, which it reads in order.
class Reader {
 public:
  ~Reader() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // Queues a block to be read; Wait tells when it is.
  void Submit(Block& block) {
    if (!thread_.joinable()) thread_ = std::thread([this] { Work(); });
    {
      std::lock_guard<std::mutex> hold(lock_);
      block.done = false;
      queue_.push_back(&block);
    }
    wake_.notify_all();
  }

  // Waits until the block submitted has been read.
  void Wait(const Block& block) {
    std::unique_lock<std::mutex> hold(lock_);
    finished_.wait(hold, [&] { return block.done; });
  }

 private:
  void Work() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      wake_.wait(hold, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, nothing left
      Block* block = queue_.front();
      queue_.pop_front();
      hold.unlock();
      ReadAndCheck(*block);
      hold.lock();
      block->done = true;
      finished_.notify_all();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;      // a block was queued, or the run ends
  std::condition_variable finished_;  // a block was read
  std::deque<Block*> queue_;
  bool stop_ = false;
  std::thread thread_;
};

Reader& TheReader() {
  static Reader reader;
  return reader;
}

// Two buffers for the whole run, grown to the largest step used.
uint8_t* BlockBuffer(int which, int64_t size) {
  static std::unique_ptr<uint8_t[]> buffers[2];
  static int64_t sizes[2] = {0, 0};
  if (sizes[which] < size) {
    buffers[which].reset(new uint8_t[size]);
    sizes[which] = size;
  }
  return buffers[which].get();
}

}  // namespace

CopyResult CopyRange(File& source, int64_t sourcePos, File* target, int64_t targetPos,
                     int64_t size, const Progress& progress) {
  CopyResult result;
  if (size <= 0) {
    result.ok = true;
    return result;
  }
  const int64_t sourceSize = source.Size();
  const int64_t available = std::max<int64_t>(0, std::min(size, sourceSize - sourcePos));
  const bool ahead = target != nullptr && available >= AheadFrom;
  const int64_t step = ahead ? AheadStep : CopyStep;

  Block blocks[2];
  int64_t asked = 0;  // bytes of the range asked of the source so far
  // Sets the next block up and has it read: by the reader thread when
  // reading ahead, here otherwise.
  auto request = [&](Block& block, int which) {
    block = Block{};
    block.source = &source;
    block.offset = asked;
    block.position = sourcePos + asked;
    block.want = std::min(step, available - asked);
    block.size = size;
    block.crc = &result.crc;
    block.data = BlockBuffer(which, step);
    asked += block.want;
    if (ahead) {
      TheReader().Submit(block);
    } else {
      ReadAndCheck(block);
    }
  };

  if (available > 0) request(blocks[0], 0);
  for (int current = 0; result.copied < available; current ^= 1) {
    Block& block = blocks[current];
    if (ahead) TheReader().Wait(block);
    if (block.got <= 0) {
      result.readFailed = true;
      result.reason = block.got < 0 ? block.reason : "unexpected end of file";
      return result;
    }
    // A block that came short ends the reading: the source ended early.
    const bool more = block.got == block.want && asked < available;
    if (more && ahead) request(blocks[current ^ 1], current ^ 1);
    const bool written =
        target == nullptr || target->WriteAt(targetPos + result.copied, block.data, block.got);
    if (!written) {
      result.reason = LastErrorText();
      if (more && ahead) TheReader().Wait(blocks[current ^ 1]);
      return result;
    }
    result.copied += block.got;
    if (progress) progress(result.copied);
    if (!more) break;
    if (!ahead) request(blocks[current ^ 1], current ^ 1);
  }
  if (result.copied < size) {
    result.readFailed = true;
    result.reason = "unexpected end of file";
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace parcelio
