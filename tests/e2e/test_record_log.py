"""The record log with the real kavro, the real library and kavro-pbx: what
kavro acknowledged to the PBX survives kavro's death, and what it read on
TCP survives a restart."""

import os
import shutil
import tempfile
import time
import unittest

from harness import KAVRO, KAVRO_PBX, require_binaries
from record_log_support import KAVROD, KillLoop


class RecordLogTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, KAVRO_PBX, KAVROD)
        self.dir = tempfile.mkdtemp(prefix="kavro-rlog-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def test_what_the_pbx_saw_acknowledged_survives_kills_of_kavro(self):
        seed = int(os.environ.get("KAVRO_KILL_SEED", time.time_ns() % 1000000))
        print("kill loop seed %d (KAVRO_KILL_SEED=%d repeats it)" % (seed, seed))
        loop = KillLoop(self.dir, seed)
        self.addCleanup(loop.close)
        expected, missing = loop.run(kills=10)
        client = loop.client
        print("seed %d: %d payloads acknowledged to the PBX, %d records taken by the client, %d starts"
              % (seed, len(expected), len(client.by_identity), loop.starts))
        self.assertGreater(len(expected), 50, "the stream hardly ran")
        self.assertEqual(loop.errors(), [])
        self.assertEqual(sorted(missing)[:10], [], "seed %d: %d acknowledged payloads never reached the client; "
                         "kavro said: %s" % (seed, len(missing), " | ".join(loop.lines()[-20:])))
        self.assertEqual(client.conflicts[:5], [], "seed %d: one identity, two payloads" % seed)
        self.assertEqual(client.not_marked[:5], [], "seed %d: old records served again without the mark" % seed)


if __name__ == "__main__":
    unittest.main()
