#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""clang-tidy for run-clang-tidy's -clang-tidy-binary, remembering clean runs.

A file is not analysed again when a clean run (no finding, exit 0) had the
same inputs: the clang-tidy binary and its effective configuration, the
file's compile command, the file as clang-tidy's own release of clang
preprocesses it, every file that read, byte for byte (comments too: a
NOLINT or an argument's comment changes what is found), and this script.
Headers that it does not read do not count, so that installing another
architecture's do not make every file new. The tree's own location is
left out, so that a fresh clone finds what another clone left. Findings
are never remembered: a file with any is analysed, and shown, every time.

The real binary is $STATPIPE_CLANG_TIDY and the tree $STATPIPE_SOURCE_DIR.
What is remembered lives in /var/cache/statpipe/clang-tidy (or
$STATPIPE_CLANG_TIDY_CACHE), an empty file for each clean run, dropped a
week after it was last used; where that cannot be written (not root),
every file is analysed.
"""
import glob
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys
import time

CACHE = os.environ.get("STATPIPE_CLANG_TIDY_CACHE", "/var/cache/statpipe/clang-tidy")
WEEK = 7 * 24 * 3600


def run_real(args):
    os.execv(os.environ["STATPIPE_CLANG_TIDY"], [os.environ["STATPIPE_CLANG_TIDY"]] + args)


def key_of(tidy, args, source, build, name):
    """The inputs of clang-tidy's run on name, as one hash; None if unknown."""
    database = json.load(open(os.path.join(build, "compile_commands.json")))
    # clang-tidy analyses a file once for each of its commands.
    entries = [e for e in database if os.path.normpath(os.path.join(e["directory"], e["file"])) == name]
    if not entries or any("command" not in e for e in entries):
        return None

    def located(data):
        # The build first, for it lies inside the tree.
        return data.replace(build.encode(), b"@BUILD@").replace(source.encode(), b"@SOURCE@")

    config = subprocess.run([tidy, "--dump-config", name], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, check=False)
    version = subprocess.run([tidy, "--version"], stdout=subprocess.PIPE, check=False)
    if config.returncode or version.returncode:
        return None
    parts = [version.stdout, located(config.stdout), located(" ".join(args).encode()), open(__file__, "rb").read()]
    # The clang beside clang-tidy reads what its frontend reads (its own
    # builtin headers, the GCC it finds); the compiler's words otherwise.
    clang = os.path.join(os.path.dirname(os.path.realpath(tidy)), "clang++")
    for entry in entries:
        preprocess, skip = [], False
        words = shlex.split(entry["command"])
        if os.access(clang, os.X_OK):
            words[0] = clang
        for word in words:
            if skip:
                skip = False
            elif word == "-o":
                skip = True
            elif word != "-c":
                preprocess.append(word)
        text = subprocess.run(preprocess + ["-E"], cwd=entry["directory"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, check=False)
        if text.returncode:
            return None
        parts += [located(entry["command"].encode()), located(text.stdout)]
        # Every file that the line markers name, in the order first read.
        read = dict.fromkeys(m.group(1) for m in re.finditer(rb'^# \d+ "((?:[^"\\]|\\.)*)"', text.stdout, re.M))
        for path in read:
            if path.startswith(b"<"):
                continue  # <built-in>, <command line>: in the text already
            unquoted = path.replace(b'\\"', b'"').replace(b"\\\\", b"\\")
            try:
                with open(os.path.join(entry["directory"].encode(), unquoted), "rb") as f:
                    parts += [located(path), located(f.read())]
            except OSError:
                return None
    digest = hashlib.sha256()
    for part in parts:
        digest.update(hashlib.sha256(part).digest())
    return digest.hexdigest()


def main():
    tidy = os.environ["STATPIPE_CLANG_TIDY"]
    args = sys.argv[1:]
    build = next((a[len("-p="):] for a in args if a.startswith("-p=")), None)
    name = os.path.normpath(args[-1]) if args else ""
    source = os.environ.get("STATPIPE_SOURCE_DIR", "")
    if build is None or not source or not os.path.isfile(name) or "-list-checks" in args:
        run_real(args)
    try:
        os.makedirs(CACHE, exist_ok=True)
        probe = os.path.join(CACHE, ".probe.%d" % os.getpid())
        open(probe, "w").close()
        os.unlink(probe)
    except OSError:
        run_real(args)
    build = os.path.normpath(os.path.abspath(build))
    source = os.path.normpath(source)
    key = key_of(tidy, [a for a in args if a != name and not a.startswith("-p=")], source, build, name)
    if key is None:
        run_real(args)
    remembered = os.path.join(CACHE, key)
    now = time.time()
    for old in glob.glob(os.path.join(CACHE, "*")):
        try:
            if now - os.stat(old).st_mtime > WEEK:
                os.unlink(old)
        except OSError:
            pass
    if os.path.exists(remembered):
        os.utime(remembered)
        sys.stderr.write("clang-tidy: %s: as it was at a clean run, not analysed again\n" % name)
        return 0
    run = subprocess.run([tidy] + args, stdout=subprocess.PIPE, check=False)
    sys.stdout.buffer.write(run.stdout)
    if run.returncode == 0 and not run.stdout.strip():
        made = "%s.%d" % (remembered, os.getpid())
        open(made, "w").close()
        os.rename(made, remembered)
    return run.returncode


if __name__ == "__main__":
    sys.exit(main())
