// Including this in a test file finalizes the library once, after the last
// test: reactor threads end asynchronously and must be gone before exit.
#ifndef ZU_TESTS_SUPPORT_FINALIZE_H
#define ZU_TESTS_SUPPORT_FINALIZE_H

#include <zu/sys.h>

#include <gtest/gtest.h>

namespace zu {
namespace test {

class FinalizeLibrary : public ::testing::Environment {
 public:
  void TearDown() override { zu::finalize(); }
};

// Inline, so that several files of one test binary register it only once.
inline ::testing::Environment* const finalizeLibrary = ::testing::AddGlobalTestEnvironment(new FinalizeLibrary);

}  // namespace test
}  // namespace zu

#endif
