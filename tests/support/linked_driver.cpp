// The driver under test, linked into the test program.
#include "core/driver/driver_entry.h"
#include "tests/support/machine.h"

namespace nqtest {
PDRIVER_INITIALIZE DriverUnderTest() { return DriverEntry; }
}  // namespace nqtest
