"""SIGTERM in the middle of a decode leaves no file: run by cli_smoke_run.cmake.

Feeds the tool the first half of a JPEG file through a pipe, waits until its temporary output
exists beside the target (rows are being written), sends SIGTERM and checks that the tool died
of it and left neither the output nor its temporary file.
Usage: cli_interrupt.py TOOL INPUT.jpg OUTPUT
"""
import glob
import os
import signal
import subprocess
import sys
import time

tool, source, target = sys.argv[1:4]
data = open(source, "rb").read()
process = subprocess.Popen([tool, "--quiet", "--piece", "256", "-", target],
                           stdin=subprocess.PIPE, stderr=subprocess.PIPE)
process.stdin.write(data[: len(data) // 2])
process.stdin.flush()
deadline = time.time() + 30
while not glob.glob(glob.escape(target) + ".*.partial") and time.time() < deadline:
    time.sleep(0.05)
started = bool(glob.glob(glob.escape(target) + ".*.partial"))
process.send_signal(signal.SIGTERM)
process.stdin.close()
status = process.wait(timeout=30)
left = glob.glob(glob.escape(target) + "*")
if not started:
    sys.exit("the tool wrote no temporary output from the first half of the file")
if status != -signal.SIGTERM:
    sys.exit("exit status %d, expected death by SIGTERM" % status)
if left:
    sys.exit("left behind: %s" % left)
print("SIGTERM in the middle removed the temporary output")
