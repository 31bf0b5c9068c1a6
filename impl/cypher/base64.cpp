// Base64 encoding and decoding, table-driven so that a whole group of
// characters costs a few lookups.
#include <zu/cypher.h>

#include <boost/make_shared.hpp>
#include <cstdint>
#include <cstring>
#include <new>

#include "core/assertion.h"

namespace zu {
namespace cypher {
namespace impl {

namespace {

char const alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Full groups per line: 19 groups are 76 characters.
unsigned int const groupsPerLine = 19;

// Character classes for decoding: 0 to 63 are digit values.
unsigned char const skipped = 64;  // CR and LF
unsigned char const padding = 65;  // "="
unsigned char const invalid = 66;  // everything else, blanks included

// Lookup tables, built during static initialisation before any caller can
// use them. `pairs` holds the two characters of every 12-bit value, so a
// group is encoded with two lookups; `shifted` holds each character's
// digit value already moved to its place in a quadruple, with bit 24 set
// for anything that is not a digit, so four lookups and one test decode a
// clean quadruple.
struct Tables {
  unsigned char cls[256];
  char pairs[4096][2];
  std::uint32_t shifted[4][256];

  Tables() {
    std::memset(cls, invalid, sizeof cls);
    for (unsigned int i = 0; i < 64; ++i) cls[static_cast<unsigned char>(alphabet[i])] = static_cast<unsigned char>(i);
    cls['\r'] = skipped;
    cls['\n'] = skipped;
    cls['='] = padding;
    for (unsigned int v = 0; v < 4096; ++v) {
      pairs[v][0] = alphabet[v >> 6];
      pairs[v][1] = alphabet[v & 63];
    }
    for (unsigned int place = 0; place < 4; ++place)
      for (unsigned int c = 0; c < 256; ++c)
        shifted[place][c] = cls[c] < 64 ? std::uint32_t(cls[c]) << (18 - 6 * place) : 0x01000000;
  }
};

Tables const tables;

inline void encodeGroup(char* out, unsigned char const* in) {
  std::uint32_t const v = std::uint32_t(in[0]) << 16 | std::uint32_t(in[1]) << 8 | in[2];
  std::memcpy(out, tables.pairs[v >> 12], 2);
  std::memcpy(out + 2, tables.pairs[v & 0xFFF], 2);
}

}  // namespace

// The text is built in place in the buffer of text_, whose bytes behind
// written_ are always zero, so the String's length is right whenever the
// text is handed over.
class Base64 : public IBase64 {
 public:
  void update(ByteArray const& data, bool final) override { update(data.ptr(), data.size(), final); }

  void update(void const* data, unsigned int len, bool final) override {
    ZU_ASSERT(data || len == 0, "clear");
    unsigned char const* p = static_cast<unsigned char const*>(data);
    unsigned int n = len;
    if (n) {
      if (written_ == 0) result_ = String();
      reserve(pending_ + std::uint64_t(n));
      if (pending_ == 3) {
        // The group that completed at the end of the last piece.
        writeGroup(held_);
        pending_ = 0;
      }
      if (pending_) {
        while (pending_ < 3 && n) {
          held_[pending_++] = *p++;
          --n;
        }
        // A piece used up in completing the group leaves it waiting.
        if (n) {
          writeGroup(held_);
          pending_ = 0;
        }
      }
      while (n >= 3) {
        unsigned int groups = n / 3;
        if (groups > groupsPerLine - lineGroups_) groups = groupsPerLine - lineGroups_;
        char* out = out_ + written_;
        for (unsigned int g = 0; g < groups; ++g, out += 4, p += 3) encodeGroup(out, p);
        n -= 3 * groups;
        written_ += 4 * groups;
        lineGroups_ += groups;
        if (lineGroups_ == groupsPerLine) endLine();
      }
      if (n) {
        std::memcpy(held_, p, n);
        pending_ = n;
      }
    }
    if (final) finish();
  }

  String result() const override { return result_; }

  void reset() override {
    result_ = String();
    startAfresh();
  }

 private:
  // Room for the characters of `bytes` more bytes, their line breaks and
  // the final group. Grows geometrically, in whole steps of 256 characters.
  void reserve(std::uint64_t bytes) {
    std::uint64_t const groups = bytes / 3;
    std::uint64_t const needed = written_ + 4 * groups + 2 * ((lineGroups_ + groups) / groupsPerLine) + 4;
    if (needed <= capacity_) return;
    std::uint64_t grown = capacity_ + capacity_ / 2;
    if (grown < needed) grown = needed;
    grown = (grown + 255) & ~std::uint64_t(255);
    // String lengths are 32-bit.
    if (grown >= 0xFFFFFFFF) throw std::bad_alloc();
    out_ = text_.getBuffer(static_cast<unsigned int>(grown));
    capacity_ = static_cast<unsigned int>(grown);
  }

  void writeGroup(unsigned char const* in) {
    encodeGroup(out_ + written_, in);
    written_ += 4;
    if (++lineGroups_ == groupsPerLine) endLine();
  }

  void endLine() {
    out_[written_++] = '\r';
    out_[written_++] = '\n';
    lineGroups_ = 0;
  }

  // The pending bytes become the last group (padded when short); it counts
  // for no line, so the text never ends in a line break because of it.
  void finish() {
    // The update that left bytes pending reserved room for them.
    char* out = out_ + written_;
    if (pending_ == 3) {
      encodeGroup(out, held_);
    } else if (pending_) {
      unsigned char group[3] = {held_[0], pending_ == 2 ? held_[1] : static_cast<unsigned char>(0), 0};
      encodeGroup(out, group);
      out[3] = '=';
      if (pending_ == 1) out[2] = '=';
    }
    text_.makeCompact();
    result_ = text_;
    startAfresh();
  }

  void startAfresh() {
    text_ = String();
    out_ = nullptr;
    capacity_ = 0;
    written_ = 0;
    pending_ = 0;
    lineGroups_ = 0;
  }

  String result_;
  String text_;
  char* out_ = nullptr;  // text_'s buffer, capacity_ characters long
  unsigned int capacity_ = 0;
  unsigned int written_ = 0;
  unsigned int pending_ = 0;  // bytes in held_: 0 to 3
  unsigned char held_[3];
  unsigned int lineGroups_ = 0;  // full groups on the current line
};

}  // namespace impl

boost::shared_ptr<IBase64> IBase64::New() { return boost::make_shared<impl::Base64>(); }

String IBase64::encode(void const* data, unsigned int len) {
  impl::Base64 base64;
  base64.update(data, len, true);
  return base64.result();
}

String IBase64::encode(ByteArray const& data) { return encode(data.ptr(), data.size()); }

ByteArray IBase64::decode(String const& text, bool* clean) {
  using impl::tables;
  unsigned char const* s = reinterpret_cast<unsigned char const*>(text.cstr());
  std::size_t const length = std::strlen(text.cstr());
  bool ok = true;
  // Four characters give at most three bytes; the byte being started is
  // written one place behind the completed ones, which this bound covers.
  ByteArray bytes(static_cast<unsigned int>(length / 4 * 3 + 3));
  unsigned char* out = bytes.getBuffer(0);
  std::size_t count = 0;
  unsigned int place = 0;  // position in the current quadruple
  std::size_t i = 0;
  while (i < length) {
    // Whole quadruples of digits, the bulk of any text, in one step.
    if (place == 0) {
      while (i + 4 <= length) {
        std::uint32_t const v = tables.shifted[0][s[i]] | tables.shifted[1][s[i + 1]] |
                                tables.shifted[2][s[i + 2]] | tables.shifted[3][s[i + 3]];
        if (v >> 24) break;
        out[count] = static_cast<unsigned char>(v >> 16);
        out[count + 1] = static_cast<unsigned char>(v >> 8);
        out[count + 2] = static_cast<unsigned char>(v);
        count += 3;
        i += 4;
      }
      if (i >= length) break;
    }
    unsigned char const k = tables.cls[s[i]];
    if (k < 64) {
      switch (place) {
        case 0:
          out[count] = static_cast<unsigned char>(k << 2);
          break;
        case 1:
          out[count++] |= k >> 4;
          out[count] = static_cast<unsigned char>(k << 4);
          break;
        case 2:
          out[count++] |= k >> 2;
          out[count] = static_cast<unsigned char>(k << 6);
          break;
        default:
          out[count++] |= k;
          break;
      }
      place = (place + 1) & 3;
    } else if (k == impl::padding) {
      if (place == 3 || (place == 2 && i + 1 < length && s[i + 1] == '=')) break;
      ok = false;
    } else if (k == impl::invalid) {
      ok = false;
    }
    ++i;
  }
  bytes.resize(static_cast<unsigned int>(count));
  if (clean) *clean = ok;
  return bytes;
}

}  // namespace cypher
}  // namespace zu
