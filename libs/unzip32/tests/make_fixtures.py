#!/usr/bin/env python3
"""Makes the unzip tests' inputs that other tools write, and what those tools say they hold.

usage: make_fixtures.py OUT_DIR CORPUS_DIR

OUT_DIR/manifest.txt, tab-separated:
  A <archive> <password>                   an archive made here by zip or 7z
  C <archive> <unzip -t code> <encrypted>  an archive of the shared corpus
  F <path> <size> <crc> <crlf size> <crlf crc> <method>
      a file the archive above holds; the CR LF figures differ only for entries flagged text
Tools that are missing leave their archives out; the tests skip what is not there.
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zipfile
import zlib

out_dir, corpus_dir = sys.argv[1], sys.argv[2]
shutil.rmtree(out_dir, ignore_errors=True)
rng = random.Random(20240607)
words = "zip archive entry folder header deflate stored central directory local data".split()


def text(lines):
    return "".join(" ".join(rng.choice(words) for _ in range(rng.randint(3, 12))) + "\n"
                   for _ in range(lines)).encode()


def run(args, cwd=None):  # the tool's exit code, its output dropped; -1 when it is missing
    return -1 if shutil.which(args[0]) is None else subprocess.run(
        args, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def file_line(name, data, is_text, method):
    crlf = data.replace(b"\r\n", b"\n").replace(b"\r", b"\n").replace(b"\n", b"\r\n")
    converted = crlf if is_text else data
    return "F\t%s\t%d\t%08x\t%d\t%08x\t%d\n" % (name, len(data), zlib.crc32(data),
                                                len(converted), zlib.crc32(converted), method)


def real_name(info):
    # zipfile reads unflagged names as code page 437; zip and 7z on Linux write UTF-8.
    try:
        return info.filename if info.flag_bits & 0x800 else \
            info.filename.encode("cp437").decode("utf-8")
    except UnicodeError:
        return info.filename


files = {
    "docs/readme.txt": text(200),
    "docs/notes.txt": text(20).replace(b"\n", b"\r\n"),
    "data/random.bin": bytes(rng.getrandbits(8) for _ in range(300_000)),
    "data/zeros.bin": bytes(2_000_000),
    "empty.txt": b"",
    "Ünïcödé €uro.txt": text(5),
    "sub dir/deeper/leaf.txt": text(3),
}
files.update({"many/f%02d.txt" % i: text(i + 1) for i in range(20)})
src = os.path.join(out_dir, "src")
for name, data in files.items():
    os.makedirs(os.path.dirname(os.path.join(src, name)), exist_ok=True)
    with open(os.path.join(src, name), "wb") as f:
        f.write(data)
manifest = []
for archive, password, command in [
        ("zip-folders.zip", "", ["zip", "-r", "-q", "-X"]),
        ("zip-password.zip", "secret-42", ["zip", "-r", "-q", "-P", "secret-42"]),
        ("zip-password-utf8.zip", "pässwörd", ["zip", "-r", "-q", "-P", "pässwörd"]),
        ("zip-zip64.zip", "", ["zip", "-r", "-q", "-fz"]),
        ("7z.zip", "", ["7z", "a", "-tzip", "-bd", "-bso0", "-bsp0"]),
        ("7z-password.zip", "s3cret", ["7z", "a", "-tzip", "-bd", "-bso0", "-bsp0", "-ps3cret",
                                       "-mem=ZipCrypto"])]:
    if run(command + [os.path.join(out_dir, archive), "."], src) != 0:
        continue
    manifest.append("A\t%s\t%s\n" % (archive, password))
    for info in zipfile.ZipFile(os.path.join(out_dir, archive)).infolist():
        if not info.is_dir():
            name = real_name(info)
            manifest.append(file_line(name, files[name], info.internal_attr & 1,
                                      info.compress_type))

# The corpus: what Info-ZIP's unzip makes of each archive, and the files it extracts.
have_corpus = os.path.isdir(corpus_dir) and shutil.which("unzip") is not None
for archive in sorted(os.listdir(corpus_dir)) if have_corpus else []:
    path = os.path.join(corpus_dir, archive)
    code = run(["unzip", "-tqq", "-P", "", path])
    try:
        infos = zipfile.ZipFile(path).infolist()
    except Exception:
        infos = []
    manifest.append("C\t%s\t%d\t%d\n" % (archive, code, any(i.flag_bits & 1 for i in infos)))
    if code > 1:  # 1: warnings, or encrypted entries skipped
        continue
    methods = {i.filename: i.compress_type for i in infos}
    with tempfile.TemporaryDirectory() as tmp:
        run(["unzip", "-qq", "-o", "-P", "", "-d", tmp, path])
        for root, _, names in os.walk(tmp):
            for name in sorted(names):
                rel = os.path.relpath(os.path.join(root, name), tmp).replace(os.sep, "/")
                if rel.isascii():  # how unzip spells other names depends on the locale
                    with open(os.path.join(root, name), "rb") as f:
                        manifest.append(file_line(rel, f.read(), False, methods.get(rel, -1)))

with open(os.path.join(out_dir, "manifest.txt"), "w", encoding="utf-8") as f:
    f.writelines(manifest)
