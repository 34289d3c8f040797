#!/usr/bin/env python3
"""The demo: tessaro against a simulated card terminal and PIN pad in private network namespaces,
with a LAN host that discovers both devices and talks through all four relays. Everything it
makes is removed at the end."""

import os
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from topology import Topology  # noqa: E402


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build", "native", "proxy",
                                                                 "tessaro")
    seconds = float(os.environ.get("TESSARO_DEMO_SECONDS", "8"))
    topo = Topology("demo")
    try:
        topo.write_registry({})
        topo.device("terminal", "--seconds", "60")
        topo.device("pinpad", "--seconds", "60")
        print("== tessaro -v in the PC namespace (LAN adapter lan0 10.77.0.1, USB links ct0 and pp0)")
        proc = topo.tessaro(os.path.abspath(binary), "-v")
        ready = all(topo.wait_for_log(proc, f"Starting SICCT Service Discovery at 10.77.0.1:{port}", timeout=10)
                    for port in (4742, 64742))
        print("== both proxies running:", ready)
        for kind, port in (("terminal", 4742), ("pinpad", 64742)):
            got = topo.lan("discover", "--kind", kind, "--to", "10.77.0.255", "--port", str(port),
                           "--reply-ip", "10.77.0.2", "--reply-port", "47420")
            print(f"== LAN host asks for a {kind} (broadcast): {got['answer']}")
        for name, port in (("terminal SICCT", 4742), ("terminal HTTPS", 443), ("PIN pad SICCT", 64742),
                           ("PIN pad HTTPS", 60443)):
            got = topo.lan("echo", "--host", "10.77.0.1", "--port", str(port), "--bytes", "1000000",
                           "--clients", "2")
            print(f"== 2 clients x 1 MB through the {name} relay (port {port}), echoed back intact: {got['ok']}")
        deadline = time.monotonic() + max(0.0, seconds - 4)
        while time.monotonic() < deadline and proc.poll() is None:
            time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        rc = proc.wait(10)
        print(f"== Ctrl-C: tessaro ended with exit code {rc}")
        print("== tessaro's log (chunk lines left out):")
        for line in topo.read_log(proc).splitlines():
            if " Bytes" not in line:
                print("   " + line)
        return 0 if ready and rc == 0 else 1
    finally:
        topo.close()
        print("== namespaces removed")


if __name__ == "__main__":
    sys.exit(main())
