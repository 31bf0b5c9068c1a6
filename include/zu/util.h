// zu::util: byte buffers and the buffered line reader over any stream.
#ifndef ZU_UTIL_H
#define ZU_UTIL_H

#include <boost/shared_ptr.hpp>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>

namespace zu {
namespace util {

// A growable first-in-first-out byte queue; its stream view writes at the
// back (never refusing; null data writes zero bytes) and reads from the
// front (null buffer discards). Storage grows on writes only and is
// released by clear(). Not locked: one thread at a time.
class ZU_API IPipeBuffer : public IBase {
 public:
  virtual func::IIO* toIO() = 0;
  virtual void clear() = 0;
  // Bytes queued.
  virtual unsigned int size() const = 0;
  virtual bool empty() const = 0;
  // Truncates or extends the queue in place; new bytes are 0 or `fill`.
  virtual void resize(unsigned int size) = 0;
  virtual void resize(unsigned int size, unsigned char fill) = 0;
  // The first queued byte, valid until the next change.
  virtual unsigned char* data() = 0;

  static boost::shared_ptr<IPipeBuffer> New();
};

// A ring of fixed capacity; its stream view writes what fits (a full
// buffer refuses with 0, old bytes are never overwritten) and reads the
// oldest bytes first. Never allocates after construction. Not locked.
class ZU_API ICircleBuffer : public IBase {
 public:
  virtual func::IIO* toIO() = 0;
  virtual void clear() = 0;
  virtual unsigned int capacity() const = 0;
  // Bytes held.
  virtual unsigned int size() const = 0;
  virtual bool empty() const = 0;

  // `capacity` must not be 0 (assertion).
  static boost::shared_ptr<ICircleBuffer> New(unsigned int capacity);
};

// Adds buffering, single-byte reads and line reading to a stream.
class ZU_API IBufferedReader : public IBase {
 public:
  virtual boost::shared_ptr<func::IIO> stream() const = 0;
  // The next byte 0..255, or -1 when none could be read.
  virtual int readByte() = 0;
  // Buffered bytes first; a read of 256 bytes or more that finds the
  // buffer empty goes straight to the stream. `buffer` not null and `size`
  // not 0 (assertions).
  virtual unsigned int read(void* buffer, unsigned int size) = 0;
  // The next line without its line end (a line is gathered over as many
  // stream reads as it takes); a last line without a line end counts. False,
  // with `line` empty, at the end of the stream.
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

}  // namespace util
}  // namespace zu

#endif
