"""The long-lived processes the soak starts: each a child in a session of its own, its standard
error kept (the tail) and scanned for sanitizer and crash reports by a reader thread."""

import os
import re
import signal
import subprocess
import threading
import time

REPORT = re.compile(rb"Sanitizer|runtime error|Segmentation fault|terminate called|core dumped|"
                    rb"Assertion .* failed|stack smashing")


class Proc:
    def __init__(self, name, argv, log, env=None, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL):
        self.name, self.log = name, log
        self.p = subprocess.Popen(argv, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE,
                                  start_new_session=True, env=env)
        self.lock = threading.Lock()
        self.err = bytearray()
        self.reports = 0
        self.report_lines = []
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        pending = b""
        while True:
            b = self.p.stderr.read1(65536)
            if not b:
                return
            pending += b
            *whole, pending = pending.split(b"\n")
            with self.lock:
                self.err += b
                del self.err[:-262144]  # the tail is enough to find a port or show a failure
                for line in whole:
                    if REPORT.search(line):
                        self.reports += 1
                        if len(self.report_lines) < 20:
                            self.report_lines.append(line.decode(errors="replace"))

    def stderr(self):
        with self.lock:
            return self.err.decode(errors="replace")

    def wait_for(self, pattern, timeout=30.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            m = re.search(pattern, self.stderr())
            if m:
                return m
            if self.p.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError(f"{self.name}: no '{pattern}' within {timeout:.0f} s:\n{self.stderr()[-2000:]}")

    def alive(self):
        return self.p.poll() is None

    def stop(self, sig=signal.SIGTERM, timeout=20.0):
        """Ends the process (sig, then SIGKILL after the timeout); its exit status."""
        if self.p.poll() is None:
            try:
                self.p.send_signal(sig)
                self.p.wait(timeout)
            except subprocess.TimeoutExpired:
                self.log(f"{self.name} did not end on signal {sig}; killed")
                os.killpg(self.p.pid, signal.SIGKILL)
                self.p.wait()
        time.sleep(0.2)  # the reader takes the last lines (a leak report comes at exit)
        return self.p.returncode
