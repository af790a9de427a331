"""A decode ended from outside leaves no file: run by cli_smoke_run.cmake.

For each signal (SIGTERM, SIGQUIT), feeds the tool the first half of a JPEG file through a pipe,
waits until its temporary output exists beside the target (rows are being written), sends the
signal and checks that the tool died of it and left neither the output nor its temporary file.
Then a file-size limit (RLIMIT_FSIZE, as `ulimit -f` sets) below the image's size: the write
that meets it fails, and the tool must exit with status 4 (output not written), leaving nothing.
Usage: cli_interrupt.py TOOL INPUT.jpg OUTPUT
"""
import glob
import os
import resource
import signal
import subprocess
import sys
import time

tool, source, target = sys.argv[1:4]
data = open(source, "rb").read()


def no_core_dump():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # SIGQUIT's default action dumps core


def left_behind():
    return glob.glob(glob.escape(target) + "*")


for number in (signal.SIGTERM, signal.SIGQUIT):
    name = signal.Signals(number).name
    process = subprocess.Popen([tool, "--quiet", "--piece", "256", "-", target],
                               stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                               preexec_fn=no_core_dump)
    process.stdin.write(data[: len(data) // 2])
    process.stdin.flush()
    deadline = time.time() + 30
    while not glob.glob(glob.escape(target) + ".*.partial") and time.time() < deadline:
        time.sleep(0.05)
    started = bool(glob.glob(glob.escape(target) + ".*.partial"))
    process.send_signal(number)
    process.stdin.close()
    status = process.wait(timeout=30)
    if not started:
        sys.exit("%s: the tool wrote no temporary output from the first half of the file" % name)
    if status != -number:
        sys.exit("%s: exit status %d, expected death by the signal" % (name, status))
    if left_behind():
        sys.exit("%s: left behind: %s" % (name, left_behind()))


def file_size_limit():
    limit = 4096  # bytes; the image is larger
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))


run = subprocess.run([tool, "--quiet", source, target], stderr=subprocess.PIPE,
                     preexec_fn=file_size_limit)
message = run.stderr.decode(errors="replace")
if run.returncode != 4 or "cannot write" not in message:
    sys.exit("file-size limit: exit status %d, want 4 and 'cannot write': %s"
             % (run.returncode, message))
if left_behind():
    sys.exit("file-size limit: left behind: %s" % left_behind())
print("SIGTERM and SIGQUIT in the middle, and a file-size limit, removed the temporary output")
