// The recovery files' own rules: packets that fail any check are skipped
// while their neighbours are found, the slice plan, the names, and a full
// make-damage-repair round trip where the memory budget forces several
// passes over the data (on both builds).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/TestSupport.h"
#include "parcelio/recovery/Par2Create.h"
#include "parcelio/recovery/Par2Format.h"
#include "parcelio/recovery/Par2Repair.h"

namespace {

namespace fs = std::filesystem;
using namespace parcelio::recovery;
using Packet = parcelio::recovery::Bytes;

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed * 2654435761u + 7u;
  for (auto& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

Found ScanBytes(const Packet& data) {
  Found found;
  ScanPackets(
      [&](uint64_t pos, uint8_t* buffer, uint64_t count) -> int64_t {
        if (pos >= data.size()) return 0;
        const uint64_t n = std::min<uint64_t>(count, data.size() - pos);
        std::memcpy(buffer, data.data() + pos, static_cast<size_t>(n));
        return static_cast<int64_t>(n);
      },
      data.size(), 0, found);
  return found;
}

Packet SampleIndex(Md5Digest& setId) {
  MainPacket main;
  main.sliceSize = 64;
  FileDescPacket desc;
  desc.md5First16k = Md5Of("abc", 3);
  desc.length = 100;
  desc.name = "x.s01";
  desc.id = FileId(desc.md5First16k, desc.length, desc.name);
  main.recoveryIds.push_back(desc.id);
  const Packet mainBody = MainBody(main);
  setId = SetIdOf(mainBody);
  IfscPacket ifsc;
  ifsc.id = desc.id;
  ifsc.slices.resize(2);
  Packet all = BuildPacket(setId, PacketType::Main, mainBody);
  for (const Packet& packet : {BuildPacket(setId, PacketType::FileDesc, FileDescBody(desc)),
                              BuildPacket(setId, PacketType::Ifsc, IfscBody(ifsc)),
                              BuildPacket(setId, PacketType::Creator, CreatorBody("test"))})
    all.insert(all.end(), packet.begin(), packet.end());
  return all;
}

TEST(Par2Packets, SoundPacketsAreFoundAtAnyOffsetAmongJunk) {
  Md5Digest setId;
  const Packet index = SampleIndex(setId);
  // Not aligned, and a magic with nothing after it at the end.
  Packet data(3 + index.size() + 8, 1);
  std::copy(index.begin(), index.end(), data.begin() + 3);
  std::copy(index.begin(), index.begin() + 8, data.end() - 8);
  const Found found = ScanBytes(data);
  EXPECT_EQ(found.mains.size(), 1u);
  EXPECT_EQ(found.descs.size(), 1u);
  ASSERT_EQ(found.ifscs.size(), 1u);
  EXPECT_EQ(found.ifscs[0].second.slices.size(), 2u);
  EXPECT_EQ(found.creators, std::vector<std::string>{"test"});
  EXPECT_EQ(found.mains[0].first, setId);
  RecoverySet set;
  std::string error;
  ASSERT_TRUE(AssembleSet(found, set, error)) << error;
  ASSERT_EQ(set.files.size(), 1u);
  EXPECT_EQ(set.files[0].desc.name, "x.s01");
  EXPECT_EQ(set.files[0].sliceCount, 2u);
}

// Each damage spoils one packet; the others are still found.
TEST(Par2Packets, DamagedPacketsAreSkipped) {
  Md5Digest setId;
  const Packet index = SampleIndex(setId);
  const size_t mainLength = static_cast<size_t>(index[8]);
  struct Case {
    const char* what;
    size_t at;
    uint8_t value;
  } cases[] = {
      {"a body byte (the MD5 no longer matches)", 64 + 2, 0xFF},
      {"the packet MD5", 20, 0x55},
      {"a length not a multiple of 4", 8, static_cast<uint8_t>(mainLength + 1)},
      {"a length below the header", 8, 8},
      {"a length past the end", 14, 0x7F},
      {"the set id", 40, 0x01},
  };
  for (const Case& c : cases) {
    Packet data = index;
    data[c.at] ^= c.value == 0 ? 1 : c.value;
    if (c.at == 8) data[8] = c.value;
    const Found found = ScanBytes(data);
    EXPECT_EQ(found.mains.size(), 0u) << c.what;
    EXPECT_EQ(found.descs.size(), 1u) << c.what;
    EXPECT_EQ(found.ifscs.size(), 1u) << c.what;
    EXPECT_GE(found.badPackets, 1u) << c.what;
  }
}

TEST(Par2Packets, MalformedBodiesAreRefused) {
  MainPacket main;
  // slice size 0; slice size not a multiple of 4; more files than ids.
  const uint8_t zeroSlice[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(ParseMain(zeroSlice, sizeof zeroSlice, main));
  const uint8_t oddSlice[12] = {6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(ParseMain(oddSlice, sizeof oddSlice, main));
  const uint8_t tooMany[12] = {4, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_FALSE(ParseMain(tooMany, sizeof tooMany, main));
  IfscPacket ifsc;
  const std::vector<uint8_t> ragged(16 + 19, 0);
  EXPECT_FALSE(ParseIfsc(ragged.data(), ragged.size(), ifsc));
  FileDescPacket desc;
  const std::vector<uint8_t> nameless(56 + 4, 0);
  EXPECT_FALSE(ParseFileDesc(nameless.data(), nameless.size(), desc));
}

TEST(Par2Math, InputSliceConstantsAreThePublishedOnes) {
  const uint16_t expected[] = {2, 4, 16, 128, 256, 2048, 8192, 16384, 4107, 32856, 17132};
  for (uint32_t i = 0; i < sizeof expected / sizeof expected[0]; ++i) EXPECT_EQ(InputSliceConstant(i), expected[i]) << i;
}

TEST(Par2Plan, WholeVolumesAreWholeSlices) {
  struct Case {
    std::vector<uint64_t> sizes;
    uint64_t volume;
    const char* amount;
    uint64_t slice;
    uint32_t perVolume, recovery;
  } cases[] = {
      // 8 volumes of 128 MiB: 1 MiB slices; 10% of the set.
      {std::vector<uint64_t>(8, 128u << 20), 128u << 20, "10%", 1u << 20, 128, 102},
      // Two volumes' worth, the last one short: 64 slices per volume.
      {{3u << 20, 3u << 20, 1000}, 3u << 20, "2", 49152, 64, 128},
      // Small volumes: 64 slices each (volume 1000003 bytes: slices of 15628).
      {{1000003, 1000003, 5}, 1000003, "1", 15628, 64, 64},
      // Tiny volumes: one slice each, a multiple of 4.
      {{1001, 1001, 10}, 1001, "3", 1004, 1, 3},
      // Many volumes: the slice count stays within the format.
      {std::vector<uint64_t>(1000, 10u << 20), 10u << 20, "1", 327680, 32, 32},
  };
  for (const Case& c : cases) {
    RecoveryAmount amount;
    ASSERT_TRUE(ParseRecoveryAmount(c.amount, amount));
    SlicePlan plan;
    std::string error;
    ASSERT_TRUE(PlanSlices(c.sizes, c.volume, amount, plan, error)) << error;
    EXPECT_EQ(plan.sliceSize, c.slice) << c.volume;
    EXPECT_EQ(plan.slicesPerVolume, c.perVolume) << c.volume;
    EXPECT_EQ(plan.recoverySlices, c.recovery) << c.volume;
    EXPECT_EQ(plan.sliceSize % 4, 0u);
    EXPECT_LE(plan.inputSlices, MaxSlices);
  }
  // More recovery data than the format holds.
  RecoveryAmount amount;
  ASSERT_TRUE(ParseRecoveryAmount("300", amount));
  SlicePlan plan;
  std::string error;
  EXPECT_FALSE(PlanSlices(std::vector<uint64_t>(8, 128u << 20), 128u << 20, amount, plan, error));
  EXPECT_NE(error.find("too much"), std::string::npos);
}

TEST(Par2Names, AmountsAndBases) {
  const char* good[] = {"1", "2", "10%", "0.5%", "100%"};
  const char* bad[] = {"", "0", "%", "-1", "x", "1x", "0%", "2000%", "1.5"};
  RecoveryAmount amount;
  for (const char* text : good) EXPECT_TRUE(ParseRecoveryAmount(text, amount)) << text;
  for (const char* text : bad) EXPECT_FALSE(ParseRecoveryAmount(text, amount)) << text;
  const std::pair<const char*, const char*> bases[] = {
      {"holiday.par2", "holiday"},        {"holiday.vol00+01.par2", "holiday"}, {"a.b.vol120-129.PAR2", "a.b"},
      {"holiday.s07", "holiday"},         {"holiday.S123", "holiday"},         {"holiday.exe", "holiday"},
      {"holiday", "holiday"},             {"holiday.volx+1.par2", "holiday.volx+1"}, {".par2", ".par2"},
  };
  for (const auto& [name, base] : bases) EXPECT_EQ(RecoveryBaseOf(name), base) << name;
}

// Make, damage, repair, with a memory budget so small that the recovery
// slices are summed and solved a range of bytes at a time.
TEST(Par2RoundTrip, SeveralPassesGiveTheSameBytes) {
  ScratchDir scratch;
  const fs::path dir = scratch.Native();
  const std::vector<size_t> sizes = {40000, 40000, 40000, 12345};
  std::vector<std::vector<uint8_t>> contents;
  std::vector<std::string> names;
  for (size_t i = 0; i < sizes.size(); ++i) {
    names.push_back("v.s0" + std::to_string(i + 1));
    contents.push_back(Pattern(sizes[i], static_cast<uint32_t>(i)));
    scratch.WriteBytes(names.back(), contents.back());
  }
  for (const uint64_t budget : {uint64_t{256} << 20, uint64_t{3000}}) {
    CreateRequest request;
    request.dir = dir;
    request.base = "v";
    request.files = names;
    request.sliceSize = 4000;
    request.recoverySlices = 12;
    request.slicesPerFile = 10;
    request.creator = "test";
    request.memoryBudget = budget;
    std::vector<std::string> written;
    std::string error;
    ASSERT_TRUE(CreateRecovery(request, written, error)) << error;
    EXPECT_EQ(written, (std::vector<std::string>{"v.par2", "v.vol00+10.par2", "v.vol10+02.par2"}));

    // Volume 2 lost; volume 4 damaged in its second slice.
    fs::remove(dir / "v.s02");
    std::vector<uint8_t> damaged = contents[3];
    damaged[4100] ^= 0x40;
    scratch.WriteBytes("v.s04", damaged);

    RecoverySet set;
    ASSERT_TRUE(LoadRecoverySet(dir, "v", set, error)) << error;
    SetCheck check;
    CheckFiles(set, check);
    EXPECT_EQ(check.missingSlices, 11u);
    EXPECT_EQ(check.recoveryAvailable, 12u);
    RepairResult result;
    ASSERT_TRUE(RepairFiles(set, check, result, error, budget)) << error;
    for (size_t i = 0; i < names.size(); ++i)
      EXPECT_EQ(scratch.ReadBytes(names[i]), std::string(contents[i].begin(), contents[i].end())) << names[i];
    EXPECT_TRUE(scratch.Exists("v.s04.1"));
    fs::remove(dir / "v.s04.1");
  }
}

}  // namespace
