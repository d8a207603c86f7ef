#!/usr/bin/env python3
"""The README's listing of the ribbon, as the simulated client prints it:
readme_ribbon.py PARVEX_SIM [--check]

Runs a script that opens the main window and a message, each printing its ribbon, once as the
user has it and once with packing fixed off by an administrator, and writes that listing into
README.md between its two marker lines; with --check, exits 1 when the README's differs."""
import subprocess
import sys
import tempfile
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"
BEGIN = "<!-- ribbon listing: bash scripts/screens.sh rewrites it -->"
END = "<!-- end of the ribbon listing -->"
SCRIPT = "explorer Inbox\nconnect\nribbon\nmail Quarterly report\nribbon\n"


def listing(sim):
    with tempfile.TemporaryDirectory() as folder:
        Path(folder, "ribbon.txt").write_text(SCRIPT)
        Path(folder, "policies.ini").write_text("Compression=0\r\n")
        parts = []
        for title, extra in (("As the user has it:", []),
                             ("With packing fixed off by policy:", ["--policy-file", "policies.ini"])):
            out = subprocess.run([sim, "script", "--addin-folder", "addin", *extra, "ribbon.txt"],
                                 cwd=folder, check=True, capture_output=True, text=True).stdout
            lines = [line for line in out.splitlines() if line.startswith(("Ribbon of", " "))]
            parts.append(title + "\n\n" + "".join(f"    {line}\n" for line in lines))
        return "\n".join(parts)


def main():
    sim, check = str(Path(sys.argv[1]).resolve()), "--check" in sys.argv[2:]
    text = README.read_text()
    start, end = text.index(BEGIN) + len(BEGIN), text.index(END)
    new = "\n" + listing(sim) + "\n"
    if text[start:end] == new:
        return 0
    if check:
        print("The README's ribbon listing differs from what parvex-sim prints; "
              "rewrite it with: bash scripts/screens.sh")
        return 1
    README.write_text(text[:start] + new + text[end:])
    return 0


if __name__ == "__main__":
    sys.exit(main())
