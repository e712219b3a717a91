// Making PAR 2.0 recovery files (see Par2Create.h).
//
// The data is read once when the recovery slices being summed fit the
// memory budget: each block of an input slice is hashed (file MD5, slice MD5
// and CRC-32) and multiplied into every recovery slice on both threads.
// When they do not fit, the slices are summed a range of bytes at a time
// (one pass over the input per range, after one pass for the hashes), so
// memory stays within the budget whatever the set's size.
#include "parcelio/recovery/Par2Create.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "CRC32/CRC32.h"
#include "par2/MD5.h"
#include "par2/ReedSolomon.h"
#include "parcelio/recovery/Par2Format.h"

namespace parcelio::recovery {

namespace {

constexpr uint64_t TargetSlice = 1u << 20;
constexpr uint64_t Block = 1u << 20;

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }
uint64_t RoundUp4(uint64_t v) { return (v + 3) / 4 * 4; }

uint64_t CountSlices(const std::vector<uint64_t>& sizes, uint64_t slice) {
  uint64_t total = 0;
  for (uint64_t size : sizes) total += CeilDiv(size, slice);
  return total;
}

struct Input {
  std::string name;
  File file;
  uint64_t size = 0;
  uint32_t firstSlice = 0;  // global number of its first slice
  uint32_t slices = 0;
  FileDescPacket desc;
  IfscPacket ifsc;
};

std::string NumberText(uint64_t value, int width) {
  std::string text = std::to_string(value);
  return std::string(text.size() < static_cast<size_t>(width) ? width - text.size() : 0, '0') + text;
}

std::string FoldCase(std::string text) {
  if (NamesIgnoreCase())
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

std::string LowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

}  // namespace

bool ParseRecoveryAmount(const std::string& text, RecoveryAmount& amount) {
  if (text.empty()) return false;
  const bool percent = text.back() == '%';
  const std::string number = percent ? text.substr(0, text.size() - 1) : text;
  if (number.empty() || number.find_first_not_of(percent ? "0123456789." : "0123456789") != std::string::npos ||
      number.size() > 12)
    return false;
  const double value = std::strtod(number.c_str(), nullptr);
  if (!(value > 0) || (percent && value > 1000) || (!percent && value > 32768)) return false;
  amount.percent = percent;
  amount.value = value;
  return true;
}

bool PlanSlices(const std::vector<uint64_t>& fileSizes, uint64_t volumeSize, const RecoveryAmount& amount,
                SlicePlan& plan, std::string& error) {
  uint64_t totalBytes = 0;
  for (uint64_t size : fileSizes) totalBytes += size;
  if (fileSizes.empty() || totalBytes == 0) {
    error = "nothing to protect";
    return false;
  }
  if (fileSizes.size() >= MaxSlices) {
    error = "too many files for recovery data (at most " + std::to_string(MaxSlices - 1) + ")";
    return false;
  }
  volumeSize = std::max<uint64_t>(volumeSize, 1);
  // A whole number of slices per volume: slices of at most about 1 MiB, and
  // at least 64 per volume (of at least 4 KiB) so that a damaged volume keeps
  // most of its slices; fewer and larger ones when the set would have more
  // than the format allows.
  uint64_t perVolume = std::max<uint64_t>(
      {1, CeilDiv(volumeSize, TargetSlice), std::min<uint64_t>(64, volumeSize / 4096)});
  uint64_t slice = 0, total = 0;
  for (;;) {
    slice = RoundUp4(CeilDiv(volumeSize, perVolume));
    total = CountSlices(fileSizes, slice);
    if (total <= MaxSlices) break;
    if (perVolume == 1) {
      // More volumes than slices: slices larger than a volume.
      slice = RoundUp4(CeilDiv(totalBytes, MaxSlices - fileSizes.size()));
      total = CountSlices(fileSizes, slice);
      break;
    }
    const uint64_t smaller = perVolume * MaxSlices / total;
    perVolume = std::max<uint64_t>(1, smaller < perVolume ? smaller : perVolume - 1);
  }
  uint64_t largest = 0;
  for (uint64_t size : fileSizes) largest = std::max(largest, CeilDiv(size, slice));
  uint64_t recovery = 0;
  if (amount.percent) {
    recovery = static_cast<uint64_t>(std::llround(amount.value / 100.0 * static_cast<double>(totalBytes) /
                                                   static_cast<double>(slice)));
    recovery = std::max<uint64_t>(recovery, 1);
  } else {
    recovery = static_cast<uint64_t>(amount.value) * largest;
  }
  if (recovery > MaxSlices) {
    error = "too much recovery data: " + std::to_string(recovery) + " slices of " + std::to_string(slice) +
            " bytes, and the format holds at most " + std::to_string(MaxSlices);
    return false;
  }
  plan.sliceSize = slice;
  plan.inputSlices = static_cast<uint32_t>(total);
  plan.recoverySlices = static_cast<uint32_t>(recovery);
  plan.slicesPerVolume = static_cast<uint32_t>(largest);
  return true;
}

bool IsRecoveryFileOf(const std::string& name, const std::string& base) {
  const std::string key = FoldCase(base);
  if (name.size() < key.size() + 5 || LowerAscii(name.substr(name.size() - 5)) != ".par2") return false;
  const std::string folded = FoldCase(name);
  if (folded.compare(0, key.size(), key) != 0) return false;
  return name.size() == key.size() + 5 || name[key.size()] == '.';
}

std::vector<std::string> RecoveryFilesOf(const fs::path& dir, const std::string& base) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = Utf8Of(it->path().filename());
    if (!IsRecoveryFileOf(name, base)) continue;
    std::error_code typeError;
    if (!it->is_regular_file(typeError)) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool CreateRecovery(const CreateRequest& request, std::vector<std::string>& written, std::string& error) {
  const uint64_t sliceSize = request.sliceSize;
  const uint32_t recoveryCount = request.recoverySlices;
  if (sliceSize == 0 || sliceSize % 4 != 0 || recoveryCount == 0 || recoveryCount > MaxSlices) {
    error = "bad recovery plan";
    return false;
  }

  // The files, their first 16 KiB hashed for their ids, in id order.
  std::vector<Input> inputs(request.files.size());
  std::vector<uint8_t> buffer(Block + 2);
  for (size_t i = 0; i < inputs.size(); ++i) {
    Input& input = inputs[i];
    input.name = request.files[i];
    const std::string& from = i < request.readFrom.size() ? request.readFrom[i] : input.name;
    if (!input.file.Open(request.dir / PathOf(from), File::Mode::Read)) {
      error = input.name + ": " + LastErrorText();
      return false;
    }
    const int64_t size = input.file.Size();
    const int64_t head = size < 0 ? -1 : input.file.ReadAt(0, buffer.data(), std::min<int64_t>(size, 16384));
    if (size < 0 || head != std::min<int64_t>(size, 16384)) {
      error = input.name + ": " + LastErrorText();
      return false;
    }
    input.size = static_cast<uint64_t>(size);
    input.desc.md5First16k = Md5Of(buffer.data(), static_cast<size_t>(head));
    input.desc.length = input.size;
    input.desc.name = input.name;
    input.desc.id = FileId(input.desc.md5First16k, input.size, input.name);
    input.ifsc.id = input.desc.id;
  }
  std::sort(inputs.begin(), inputs.end(), [](const Input& a, const Input& b) {
    return std::lexicographical_compare(a.desc.id.rbegin(), a.desc.id.rend(), b.desc.id.rbegin(), b.desc.id.rend());
  });
  uint64_t totalSlices = 0, totalBytes = 0;
  for (Input& input : inputs) {
    input.firstSlice = static_cast<uint32_t>(std::min<uint64_t>(totalSlices, MaxSlices));
    input.slices = static_cast<uint32_t>(std::min<uint64_t>(CeilDiv(input.size, sliceSize), MaxSlices + 1));
    totalSlices += input.slices;
    totalBytes += input.size;
  }
  if (totalSlices > MaxSlices) {
    error = "too many slices (" + std::to_string(totalSlices) + ")";
    return false;
  }

  MainPacket main;
  main.sliceSize = sliceSize;
  for (const Input& input : inputs) main.recoveryIds.push_back(input.desc.id);
  const Bytes mainBody = MainBody(main);
  const Md5Digest setId = SetIdOf(mainBody);

  // The recovery slices being summed: a range of each at a time.
  uint64_t chunk = sliceSize;
  if (chunk * recoveryCount > request.memoryBudget)
    chunk = std::max<uint64_t>(64, request.memoryBudget / recoveryCount / 64 * 64);
  const uint64_t passes = CeilDiv(sliceSize, chunk);
  // The recovery packets' MD5s, hashed side by side as the slices are made.
  Md5Multi packetMd5(recoveryCount);
  for (uint32_t e = 0; e < recoveryCount; ++e) {
    uint8_t head[36];
    std::memcpy(head, setId.data(), 16);
    std::memcpy(head + 16, TypeBytes(PacketType::RecoverySlice), 16);
    const uint8_t exponent[4] = {static_cast<uint8_t>(e), static_cast<uint8_t>(e >> 8), 0, 0};
    std::memcpy(head + 32, exponent, 4);
    packetMd5.Update(e, head, sizeof head);
  }

  // The recovery files: their names, and where each slice's data goes.
  const uint32_t perFile = std::max<uint32_t>(1, request.slicesPerFile);
  struct Output {
    std::string name;
    std::unique_ptr<PendingFile> pending;
    File& file() { return pending->file(); }
    uint32_t first = 0, count = 0;
    uint64_t indexPos = 0;  // where the index packets go, after the slices
  };
  std::vector<Output> outputs(1);
  outputs[0].name = request.base + ".par2";
  // Every name's numbers have the digits of the largest (at least two).
  int width = 2;
  {
    const uint64_t lastFirst = (recoveryCount - 1) / perFile * perFile;
    for (uint64_t largest = std::max<uint64_t>(lastFirst, std::min(perFile, recoveryCount)); largest >= 100;
         largest /= 10)
      ++width;
  }
  for (uint32_t first = 0; first < recoveryCount; first += perFile) {
    Output out;
    out.first = first;
    out.count = std::min(perFile, recoveryCount - first);
    out.name = request.base + ".vol" + NumberText(first, width) + "+" + NumberText(out.count, width) + ".par2";
    out.indexPos = out.count * (PacketHeaderSize + 4 + sliceSize);
    outputs.push_back(std::move(out));
  }
  // Each under its temporary name, created exclusively; a failure or an
  // interruption removes it (PendingFile).
  auto folder = std::make_shared<Dir>();
  if (!folder->Open(request.dir)) {
    error = Utf8Of(request.dir) + ": " + LastErrorText();
    return false;
  }
  for (Output& out : outputs) {
    out.pending = std::make_unique<PendingFile>();
    if (!out.pending->Create(folder, out.name)) {
      error = out.name + ": " + LastErrorText();
      return false;
    }
  }
  auto outputOf = [&](uint32_t exponent) -> Output& { return outputs[1 + exponent / perFile]; };
  auto dataPos = [&](uint32_t exponent) {
    return (exponent % perFile) * (PacketHeaderSize + 4 + sliceSize) + PacketHeaderSize + 4;
  };

  const uint64_t work = totalBytes * (passes + (passes > 1 ? 1 : 0));
  uint64_t done = 0;
  auto readFailed = [&](const Input& input) {
    error = input.name + ": " + LastErrorText();
    return false;
  };

  // The hashes: with the sums when one pass does it all, else a pass alone.
  auto hashBlock = [](Input& input, Md5Stream& file, Md5Stream& slice, uint32_t& crc, const uint8_t* data,
                      uint64_t size, uint64_t posInSlice) {
    file.Update(data, static_cast<size_t>(size));
    slice.Update(data, static_cast<size_t>(size));
    UpdateCrc32(data, static_cast<int32_t>(size), crc, posInSlice == 0, false);
    (void)input;
  };
  auto finishSlice = [&](Input& input, Md5Stream& slice, uint32_t& crc, uint64_t filled) {
    // A slice that the file ends in is hashed as if padded with zeros.
    std::vector<uint8_t> zeros(static_cast<size_t>(std::min<uint64_t>(sliceSize - filled, Block)));
    for (uint64_t left = sliceSize - filled; left > 0;) {
      const uint64_t take = std::min<uint64_t>(left, zeros.size());
      slice.Update(zeros.data(), static_cast<size_t>(take));
      UpdateCrc32(zeros.data(), static_cast<int32_t>(take), crc, filled == 0 && left == sliceSize, false);
      left -= take;
    }
    UpdateCrc32(nullptr, 0, crc, false, true);
    input.ifsc.slices.push_back(SliceCheck{slice.Final(), crc});
  };

  if (passes > 1) {
    for (Input& input : inputs) {
      Md5Stream fileMd5, sliceMd5;
      uint32_t crc = 0;
      for (uint64_t s = 0; s < input.slices; ++s) {
        const uint64_t start = s * sliceSize, end = std::min(input.size, start + sliceSize);
        for (uint64_t at = start; at < end;) {
          const uint64_t want = std::min(Block, end - at);
          if (input.file.ReadAt(static_cast<int64_t>(at), buffer.data(), static_cast<int64_t>(want)) !=
              static_cast<int64_t>(want))
            return readFailed(input);
          hashBlock(input, fileMd5, sliceMd5, crc, buffer.data(), want, at - start);
          at += want;
          done += want;
          if (request.progress) request.progress(done, work);
        }
        finishSlice(input, sliceMd5, crc, end - start);
      }
      input.desc.md5 = fileMd5.Final();
    }
  }

  // The sums: one encoder per pass (of that range of every slice), which
  // also makes the slices' checksums and the files' MD5s in a single pass.
  std::vector<uint32_t> exponents(recoveryCount);
  for (uint32_t e = 0; e < recoveryCount; ++e) exponents[e] = e;
  std::vector<const uint8_t*> sliceData(recoveryCount);
  for (uint64_t pass = 0; pass < passes; ++pass) {
    const uint64_t from = pass * chunk, to = std::min(sliceSize, from + chunk);
    SliceAccumulator::Options options;
    options.Checksums = passes == 1;
    options.Streams = passes == 1 ? inputs.size() : 0;
    RecoveryEncoder encoder(static_cast<size_t>(to - from), exponents, options);
    for (size_t f = 0; f < inputs.size(); ++f) {
      Input& input = inputs[f];
      for (uint32_t s = 0; s < input.slices; ++s) {
        const uint64_t start = static_cast<uint64_t>(s) * sliceSize;
        const uint64_t end = std::min(input.size, start + to);
        const uint64_t want = end > start + from ? end - start - from : 0;
        uint8_t* slot = encoder.Acquire();
        if (want > 0 && input.file.ReadAt(static_cast<int64_t>(start + from), slot, static_cast<int64_t>(want)) !=
                            static_cast<int64_t>(want))
          return readFailed(input);
        encoder.Commit(input.firstSlice + s, static_cast<size_t>(want),
                       passes == 1 ? static_cast<uint32_t>(f) : SliceAccumulator::NoStream);
        done += want;
        if (request.progress) request.progress(done, work);
      }
    }
    encoder.Finish();
    if (passes == 1) {
      for (size_t f = 0; f < inputs.size(); ++f) {
        Input& input = inputs[f];
        for (uint32_t s = 0; s < input.slices; ++s) {
          const SliceChecksum sum = encoder.Checksum(input.firstSlice + s);
          input.ifsc.slices.push_back(SliceCheck{sum.Md5, sum.Crc32});
        }
        input.desc.md5 = encoder.StreamDigest(static_cast<uint32_t>(f));
      }
    }
    for (uint32_t e = 0; e < recoveryCount; ++e) sliceData[e] = encoder.Slice(e);
    packetMd5.Update(sliceData.data(), static_cast<size_t>(to - from));
    for (uint32_t e = 0; e < recoveryCount; ++e) {
      Output& out = outputOf(e);
      if (!out.file().WriteAt(static_cast<int64_t>(dataPos(e) + from), encoder.Slice(e), static_cast<int64_t>(to - from))) {
        error = out.name + ": " + LastErrorText();
        return false;
      }
    }
  }

  // The headers of the recovery packets, then the index in every file.
  Bytes index = BuildPacket(setId, PacketType::Main, mainBody);
  for (const Input& input : inputs) {
    const Bytes desc = BuildPacket(setId, PacketType::FileDesc, FileDescBody(input.desc));
    index.insert(index.end(), desc.begin(), desc.end());
  }
  for (const Input& input : inputs) {
    const Bytes ifsc = BuildPacket(setId, PacketType::Ifsc, IfscBody(input.ifsc));
    index.insert(index.end(), ifsc.begin(), ifsc.end());
  }
  const Bytes creator = BuildPacket(setId, PacketType::Creator, CreatorBody(request.creator));
  index.insert(index.end(), creator.begin(), creator.end());
  for (uint32_t e = 0; e < recoveryCount; ++e) {
    Bytes head = RecoverySliceHeader(setId, sliceSize, packetMd5.Final(e));
    for (int i = 0; i < 4; ++i) head.push_back(static_cast<uint8_t>(e >> (8 * i)));
    Output& out = outputOf(e);
    if (!out.file().WriteAt(static_cast<int64_t>(dataPos(e) - PacketHeaderSize - 4), head.data(),
                          static_cast<int64_t>(head.size()))) {
      error = out.name + ": " + LastErrorText();
      return false;
    }
  }
  for (Output& out : outputs) {
    if (!out.file().WriteAt(static_cast<int64_t>(out.indexPos), index.data(), static_cast<int64_t>(index.size()))) {
      error = out.name + ": " + LastErrorText();
      return false;
    }
    if (request.sync && !out.file().Sync()) {
      error = out.name + ": " + LastErrorText();
      return false;
    }
    out.file().Close();
  }
  for (Output& out : outputs) {
    if (request.pending) {
      request.pending->push_back(std::move(out.pending));
    } else {
      if (!out.pending->Place(true)) {
        error = out.name + ": " + LastErrorText();
        return false;
      }
    }
    written.push_back(out.name);
  }
  return true;
}

}  // namespace parcelio::recovery
