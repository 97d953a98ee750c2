// The board's first serial port (UART 0): claimed and configured for the
// whole run, 115200 baud, 8N1, no flow control, and never used.
#pragma once

// Opens and configures the port; its results are not examined.
void setup_serial_port();

// Releases the port.
void close_serial_port();
