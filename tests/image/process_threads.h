// The threads of the test process that are still starting.
#pragma once

namespace nqimage {
// Returns once every other thread of the process has been set up by the
// loader and is running its own code (or has ended), at most after 10 s.
void WaitEveryThreadStarted();
}  // namespace nqimage
