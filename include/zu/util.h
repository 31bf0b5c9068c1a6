// zu::util: byte buffers and the buffered line reader over any stream;
// regular expressions, the ISAAC random generator and time-based UUIDs.
#ifndef ZU_UTIL_H
#define ZU_UTIL_H

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <zu/array.h>
#include <zu/bytearray.h>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>

namespace zu {
namespace util {

// A growable first-in-first-out byte queue; its stream view writes at the
// back (never refusing below 0xFFFFFFFF queued bytes, taking what fits up
// to there; null data writes zero bytes) and reads from the front (null
// buffer discards). Storage grows on writes only and is
// released by clear(). Not locked: one thread at a time.
class ZU_API IPipeBuffer : public IBase {
 public:
  virtual func::IIO* toIO() = 0;  // the stream view of this queue, owned by it
  virtual void clear() = 0;  // empties the queue and releases its storage
  // Bytes queued.
  virtual unsigned int size() const = 0;
  virtual bool empty() const = 0;  // size() == 0
  // Truncates or extends the queue in place; new bytes are 0 or `fill`.
  virtual void resize(unsigned int size) = 0;
  virtual void resize(unsigned int size, unsigned char fill) = 0;  // new bytes are `fill`
  // The first queued byte, valid until the next change.
  virtual unsigned char* data() = 0;

  static boost::shared_ptr<IPipeBuffer> New();  // an empty queue
};

// A ring of fixed capacity; its stream view writes what fits (a full
// buffer refuses with 0, old bytes are never overwritten) and reads the
// oldest bytes first. Never allocates after construction. Not locked.
class ZU_API ICircleBuffer : public IBase {
 public:
  virtual func::IIO* toIO() = 0;  // the stream view of this ring, owned by it
  virtual void clear() = 0;  // empties the ring
  virtual unsigned int capacity() const = 0;  // the most bytes it holds
  // Bytes held.
  virtual unsigned int size() const = 0;
  virtual bool empty() const = 0;  // size() == 0

  // `capacity` must not be 0 (assertion).
  static boost::shared_ptr<ICircleBuffer> New(unsigned int capacity);
};

// Adds buffering, single-byte reads and line reading to a stream.
class ZU_API IBufferedReader : public IBase {
 public:
  virtual boost::shared_ptr<func::IIO> stream() const = 0;  // the stream read from
  // The next byte 0..255, or -1 when none could be read.
  virtual int readByte() = 0;
  // Buffered bytes first; a read of 256 bytes or more that finds the
  // buffer empty goes straight to the stream. `buffer` not null and `size`
  // not 0 (assertions).
  virtual unsigned int read(void* buffer, unsigned int size) = 0;
  // The next line without its line end (a line is gathered over as many
  // stream reads as it takes); a last line without a line end counts. False,
  // with `line` empty, at the end of the stream, and for a line too long for
  // the buffer's 32-bit size (its bytes stay buffered for read()).
  virtual bool readLine(String& line) = 0;

  // Finds the first line end in `size` bytes: LF, CR LF or CR CR LF (any
  // other CR belongs to the line, even at the very end of the buffer).
  // `lineLength` gets the bytes before the line end and `consumed` those
  // including it; both are 0 and the result false when there is none.
  static bool extractLine(void const* buffer, unsigned int size, unsigned int& lineLength,
                          unsigned int& consumed);

  // A reader over `io` (not null: assertion), which it keeps alive. Bytes
  // the reader has buffered are lost to anyone reading `io` directly.
  static boost::shared_ptr<IBufferedReader> New(boost::shared_ptr<func::IIO> io);
};

// One match or sub-match: byte offsets into the subject, both -1 for a
// group that took no part.
struct RegExMatch {
  std::int32_t start;  // offset of the first byte
  std::int32_t end;  // offset past the last byte
};

// A compiled regular expression (POSIX-style interface of PCRE: the flag
// values are that interface's REG_ICASE 0x1, REG_NEWLINE 0x2, REG_NOTBOL
// 0x4, REG_NOTEOL 0x8, REG_DOTALL 0x10, REG_NOSUB 0x20, REG_UTF 0x40).
// Not locked: one thread at a time per object.
class ZU_API IRegEx : public IBase {
 public:
  // Matches `text` with the execution `flags`. On a match, element i of
  // `matches` (for every i below its size, which is never changed) gets
  // the whole match (i = 0) or the i-th parenthesised group. False when
  // nothing matched or matching failed; the code and PCRE's text are
  // reported under this object.
  virtual bool match(String const& text, TArray<RegExMatch>& matches, unsigned int flags) = 0;
  virtual bool match(String const& text, unsigned int flags) = 0;  // as above, without the offsets

  // Null when `pattern` does not compile with the compile `flags`; the code
  // and PCRE's text are reported under the address of this function.
  static boost::shared_ptr<IRegEx> compile(String const& pattern, unsigned int flags);
};

// The ISAAC pseudo-random generator (256-word state). Not for secrets. Not
// locked: one thread at a time per object.
class ZU_API IRandom : public IBase {
 public:
  // Restarts the sequence: equal seeds give equal sequences.
  virtual void seed(unsigned int seed) = 0;
  virtual unsigned int next() = 0;  // the next number of the sequence

  // Seeded from the clock (seconds since 1970 plus milliseconds since the
  // library was loaded).
  static boost::shared_ptr<IRandom> New();
  // The next number of the process-wide generator; any thread.
  static unsigned int number();
};

// A time-based (version 1) UUID whose node is the first real hardware
// address of the machine, or 6 random bytes when it has none. The time is
// kept in units of 10 microseconds; UUIDs made within one unit (or after the
// clock went back) differ in their clock sequence. Any thread.
class ZU_API UUID {
 public:
  // A new UUID.
  UUID();
  // The 16 bytes: time (low 32 bits, then bits 32-55, least significant
  // byte first), bits 56-59 with version 1 in the high nibble of byte 7,
  // the clock sequence in bytes 8-9 (variant bit 0x80), the node in 10-15.
  ByteArray value() const;
  // The bytes in stored order as 8-4-4-4-12 lower-case hexadecimal digits.
  String toString() const;

 private:
  ByteArray value_;
};

}  // namespace util
}  // namespace zu

#endif
