#!/usr/bin/python3
"""Start-up: a broker that cannot be reached or refuses the token ends the agent
with exit status 255 before it touches the sensor or the serial port."""

import unittest

from harness import AgentTestCase


class StartupFailure(AgentTestCase):
    def test_no_broker(self):
        self.assertGaveUp(self.start_agent())

    def test_token_refused(self):
        self.start_broker(token="AnotherDeviceToken42")
        self.assertGaveUp(self.start_agent())
        self.assertEqual(self.observer.messages(), [])


if __name__ == "__main__":
    unittest.main()
