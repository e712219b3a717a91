// Building and reading PAR 2.0 packets (see Par2Format.h).
#include "parcelio/recovery/Par2Format.h"

#include <algorithm>
#include <cstring>

namespace parcelio::recovery {

namespace {

const uint8_t Magic[8] = {'P', 'A', 'R', '2', 0, 'P', 'K', 'T'};

const uint8_t TypeMain[16] = {'P', 'A', 'R', ' ', '2', '.', '0', 0, 'M', 'a', 'i', 'n', 0, 0, 0, 0};
const uint8_t TypeFileDesc[16] = {'P', 'A', 'R', ' ', '2', '.', '0', 0, 'F', 'i', 'l', 'e', 'D', 'e', 's', 'c'};
const uint8_t TypeIfsc[16] = {'P', 'A', 'R', ' ', '2', '.', '0', 0, 'I', 'F', 'S', 'C', 0, 0, 0, 0};
const uint8_t TypeRecovery[16] = {'P', 'A', 'R', ' ', '2', '.', '0', 0, 'R', 'e', 'c', 'v', 'S', 'l', 'i', 'c'};
const uint8_t TypeCreator[16] = {'P', 'A', 'R', ' ', '2', '.', '0', 0, 'C', 'r', 'e', 'a', 't', 'o', 'r', 0};

// Bounds on what one scan keeps, so that a hostile file of many tiny
// packets cannot exhaust memory.
constexpr size_t MaxKeptPackets = 1u << 20;

uint64_t Le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
void Put64(Bytes& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutDigest(Bytes& out, const Md5Digest& d) { out.insert(out.end(), d.begin(), d.end()); }
Md5Digest DigestAt(const uint8_t* p) {
  Md5Digest d;
  std::memcpy(d.data(), p, 16);
  return d;
}
void Pad4(Bytes& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}

PacketType TypeOf(const uint8_t* p) {
  if (std::memcmp(p, TypeMain, 16) == 0) return PacketType::Main;
  if (std::memcmp(p, TypeFileDesc, 16) == 0) return PacketType::FileDesc;
  if (std::memcmp(p, TypeIfsc, 16) == 0) return PacketType::Ifsc;
  if (std::memcmp(p, TypeRecovery, 16) == 0) return PacketType::RecoverySlice;
  if (std::memcmp(p, TypeCreator, 16) == 0) return PacketType::Creator;
  return PacketType::Other;
}

}  // namespace

const uint8_t* TypeBytes(PacketType type) {
  switch (type) {
    case PacketType::Main: return TypeMain;
    case PacketType::FileDesc: return TypeFileDesc;
    case PacketType::Ifsc: return TypeIfsc;
    case PacketType::RecoverySlice: return TypeRecovery;
    case PacketType::Creator: return TypeCreator;
    case PacketType::Other: break;
  }
  return TypeCreator;
}

Md5Digest PacketMd5(const uint8_t* packet, uint64_t length) {
  return Md5Of(packet + 32, static_cast<size_t>(length - 32));
}

Bytes BuildPacket(const Md5Digest& setId, PacketType type, const Bytes& body) {
  Bytes packet(Magic, Magic + 8);
  const uint64_t length = PacketHeaderSize + ((body.size() + 3) / 4) * 4;
  Put64(packet, length);
  packet.resize(32, 0);  // the MD5, filled in below
  PutDigest(packet, setId);
  packet.insert(packet.end(), TypeBytes(type), TypeBytes(type) + 16);
  packet.insert(packet.end(), body.begin(), body.end());
  Pad4(packet);
  const Md5Digest md5 = PacketMd5(packet.data(), packet.size());
  std::memcpy(packet.data() + 16, md5.data(), 16);
  return packet;
}

Bytes MainBody(const MainPacket& main) {
  Bytes body;
  Put64(body, main.sliceSize);
  Put32(body, static_cast<uint32_t>(main.recoveryIds.size()));
  for (const Md5Digest& id : main.recoveryIds) PutDigest(body, id);
  for (const Md5Digest& id : main.nonRecoveryIds) PutDigest(body, id);
  return body;
}

Bytes FileDescBody(const FileDescPacket& desc) {
  Bytes body;
  PutDigest(body, desc.id);
  PutDigest(body, desc.md5);
  PutDigest(body, desc.md5First16k);
  Put64(body, desc.length);
  body.insert(body.end(), desc.name.begin(), desc.name.end());
  Pad4(body);
  return body;
}

Bytes IfscBody(const IfscPacket& ifsc) {
  Bytes body;
  PutDigest(body, ifsc.id);
  for (const SliceCheck& slice : ifsc.slices) {
    PutDigest(body, slice.md5);
    Put32(body, slice.crc);
  }
  return body;
}

Bytes CreatorBody(const std::string& text) {
  Bytes body(text.begin(), text.end());
  Pad4(body);
  return body;
}

Md5Digest FileId(const Md5Digest& md5First16k, uint64_t length, const std::string& name) {
  Bytes data;
  PutDigest(data, md5First16k);
  Put64(data, length);
  data.insert(data.end(), name.begin(), name.end());
  return Md5Of(data.data(), data.size());
}

Md5Digest SetIdOf(const Bytes& mainBody) { return Md5Of(mainBody.data(), mainBody.size()); }

Bytes RecoverySliceHeader(const Md5Digest& setId, uint64_t dataSize, const Md5Digest& packetMd5) {
  Bytes packet(Magic, Magic + 8);
  Put64(packet, PacketHeaderSize + 4 + dataSize);
  PutDigest(packet, packetMd5);
  PutDigest(packet, setId);
  packet.insert(packet.end(), TypeRecovery, TypeRecovery + 16);
  return packet;
}

bool ParseHeader(const uint8_t* p, uint64_t available, PacketHeader& header) {
  if (std::memcmp(p, Magic, 8) != 0) return false;
  header.length = Le64(p + 8);
  if (header.length < PacketHeaderSize || header.length % 4 != 0 || header.length > available) return false;
  header.md5 = DigestAt(p + 16);
  header.setId = DigestAt(p + 32);
  header.type = TypeOf(p + 48);
  return true;
}

bool ParseMain(const uint8_t* body, uint64_t size, MainPacket& main) {
  if (size < 12 || (size - 12) % 16 != 0) return false;
  main.sliceSize = Le64(body);
  const uint64_t count = Le32(body + 8);
  const uint64_t ids = (size - 12) / 16;
  if (main.sliceSize == 0 || main.sliceSize % 4 != 0 || count > ids) return false;
  main.recoveryIds.clear();
  main.nonRecoveryIds.clear();
  for (uint64_t i = 0; i < ids; ++i)
    (i < count ? main.recoveryIds : main.nonRecoveryIds).push_back(DigestAt(body + 12 + 16 * i));
  return true;
}

bool ParseFileDesc(const uint8_t* body, uint64_t size, FileDescPacket& desc) {
  if (size < 56) return false;
  desc.id = DigestAt(body);
  desc.md5 = DigestAt(body + 16);
  desc.md5First16k = DigestAt(body + 32);
  desc.length = Le64(body + 48);
  const char* name = reinterpret_cast<const char*>(body + 56);
  desc.name.assign(name, strnlen(name, static_cast<size_t>(size - 56)));
  return !desc.name.empty();
}

bool ParseIfsc(const uint8_t* body, uint64_t size, IfscPacket& ifsc) {
  if (size < 16 || (size - 16) % 20 != 0) return false;
  ifsc.id = DigestAt(body);
  ifsc.slices.clear();
  for (uint64_t at = 16; at < size; at += 20) ifsc.slices.push_back(SliceCheck{DigestAt(body + at), Le32(body + at + 16)});
  return true;
}

void ScanPackets(const ReadAtFn& read, uint64_t fileSize, size_t source, Found& found) {
  constexpr uint64_t Window = 1u << 20;
  std::vector<uint8_t> window(static_cast<size_t>(std::min<uint64_t>(Window, fileSize)));
  Bytes packet;
  uint64_t pos = 0;
  size_t kept = found.descs.size() + found.ifscs.size() + found.recovery.size() + found.mains.size();
  while (pos + PacketHeaderSize <= fileSize) {
    // The next magic at or after pos.
    const int64_t got = read(pos, window.data(), std::min<uint64_t>(window.size(), fileSize - pos));
    if (got < static_cast<int64_t>(sizeof Magic)) return;
    const uint8_t* hit = std::search(window.data(), window.data() + got, Magic, Magic + 8);
    if (hit == window.data() + got) {
      if (pos + static_cast<uint64_t>(got) >= fileSize) return;
      pos += static_cast<uint64_t>(got) - 7;
      continue;
    }
    const uint64_t at = pos + static_cast<uint64_t>(hit - window.data());
    pos = at + 1;  // unless a sound packet is found here
    uint8_t head[PacketHeaderSize];
    if (at + PacketHeaderSize > fileSize || read(at, head, PacketHeaderSize) != PacketHeaderSize) return;
    PacketHeader header;
    if (!ParseHeader(head, fileSize - at, header)) {
      ++found.badPackets;
      continue;
    }
    if (kept >= MaxKeptPackets) return;
    if (header.type == PacketType::RecoverySlice) {
      uint8_t exponent[4];
      if (header.length < PacketHeaderSize + 8 || read(at + PacketHeaderSize, exponent, 4) != 4) {
        ++found.badPackets;
        continue;
      }
      found.recovery.push_back(RecoveryRef{header.setId, Le32(exponent), at, header.length, header.md5, source});
      ++kept;
      ++found.packets;
      pos = at + header.length;
      continue;
    }
    if (header.length > MaxIndexPacket) {
      ++found.badPackets;
      continue;
    }
    packet.resize(static_cast<size_t>(header.length));
    if (read(at, packet.data(), header.length) != static_cast<int64_t>(header.length)) return;
    if (PacketMd5(packet.data(), header.length) != header.md5) {
      ++found.badPackets;
      continue;
    }
    const uint8_t* body = packet.data() + PacketHeaderSize;
    const uint64_t bodySize = header.length - PacketHeaderSize;
    bool sound = true;
    switch (header.type) {
      case PacketType::Main: {
        MainPacket main;
        sound = ParseMain(body, bodySize, main);
        if (sound) found.mains.emplace_back(header.setId, std::move(main));
        break;
      }
      case PacketType::FileDesc: {
        FileDescPacket desc;
        sound = ParseFileDesc(body, bodySize, desc);
        if (sound) found.descs.emplace_back(header.setId, std::move(desc));
        break;
      }
      case PacketType::Ifsc: {
        IfscPacket ifsc;
        sound = ParseIfsc(body, bodySize, ifsc);
        if (sound) found.ifscs.emplace_back(header.setId, std::move(ifsc));
        break;
      }
      case PacketType::Creator: {
        const char* text = reinterpret_cast<const char*>(body);
        if (found.creators.size() < 16)
          found.creators.emplace_back(text, strnlen(text, static_cast<size_t>(bodySize)));
        break;
      }
      default:
        break;
    }
    if (!sound) {
      ++found.badPackets;
      continue;
    }
    ++kept;
    ++found.packets;
    pos = at + header.length;
  }
}

bool CheckRecoveryPacket(const ReadAtFn& read, const RecoveryRef& ref) {
  const uint64_t Block = std::min<uint64_t>(1u << 20, ref.length);
  std::vector<uint8_t> buffer(static_cast<size_t>(Block));
  Md5Stream md5;
  for (uint64_t at = ref.packetPos + 32, end = ref.packetPos + ref.length; at < end;) {
    const uint64_t want = std::min(Block, end - at);
    if (read(at, buffer.data(), want) != static_cast<int64_t>(want)) return false;
    md5.Update(buffer.data(), static_cast<size_t>(want));
    at += want;
  }
  return md5.Final() == ref.md5;
}

}  // namespace parcelio::recovery
