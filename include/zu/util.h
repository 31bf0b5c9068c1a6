// zu::util: byte buffers and the buffered line reader over any stream.
#ifndef ZU_UTIL_H
#define ZU_UTIL_H

#include <boost/shared_ptr.hpp>
#include <zu/config.h>
#include <zu/io.h>
#include <zu/string.h>

namespace zu {
namespace util {

// Adds buffering, single-byte reads and line reading to a stream.
class ZU_API IBufferedReader : public IBase {
 public:
  virtual boost::shared_ptr<func::IIO> stream() const = 0;
  // The next byte 0..255, or -1 when none could be read.
  virtual int readByte() = 0;
  virtual unsigned int read(void* buffer, unsigned int size) = 0;
  // The next line without its line end; false at the end of the stream.
  virtual bool readLine(String& line) = 0;

  // Finds the first line end in `size` bytes: LF, CR LF or CR CR LF (any
  // other CR belongs to the line, even at the very end of the buffer).
  // `lineLength` gets the bytes before the line end and `consumed` those
  // including it; both are 0 and the result false when there is none.
  static bool extractLine(void const* buffer, unsigned int size, unsigned int& lineLength,
                          unsigned int& consumed);
};

}  // namespace util
}  // namespace zu

#endif
