#include "serial_port.hpp"

#include <mraa/uart.h>

namespace
{

constexpr int SERIAL_UART_INDEX = 0;
constexpr unsigned SERIAL_BAUD_RATE = 115200;
constexpr int SERIAL_DATA_BITS = 8;
constexpr int SERIAL_STOP_BITS = 1;

// The port: opened by setup_serial_port, released by close_serial_port.
mraa_uart_context uart = nullptr;

} // namespace

void setup_serial_port()
{
    uart = mraa_uart_init(SERIAL_UART_INDEX);
    mraa_uart_set_baudrate(uart, SERIAL_BAUD_RATE);
    mraa_uart_set_mode(uart, SERIAL_DATA_BITS, MRAA_UART_PARITY_NONE, SERIAL_STOP_BITS);
    mraa_uart_set_flowcontrol(uart, 0, 0);
}

void close_serial_port()
{
    mraa_uart_stop(uart);
    uart = nullptr;
}
