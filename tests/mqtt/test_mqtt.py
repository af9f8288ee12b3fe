"""kavro-mqtt between a real kavro on a TCP link to kavro-pbx and a real
mosquitto on 127.0.0.1 (a plain listener with a password file, a TLS
listener with a throw-away CA), read by a paho MQTTv5 subscriber with a
persistent session."""

import json
import os
import pwd
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from harness import (BUILD, KAVRO, KAVRO_PBX, KAVROCTL, REGISTRY_KEY, require_binaries, stop_process,  # noqa: E402
                     wait_for)

try:
    import paho.mqtt.client as paho
    from paho.mqtt.packettypes import PacketTypes
    from paho.mqtt.properties import Properties
except ImportError:  # pragma: no cover
    paho = None

BRIDGE = os.path.join(BUILD, "kavro-mqtt")
# Run as by hand: the bridge tells the service manager by these.
HAND_ENV = {k: v for k, v in os.environ.items() if k not in ("INVOCATION_ID", "JOURNAL_STREAM")}
KAVROD = os.path.join(BUILD, "libkavrod.so.1")
USER, PASSWORD = "bridge", "s3cret-pw"
PREFIX = "kavro/TCP"
# Whether the companion library keeps records until a client acknowledges
# them: without it a killed bridge loses what was in transit.
with open(os.path.join(os.path.dirname(__file__), "..", "..", "libkavrod", "kavrod.h")) as _header:
    ACKNOWLEDGED = "KAVROD_REQUEST_ACKNOWLEDGED" in _header.read()


def numbered(i):
    return struct.pack(">I", i) + bytes([i & 0xFF]) * 12


def private_file(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o600)
    return path


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, capture_output=True)


def make_ca(dir, name):
    """A throw-away CA and, signed by it, a certificate for IP:127.0.0.1."""
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=%s-ca" % name,
            "-keyout", name + "-ca.key", "-out", name + "-ca.pem", cwd=dir)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", name + "-server.key",
            "-out", name + "-server.csr", cwd=dir)
    with open(os.path.join(dir, "san.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", name + "-server.csr", "-CA", name + "-ca.pem", "-CAkey", name + "-ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "san.ext", "-out", name + "-server.pem", cwd=dir)
    return os.path.join(dir, name + "-ca.pem")


EXPORTER = "/usr/bin/prometheus-mqtt-exporter"
EXPORTER_CONFIG = os.path.join(os.path.dirname(__file__), "..", "..", "packaging", "mqtt",
                               "prometheus-mqtt-exporter.yaml")
# The broker settings the documentation gives for at least once to a consumer.
SNIPPET = os.path.join(os.path.dirname(__file__), "..", "..", "packaging", "mqtt", "mosquitto-kavro.conf")


def snippet_lines():
    with open(SNIPPET) as f:
        return [line.strip() for line in f if line.strip() and not line.startswith("#")]


class Broker:
    """mosquitto with the documented settings, a plain and a TLS listener,
    and an ACL when one is given."""

    def __init__(self, test, dir, acl=None):
        self.dir, self.port, self.tls_port = dir, free_port(), free_port()
        self.acl = os.path.join(dir, "acl")
        if acl:
            self.set_acl(acl)
        self.ca = make_ca(dir, "test")
        subprocess.run(["mosquitto_passwd", "-c", "-b", os.path.join(dir, "passwd"), USER, PASSWORD], check=True)
        subprocess.run(["mosquitto_passwd", "-b", os.path.join(dir, "passwd"), "reader", "reader"], check=True)
        self.conf = os.path.join(dir, "mosquitto.conf")
        with open(self.conf, "w") as f:
            f.write("\n".join([
                "user root", "per_listener_settings false", "allow_anonymous false",
                "password_file %s/passwd" % dir, "persistence_location %s/" % dir,
                "autosave_interval 1", "log_dest file %s/broker.log" % dir] + snippet_lines() +
                (["acl_file " + self.acl] if acl else []) + [
                "listener %d 127.0.0.1" % self.port,
                "listener %d 127.0.0.1" % self.tls_port, "cafile %s" % self.ca,
                "certfile %s/test-server.pem" % dir, "keyfile %s/test-server.key" % dir, ""]))
        self.proc = None
        test.addCleanup(self.stop)
        self.start()

    def start(self):
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)

        def up():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        wait_for(up, "mosquitto to listen", 10)

    def set_acl(self, text, reload=False):
        with open(self.acl, "w") as f:
            f.write(text)
        if reload:
            self.proc.send_signal(signal.SIGHUP)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


class Subscriber:
    """A paho MQTTv5 client with a persistent session, collecting messages."""

    def __init__(self, test, broker, topic, client_id="test-reader", clean=False):
        self.messages, self.lock = [], threading.Lock()
        self.subscribed = threading.Event()
        self.client = paho.Client(client_id=client_id, protocol=paho.MQTTv5)
        self.client.username_pw_set("reader", "reader")
        self.client.reconnect_delay_set(0.1, 0.5)
        self.topic = topic
        self.client.on_connect = lambda c, u, f, rc, p=None: c.subscribe(topic, qos=1)
        self.client.on_subscribe = lambda *a: self.subscribed.set()
        self.client.on_message = self.on_message
        props = Properties(PacketTypes.CONNECT)
        props.SessionExpiryInterval = 0 if clean else 3600
        self.client.connect("127.0.0.1", broker.port, 10, clean_start=clean, properties=props)
        self.client.loop_start()
        test.addCleanup(self.close)
        test.assertTrue(self.subscribed.wait(10), "no SUBACK")

    def on_message(self, client, userdata, msg):
        props = dict(getattr(msg.properties, "UserProperty", []) or [])
        with self.lock:
            self.messages.append((msg.topic, bytes(msg.payload), props, msg.retain))

    def on(self, topic):
        with self.lock:
            return [m for m in self.messages if m[0] == topic]

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class Bridge:
    def __init__(self, test, run_dir, spool, broker, *args, url=None, service=False, config=None):
        self.args = [BRIDGE, "--config", config or "/dev/null", "--run-dir", run_dir, "--spool-dir", spool,
                     "--broker", url or "mqtt://127.0.0.1:%d" % broker.port] + ([] if config else ["--keepalive", "5"])
        self.args += ["--username", USER, "--password-file",
                      private_file(os.path.join(broker.dir, "password"), PASSWORD + "\n")]
        self.args += list(args) + ["TCP"]
        # As the unit runs it: faults that heal are waited out.
        self.env = dict(HAND_ENV, INVOCATION_ID="0123456789abcdef") if service else HAND_ENV
        self.lines, self.cond = [], threading.Condition()
        test.addCleanup(self.kill)
        self.start()

    def start(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                     env=self.env)
        threading.Thread(target=self.read, args=(self.proc.stderr,), daemon=True).start()

    def read(self, stream):
        for line in iter(stream.readline, ""):
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def wait(self, text, count=1, timeout=20):
        with self.cond:
            if not self.cond.wait_for(lambda: sum(text in l for l in self.lines) >= count, timeout):
                raise AssertionError("kavro-mqtt never said %r; it said %r" % (text, self.lines))

    def said(self, text):
        with self.cond:
            return [l for l in self.lines if text in l]

    def kill(self, sig=signal.SIGKILL):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            self.proc.wait(10)
        return self.proc.returncode


class MqttBridgeTest(unittest.TestCase):
    def setUp(self):
        require_binaries(KAVRO, KAVRO_PBX, KAVROCTL, KAVROD, BRIDGE)
        if paho is None or not shutil.which("mosquitto"):
            self.skipTest("needs mosquitto and python3-paho-mqtt (run with /usr/bin/python3)")
        self.dir = tempfile.mkdtemp(prefix="kavro-mqtt-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.broker = Broker(self, self.dir)
        self.spool = os.path.join(self.dir, "spool")

    def start_link(self, *kavro_args):
        """kavro-pbx serving TCP, fed on its standard input, and kavro with
        the default library connected to it."""
        pbx = subprocess.Popen([KAVRO_PBX, "--tcp", "0", "--print-path-only", "-q", "--keepalive-ms", "0"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, pbx)
        port = int(pbx.stdout.readline())
        registry = os.path.join(self.dir, "kavro.reg")
        with open(registry, "w") as f:
            f.write("Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n" % REGISTRY_KEY +
                    '"Link"="TCP"\r\n"TapiSvrIpAddr"="127.0.0.1"\r\n'
                    '"TapiSvrIpPort"=dword:%08x\r\n"Keepalive"=dword:00000000\r\n' % port)
        self.run_dir = os.path.join(self.dir, "run")
        kavro = subprocess.Popen([KAVRO, "--registry", registry, "--run-dir", self.run_dir, "--log-dir",
                                  os.path.join(self.dir, "nolog"), "--delivery-library", KAVROD, "-q"] +
                                 list(kavro_args),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, kavro)
        wait_for(lambda: os.path.exists(os.path.join(self.run_dir, "KavroControlProg")), "kavro", 10)
        return pbx, kavro

    def feed(self, pbx, count, first=0):
        text = "".join(numbered(i).hex() + "\n" for i in range(first, first + count)).encode()

        def write():
            pbx.stdin.write(text)
            pbx.stdin.flush()
        # One writer at a time, so that the lines of two feeds never mix.
        if getattr(self, "feeder", None):
            self.feeder.join(30)
        self.feeder = threading.Thread(target=write, daemon=True)
        self.feeder.start()

    def check_stream(self, sub, count, what, prefix=PREFIX):
        """Every payload arrived, in the order of its identity; repeats are
        counted, not failures."""
        wait_for(lambda: len({m[1] for m in sub.on(prefix + "/rx")}) >= count,
                 "%d payloads (%s)" % (count, what), 60)
        rx = sub.on(prefix + "/rx")
        firsts, seen = [], set()
        for topic, payload, props, _ in rx:
            self.assertEqual(props.get("address"), "20")
            start, seq = props["id"].split("-")
            if props["id"] not in seen:
                seen.add(props["id"])
                firsts.append((int(start, 16), int(seq), payload))
        payloads = [p for _, _, p in firsts]
        lost = count - len(set(payloads) & {numbered(i) for i in range(count)})
        print("\n%s: %d payloads, %d lost, %d duplicates" % (what, count, lost, len(rx) - len(firsts)))
        self.assertEqual(lost, 0)
        self.assertEqual(payloads, [numbered(i) for i in range(count)])
        self.assertEqual(sorted(firsts), firsts, "identities out of order")
        return rx

    def test_stream_survives_a_broker_restart_in_the_middle(self):
        pbx, kavro = self.start_link()
        sub = Subscriber(self, self.broker, PREFIX + "/#")
        bridge = Bridge(self, self.run_dir, self.spool, self.broker)
        bridge.wait("connected to the broker")
        # Fed once the bridge takes records: before, kavro keeps only its backlog.
        bridge.wait("taking the records of kavro")
        n = 10000
        self.feed(pbx, n)
        wait_for(lambda: len(sub.on(PREFIX + "/rx")) > n // 4, "the first quarter", 30)
        self.broker.stop()
        time.sleep(3)
        self.broker.start()
        bridge.wait("connected to the broker", count=2, timeout=30)
        self.check_stream(sub, n, "broker restart")
        self.assertIn("lost the broker", "\n".join(bridge.lines))
        # The status follows: everything published, nothing left, nothing dropped.
        status = Subscriber(self, self.broker, PREFIX + "/status", client_id="status-reader", clean=True)

        def settled():
            got = status.on(PREFIX + "/status")
            return got and json.loads(got[-1][1])["bridge"]["spool_records"] == 0
        wait_for(settled, "a status with an empty spool", 15)
        last = json.loads(status.on(PREFIX + "/status")[-1][1])
        self.assertEqual(last["state"], "established")
        self.assertGreaterEqual(last["bridge"]["records_published"], n)
        self.assertEqual(last["bridge"]["records_dropped"], 0)
        if ACKNOWLEDGED:
            # The bridge is kavro's acknowledged client, in both status records.
            self.assertTrue(last["bridge"]["acknowledged"])
            self.assertEqual(last["acknowledged_clients"], 1)
            out = subprocess.run([KAVROCTL, "--run-dir", self.run_dir, "status"], capture_output=True, text=True,
                                 timeout=30).stdout
            self.assertRegex(out, r"acknowledged clients +1\n")

    def test_bridge_killed_or_stopped_mid_stream_loses_nothing_and_keeps_state(self):
        pbx, kavro = self.start_link()
        sub = Subscriber(self, self.broker, PREFIX + "/#")
        bridge = Bridge(self, self.run_dir, self.spool, self.broker)
        bridge.wait("connected to the broker")
        wait_for(lambda: [m[1] for m in sub.on(PREFIX + "/state")][-1:] == [b"up"], "state up", 10)
        # Killed while the first third streams; the second third comes while
        # it is away, and waits in the library.
        n, third = 9999, 3333
        self.feed(pbx, third)
        wait_for(lambda: len(sub.on(PREFIX + "/rx")) >= 100, "the stream", 30)
        bridge.kill(signal.SIGKILL)
        # The broker saw the connection drop without a DISCONNECT: the will.
        wait_for(lambda: [m[1] for m in sub.on(PREFIX + "/state")][-1:] == [b"offline"], "the will", 10)
        if not ACKNOWLEDGED:
            self.skipTest("the companion library has no acknowledged clients yet")
        self.feed(pbx, third, third)
        bridge.start()
        bridge.wait("connected to the broker", count=2)
        wait_for(lambda: [m[1] for m in sub.on(PREFIX + "/state")][-1:] == [b"up"], "state up again", 10)
        # Stopped in order while the second third streams; the last comes meanwhile.
        wait_for(lambda: len(sub.on(PREFIX + "/rx")) >= third + 100, "the second third", 30)
        self.assertEqual(bridge.kill(signal.SIGTERM), 0)
        wait_for(lambda: [m[1] for m in sub.on(PREFIX + "/state")][-1:] == [b"offline"], "offline", 10)
        self.feed(pbx, third, 2 * third)
        bridge.start()
        self.check_stream(sub, n, "bridge SIGKILL and SIGTERM restarts")
        # Link down: state follows, and a tx request is refused with kavro's reason.
        kavro.kill()
        wait_for(lambda: [m[1] for m in sub.on(PREFIX + "/state")][-1:] == [b"down"], "state down", 10)

    def last_json(self, sub, topic):
        got = sub.on(topic)
        return json.loads(got[-1][1]) if got else None

    def start_exporter(self):
        """Debian's prometheus-mqtt-exporter with the documented
        configuration, pointed at the test's broker: a reader of its page."""
        if not os.path.exists(EXPORTER):
            self.skipTest("needs prometheus-mqtt-exporter (scripts/deps.sh --tests)")
        with open(EXPORTER_CONFIG) as f:
            text = f.read().replace("tcp://localhost:1883", "tcp://127.0.0.1:%d" % self.broker.port)
        config = os.path.join(self.dir, "exporter.yaml")
        with open(config, "w") as f:
            f.write(text.replace("user: cti-reader", "user: reader"))
        port = free_port()
        exporter = subprocess.Popen([EXPORTER, "-config", config, "-listen-address", "127.0.0.1", "-listen-port",
                                     str(port)], env=dict(os.environ, MQTT2PROM_MQTT_PASSWORD="reader"),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, exporter)

        def metrics():
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as page:
                    return page.read().decode()
            except OSError:
                return ""
        return metrics

    def test_one_bridge_per_spool_a_taken_slot_reload_and_the_status(self):
        pbx, kavro = self.start_link()
        states = Subscriber(self, self.broker, PREFIX + "/state", client_id="state-reader", clean=True)
        status = Subscriber(self, self.broker, PREFIX + "/status", client_id="status-reader", clean=True)
        conf = os.path.join(self.dir, "kavro-mqtt.conf")
        with open(conf, "w") as f:
            f.write("keepalive = 5\n")
        first = Bridge(self, self.run_dir, self.spool, self.broker)
        first.wait("connected to the broker")
        # The same spool from a terminal: one line naming the holder, at once.
        r = subprocess.run(first.args, capture_output=True, text=True, timeout=30, env=HAND_ENV)
        self.assertEqual(r.returncode, 3, r.stderr)
        self.assertEqual(r.stderr.splitlines(), [
            "<3>kavro-mqtt: the spool %s is in use by process %d (another kavro-mqtt for this link); stop it, or "
            "give this one its own --spool-dir" % (self.spool, first.proc.pid)])
        # Another bridge on its own spool finds the acknowledged slot taken:
        # said once with the reason, and tried again ever more slowly.
        other = Bridge(self, self.run_dir, os.path.join(self.dir, "other"), self.broker, "--topic-prefix", "other",
                       "--client-id", "other", service=True)
        other_status = Subscriber(self, self.broker, "other/status", client_id="other-reader", clean=True)
        wait_for(lambda: "another acknowledged client" in str((self.last_json(other_status, "other/status") or {})
                                                              .get("bridge", {}).get("last_error")),
                 "the taken slot in the other bridge's status", 15)
        self.assertEqual(len(other.said("another acknowledged client holds")), 1, other.lines)
        self.assertEqual(other.proc.poll(), None)
        other.kill(signal.SIGTERM)
        # Under the service manager it waits for the spool instead.
        second = Bridge(self, self.run_dir, self.spool, self.broker, service=True, config=conf)
        second.wait("is in use by process %d" % first.proc.pid)
        # The status: time, broker connection, the acknowledged slot from the
        # start (no record yet), no bytes without records.
        wait_for(lambda: (self.last_json(status, PREFIX + "/status") or {}).get("bridge", {}).get("spool_records") == 0,
                 "a status with the link's first event published", 15)
        last = self.last_json(status, PREFIX + "/status")
        self.assertRegex(last["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
        self.assertEqual(last["state"], "established")
        bridge = last["bridge"]
        self.assertTrue(bridge["broker_connected"])
        self.assertRegex(bridge["connected_since"], r"Z$")
        self.assertTrue(bridge["acknowledged"])
        self.assertEqual(bridge["spool_bytes"], 0)
        metrics = self.start_exporter()
        wait_for(lambda: 'kavro_link_established{sensor="TCP",topic="kavro/TCP/status"} 1' in metrics() and
                 'kavro_mqtt_broker_connected{sensor="TCP",topic="kavro/TCP/status"} 1' in metrics(),
                 "the link and the bridge in Prometheus' metrics", 15)
        # A clean stop: the last status says offline; the waiting bridge takes
        # the spool, and publishes no `down` while the link is up.
        del states.messages[:]
        self.assertEqual(first.kill(signal.SIGTERM), 0)
        wait_for(lambda: (self.last_json(status, PREFIX + "/status") or {}).get("state") == "offline",
                 "the last status", 10)
        self.assertFalse(self.last_json(status, PREFIX + "/status")["bridge"]["broker_connected"])
        wait_for(lambda: 'kavro_link_established{sensor="TCP",topic="kavro/TCP/status"} 0' in metrics() and
                 'kavro_mqtt_broker_connected{sensor="TCP",topic="kavro/TCP/status"} 0' in metrics(),
                 "the stopped bridge in Prometheus' metrics", 15)
        second.wait("is this bridge's now", timeout=90)
        second.wait("connected to the broker")
        wait_for(lambda: [m[1] for m in states.on(PREFIX + "/state")][-1:] == [b"up"], "state up", 10)
        self.assertEqual([m[1] for m in states.on(PREFIX + "/state")], [b"offline", b"up"])
        # SIGHUP: unchanged broker settings keep the connection; a changed
        # one connects anew; a bad file keeps what runs.
        second.proc.send_signal(signal.SIGHUP)
        second.wait("reloaded the settings; the broker settings are the same")
        with open(conf, "w") as f:
            f.write("keepalive = 6\n")
        second.proc.send_signal(signal.SIGHUP)
        second.wait("the broker settings changed: connecting to")
        second.wait("connected to the broker", count=2)
        with open(conf, "w") as f:
            f.write("keepalive = 6\nwhatever = 1\n")
        second.proc.send_signal(signal.SIGHUP)
        second.wait("<3>kavro-mqtt: reload: the settings stay as they were")
        rx = Subscriber(self, self.broker, PREFIX + "/rx", client_id="rx-reader")
        self.feed(pbx, 50)
        self.check_stream(rx, 50, "after reloads")
        self.assertEqual(second.proc.poll(), None)

    def test_full_disk_is_waited_out_and_loses_nothing(self):
        os.makedirs(self.spool)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.spool]).returncode != 0:
            self.skipTest("cannot mount a tmpfs (needs root)")
        self.addCleanup(subprocess.run, ["umount", "-l", self.spool])
        filler = os.path.join(self.spool, "filler")
        subprocess.run(["dd", "if=/dev/zero", "of=" + filler, "bs=64k"], capture_output=True)
        pbx, kavro = self.start_link()
        sub = Subscriber(self, self.broker, PREFIX + "/#")
        bridge = Bridge(self, self.run_dir, self.spool, self.broker, "--spool-max", "1M")
        # Fed only once the bridge takes records: before, kavro's library
        # keeps just its backlog.
        bridge.wait("taking the records of kavro")
        n = 2000
        self.feed(pbx, n)
        bridge.wait("No space left on device")
        # The retry waits: one line while the disk stays full, the reason in
        # a status published after it.
        status = Subscriber(self, self.broker, PREFIX + "/status", client_id="status-reader", clean=True)

        def reported():
            last = (self.last_json(status, PREFIX + "/status") or {}).get("bridge", {})
            return "No space left" in str(last.get("last_error")) and last["last_error_time"] < \
                self.last_json(status, PREFIX + "/status")["time"]
        wait_for(reported, "a later status with the reason", 15)
        os.unlink(filler)
        bridge.wait("the spool takes writes again")
        self.check_stream(sub, n, "full disk")
        tries = int(re.search(r"after (\d+) failed tries", bridge.said("the spool takes writes again")[0]).group(1))
        self.assertLessEqual(tries, 5, "the retries wait, doubling")
        self.assertEqual(len(bridge.said("cannot write to the spool")), 1, bridge.lines)
        self.assertEqual(bridge.proc.poll(), None)

    def test_acl_denied_prefix_is_said_backs_off_and_loses_nothing_once_fixed(self):
        acl_dir = os.path.join(self.dir, "acl-broker")
        os.makedirs(acl_dir)
        deny = "user %s\ntopic readwrite kavro/#\n\nuser reader\ntopic read #\n" % USER
        broker = Broker(self, acl_dir, acl=deny)
        pbx, kavro = self.start_link()
        sub = Subscriber(self, broker, "denied/#")
        bridge = Bridge(self, self.run_dir, self.spool, broker, "--topic-prefix", "denied/TCP", service=True)
        bridge.wait("taking the records of kavro")
        n = 300
        self.feed(pbx, n)
        bridge.wait("<3>kavro-mqtt: the broker refused the publish on denied/TCP/")
        # The broker drops the bridge after a refusal; each new connection
        # is short, so the waits grow instead of starting again at 1 s.
        bridge.wait("connected to the broker", count=3, timeout=30)
        connects = [l for l in bridge.lines if "connected to the broker" in l]
        self.assertLessEqual(len(bridge.lines), 12, bridge.lines)
        refused = bridge.said("<3>kavro-mqtt: the broker refused the publish on denied/TCP/")
        # Said once per topic, however often it is offered again: which
        # topic the broker meets first (the retained state, an event, a
        # payload) depends on the moment of the connect.
        topics = [l.split("publish on ")[1].split(":")[0] for l in refused]
        self.assertTrue(refused, bridge.lines)
        self.assertEqual(len(topics), len(set(topics)), bridge.lines)
        self.assertIn("not authorized; check the broker's ACL", refused[0])
        # Whether the loss line can name the refusal depends on whether the
        # broker's answer arrives before it closes the connection: not asked.
        self.assertTrue(bridge.said("lost the broker"), bridge.lines)
        self.assertEqual(len(connects), 3)
        # The ACL fixed: every record arrives.
        broker.set_acl("user %s\ntopic readwrite denied/#\n\nuser reader\ntopic read #\n" % USER, reload=True)
        self.check_stream(sub, n, "denied, then allowed", prefix="denied/TCP")
        self.assertEqual(bridge.proc.poll(), None)

    def test_kavro_killed_with_a_record_log_while_the_bridge_is_away_loses_nothing(self):
        if b"--record-log" not in subprocess.run([KAVRO, "--help"], capture_output=True).stdout:
            self.skipTest("kavro has no record log")
        log = ["--record-log", os.path.join(self.dir, "record-log")]
        pbx, kavro = self.start_link(*log)
        sub = Subscriber(self, self.broker, PREFIX + "/#")
        bridge = Bridge(self, self.run_dir, self.spool, self.broker)
        bridge.wait("taking the records of kavro")
        self.feed(pbx, 300)
        wait_for(lambda: len(sub.on(PREFIX + "/rx")) >= 100, "the stream", 30)
        bridge.kill(signal.SIGKILL)
        self.feed(pbx, 300, 300)
        self.feeder.join(30)
        wait_for(lambda: "payloads received             600" in subprocess.run(
            [KAVROCTL, "--run-dir", self.run_dir, "status"], capture_output=True, text=True).stdout, "600 taken", 30)
        kavro.kill()
        kavro.wait()
        # kavro again on the same log: what the bridge had not acknowledged
        # comes first with its old id, then new records with a new one.
        pbx, kavro = self.start_link(*log)
        bridge.start()
        bridge.wait("taking the records of kavro", count=2)
        self.feed(pbx, 100, 600)
        wait_for(lambda: len({m[1] for m in sub.on(PREFIX + "/rx")}) >= 700, "700 payloads", 60)
        rx = sub.on(PREFIX + "/rx")
        self.assertEqual({m[1] for m in rx}, {numbered(i) for i in range(700)})
        identities = {}
        for _, payload, props, _ in rx:
            identities.setdefault(payload, set()).add(props["id"])
        self.assertEqual([p for p, ids in identities.items() if len(ids) != 1], [], "one identity per record")
        self.assertEqual(len({props["id"].split("-")[0] for _, _, props, _ in rx}), 2, "the old id and a new one")
        wait_for(lambda: [m[1] for m in sub.on(PREFIX + "/state")][-1:] == [b"up"], "state up", 10)

    def test_tx_round_trip_and_refusal(self):
        pbx, kavro = self.start_link()
        bridge = Bridge(self, self.run_dir, self.spool, self.broker)
        bridge.wait("taking requests for the PBX on " + PREFIX + "/tx")
        answers = Subscriber(self, self.broker, "test/answers", client_id="asker", clean=True)

        got = {}

        def on_message(client, userdata, msg):
            got[bytes(msg.properties.CorrelationData)] = json.loads(msg.payload)
        answers.client.on_message = on_message
        for payload, address, corr in [(b"ABC", "20", b"c1"), (b"", "20", b"c2"), (b"XY", "zz", b"c3")]:
            props = Properties(PacketTypes.PUBLISH)
            props.ResponseTopic = "test/answers"
            props.CorrelationData = corr
            props.UserProperty = [("address", address)]
            answers.client.publish(PREFIX + "/tx", payload, qos=2, properties=props)
        wait_for(lambda: len(got) == 3, "three answers", 10)
        self.assertEqual(got[b"c1"], {"result": "accepted"})
        self.assertEqual(pbx.stdout.readline().decode().strip(), "payload addr=0x20 len=3 41 42 43")
        self.assertEqual(got[b"c2"], {"result": "refused", "reason": "the payload is empty"})
        self.assertEqual(got[b"c3"]["result"], "refused")
        self.assertIn("not a hex byte", got[b"c3"]["reason"])
        # kavro slow to answer (stopped): `unknown` after 10 s, never
        # `refused`; the payload goes out when kavro goes on, and its late
        # answer is read and said.
        kavro.send_signal(signal.SIGSTOP)
        props = Properties(PacketTypes.PUBLISH)
        props.ResponseTopic = "test/answers"
        props.CorrelationData = b"c5"
        answers.client.publish(PREFIX + "/tx", b"LATE", qos=2, properties=props)
        try:
            wait_for(lambda: b"c5" in got, "the answer to a request kavro does not answer", 20)
        finally:
            kavro.send_signal(signal.SIGCONT)
        self.assertEqual(got[b"c5"]["result"], "unknown")
        self.assertIn("may still be sent", got[b"c5"]["reason"])
        self.assertRegex(pbx.stdout.readline().decode().strip(), r"^payload addr=0x.. len=4 4C 41 54 45$")
        bridge.wait("s late: accepted")
        # kavro gone: refused with the reason kavroctl would give.
        kavro.kill()
        kavro.wait()
        props = Properties(PacketTypes.PUBLISH)
        props.ResponseTopic = "test/answers"
        props.CorrelationData = b"c4"
        answers.client.publish(PREFIX + "/tx", b"\x01", qos=2, properties=props)
        wait_for(lambda: b"c4" in got, "the answer without kavro", 10)
        self.assertEqual(got[b"c4"]["result"], "refused")
        self.assertIn("no kavro is running on " + self.run_dir, got[b"c4"]["reason"])

    def test_login_and_certificate_failures_end_with_one_line_and_tls_works(self):
        run_dir = os.path.join(self.dir, "none")
        ca = self.broker.ca
        other_ca = make_ca(self.dir, "other")
        private_file(os.path.join(self.dir, "wrong"), "not-the-password\n")
        tls = "mqtts://127.0.0.1:%d" % self.broker.tls_port
        cases = [
            (["--broker", "mqtt://127.0.0.1:%d" % self.broker.port, "--password-file",
              os.path.join(self.dir, "wrong")], "refused the login of user bridge"),
            (["--broker", tls, "--ca-file", other_ca, "--password-file", os.path.join(self.dir, "wrong")],
             "TLS connection to " + tls + " failed"),
            (["--password-file", os.path.join(self.dir, "missing")], "cannot read the password file"),
        ]
        for args, message in cases:
            r = subprocess.run([BRIDGE, "--config", "/dev/null", "--run-dir", run_dir, "--spool-dir", self.spool,
                                "--username", USER] + args + ["TCP"], capture_output=True, text=True, timeout=30,
                               env=HAND_ENV)
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
            self.assertIn(message, r.stderr)
            self.assertNotIn("not-the-password", r.stderr)
        # The configuration file: its values with their source, a wrong key refused.
        conf = os.path.join(self.dir, "bridge.conf")
        with open(conf, "w") as f:
            f.write("# comment\nbroker = %s\nca-file = %s\nspool-max = 1G\n" % (tls, ca))
        r = subprocess.run([BRIDGE, "--config", conf, "--check-config", "--check-as", "root", "--keepalive", "9",
                            "--spool-dir", self.spool, "TCP"], capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("broker          %s (%s line 2)" % (tls, conf), r.stdout)
        self.assertIn("keepalive       9 (command line)", r.stdout)
        self.assertIn("client-id       kavro-mqtt-TCP (default)", r.stdout)
        self.assertIn("checked as      account root", r.stdout)
        with open(conf, "a") as f:
            f.write("password = x\n")
        r = subprocess.run([BRIDGE, "--config", conf, "TCP"], capture_output=True, text=True, timeout=30)
        self.assertEqual((r.returncode, len(r.stderr.splitlines())), (2, 1), r.stderr)
        self.assertTrue(r.stderr.startswith("<3>"), r.stderr)
        self.assertIn("line 5", r.stderr)
        # A usage error: one line, with the journal's priority.
        r = subprocess.run([BRIDGE, "--bogus", "TCP"], capture_output=True, text=True, timeout=30)
        self.assertEqual((r.returncode, len(r.stderr.splitlines())), (2, 1), r.stderr)
        self.assertRegex(r.stderr, r"^<3>kavro-mqtt: .*--bogus.*; see kavro-mqtt --help\n$")
        self.check_config_as_the_service_account(tls, ca)
        # The right CA: connected over TLS, kavro not running yet: state down.
        sub = Subscriber(self, self.broker, PREFIX + "/state")
        bridge = Bridge(self, run_dir, self.spool, self.broker, "--ca-file", ca, url=tls)
        bridge.wait("connected to the broker " + tls)
        wait_for(lambda: [m[1] for m in sub.on(PREFIX + "/state")][-1:] == [b"down"], "state down", 10)
        self.assertEqual(bridge.kill(signal.SIGTERM), 0)
        wait_for(lambda: [m[1] for m in sub.on(PREFIX + "/state")][-1:] == [b"offline"], "offline", 10)


    def check_config_as_the_service_account(self, tls, ca):
        """--check-config as the unit's account would run (nobody stands in
        for it): the instance's file over the common one, the run directory
        of kavro@TCP, the password file as that account reads it, and a
        password file every account may read refused."""
        conf_dir = tempfile.mkdtemp(prefix="kavro-mqtt-conf-")
        self.addCleanup(shutil.rmtree, conf_dir, True)
        os.chmod(conf_dir, 0o755)
        spool = os.path.join(conf_dir, "spool")
        os.makedirs(spool)
        nobody = pwd.getpwnam("nobody")
        os.chown(spool, nobody.pw_uid, nobody.pw_gid)
        password = private_file(os.path.join(conf_dir, "password"), PASSWORD + "\n")
        os.chown(password, 0, nobody.pw_gid)
        common = os.path.join(conf_dir, "kavro-mqtt.conf")
        with open(common, "w") as f:
            f.write("broker = %s\nusername = %s\npassword-file = %s\nspool-dir = %s\nclient-id = common\n" %
                    (tls, USER, password, spool))
        with open(os.path.join(conf_dir, "kavro-mqtt@TCP.conf"), "w") as f:
            f.write("client-id = instance\n")
        as_nobody = ["setpriv", "--reuid=nobody", "--regid=%d" % nobody.pw_gid, "--init-groups",
                     BRIDGE, "--config", common, "--check-config", "TCP"]
        for mode, code, text in [(0o640, 0, "password-file   %s: readable" % password),
                                 (0o600, 1, "password-file   %s: cannot be read: Permission denied" % password),
                                 (0o644, 1, "every account may read or change it")]:
            os.chmod(password, mode)
            r = subprocess.run(as_nobody, capture_output=True, text=True, timeout=30, env=HAND_ENV)
            self.assertEqual(r.returncode, code, r.stdout + r.stderr)
            self.assertIn(text, r.stdout)
            self.assertIn("checked as      account nobody", r.stdout)
            self.assertIn("client-id       instance (%s/kavro-mqtt@TCP.conf line 1)" % conf_dir, r.stdout)
            self.assertIn("run-dir         /run/kavro/TCP (default)", r.stdout)

if __name__ == "__main__":
    unittest.main()
