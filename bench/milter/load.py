"""parvex-milter under load and faults, through a private Postfix (root only).

usage: load.py PATH-TO-parvex-milter [MESSAGES] [CLIENTS] [--check]
       load.py PATH-TO-parvex-milter --pack [MB ...]
       --check: only run 2 (the test command runs it small, so that the bench cannot rot)
       --pack: only 5, for attachments of these sizes (default 10 and 30 MB), summed over
       PACK_ROUNDS rounds (default 3)

1. MESSAGES of mixed shapes from CLIENTS concurrent SMTP clients, without and with the milter:
   messages per second, SMTP transaction latency p50/p99, the milter's peak memory; every
   message delivered exactly once and checked by content.
2. The same with the milter killed (SIGKILL) and restarted a third of the way through: each
   message arrives once, packed or unchanged (milter_default_action = tempfail: a message in
   flight is refused with 4xx and sent again, as a sending server would).
3. Malformed MIME: the message arrives (unchanged or as Postfix makes it), the milter lives on.
4. SIGTERM while a 30 MB message is being packed: it is finished, delivered packed.
5. One message with one compressible attachment, packed by a fresh milter: the milter's CPU
   time (user + system, all threads) and peak memory, against zlib alone deflating the same
   bytes at the zip library's level (6) in this process; one, then four at once.
"""
import os
import random
import smtplib
import subprocess
import sys
import threading
import time
import zlib

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "apps", "milter", "tests"))
import postfix_lab  # noqa: E402
import postfix_shapes as shapes_mod  # noqa: E402


def mixed_messages(count):
    """(message id, raw, body, expected, packed) for count messages of the lighter shapes."""
    random.seed(7)
    shapes = [s for s in shapes_mod.shapes() if s[0] not in ("attachment_30mb", "exempt_recipient")]
    out = []
    for i in range(count):
        name, root, extra = shapes[i % len(shapes)]
        for leaf in shapes_mod.packed_leaves(root):
            leaf.pop("first", None)
        headers, body, expected, packed = shapes_mod.message("%s-%d" % (name, i), root, extra)
        out.append(("<%s-%d@test.local>" % (name, i), headers + "\n" + body, body, expected,
                    packed))
    return out


def peak_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def send_all(lab, messages, clients, during=None):
    latencies = []
    lock = threading.Lock()

    def client(part):
        smtp = None
        for mid, raw, *_ in part:
            t = time.perf_counter()
            # As a sending server does: a temporary failure (the milter down) is tried again.
            for attempt in range(100):
                try:
                    smtp = smtp or smtplib.SMTP("127.0.0.1", lab.smtp_port, timeout=300)
                    smtp.sendmail("ana@test.local", ["bo@test.local"], raw)
                    break
                except (smtplib.SMTPResponseException, smtplib.SMTPServerDisconnected,
                        OSError) as e:
                    if getattr(e, "smtp_code", 400) >= 500:
                        raise
                    smtp = None
                    time.sleep(0.2)
            with lock:
                latencies.append(time.perf_counter() - t)
        if smtp:
            smtp.quit()

    threads = [threading.Thread(target=client, args=(messages[k::clients],))
               for k in range(clients)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    if during:
        during()
    for t in threads:
        t.join()
    got = lab.wait_delivered(len(messages), seconds=600)
    elapsed = time.perf_counter() - start
    latencies.sort()
    pct = lambda p: latencies[min(len(latencies) - 1, int(p * len(latencies)))] * 1000  # noqa
    return got, elapsed, pct(0.5), pct(0.99)


def verify(messages, got, allow_unchanged, milter_on=True):
    """Problems: lost, duplicated, or not as the milter should have made it."""
    by_id = {}
    for raw in got.values():
        by_id.setdefault(postfix_lab.message_id(raw), []).append(raw)
    problems = []
    stats = {"packed": 0, "unchanged": 0}
    for mid, raw, body, expected, packed in messages:
        copies = by_id.get(mid, [])
        if len(copies) != 1:
            problems.append("%s delivered %d times" % (mid, len(copies)))
            continue
        if not milter_on:
            expected, packed = body, []
        headers = raw[:len(raw) - len(body) - 1]
        bad = shapes_mod.check(headers, expected, packed, copies[0])
        if bad and allow_unchanged and packed:
            if not shapes_mod.check(headers, body, [], copies[0]):
                stats["unchanged"] += 1
                continue
        if bad:
            problems.append("%s: %s" % (mid, "; ".join(bad)))
        else:
            stats["packed" if packed else "unchanged"] += 1
    return problems, stats


def run_load(milter, count, clients, milter_on, kill_at=None):
    lab = postfix_lab.Lab(milter, milter_on=milter_on)
    try:
        if milter_on:
            lab.start()
        else:
            subprocess.run(["postfix", "-c", lab.etc, "start"], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            postfix_lab.wait_port(lab.smtp_port)
        messages = mixed_messages(count)
        peak = [0]

        def killer():
            if kill_at is None:
                return
            while len(lab.delivered()) < kill_at:
                time.sleep(0.05)
            peak[0] = max(peak[0], peak_kib(lab.milter.pid))
            lab.stop_milter(__import__("signal").SIGKILL)
            time.sleep(1)
            lab.start_milter()

        got, elapsed, p50, p99 = send_all(lab, messages, clients, killer)
        if milter_on and lab.milter.poll() is None:
            peak[0] = max(peak[0], peak_kib(lab.milter.pid))
        problems, stats = verify(messages, got, kill_at is not None, milter_on)
        if len(got) != count:
            problems.append("%d files delivered for %d messages" % (len(got), count))
        if problems:
            subprocess.run(["cp", "-a", lab.root + "/postfix.log", lab.root + "/milter.log",
                            "/tmp/"], check=False)
            problems.append("logs copied to /tmp/postfix.log and /tmp/milter.log")
        return {"rate": count / elapsed, "p50": p50, "p99": p99, "peak_kib": peak[0],
                "problems": problems, "stats": stats}
    finally:
        lab.close()


def plain_latency(milter, count=300):
    """p50 and p99 in ms of count one-part messages sent one after another, without and with
    the milter: what a message without attachments pays."""
    out = []
    for on in (False, True):
        lab = postfix_lab.Lab(milter, milter_on=on)
        try:
            if on:
                lab.start()
            else:
                subprocess.run(["postfix", "-c", lab.etc, "start"], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                postfix_lab.wait_port(lab.smtp_port)
            smtp = smtplib.SMTP("127.0.0.1", lab.smtp_port, timeout=60)
            took = []
            for i in range(count):
                raw = ("From: a@test.local\nTo: bo@test.local\nSubject: %d\nMessage-ID: <p%d@"
                       "test.local>\nMIME-Version: 1.0\nContent-Type: text/plain\n\nhi\n" % (i, i))
                t = time.perf_counter()
                smtp.sendmail("a@test.local", ["bo@test.local"], raw)
                took.append((time.perf_counter() - t) * 1000)
            smtp.quit()
            took.sort()
            out.append((took[len(took) // 2], took[int(len(took) * 0.99)]))
        finally:
            lab.close()
    return out


def malformed():
    b = "Content-Type: multipart/mixed; boundary=\"x\"\n"
    nested = "".join('--n%d\nContent-Type: multipart/mixed; boundary="n%d"\n\n' % (i, i + 1)
                     for i in range(1000))
    return [
        ("unterminated", b + "\n--x\nContent-Type: text/plain\n\nhi\n--x\n"
         "Content-Disposition: attachment; filename=a.txt\n\n" + "aaaa\n" * 5000),
        ("nested_1000", 'Content-Type: multipart/mixed; boundary="n0"\n\n' + nested +
         "--n1000\nContent-Disposition: attachment; filename=deep.txt\n\n" + "d\n" * 5000),
        ("header_50mb", "X-Big: " + "h" * (50 << 20) + "\n" + b + "\n--x\nContent-Type: "
         "text/plain\n\nhi\n--x--\n"),
        ("bad_base64", b + "\n--x\nContent-Type: text/plain\n\nhi\n--x\nContent-Disposition: "
         "attachment; filename=b.bin\nContent-Transfer-Encoding: base64\n\n" +
         "!!not*base64$$\n" * 3000 + "--x--\n"),
        ("qp_as_base64", b + "\n--x\nContent-Type: text/plain\n\nhi\n--x\nContent-Disposition: "
         "attachment; filename=q.txt\nContent-Transfer-Encoding: quoted-printable\n\n" +
         "=ZZ broken =4\n" * 3000 + "--x--\n"),
    ]


def run_faults(milter):
    lab = postfix_lab.Lab(milter)
    results = []
    try:
        lab.start()
        for name, content in malformed():
            before = len(lab.delivered())
            raw = ("From: a@test.local\nTo: bo@test.local\nSubject: %s\nMessage-ID: <%s@test."
                   "local>\nMIME-Version: 1.0\n%s" % (name, name, content))
            try:
                smtp = smtplib.SMTP("127.0.0.1", lab.smtp_port, timeout=300)
                smtp.sendmail("a@test.local", ["bo@test.local"], raw)
                smtp.quit()
                outcome = "accepted"
            except smtplib.SMTPException as e:
                outcome = "refused by Postfix: %s" % str(e)[:80]
            got = lab.wait_delivered(before + 1, 120) if outcome == "accepted" else {}
            alive = lab.milter.poll() is None
            line = [l for l in lab.milter_log().splitlines() if "listening" not in l]
            results.append("%-13s %s, delivered %d, milter %s, peak %d KiB; %s" % (
                name, outcome, len(got) - before if got else 0, "alive" if alive else "DEAD",
                peak_kib(lab.milter.pid) if alive else 0, line[-1][:110] if line else ""))
    finally:
        lab.close()
    return results


def sigterm_mid_pack(milter):
    lab = postfix_lab.Lab(milter)
    try:
        lab.start()
        random.seed(1)
        name, root, extra = [s for s in shapes_mod.shapes() if s[0] == "attachment_30mb"][0]
        h, b, expected, packed = shapes_mod.message(name, root, extra)
        sender = threading.Thread(target=lambda: smtplib.SMTP(
            "127.0.0.1", lab.smtp_port, timeout=300).sendmail("a@test.local", ["bo@test.local"],
                                                              h + "\n" + b))
        sender.start()
        while not os.listdir(lab.state + "/work"):  # a work folder: packing has begun
            time.sleep(0.005)
        t = time.perf_counter()
        rc = lab.stop_milter(__import__("signal").SIGTERM, 120)
        stopped = time.perf_counter() - t
        sender.join()
        got = list(lab.wait_delivered(1, 60).values())
        bad = shapes_mod.check(h, expected, packed, got[0]) if got else [
            "not delivered"]
        return "sigterm_mid_pack exit %s after %.1f s; %s" % (rc, stopped, "; ".join(bad) or
                                                              "delivered packed")
    finally:
        lab.close()


def cpu_seconds(pid):
    """(user, system) seconds of every thread of pid."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / tick, int(fields[12]) / tick


def pack_cost(milter, megabytes, at_once, rounds):
    """(milter user s, milter system s, zlib alone s, peak KiB, message bytes) for at_once
    messages, each a sum
    over rounds: the CPU clock ticks in 10 ms steps and the machine's other work moves a single
    round by a tenth."""
    random.seed(3)
    data = shapes_mod.compressible(megabytes * 1_000_000, 3)
    root = shapes_mod.multi("mixed", [shapes_mod.text(), shapes_mod.attach(
        "filename=big.log", data, packed_as="big.log")])
    h, b, expected, packed = shapes_mod.message("pack", root)
    lab = postfix_lab.Lab(milter)
    user = system = alone = 0.0
    try:
        lab.start()
        for r in range(rounds):
            t = time.process_time()
            for _ in range(at_once):
                compressor = zlib.compressobj(6, zlib.DEFLATED, -zlib.MAX_WBITS)
                compressor.compress(data)
                compressor.flush()
            alone += time.process_time() - t
            before = cpu_seconds(lab.milter.pid)
            senders = [threading.Thread(target=lambda: smtplib.SMTP(
                "127.0.0.1", lab.smtp_port, timeout=300).sendmail(
                    "a@test.local", ["bo@test.local"], h + "\n" + b))
                for _ in range(at_once)]
            for s in senders:
                s.start()
            for s in senders:
                s.join()
            got = list(lab.wait_delivered(at_once * (r + 1), 120).values())
            after = cpu_seconds(lab.milter.pid)
            user += after[0] - before[0]
            system += after[1] - before[1]
            bad = [p for g in got for p in shapes_mod.check(h, expected, packed, g)]
            if len(got) != at_once * (r + 1) or bad:
                raise RuntimeError("not delivered packed: %s" % bad[:3])
        return user, system, alone, peak_kib(lab.milter.pid), len(h) + 1 + len(b)
    finally:
        lab.close()


def main():
    why = postfix_lab.why_not_runnable()
    if why:
        print("skipped:", why)
        return postfix_lab.SKIP
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    milter = args[0]
    count = int(args[1]) if len(args) > 1 else 2000
    clients = int(args[2]) if len(args) > 2 else 8
    failed = False
    if "--pack" in sys.argv:
        sizes = [int(a) for a in sys.argv[sys.argv.index("--pack") + 1:]] or [10, 30]
        rounds = int(os.environ.get("PACK_ROUNDS", "3"))
        for mb, n in [(mb, 1) for mb in sizes] + [(sizes[-1], 4)]:
            user, system, alone, peak, size = pack_cost(milter, mb, n, rounds)
            print("%2d MB attachment x%d (message %.1f MB), %d rounds: milter CPU %.2f s (user "
                  "%.2f, system %.2f), zlib alone %.2f s (%.2fx, user alone %.2fx); peak %.0f MB "
                  "(%.1fx one message)" % (
                      mb, n, size / 1e6, rounds, user + system, user, system, alone,
                      (user + system) / alone, user / alone, peak / 1024, peak * 1024 / size))
        return 0
    if "--check" in sys.argv:
        killed = run_load(milter, count, clients, milter_on=True, kill_at=count // 3)
        print("killed at %d   %7.1f msg/s  %s" % (count // 3, killed["rate"], killed["stats"]))
        for p in killed["problems"][:10]:
            print("PROBLEM:", p)
        return 1 if killed["problems"] else 0
    (off_p50, off_p99), (on_p50, on_p99) = plain_latency(milter)
    print("one-part messages, one after another: p50 %.1f ms without, %.1f ms with (+%.1f); "
          "p99 %.1f / %.1f ms" % (off_p50, on_p50, on_p50 - off_p50, off_p99, on_p99))
    off = run_load(milter, count, clients, milter_on=False)
    on = run_load(milter, count, clients, milter_on=True)
    for label, r in (("without milter", off), ("with milter", on)):
        print("%-15s %7.1f msg/s  p50 %7.1f ms  p99 %7.1f ms  %s%s" % (
            label, r["rate"], r["p50"], r["p99"], r["stats"],
            "  milter peak %d KiB" % r["peak_kib"] if r["peak_kib"] else ""))
    print("ratio with/without %.2f; added latency p50 %.1f ms, p99 %.1f ms" % (
        on["rate"] / off["rate"], on["p50"] - off["p50"], on["p99"] - off["p99"]))
    killed = run_load(milter, count, clients, milter_on=True, kill_at=count // 3)
    print("killed at %d   %7.1f msg/s  %s" % (count // 3, killed["rate"], killed["stats"]))
    for r in (off, on, killed):
        for p in r["problems"][:10]:
            print("PROBLEM:", p)
        failed |= bool(r["problems"])
    for line in run_faults(milter):
        print("fault", line)
        failed |= "DEAD" in line
    line = sigterm_mid_pack(milter)
    print("fault", line)
    failed |= "delivered packed" not in line
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
