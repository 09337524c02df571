#include "normalize/reference_model.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace testing_support {

/// The model's whole state, as the tool keeps it.
struct ReferenceModel {
  Bytes file;
  int64_t pos = 0, posr = 0, posw = 0;
  int16_t buf[2][96000] = {};
  int32_t count[2] = {}, peak[2] = {}, bufn = 0;
  int32_t mul = 0;
  uint64_t remaining = 0;
  std::vector<std::pair<int64_t, int32_t>> writes;

  int32_t Read(void* to, int64_t at, int32_t n) {
    const int64_t size = static_cast<int64_t>(file.size());
    const int64_t got = std::max<int64_t>(0, std::min<int64_t>(n, size - at));
    if (got > 0) std::memcpy(to, file.data() + at, static_cast<size_t>(got));
    return static_cast<int32_t>(got);
  }

  static int32_t Gain(int32_t p) { return ((1 << 29) / p) * 1016; }

  void BufRead() {
    count[bufn] = remaining >= 96000 ? 96000 : static_cast<int32_t>(remaining);
    remaining -= static_cast<uint64_t>(count[bufn]);
    Read(buf[bufn], posr, count[bufn]);
    posr += count[bufn];
    peak[bufn] = 1024;
    for (int i = 0; i < count[bufn] / 2; ++i) {  // the whole samples this read brought
      const int32_t m = buf[bufn][i] < 0 ? -static_cast<int32_t>(buf[bufn][i]) : buf[bufn][i];
      if (m > peak[bufn]) peak[bufn] = m;
    }
    bufn = (bufn + 1) % 2;
  }

  void BufCalc() {
    const int a = bufn;
    const int32_t gThis = Gain(peak[a]), gNext = Gain(peak[1 - a]);
    int32_t target = std::min(gThis, gNext);
    if (target - mul > 0x200000) target = mul + 0x200000;
    const int32_t step = (target - mul) / 96000;
    for (int i = 0; i < count[a] / 2; ++i) {
      const int64_t x = static_cast<int64_t>(buf[a][i]) * (mul >> 10);
      buf[a][i] = static_cast<int16_t>(x / 16384);  // division truncates toward zero
      mul += step;
    }
    mul = target;
  }

  void BufWrite() {
    std::memcpy(file.data() + posw, buf[bufn], static_cast<size_t>(count[bufn]));
    writes.emplace_back(posw, count[bufn]);
    posw += count[bufn];
  }

  void BufMain() {
    posr = posw = pos;
    bufn = 0;
    BufRead();
    mul = Gain(peak[0]);
    do {
      BufRead();
      BufCalc();
      BufWrite();
    } while (count[bufn] != 0);
  }

  static uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

  static bool Pcm16(const uint8_t* b, int32_t n) {
    static const uint8_t sub[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    if (n < 16 || (b[14] | b[15] << 8) != 16) return false;
    const int tag = b[0] | b[1] << 8;
    return tag == 1 || (tag == 0xFFFE && n >= 40 && std::memcmp(b + 24, sub, 16) == 0);
  }

  bool Walk(bool normalize) {
    uint8_t riff[12];
    if (Read(riff, 0, 12) < 12 || std::memcmp(riff + 8, "WAVE", 4) != 0) return false;
    const bool rf64 = std::memcmp(riff, "RF64", 4) == 0 || std::memcmp(riff, "BW64", 4) == 0;
    if (!rf64 && std::memcmp(riff, "RIFF", 4) != 0) return false;
    uint64_t ds64Data = 0xFFFFFFFF;
    bool pcm = true, sawFmt = false, dataBeforeFmt = false;
    uint8_t header[8] = {};
    pos = 12;
    for (int32_t n = Read(header, pos, 8); n >= 1; n = Read(header, pos, 8)) {
      const int64_t body = pos += n;  // a short header still counts its bytes
      uint64_t size = U32(header + 4);
      uint8_t ds64[16];
      if (rf64 && std::memcmp(header, "ds64", 4) == 0 && size >= 16 && Read(ds64, body, 16) == 16)
        ds64Data = U32(ds64 + 8) | static_cast<uint64_t>(U32(ds64 + 12)) << 32;
      if (std::memcmp(header, "fmt ", 4) == 0) {
        uint8_t fmt[40];
        pcm = Pcm16(fmt, Read(fmt, body, static_cast<int32_t>(std::min<uint64_t>(size, 40))));
        if (dataBeforeFmt && !pcm) return false;
        dataBeforeFmt = false;
        sawFmt = true;
      }
      if (std::memcmp(header, "data", 4) == 0) {
        if (rf64 && size == 0xFFFFFFFF) size = ds64Data;
        if (!pcm) return false;
        dataBeforeFmt = dataBeforeFmt || !sawFmt;
        if (normalize) {
          remaining = std::min<uint64_t>(size, static_cast<uint64_t>(std::max<int64_t>(0, static_cast<int64_t>(file.size()) - body)));
          BufMain();
        }
      }
      const uint64_t next = static_cast<uint64_t>(body) + size + (size & 1);
      if (next >= static_cast<uint64_t>(file.size())) break;  // no further header
      pos = static_cast<int64_t>(next);
    }
    return true;
  }
};

ModelResult NormalizeModel(const Bytes& file) {
  auto model = std::make_unique<ReferenceModel>();
  model->file = file;
  const bool refused = !model->Walk(false);
  if (!refused) model->Walk(true);
  return {std::move(model->file), refused, std::move(model->writes)};
}

}  // namespace testing_support
