// The table-lookup region kernel (pshufb) written once over a register type,
// for GF16Ssse3.cpp, GF16Avx2.cpp and GF16Avx512.cpp. Internal linkage only
// (see GF16Driver.h).
//
// A unit is two registers of the region. Each 128-bit lane of both is split
// into the words' low bytes and high bytes, and those into their four
// nibbles, once per input. The product of a word with the coefficient is
// the exclusive or of four 16-entry lookups (one per nibble) for its low
// byte and four for its high byte.
#pragma once

#include "par2/GF16Driver.h"

namespace {

// V supplies: Reg, Load/LoadU/Store/StoreU, Broadcast16(const uint8_t*),
// Shuffle(table, index), Xor, Xor3 (a ^ b ^ c), And, Srl4 (16-bit shift
// right by 4), UnpackLo64/UnpackHi64 (per 128-bit lane), Set16(bytes),
// Zero().
template <class V, int TileUnits>
struct Nibble {
  using Reg = typename V::Reg;
  static constexpr size_t W = sizeof(Reg);
  static constexpr size_t UnitBytes = 2 * W, PrepBytes = 4 * W, CoefBytes = 128;
  static constexpr int Tile = TileUnits;
  struct Acc {
    Reg Low, High;
  };
  struct Coef {
    const uint8_t* Tables;
  };
  static Reg Split() {
    static const uint8_t s[16] = {0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15};
    return V::Broadcast16(s);
  }
  static Reg Join() {
    static const uint8_t j[16] = {0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15};
    return V::Broadcast16(j);
  }
  static void Build(uint16_t coef, uint8_t* data) { BuildNibbleTables(coef, data); }
  static Acc Zero() { return {V::Zero(), V::Zero()}; }
  // Tables stay in memory: there are too few registers for eight of them
  // beside the data on 32-bit processors.
  static Coef Load(const uint8_t* data) { return {data}; }
  static void Prepare(const uint8_t* src, uint8_t* prep) {
    const Reg a = V::Shuffle(V::LoadU(src), Split());
    const Reg b = V::Shuffle(V::LoadU(src + W), Split());
    const Reg low = V::UnpackLo64(a, b), high = V::UnpackHi64(a, b);
    const Reg mask = V::Set1(0x0F);
    V::Store(prep, V::And(low, mask));
    V::Store(prep + W, V::And(V::Srl4(low), mask));
    V::Store(prep + 2 * W, V::And(high, mask));
    V::Store(prep + 3 * W, V::And(V::Srl4(high), mask));
  }
  static void MulAdd(Acc& acc, const uint8_t* prep, const Coef& c) {
    const Reg n0 = V::Load(prep), n1 = V::Load(prep + W), n2 = V::Load(prep + 2 * W),
              n3 = V::Load(prep + 3 * W);
    const uint8_t* t = c.Tables;
    acc.Low = V::Xor3(acc.Low, V::Shuffle(V::Broadcast16(t), n0), V::Shuffle(V::Broadcast16(t + 16), n1));
    acc.Low = V::Xor3(acc.Low, V::Shuffle(V::Broadcast16(t + 32), n2), V::Shuffle(V::Broadcast16(t + 48), n3));
    acc.High = V::Xor3(acc.High, V::Shuffle(V::Broadcast16(t + 64), n0), V::Shuffle(V::Broadcast16(t + 80), n1));
    acc.High = V::Xor3(acc.High, V::Shuffle(V::Broadcast16(t + 96), n2), V::Shuffle(V::Broadcast16(t + 112), n3));
  }
  static void Store(const Acc& acc, uint8_t* dst) {
    const Reg a = V::Shuffle(V::UnpackLo64(acc.Low, acc.High), Join());
    const Reg b = V::Shuffle(V::UnpackHi64(acc.Low, acc.High), Join());
    V::StoreU(dst, V::Xor(a, V::LoadU(dst)));
    V::StoreU(dst + W, V::Xor(b, V::LoadU(dst + W)));
  }
};

}  // namespace
