"""Messages of real shapes through a private Postfix with parvex-milter: what is packed arrives
in DD.zip byte for byte, everything else of the message exactly as it was sent.

usage: postfix_shapes.py PATH-TO-parvex-milter     (exit 77: skipped, with the reason)
"""
import base64
import email
import io
import os
import random
import signal
import smtplib
import sys
import threading
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import postfix_lab  # noqa: E402

PLACE = "\0DD\0"  # where the archive is expected
archive_bytes = []  # the size of each DD.zip delivered


def b64(data):
    return base64.encodebytes(data).decode().rstrip("\n")


def leaf(ctype, body, extra="", packed=None):
    """A leaf part. packed: (name in the archive, decoded bytes) when it must be packed."""
    return {"text": "Content-Type: %s\n%s\n%s" % (ctype, extra, body), "packed": packed}


def attach(name_header, data, ctype="application/octet-stream", packed_as=None):
    return leaf(ctype + "; " + name_header.replace("filename", "name"), b64(data),
                "Content-Disposition: attachment; %s\nContent-Transfer-Encoding: base64\n"
                % name_header, (packed_as, data) if packed_as else None)


def multi(subtype, children, preamble="", epilogue=""):
    boundary = "b%d_%s" % (random.randrange(10**9), subtype)
    return {"subtype": subtype, "boundary": boundary, "children": children,
            "preamble": preamble, "epilogue": epilogue}


def render(node, expected):
    """(headers, body) of a node; expected renders what the milter should make of it."""
    if "text" in node:
        if expected and node["packed"]:
            return None
        head, _, body = node["text"].partition("\n\n")
        return head + "\n", body
    head = 'Content-Type: multipart/%s; boundary="%s"\n' % (node["subtype"], node["boundary"])
    body = node["preamble"]
    for child in node["children"]:
        if expected and child.get("first"):  # the first packed part: the archive goes here
            body += "--%s\n%s\n" % (node["boundary"], PLACE)
            continue
        part = render(child, expected)
        if part is None:
            continue
        body += "--%s\n%s\n%s\n" % (node["boundary"], part[0], part[1])
    body += "--%s--\n%s" % (node["boundary"], node["epilogue"])
    return head, body


def packed_leaves(node):
    if "text" in node:
        return [node] if node["packed"] else []
    return [x for c in node["children"] for x in packed_leaves(c)]


def message(name, root, extra_headers=""):
    first = packed_leaves(root)
    if first:
        first[0]["first"] = True
    head, body = render(root, False)
    headers = ("From: Ana <ana@test.local>\nTo: bo@test.local\nSubject: %s\n"
               "Date: Mon, 7 Dec 2026 10:00:00 +0000\nMessage-ID: <%s@test.local>\n"
               "MIME-Version: 1.0\n%s%s" % (name, name, extra_headers, head))
    expected = render(root, True)[1] if first else body
    return headers, body, expected, [leaf_["packed"] for leaf_ in first]


def text(body="Hello,\nthe files are attached.\n"):
    return leaf("text/plain; charset=utf-8", body)


def compressible(size, seed):
    """Text-like bytes: a random 64 KiB of words, repeated with a counter."""
    rnd = random.Random(seed)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"quarterly", b"report", b"\n"]
    block = b" ".join(rnd.choice(words) for _ in range(10000))
    out = b"".join(b"%d %s" % (i, block) for i in range(size // len(block) + 1))
    return out[:size]


def shapes():
    pdf = compressible(200_000, 1)
    csv = compressible(50_000, 2)
    png = bytes(range(256)) * 8
    inner = ("From: c@test.local\nSubject: inner\nMIME-Version: 1.0\n"
             'Content-Type: multipart/mixed; boundary="in1"\n\n--in1\nContent-Type: text/plain\n\n'
             "inner\n--in1\nContent-Type: application/octet-stream; name=x.bin\n"
             "Content-Disposition: attachment; filename=x.bin\n\nxxxx\n--in1--\n")
    html = ('<p>Logo <img src="cid:logo@x"> and <img src="cid:pic2@x"></p>')
    signed_inner = multi("mixed", [text(), attach('filename="a.pdf"', pdf)])
    yield "plain_two", multi("mixed", [
        text(), attach('filename="a.pdf"', pdf, "application/pdf", "a.pdf"),
        # Sent as 7bit: packed with its line ends as they travel, CR LF.
        leaf("text/plain; name=notes.txt", "plain notes\n" * 500,
             "Content-Disposition: attachment; filename=notes.txt\n",
             ("notes.txt", b"plain notes\r\n" * 500))], preamble="This is MIME.\n",
        epilogue="the end\n"), ""
    yield "html_inline_logo", multi("mixed", [
        multi("related", [leaf("text/html", html),
                          leaf("image/png", b64(png), "Content-ID: <logo@x>\n"
                               "Content-Disposition: inline; filename=logo.png\n"
                               "Content-Transfer-Encoding: base64\n")]),
        attach('filename="report.csv"', csv, "text/csv", "report.csv")]), ""
    yield "reply_inline_pictures", multi("related", [
        multi("alternative", [text("> quoted\n"), leaf("text/html", html)]),
        leaf("image/png", b64(png), "Content-ID: <logo@x>\nContent-Disposition: attachment; "
             "filename=logo.png\nContent-Transfer-Encoding: base64\n"),
        leaf("image/png", b64(png), "Content-ID: <pic2@x>\nContent-Transfer-Encoding: base64\n"
             "Content-Location: pic2.png\n")]), ""
    yield "forwarded", multi("mixed", [
        text(), leaf("message/rfc822", inner, "Content-Disposition: attachment; "
                     "filename=fwd.eml\n"),
        attach("filename=notes.doc", csv, packed_as="notes.doc")]), ""
    yield "calendar", multi("mixed", [
        multi("alternative", [text(), leaf("text/calendar; method=REQUEST", "BEGIN:VCALENDAR\n"
                                           "END:VCALENDAR\n")]),
        attach("filename=invite.ics", b"BEGIN:VCALENDAR\nEND:VCALENDAR\n" * 100,
               "text/calendar")]), ""
    yield "smime_signed", multi("signed", [signed_inner, attach(
        "filename=smime.p7s", b"\x30\x82" * 200, "application/pkcs7-signature")]), ""
    yield "pgp_inline", multi("mixed", [
        text("-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA256\n\nhi\n"),
        attach("filename=a.pdf", pdf)]), ""
    yield "dkim_signed", multi("mixed", [text(), attach("filename=a.pdf", pdf)]), \
        "DKIM-Signature: v=1; a=rsa-sha256; d=test.local; s=s; b=abc\n"
    yield "names_2231_2047", multi("mixed", [
        text(), attach("filename*=utf-8''%C3%BCbersicht%20%E2%82%AC.txt", csv,
                       packed_as="übersicht €.txt"),
        attach('filename="=?UTF-8?B?0J/RgNC40LLQtdGCLnR4dA==?="', pdf, packed_as="Привет.txt")]), ""
    yield "duplicates_zero_byte", multi("mixed", [
        text(), attach("filename=r.txt", csv, packed_as="r.txt"),
        attach("filename=r.txt", pdf, packed_as="r (2).txt"),
        attach("filename=empty.bin", b"", packed_as="empty.bin")]), ""
    yield "attachment_30mb", multi("mixed", [
        text(), attach("filename=big.log", compressible(30_000_000, 3), packed_as="big.log")]), ""
    yield "nothing_worth_packing", multi("mixed", [
        text(), attach("filename=noise.bin", random.Random(4).randbytes(NOISE))]), ""
    yield "exempt_recipient", multi("mixed", [text(), attach("filename=a.pdf", pdf)]), ""


NOISE = 65536  # incompressible bytes: below the saving, counted as sent unpacked
METRICS = "/tmp/parvex-milter-shapes-%d.prom" % os.getpid()


def send(lab, raw):
    """What Postfix answered: 250, or the code it refused the message with."""
    try:
        with smtplib.SMTP("127.0.0.1", lab.smtp_port, timeout=300) as smtp:
            smtp.sendmail("ana@test.local", ["bo@test.local"], raw)
        return 250
    except smtplib.SMTPResponseException as e:
        return e.smtp_code


def delivered_as(lab, before, name, seconds=120):
    """The message <name@test.local> once more than before are delivered, or None."""
    got = [r for r in lab.wait_delivered(before + 1, seconds).values()
           if postfix_lab.message_id(r) == "<%s@test.local>" % name]
    return got[0] if got else None


def dry_run(milter):
    """Nothing changes, and the log says what would have been packed. On SIGHUP a file with a
    fault keeps the settings in force; a good one takes effect."""
    lab = postfix_lab.Lab(milter, config="dry_run = yes\n")
    problems = []
    try:
        lab.start()
        root, extra = next(s[1:] for s in shapes() if s[0] == "plain_two")
        for n, (text, packs) in enumerate(
                ((None, False), ("dry_run = perhaps\n", False), ("dry_run = no\n", True))):
            if text:
                with open(lab.config, "w") as f:
                    f.write(text)
                lab.milter.send_signal(signal.SIGHUP)
                time.sleep(1)
                if lab.milter.poll() is not None:
                    return ["SIGHUP ended the milter with %s" % lab.milter.returncode]
            headers, body, expected, packed = message("dry_%d" % n, root, extra)
            before = len(lab.delivered())
            code = send(lab, headers + "\n" + body)
            got = delivered_as(lab, before, "dry_%d" % n)
            bad = check(headers, expected if packs else body, packed if packs else [], got) \
                if got else ["not delivered (%d)" % code]
            problems += ["with %r: %s" % (text, b) for b in bad]
        log = lab.milter_log()
        if log.count("dry run, would pack 2 attachment(s)") != 2:
            problems.append("not one dry-run log line for each message sent in dry run")
        if "the settings in force are kept" not in log:
            problems.append("no log line for the faulty file")
        return ["dry run: %s" % p for p in problems]
    finally:
        lab.close()


def kill_window(milter, tries=3):
    """kill -9 while the milter hands the packed body back (its work folder is gone, the
    chunks are on their way): with the shipped milter_default_action each message is delivered
    whole or refused with 4xx to its sender, never accepted and lost or kept corrupt."""
    lab = postfix_lab.Lab(milter)
    problems = []
    hits = 0
    try:
        lab.start()
        data = random.Random(5).randbytes(12_000_000).hex().encode()  # about half saved
        for n in range(tries):
            root = multi("mixed", [text(), attach("filename=k.log", data, packed_as="k.log")])
            headers, body, expected, packed = message("kill_%d" % n, root)
            before = len(lab.delivered())
            answer = []
            sender = threading.Thread(
                target=lambda: answer.append(send(lab, headers + "\n" + body)))
            sender.start()
            work = os.path.join(lab.state, "work")
            seen = False
            while sender.is_alive():
                busy = bool(os.listdir(work))
                if seen and not busy:
                    lab.stop_milter(signal.SIGKILL)
                    break
                seen = seen or busy
                time.sleep(0.001)
            sender.join()
            if answer[0] == 250:
                got = delivered_as(lab, before, "kill_%d" % n, 60)
                bad = check(headers, expected, packed, got) if got else ["lost"]
                if got and bad:
                    bad = check(headers, body, [], got)  # delivered unchanged is no loss
                problems += ["kill %d: accepted, then %s" % (n, "; ".join(bad))] if bad else []
            elif not 400 <= answer[0] < 500:
                problems.append("kill %d: refused with %d, not a temporary failure" % (n, answer[0]))
            else:
                hits += 1
            if lab.milter.poll() is not None:
                lab.start_milter()
        corrupt = os.path.join(lab.root, "spool", "corrupt")
        if os.path.isdir(corrupt) and os.listdir(corrupt):
            problems.append("queue files saved as corrupt: %s" % os.listdir(corrupt))
        print("kill window: %d of %d tries killed while handing back, each refused with 4xx"
              % (hits, tries))
        if hits == 0:
            problems.append("no kill landed while the body was handed back")
        return problems
    finally:
        lab.close()


def check(headers, expected, packed, delivered):
    """A list of problems with one delivered message."""
    head, body = postfix_lab.split_message(delivered)
    lines = head.split(b"\n")
    marks = [line for line in lines if line.startswith(b"X-Parvex: packed ")]
    head = b"\n".join(line for line in lines if not line.startswith(b"X-Parvex: "))
    problems = [] if head.endswith(headers.encode()) else ["headers changed"]
    if len(marks) != (1 if packed else 0):
        problems.append("%d X-Parvex headers" % len(marks))
    if not packed:
        return problems + ([] if body == expected.encode() else ["body changed"])
    before, after = (s.encode() for s in expected.split(PLACE))
    if not (body.startswith(before) and body.endswith(after)):
        return problems + ["the parts around the archive changed"]
    part = email.message_from_bytes(body[len(before):len(body) - len(after)])
    if part.get_content_type() != "application/zip" or part.get_filename() != "DD.zip":
        return problems + ["no DD.zip in the first attachment's place"]
    archive = part.get_payload(decode=True)
    archive_bytes.append(len(archive))
    with zipfile.ZipFile(io.BytesIO(archive)) as z:
        names = sorted(z.namelist())
        want = sorted([n for n, _ in packed] + ["Readme.txt"])
        if names != want:
            return problems + ["archive holds %s, not %s" % (names, want)]
        for n, data in packed:
            if z.read(n) != data:
                problems.append("%s differs after unzipping" % n)
    return problems


def main():
    why = postfix_lab.why_not_runnable()
    if why:
        print("skipped:", why)
        return postfix_lab.SKIP
    random.seed(32)
    lab = postfix_lab.Lab(sys.argv[1], config="exempt_recipient_domains = exempt.test\n"
                          "metrics_file = %s\n" % METRICS)
    failures = []
    try:
        lab.start()
        sent = {}
        smtp = smtplib.SMTP("127.0.0.1", lab.smtp_port, timeout=120)
        for name, root, extra in shapes():
            headers, body, expected, packed = message(name, root, extra)
            rcpt = "bo@exempt.test" if name.startswith("exempt") else "bo@test.local"
            smtp.sendmail("ana@test.local", [rcpt], headers + "\n" + body)
            sent["<%s@test.local>" % name] = (name, headers, expected, packed)
        smtp.quit()
        rc = lab.stop_milter(signal.SIGTERM)  # every message has been answered by now
        if rc != 0:
            failures.append("milter: SIGTERM ended it with %s" % rc)
        got = lab.wait_delivered(len(sent))
        by_id = {postfix_lab.message_id(raw): raw for raw in got.values()}
        for mid, (name, headers, expected, packed) in sent.items():
            if mid not in by_id:
                failures.append("%s: not delivered" % name)
                continue
            problems = check(headers, expected, packed, by_id[mid])
            print("%-24s %-8s %s" % (name, "packed" if packed else "left",
                                     "; ".join(problems) or "ok"))
            failures += ["%s: %s" % (name, p) for p in problems]
        if len(got) != len(sent):
            failures.append("%d messages delivered for %d sent" % (len(got), len(sent)))
        # The add-in's statistics (a new file starts at 1 and 1): packed bytes against their
        # archives, unpacked ones as sent.
        with open(os.path.join(lab.state, "parvex.log")) as f:
            totals = [float(x) for x in f.read().split()]
        packed_total = sum(len(d) for s in sent.values() for _, d in s[3])
        want = [1 + packed_total + NOISE, 1 + sum(archive_bytes) + NOISE]
        if totals != want:
            failures.append("statistics hold %s, not %s" % (totals, want))
        with open(METRICS) as f:
            counted = {line.rsplit(" ", 1)[0]: int(line.rsplit(" ", 1)[1])
                       for line in f if line.startswith("parvex_milter_")}
        packed_n = sum(1 for s in sent.values() if s[3])
        if (counted.get('parvex_milter_messages_total{outcome="packed",reason=""}') != packed_n
                or sum(v for k, v in counted.items() if "_messages_total" in k) != len(sent)):
            failures.append("metrics hold %s for %d packed of %d" % (counted, packed_n, len(sent)))
    finally:
        if failures:
            print(lab.milter_log()[-3000:])
            print(lab.postfix_log())
        lab.close()
        if os.path.exists(METRICS):
            os.remove(METRICS)
    failures += dry_run(sys.argv[1])
    failures += kill_window(sys.argv[1])
    for f in failures:
        print("FAILED:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
