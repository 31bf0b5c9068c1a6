// The root interface of every library object and the two stream views that
// files, sockets and buffers share.
#ifndef ZU_IO_H
#define ZU_IO_H

#include <cstdint>
#include <zu/config.h>

// Root of every I<Name> interface: destructible through a base pointer, so a
// boost::shared_ptr of any interface owns its implementation.
class ZU_API IBase {
 public:
  virtual ~IBase();
};

namespace zu {
namespace func {

// A byte stream. Both operations transfer what they can and return the
// count; 0 means nothing moved (end of data, time-out, closed object or
// failure, whose reason goes to the error reports of the object).
class ZU_API IIO : public IBase {
 public:
  // Moves up to `size` bytes into `buffer`; the count moved.
  virtual unsigned int read(void* buffer, unsigned int size) = 0;
  // Moves up to `size` bytes from `data`; the count moved.
  virtual unsigned int write(void const* data, unsigned int size) = 0;
};

// The positioning side of a seekable stream. Failures give 0 or false and
// a report for the object.
class ZU_API IRandomAccess : public IBase {
 public:
  // The data's length in bytes.
  virtual std::uint64_t size() = 0;
  // Absolute offset from the start for the next read or write.
  virtual bool seek(std::uint64_t position) = 0;
  // The offset of the next read or write.
  virtual std::uint64_t position() = 0;
  // Makes the data exactly `size` bytes long; the position is kept.
  virtual bool setSize(std::uint64_t size) = 0;
};

}  // namespace func
}  // namespace zu

#endif
