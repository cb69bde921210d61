// main of the protocol test programs. It ends the process without running
// static destructors: the network library's would shut its threads down
// and wait for its deferred deletions, which takes seconds per program.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  std::fflush(nullptr);
#if defined(__SANITIZE_ADDRESS__)
  // The leak check would otherwise run at exit, which is skipped here.
  if (__lsan_do_recoverable_leak_check() != 0 && result == 0) result = 1;
#endif
  std::_Exit(result);
}
