"""kavro as a system service: the notification systemd waits for, and the
socket group that lets other users be clients. The real kavro on a
pseudo-terminal, with systemd's notification socket played by a datagram
socket of the test's own."""

import os
import shutil
import socket
import stat
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import BUILD, KAVRO, RECORDER, START, UA, Kavro, PtyPeer, require_binaries, u_frame  # noqa: E402

KAVROD = os.path.join(BUILD, "libkavrod.so.1")


class ServiceTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, RECORDER, KAVROD)
        self.peer = PtyPeer()
        self.addCleanup(self.peer.close)

    def start(self, **kw):
        return Kavro(self, registry_values={"Link": "COM1"}, ports={"COM1": self.peer.path}, **kw)

    def test_ready_is_sent_once_the_link_is_established(self):
        notify_dir = tempfile.mkdtemp(prefix="kavro-service-")
        self.addCleanup(shutil.rmtree, notify_dir, True)
        path = os.path.join(notify_dir, "notify")
        manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(manager.close)
        manager.bind(path)
        manager.settimeout(5)
        k = self.start(extra_env={"NOTIFY_SOCKET": path})
        self.peer.wait_raw(b"\x1b\x43")
        # Open port and service request are not the link: nothing yet.
        manager.setblocking(False)
        with self.assertRaises(BlockingIOError):
            manager.recv(4096)
        manager.settimeout(5)
        self.peer.write(b"PBX\r\nCTI 9600\r")
        self.peer.expect_frame("U", START)
        self.peer.write(u_frame(UA))
        k.wait_record("event 1")
        self.assertEqual(manager.recv(4096), b"READY=1\nSTATUS=Link established")

    def test_socket_group_owns_both_sockets(self):
        # Any group works for root; others may give files only to their own.
        others = [g for g in os.getgroups() if g != os.getegid()]
        group = 4242 if os.geteuid() == 0 else (others[0] if others else os.getegid())
        k = self.start(library=KAVROD, extra_env={"KAVRO_SOCKET_GROUP": str(group)})
        k.control().close()
        for name in ("KavroControlProg", "kavrod"):
            st = os.stat(os.path.join(k.run_dir, name))
            self.assertTrue(stat.S_ISSOCK(st.st_mode), name)
            self.assertEqual((st.st_gid, stat.S_IMODE(st.st_mode)), (group, 0o660), name)


if __name__ == "__main__":
    unittest.main()
