"""A private Postfix instance with parvex-milter in front of it, in a temporary folder.

Used by the shape table test and the load bench. Needs root and an installed Postfix; the
system's own Postfix is never touched.
"""
import email
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time

SKIP = 77


def why_not_runnable():
    if not shutil.which("postfix", path="/usr/sbin:/usr/bin"):
        return "postfix is not installed (scripts/setup.sh installs it)"
    if os.geteuid() != 0:
        return "a private Postfix instance must be started as root"
    return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.05)
    return False


class Lab:
    """Postfix on a loopback port, delivering into one maildir, asking the milter first."""

    def __init__(self, milter, milter_on=True, config=""):
        self.milter_path = milter
        self.root = tempfile.mkdtemp(prefix="parvex-postfix-")
        os.chmod(self.root, 0o755)
        self.etc = os.path.join(self.root, "etc")
        self.mail = os.path.join(self.root, "mail")
        self.state = os.path.join(self.root, "state")
        for d in ("etc", "spool", "data", "mail", "state"):
            os.makedirs(os.path.join(self.root, d))
        self.smtp_port = free_port()
        self.milter_port = free_port()
        self.milter = None
        self.config = os.path.join(self.root, "milter.conf")
        with open(self.config, "w") as f:
            f.write(config)
        self._write_postfix(milter_on)

    def _write_postfix(self, milter_on):
        with open("/etc/postfix/master.cf") as f, \
                open(os.path.join(self.etc, "master.cf"), "w") as out:
            for line in f:
                if line[:1].isalnum():
                    fields = line.split(None, 7)
                    if fields[0] == "smtp" and fields[1] == "inet":
                        fields[0] = "127.0.0.1:%d" % self.smtp_port
                    fields[4] = "n"  # no chroot: the instance's folders are not prepared for it
                    line = " ".join(fields[:7]) + " " + fields[7]
                out.write(line)
        pw = pwd.getpwnam("postfix")
        main = {
            "compatibility_level": "3.6",
            "queue_directory": self.root + "/spool",
            "data_directory": self.root + "/data",
            "meta_directory": "/etc/postfix",
            "daemon_directory": "/usr/lib/postfix/sbin",
            "command_directory": "/usr/sbin",
            "shlib_directory": "/usr/lib/postfix",
            "inet_interfaces": "127.0.0.1",
            "inet_protocols": "ipv4",
            "mynetworks": "127.0.0.0/8",
            "mydestination": "",
            "myhostname": "mx.test.local",
            "alias_maps": "",
            "alias_database": "",
            "virtual_mailbox_domains": "test.local exempt.test",
            "virtual_mailbox_base": self.mail,
            "virtual_mailbox_maps": "static:inbox/",
            "virtual_uid_maps": "static:%d" % pw.pw_uid,
            "virtual_gid_maps": "static:%d" % pw.pw_gid,
            "virtual_mailbox_limit": "0",
            "message_size_limit": "200000000",
            "maillog_file": self.root + "/postfix.log",
            "maillog_file_prefixes": self.root,
            "smtpd_milters": ("inet:127.0.0.1:%d" % self.milter_port) if milter_on else "",
            "milter_default_action": "tempfail",  # as shipped: a message in flight gets 4xx
            "smtpd_client_connection_count_limit": "0",
            "smtpd_client_connection_rate_limit": "0",
            "default_process_limit": "100",
        }
        with open(os.path.join(self.etc, "main.cf"), "w") as f:
            f.writelines("%s = %s\n" % setting for setting in main.items())
        os.chown(self.root + "/data", pw.pw_uid, pw.pw_gid)
        os.chown(self.mail, pw.pw_uid, pw.pw_gid)

    def start_milter(self):
        self.milter = subprocess.Popen(
            [self.milter_path, "--config", self.config, "--socket",
             "inet:%d@127.0.0.1" % self.milter_port, "--state-folder", self.state],
            stderr=open(os.path.join(self.root, "milter.log"), "a"))
        if not wait_port(self.milter_port):
            raise RuntimeError("the milter did not listen")

    def stop_milter(self, sig=signal.SIGTERM, seconds=30):
        if self.milter and self.milter.poll() is None:
            self.milter.send_signal(sig)
            try:
                self.milter.wait(seconds)
            except subprocess.TimeoutExpired:
                self.milter.kill()
                self.milter.wait()
        return self.milter.returncode if self.milter else None

    def start(self):
        self.start_milter()
        subprocess.run(["postfix", "-c", self.etc, "start"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_port(self.smtp_port):
            raise RuntimeError("postfix did not listen:\n" + self.postfix_log())

    def _read(self, name):
        try:
            with open(os.path.join(self.root, name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def postfix_log(self):
        return self._read("postfix.log")[-4000:]

    def milter_log(self):
        return self._read("milter.log")

    def delivered(self):
        """Each delivered message's bytes, by file name."""
        folder = os.path.join(self.mail, "inbox", "new")
        out = {}
        if os.path.isdir(folder):
            for name in os.listdir(folder):
                with open(os.path.join(folder, name), "rb") as f:
                    out[name] = f.read()
        return out

    def wait_delivered(self, count, seconds=120):
        end = time.time() + seconds
        while time.time() < end:
            got = self.delivered()
            if len(got) >= count:
                return got
            time.sleep(0.1)
        return self.delivered()

    def close(self):
        subprocess.run(["postfix", "-c", self.etc, "stop"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.stop_milter(signal.SIGKILL)
        shutil.rmtree(self.root, ignore_errors=True)


def split_message(raw):
    """(header block, body) of a message with LF line ends."""
    at = raw.find(b"\n\n")
    return raw[:at + 1], raw[at + 2:]


def message_id(raw):
    return email.message_from_bytes(split_message(raw)[0]).get("Message-ID", "").strip()
