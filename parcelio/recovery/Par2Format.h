// The packets of PAR 2.0 recovery files: their layout, how each is built
// (with its packet MD5), and how packets are found and checked in bytes that
// may be damaged or hostile. A packet whose MD5 does not match, whose length
// does not fit, or whose body is malformed is skipped; nothing here trusts
// a count or a length before checking it against what is there.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "parcelio/recovery/Par2Math.h"

namespace parcelio::recovery {

constexpr size_t PacketHeaderSize = 64;
// The format numbers input slices (and so recovery constants) up to this.
constexpr uint32_t MaxSlices = 32768;
// The index packets (main, file description, slice checksums, creator) are
// read whole; none is larger than this in any set we accept. A checksum
// packet for 32768 slices is 655,376 bytes.
constexpr uint64_t MaxIndexPacket = 16u << 20;

enum class PacketType { Main, FileDesc, Ifsc, RecoverySlice, Creator, Other };

struct SliceCheck {
  Md5Digest md5{};
  uint32_t crc = 0;
};

struct MainPacket {
  uint64_t sliceSize = 0;
  std::vector<Md5Digest> recoveryIds;     // the files the recovery data covers, sorted
  std::vector<Md5Digest> nonRecoveryIds;
};

struct FileDescPacket {
  Md5Digest id{};
  Md5Digest md5{};
  Md5Digest md5First16k{};
  uint64_t length = 0;
  std::string name;  // up to the first NUL
};

struct IfscPacket {
  Md5Digest id{};
  std::vector<SliceCheck> slices;
};

// The fixed part of every packet.
struct PacketHeader {
  uint64_t length = 0;
  Md5Digest md5{};
  Md5Digest setId{};
  PacketType type = PacketType::Other;
};

// --- Writing -------------------------------------------------------------
using Bytes = std::vector<uint8_t>;

// A whole packet: header (with its MD5) and body, the body padded with
// zeros to a multiple of 4.
Bytes BuildPacket(const Md5Digest& setId, PacketType type, const Bytes& body);
// The bodies of the packets a set's recovery files carry, laid out for
// BuildPacket: main, file description, slice checksums, creator.
Bytes MainBody(const MainPacket& main);
Bytes FileDescBody(const FileDescPacket& desc);
Bytes IfscBody(const IfscPacket& ifsc);
Bytes CreatorBody(const std::string& text);
// The file id: MD5 of the first-16k MD5, the length and the name.
Md5Digest FileId(const Md5Digest& md5First16k, uint64_t length, const std::string& name);
// The set id: MD5 of the main packet's body.
Md5Digest SetIdOf(const Bytes& mainBody);
// The header of a recovery slice packet whose body is the 4-byte exponent
// then data; bodyMd5 is the MD5 of the set id, the type and that body.
Bytes RecoverySliceHeader(const Md5Digest& setId, uint64_t dataSize, const Md5Digest& packetMd5);
// The type field of a packet type (16 bytes).
const uint8_t* TypeBytes(PacketType type);

// --- Reading -------------------------------------------------------------
// Checks the fixed part at p (at least PacketHeaderSize bytes): the magic, a
// length that is a multiple of 4, at least a header and at most available.
bool ParseHeader(const uint8_t* p, uint64_t available, PacketHeader& header);
// The MD5 the header should carry for a packet held whole at p.
Md5Digest PacketMd5(const uint8_t* packet, uint64_t length);

// Bodies (after the header) of packets already checked; false when malformed.
bool ParseMain(const uint8_t* body, uint64_t size, MainPacket& main);
bool ParseFileDesc(const uint8_t* body, uint64_t size, FileDescPacket& desc);
bool ParseIfsc(const uint8_t* body, uint64_t size, IfscPacket& ifsc);

// Where a recovery slice packet lies in a file, not yet checked (its data
// may be large; its MD5 is checked when it is used).
struct RecoveryRef {
  Md5Digest setId{};
  uint32_t exponent = 0;
  uint64_t packetPos = 0;  // of the header
  uint64_t length = 0;     // of the whole packet
  Md5Digest md5{};         // as the header says
  size_t source = 0;       // which file (the caller's number)
};

// Everything found in the recovery files, packets of every set.
struct Found {
  std::vector<std::pair<Md5Digest, MainPacket>> mains;   // set id, packet
  std::vector<std::pair<Md5Digest, FileDescPacket>> descs;
  std::vector<std::pair<Md5Digest, IfscPacket>> ifscs;
  std::vector<RecoveryRef> recovery;
  std::vector<std::string> creators;
  uint64_t packets = 0;     // sound packets found
  uint64_t badPackets = 0;  // a header found, but the packet is damaged
};

// Reads bytes of one file: answers the count read at position (short only
// at its end), or -1.
using ReadAtFn = std::function<int64_t(uint64_t position, uint8_t* buffer, uint64_t count)>;

// Finds the packets in a file of fileSize bytes, at any offset, and adds
// the sound ones to found. source is stored in each RecoveryRef.
void ScanPackets(const ReadAtFn& read, uint64_t fileSize, size_t source, Found& found);

// MD5 of a recovery slice packet read from its file (false when unreadable).
bool CheckRecoveryPacket(const ReadAtFn& read, const RecoveryRef& ref);

}  // namespace parcelio::recovery
