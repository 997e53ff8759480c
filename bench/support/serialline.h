#pragma once

namespace bench {

// Makes a pseudo-terminal pair in raw mode and maps the instrument's serial port 1 onto its
// device end (KESTRIN_COM1); returns the far end, which the benchmark reads and writes, or -1
// with the reason printed.
int mapSerialPortOneToPty();

} // namespace bench
