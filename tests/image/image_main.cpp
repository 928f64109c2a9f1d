// The test program's entry point. After the tests it brings the process to
// rest before returning: the machine's own threads stopped and joined, the
// driver's blocked in their waits (host::kernel::Shutdown), and every other
// thread of the process (GoogleTest starts one to watch each thread that
// touched one of its thread-local values) through its start. Wine's
// ExitProcess kills what is left; a thread it finds still starting dies in
// Wine's own signal handler and takes the process with it.
#include "host/host.h"
#include "tests/image/process_threads.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  host::kernel::Shutdown();
  nqimage::WaitEveryThreadStarted();
  return result;
}
