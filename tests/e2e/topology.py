"""Private network namespaces for end-to-end runs: the PC that runs tessaro, a simulated card
terminal, a simulated PIN pad and a LAN host, joined by veth pairs. Every name carries a unique
suffix; everything made here is removed again by close(), also after a failure. Addresses lie
inside these namespaces only.

  lan  (10.77.0.2) ---- lan0 (10.77.0.1)  pc  ct0 (10.77.1.1) ---- (10.77.1.2) terminal
                                              pp0 (10.77.2.1) ---- (10.77.2.2) pinpad
"""

import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("TESSARO_SOURCE_DIR", os.path.abspath(os.path.join(HERE, "..", "..")))
TOOLS = os.path.join(SOURCE_DIR, "tools")

TERMINAL_PNP = "USB\\VID_2B7A&PID_0C41&MI_00\\7&2A1B3C4D&0&0000"
PINPAD_PNP = "USB\\VID_2B7A&PID_0C42&MI_00\\7&5E6F7A8B&0&0000"


def run(*cmd, check=True):
    return subprocess.run(cmd, check=check, capture_output=True, text=True)


class Topology:
    def __init__(self, tag="e2e"):
        self.suffix = f"{tag}{os.getpid()}"
        self.ns = {name: f"tss-{name}-{self.suffix}" for name in ("pc", "lan", "term", "pin")}
        self.tmp = tempfile.TemporaryDirectory(prefix="tessaro-e2e-")
        self.procs = []
        self.made = []
        try:
            self._build()
        except Exception:
            self.close()
            raise

    # -- set-up ---------------------------------------------------------------------------
    def _build(self):
        for ns in self.ns.values():
            run("ip", "netns", "add", ns)
            self.made.append(ns)
            self.ip(ns, "link", "set", "lo", "up")
        self._link("pc", "lan0", "10.77.0.1/24", "lan", "eth0", "10.77.0.2/24", "02:00:00:00:00:01",
                   "02:00:00:00:00:02")
        self._link("pc", "ct0", "10.77.1.1/24", "term", "eth0", "10.77.1.2/24", "02:00:00:00:01:01",
                   "02:00:00:00:01:02")
        self._link("pc", "pp0", "10.77.2.1/24", "pin", "eth0", "10.77.2.2/24", "02:00:00:00:02:01",
                   "02:00:00:00:02:02")
        self.wmi_rows = os.path.join(self.tmp.name, "wmi-rows.txt")
        with open(self.wmi_rows, "w") as f:
            f.write(f"ct0\t{TERMINAL_PNP}\npp0\t{PINPAD_PNP}\n")
        self.registry = os.path.join(self.tmp.name, "registry.reg")

    def _link(self, a, a_if, a_ip, b, b_if, b_ip, a_mac, b_mac):
        tmp_a = f"va{a_if}{os.getpid() % 10000}"
        tmp_b = f"vb{a_if}{os.getpid() % 10000}"
        run("ip", "link", "add", tmp_a, "type", "veth", "peer", "name", tmp_b)
        run("ip", "link", "set", tmp_a, "netns", self.ns[a])
        run("ip", "link", "set", tmp_b, "netns", self.ns[b])
        for ns, tmp, name, ip, mac in ((self.ns[a], tmp_a, a_if, a_ip, a_mac),
                                       (self.ns[b], tmp_b, b_if, b_ip, b_mac)):
            self.ip(ns, "link", "set", tmp, "name", name)
            self.ip(ns, "link", "set", name, "address", mac)
            self.ip(ns, "addr", "add", ip, "brd", "+", "dev", name)
            self.ip(ns, "link", "set", name, "up")

    def ip(self, ns, *args):
        return run("ip", "-n", ns, *args)

    def write_registry(self, values):
        """values: {name: int | str} under HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvel\\Tessaro."""
        lines = ["Windows Registry Editor Version 5.00", "",
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvel\\Tessaro]"]
        for name, value in values.items():
            if isinstance(value, int):
                lines.append(f'"{name}"=dword:{value:08x}')
            else:
                escaped = value.replace("\\", "\\\\").replace('"', '\\"')
                lines.append(f'"{name}"="{escaped}"')
        with open(self.registry, "w", encoding="utf-8") as f:
            f.write("\r\n".join(lines) + "\r\n")

    # -- processes ------------------------------------------------------------------------
    def spawn(self, ns, argv, env=None, log_name=None):
        log_path = os.path.join(self.tmp.name, (log_name or os.path.basename(argv[0])) + ".log")
        log = open(log_path, "w")
        full_env = dict(os.environ)
        full_env.update(env or {})
        p = subprocess.Popen(["ip", "netns", "exec", self.ns[ns]] + list(argv), stdout=log,
                             stderr=subprocess.STDOUT, env=full_env)
        p.log_path = log_path
        p.log_file = log
        self.procs.append(p)
        return p

    def device(self, kind, *extra):
        ns, ip, mac = ("term", "10.77.1.2", "02:00:00:00:01:02") if kind == "terminal" else (
            "pin", "10.77.2.2", "02:00:00:00:02:02")
        p = self.spawn(ns, [sys.executable, os.path.join(TOOLS, "device_sim.py"), "--kind", kind,
                            "--ip", ip, "--mac", mac, *extra], log_name=f"device-{kind}")
        # It prints its first line once its sockets are bound.
        if not self.wait_for_log(p, "device_sim ", timeout=10):
            raise RuntimeError(f"simulated {kind} did not start: {self.read_log(p)}")
        return p

    def tessaro(self, binary, *args):
        env = {"TESSARO_REGISTRY_FILE": self.registry, "TESSARO_WMI_ROWS": self.wmi_rows,
               "NO_COLOR": "1"}
        return self.spawn("pc", [binary, *args], env=env, log_name="tessaro")

    def lan(self, *args, timeout=60):
        out = subprocess.run(["ip", "netns", "exec", self.ns["lan"], sys.executable,
                              os.path.join(TOOLS, "lan_client.py"), *args],
                             capture_output=True, text=True, timeout=timeout)
        if out.returncode != 0:
            raise RuntimeError(f"lan_client failed: {out.stderr}")
        return json.loads(out.stdout)

    @staticmethod
    def read_log(p):
        with open(p.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_for_log(self, p, text, timeout=15, count=1):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.read_log(p).count(text) >= count:
                return True
            if p.poll() is not None:
                break
            time.sleep(0.05)
        return self.read_log(p).count(text) >= count

    # -- tear-down ------------------------------------------------------------------------
    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
            p.log_file.close()
        for ns in self.made:
            run("ip", "netns", "del", ns, check=False)
        self.made = []
        self.tmp.cleanup()
