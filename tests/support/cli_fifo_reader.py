"""Runs a command that writes into a FIFO, copying what comes through to a file.

Usage: cli_fifo_reader.py FIFO COPY COMMAND...

The FIFO is opened for reading before the command starts: Wine opens a FIFO for reading and
writing, so a tool that finished before any reader had opened it would leave its output in a
pipe nobody reads. Exits with the command's status.
"""
import os
import subprocess
import sys
import time


def main():
    fifo = os.open(sys.argv[1], os.O_RDONLY | os.O_NONBLOCK)
    tool = subprocess.Popen(sys.argv[3:])
    data = bytearray()
    while True:
        done = tool.poll() is not None  # before the read: all it wrote is in the pipe by then
        try:
            chunk = os.read(fifo, 65536)
        except BlockingIOError:
            chunk = b''
        data += chunk
        if not chunk and done:
            break
        if not chunk:
            time.sleep(0.01)
    with open(sys.argv[2], 'wb') as copy:
        copy.write(data)
    return tool.returncode


if __name__ == '__main__':
    sys.exit(main())
