#!/usr/bin/python3
"""Telemetry agent in plain Python: the alternative a board user would write.

Every cycle it reads humidity and temperature from an AHT10-type sensor on I2C
bus 0 (address 0x38) with smbus2, publishes them as
{"Humidity": 45.00, "Temperature": -5.25} with MQTT QoS 1 (paho-mqtt), waits
for the broker's acknowledgement (1 s, then 10 s more), prints two lines and
pauses 7 s. It claims the serial port for the whole run (115200 8N1, no flow
control). Ctrl-C (SIGINT) ends it in order with status 0; it exits with 255
when it cannot connect at start.

Settings come from the environment, with the defaults of a board:
BROKER_HOST (localhost), BROKER_PORT (1884), ACCESS_TOKEN, SERIAL_PORT
(/dev/ttyS0), CLIENT_ID (python-agent).
"""

import argparse
import os
import sys
import termios
import time

if __name__ == "__main__":
    # Before the imports below: --help works where they are not installed.
    argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                            epilog=__doc__.split("\n\n")[-1]).parse_args()

import paho.mqtt.client as mqtt  # noqa: E402
from smbus2 import SMBus  # noqa: E402

BROKER_HOST = os.environ.get("BROKER_HOST", "localhost")
BROKER_PORT = int(os.environ.get("BROKER_PORT", "1884"))
ACCESS_TOKEN = os.environ.get("ACCESS_TOKEN", "Tz8LwQ3nVb6RkY1mHc5J")
SERIAL_PORT = os.environ.get("SERIAL_PORT", "/dev/ttyS0")
CLIENT_ID = os.environ.get("CLIENT_ID", "python-agent")
TOPIC = "v1/devices/me/telemetry"
KEEPALIVE_S = 20
PAUSE_S = 7

I2C_BUS = 0
SENSOR_ADDRESS = 0x38
CMD_INIT = 0xE1
CMD_MEASURE = 0xAC
MEASURE_WAIT_S = 0.08  # the datasheet's conversion takes 75 ms


def open_serial_port(path):
    """Opens the port and sets 115200 baud, 8 data bits, no parity, 1 stop bit, raw, no flow control."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    iflag &= ~(termios.IGNBRK | termios.BRKINT | termios.PARMRK | termios.ISTRIP | termios.INLCR
               | termios.IGNCR | termios.ICRNL | termios.IXON | termios.IXOFF)
    oflag &= ~termios.OPOST
    lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
    cflag &= ~(termios.CSIZE | termios.PARENB | termios.CSTOPB | termios.CRTSCTS)
    cflag |= termios.CS8 | termios.CLOCAL | termios.CREAD
    termios.tcsetattr(fd, termios.TCSANOW,
                      [iflag, oflag, cflag, lflag, termios.B115200, termios.B115200, cc])
    return fd


def read_sensor(bus):
    """(humidity %RH, temperature °C) of a fresh measurement; OSError when the sensor fails."""
    bus.write_byte(SENSOR_ADDRESS, CMD_MEASURE)
    time.sleep(MEASURE_WAIT_S)
    frame = bus.read_i2c_block_data(SENSOR_ADDRESS, 0x00, 6)
    raw_humidity = (frame[1] << 12) | (frame[2] << 4) | (frame[3] >> 4)
    raw_temperature = ((frame[3] & 0x0F) << 16) | (frame[4] << 8) | frame[5]
    return raw_humidity * 100 / 2**20, raw_temperature * 200 / 2**20 - 50


def publish(client, payload):
    """Publishes with QoS 1; True once the broker acknowledged it."""
    info = client.publish(TOPIC, payload, qos=1)
    if info.rc != mqtt.MQTT_ERR_SUCCESS:
        print(f"Failed to publish file data. Return code: {info.rc}", file=sys.stderr)
        return False
    info.wait_for_publish(timeout=1)
    if not info.is_published():
        info.wait_for_publish(timeout=10)
    if not info.is_published():
        print("Failed to publish file data. Return code: -1", file=sys.stderr)
        return False
    print(f"Published MQTT data - Topic: {TOPIC}, Payload: {payload}")
    return True


def main():
    client = mqtt.Client(client_id=CLIENT_ID, clean_session=True)
    client.username_pw_set(ACCESS_TOKEN)
    try:
        client.connect(BROKER_HOST, BROKER_PORT, keepalive=KEEPALIVE_S)
    except OSError:
        print("Failed to connect to MQTT server", file=sys.stderr)
        return 255
    client.loop_start()

    bus = SMBus(I2C_BUS)
    serial = open_serial_port(SERIAL_PORT)
    try:
        try:
            bus.write_byte(SENSOR_ADDRESS, CMD_INIT)
        except OSError:
            pass  # a sensor that is not there fails every measurement, reported each cycle
        while True:
            try:
                humidity, temperature = read_sensor(bus)
            except OSError:
                print("Failed to read sensor data", file=sys.stderr)
            else:
                payload = f'{{"Humidity": {humidity:.2f}, "Temperature": {temperature:.2f}}}'
                if publish(client, payload):
                    print(f"Data published to MQTT - Topic: {TOPIC}, Payload: {payload}")
            time.sleep(PAUSE_S)
    except KeyboardInterrupt:
        print("\nReceived termination signal. Cleaning up resources...")
    finally:
        client.disconnect()
        client.loop_stop()
        bus.close()
        os.close(serial)
    return 0


if __name__ == "__main__":
    sys.exit(main())
