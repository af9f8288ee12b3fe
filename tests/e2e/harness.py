"""Shared machinery of the end-to-end tests: the real kavro binary on a real
pseudo-terminal (or loopback TCP), the real control socket, a recording or
the default companion library, and a scripted PBX peer that speaks the link
protocol byte for byte."""

import os
import socket
import struct
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))

# The link protocol, the pty peer and the waiting, process and trace-log
# helpers are shared with the Wine harness; the tests import them from here.
from harness_common import (DISC, DM, FRMR, PF, REJ, RNR, RR, START, SYN, UA, Frame, PtyPeer,  # noqa: E402,F401
                            TracedRun, crc16, decode, i_frame, read_records, s_frame, scratch_dir,
                            start_pbx_on_pty, start_pbx_process, stop_process, trace_messages, u_frame,
                            wait_for)

BUILD = os.environ.get("KAVRO_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
KAVRO = os.environ.get("KAVRO_BIN", os.path.join(BUILD, "kavro"))
KAVROCTL = os.environ.get("KAVROCTL_BIN", os.path.join(BUILD, "kavroctl"))
KAVRO_PBX = os.environ.get("KAVRO_PBX_BIN", os.path.join(BUILD, "kavro-pbx"))
RECORDER = os.environ.get("KAVRO_RECORDER_LIB", os.path.join(BUILD, "tests", "recorder", "libkavro_recorder.so"))

REGISTRY_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Tovik\Tovik TK-Anlage"


class ControlClient:
    def __init__(self, run_dir):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.sock.settimeout(10)
        try:
            self.sock.connect(os.path.join(run_dir, "KavroControlProg"))
        except OSError:
            self.sock.close()
            raise

    def request(self, message, word=0, data=b""):
        self.sock.send(struct.pack("<II", message, word) + data)
        return struct.unpack("<i", self.sock.recv(16))[0]

    def raw(self, packet):
        self.sock.send(packet)
        return struct.unpack("<i", self.sock.recv(16))[0]

    def send_payload(self, data, address=0):
        return self.request(0x4A, 0x00010000 | address, data)

    def close(self):
        self.sock.close()


class Kavro(TracedRun):
    """One run of the real kavro binary in a temporary run directory."""

    def __init__(self, test, registry_values=None, ports=None, link_args=(), library=None,
                 extra_env=None, registry_text=None, preexec_fn=None, account=None, before_start=None,
                 run_dir=None):
        """`account` (a pwd entry) runs kavro as that account, with its
        temporary directory handed over; `before_start` is called with the
        run, its files in place, just before kavro starts."""
        self.test = test
        self.dir = scratch_dir(test, "kavro-e2e-")
        # A run directory of an earlier run: what kavro remembers there.
        self.run_dir = run_dir or os.path.join(self.dir, "run")
        self.log_dir = os.path.join(self.dir, "log")
        os.makedirs(self.log_dir)
        self.log_path = os.path.join(self.log_dir, "kavro.log")
        open(self.log_path, "w").close()
        self.record_path = os.path.join(self.dir, "record.txt")
        self.registry = os.path.join(self.dir, "kavro.reg")
        if registry_text is None:
            lines = ["Windows Registry Editor Version 5.00", "", "[%s]" % REGISTRY_KEY]
            for k, v in (registry_values or {}).items():
                lines.append('"%s"=%s' % (k, v if isinstance(v, str) and v.startswith("dword:") else '"%s"' % v))
            if ports:
                lines += ["", "[%s\\Ports]" % REGISTRY_KEY]
                for k, v in ports.items():
                    lines.append('"%s"="%s"' % (k, v))
            registry_text = "\r\n".join(lines) + "\r\n"
        with open(self.registry, "w") as f:
            f.write(registry_text)
        env = dict(os.environ)
        env["KAVRO_RECORD_FILE"] = self.record_path
        env.update(extra_env or {})
        args = [KAVRO, "--registry", self.registry, "--run-dir", self.run_dir, "--log-dir", self.log_dir]
        lib = RECORDER if library is None else library
        if lib:
            args += ["--delivery-library", lib]
        args += list(link_args)
        if account is not None:
            for root, _, files in os.walk(self.dir):
                for path in [root] + [os.path.join(root, f) for f in files]:
                    os.chown(path, account.pw_uid, account.pw_gid)
            args = ["setpriv", "--reuid", str(account.pw_uid), "--regid", str(account.pw_gid),
                    "--clear-groups", "--"] + args
        if before_start is not None:
            before_start(self)
        self.proc = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     preexec_fn=preexec_fn)
        test.addCleanup(self.kill)

    def control(self, timeout=5.0):
        path = os.path.join(self.run_dir, "KavroControlProg")
        end = time.monotonic() + timeout
        while True:
            try:
                client = ControlClient(self.run_dir)
                self.test.addCleanup(client.close)
                return client
            except OSError:
                if time.monotonic() > end or self.proc.poll() is not None:
                    raise AssertionError("control socket %s never came up; log:\n%s" % (path, self.log()))
                time.sleep(0.02)


def require_binaries(*paths):
    missing = [p for p in paths if not os.path.exists(p)]
    if missing:
        raise unittest.SkipTest("not built: %s" % ", ".join(missing))
