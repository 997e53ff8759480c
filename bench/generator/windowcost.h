#pragma once

namespace bench {

// bench_generator --window [seconds]: what the instrument's window costs per line on the X
// display against the floor of a bare Qt window at the same pace; prints both and the ratio.
// Returns 0 when measured, 2 when there is no display, 1 when the run could not be set up.
int runWindowCost(int argc, char *argv[], int seconds);

} // namespace bench
