"""End to end: tessaro in a PC namespace, a simulated card terminal and PIN pad on their USB links,
and a LAN host, all in private network namespaces made and removed by each test."""

import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import status_section  # noqa: E402
from topology import TOOLS, Topology  # noqa: E402

BINARY = os.environ.get("TESSARO_BINARY", "build/native/proxy/tessaro")

TERMINAL_LAN = {"kind": "terminal", "ip": "10.77.0.1", "mac": "02:00:00:00:00:01", "port": 4742,
                "name": "Sim-Terminal", "items": [1, 2]}
PINPAD_LAN = {"kind": "pinpad", "ip": "10.77.0.1", "mac": "02:00:00:00:00:01", "port": 64742,
              "name": "Sim-Pinpad", "items": [], "bytes": "0001", "text": "SICCT-Lite"}


class E2E(unittest.TestCase):
    def setUp(self):
        self.topo = Topology("e2e")
        self.addCleanup(self.topo.close)

    def start(self, registry=None, devices=("terminal", "pinpad")):
        self.topo.write_registry(registry or {})
        for kind in devices:
            self.topo.device(kind, "--seconds", "120")
        self.proc = self.topo.tessaro(os.path.abspath(BINARY), "-v")
        return self.proc

    def wait_log(self, text, count=1, timeout=15):
        ok = self.topo.wait_for_log(self.proc, text, timeout=timeout, count=count)
        self.assertTrue(ok, f"no {text!r} in the log:\n{self.topo.read_log(self.proc)[-4000:]}")

    def stop(self):
        started = time.monotonic()
        self.proc.send_signal(signal.SIGINT)
        rc = self.proc.wait(10)
        return rc, time.monotonic() - started

    def test_both_proxies_relay_discover_announce_and_publish(self):
        # A LAN listener for the periodic announcements, there before the proxy runs.
        listener = subprocess.Popen(
            ["ip", "netns", "exec", self.topo.ns["lan"], sys.executable, os.path.join(TOOLS, "lan_client.py"),
             "listen", "--port", "47500", "--seconds", "6"], stdout=subprocess.PIPE, text=True)
        time.sleep(0.3)
        self.start({"connector-ip-address": "10.77.0.2", "connector-udp-port": 47500})
        for kind, udp in (("terminal", 4742), ("pinpad", 64742)):
            self.wait_log(f"[tessaro::proxy::{kind}] Starting SICCT Service Discovery at 10.77.0.1:{udp}")
        log = self.topo.read_log(self.proc)
        self.assertIn("[tessaro::proxy::terminal] Device found: Kind: SICCT, Name: Sim-Terminal, MAC Address: "
                      "02:00:00:00:01:02, IP Address: 10.77.1.2, SICCT Port: 4742", log)
        self.assertIn("[tessaro::proxy::terminal] Starting HTTPS server at 10.77.0.1:443", log)
        self.assertIn("[tessaro::proxy::pinpad] Starting HTTPS server at 10.77.0.1:60443", log)

        # Discovery, unicast and broadcast, answered with the rewritten announcement.
        for kind, port, expected in (("terminal", 4742, TERMINAL_LAN), ("pinpad", 64742, PINPAD_LAN)):
            for to in ("10.77.0.1", "10.77.0.255"):
                got = self.topo.lan("discover", "--kind", kind, "--to", to, "--port", str(port),
                                    "--reply-ip", "10.77.0.2", "--reply-port", "47420")
                self.assertEqual(got["answer"], expected, f"{kind} via {to}")
        # The answer follows the address written in the request, not the sender.
        got = self.topo.lan("discover", "--kind", "terminal", "--to", "10.77.0.1", "--port", "4742",
                            "--reply-ip", "10.77.0.2", "--reply-port", "47421", "--send-from-port", "47422")
        self.assertEqual(got["answer"], TERMINAL_LAN)

        # Bytes through every relay, both ways, unchanged; a large transfer and several clients.
        for port, size, clients in ((4742, 20_000_000, 3), (443, 2_000_000, 2), (64742, 1_000_000, 2),
                                    (60443, 1_000_000, 1)):
            got = self.topo.lan("echo", "--host", "10.77.0.1", "--port", str(port), "--bytes", str(size),
                                "--clients", str(clients), timeout=120)
            self.assertTrue(got["ok"], f"port {port}: {got}")
        # A request ended with a half-close, as socat sends it, still gets its whole answer.
        for port in (4742, 60443):
            got = self.topo.lan("request", "--host", "10.77.0.1", "--port", str(port), "--bytes", "300000")
            self.assertTrue(got["ok"], f"port {port}: {got}")

        announcements = listener.communicate(timeout=20)[0]
        self.assertIn('"name": "Sim-Terminal"', announcements)

        terminal, pinpad = status_section.read()
        self.assertEqual(terminal, {"interface_name": "lan0", "ip": "10.77.0.1", "mac": "02:00:00:00:00:01",
                                    "device_ip": "10.77.1.2", "device_mac": "02:00:00:00:01:02"})
        self.assertEqual(pinpad["device_ip"], "10.77.2.2")

        rc, took = self.stop()
        self.assertEqual(rc, 0, self.topo.read_log(self.proc)[-3000:])
        self.assertLess(took, 3.0)
        self.assertTrue(self.topo.read_log(self.proc).rstrip().endswith("[tessaro::app] Stopped."))

    def test_device_adapter_going_down_and_back(self):
        self.start(devices=("terminal",))
        self.wait_log("[tessaro::proxy::terminal] Starting SICCT Service Discovery at 10.77.0.1:4742")
        self.topo.ip(self.topo.ns["pc"], "link", "set", "ct0", "down")
        self.wait_log("[tessaro::proxy::terminal] Device interface removed!", timeout=10)
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline and status_section.read()[0] is not None:
            time.sleep(0.1)
        self.assertIsNone(status_section.read()[0])
        self.topo.ip(self.topo.ns["pc"], "link", "set", "ct0", "up")
        self.wait_log("[tessaro::proxy::terminal] Starting SICCT Service Discovery at 10.77.0.1:4742", count=2,
                      timeout=15)
        got = self.topo.lan("echo", "--host", "10.77.0.1", "--port", "4742", "--bytes", "100000")
        self.assertTrue(got["ok"], got)
        self.assertEqual(self.stop()[0], 0)

    def test_pinpad_on_the_card_terminals_link(self):
        self.start({"pinpad-pc-use-terminal": 1})
        self.wait_log("[tessaro::proxy::pinpad] Starting SICCT Service Discovery at 10.77.1.1:64742", timeout=15)
        self.wait_log("[tessaro::proxy::pinpad] Starting HTTPS server at 10.77.0.1:60443")
        # The card terminal is the PIN pad's peer: it finds and reaches it on its own link.
        out = subprocess.run(["ip", "netns", "exec", self.topo.ns["term"], sys.executable,
                              os.path.join(TOOLS, "lan_client.py"), "discover", "--kind", "pinpad",
                              "--to", "10.77.1.255", "--port", "64742", "--reply-ip", "10.77.1.2",
                              "--reply-port", "47430"], capture_output=True, text=True, timeout=30)
        self.assertIn('"ip": "10.77.1.1"', out.stdout, out.stderr)
        out = subprocess.run(["ip", "netns", "exec", self.topo.ns["term"], sys.executable,
                              os.path.join(TOOLS, "lan_client.py"), "echo", "--host", "10.77.1.1",
                              "--port", "64742", "--bytes", "200000"], capture_output=True, text=True, timeout=60)
        self.assertIn('"ok": true', out.stdout, out.stderr)
        got = self.topo.lan("echo", "--host", "10.77.0.1", "--port", "60443", "--bytes", "200000")
        self.assertTrue(got["ok"], got)

        # The card terminal's adapter goes away: the PIN pad falls back once.
        self.topo.ip(self.topo.ns["pc"], "link", "set", "ct0", "down")
        self.wait_log("[tessaro::proxy::pinpad] Terminal proxy disconnected!", timeout=10)
        time.sleep(3.5)
        self.assertEqual(self.topo.read_log(self.proc).count("Terminal proxy disconnected!"), 1)
        self.assertEqual(self.stop()[0], 0)

    def test_sigint_while_idle_stops_at_once(self):
        self.start(devices=())
        self.wait_log("[tessaro::app] Configuration: Default")
        time.sleep(0.5)
        rc, took = self.stop()
        self.assertEqual(rc, 0)
        self.assertLess(took, 3.0)  # 50 ms latency; slack for sanitizer builds
        self.assertTrue(self.topo.read_log(self.proc).rstrip().endswith("Stopped."))


if __name__ == "__main__":
    unittest.main()
