"""quorin-sim serial and its standard input: a terminal is read only while
the simulator is the terminal's foreground job (so `quorin-sim serial &` in an
interactive shell is never stopped by SIGTTIN and keeps answering), the end
of input ends it, and /dev/null is not read at all.

The interactive shell is played by a session leader on a pseudo-terminal
that starts the simulator as a background job (a process group of its own)
and, when told, moves it to the foreground as `fg` does.

Environment: QUORIN, QUORIN_SIM (the tools)."""

import fcntl
import os
import select
import signal
import subprocess
import sys
import termios
import time

QUORIN = os.environ["QUORIN"]
SIM = os.environ["QUORIN_SIM"]
WAIT = 20.0  # seconds, an upper bound for every wait below
checks = 0


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def check(condition, message):
    global checks
    checks += 1
    if not condition:
        fail(message)


def read_line(fd, what):
    """One line from a descriptor, within WAIT seconds."""
    data = b""
    deadline = time.monotonic() + WAIT
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            fail("no line of " + what)
        chunk = os.read(fd, 1)
        if not chunk:
            fail("end of " + what + " after %r" % data)
        data += chunk
    return data.decode().strip()


def state_of(pid):
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def info_works(path):
    done = subprocess.run([QUORIN, "info", "--device", path, "--timeout", "5000"],
                          capture_output=True, text=True, timeout=WAIT)
    return done.returncode == 0 and "Serial number:  SIM0001" in done.stdout


def wait_exit(pid):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.02)
    fail("process %d did not end" % pid)


def background_job_on_a_terminal():
    master, slave = os.openpty()
    sim_out_r, sim_out_w = os.pipe()
    orders_r, orders_w = os.pipe()
    report_r, report_w = os.pipe()
    shell = os.fork()
    if shell == 0:
        # The "shell": a session leader with the pty as its terminal.
        try:
            for fd in (master, sim_out_r, orders_w, report_r):
                os.close(fd)
            os.setsid()
            fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
            signal.signal(signal.SIGTTOU, signal.SIG_IGN)
            job = os.fork()
            if job == 0:
                os.setpgid(0, 0)  # `&`: a job of its own, not in the foreground
                os.dup2(slave, 0)
                os.dup2(sim_out_w, 1)
                for fd in (slave, sim_out_w, orders_r, report_w):
                    os.close(fd)
                os.execv(SIM, [SIM, "serial"])
            os.close(sim_out_w)
            os.setpgid(job, job)
            os.write(report_w, b"%d\n" % job)
            for order in os.fdopen(orders_r).read().split():
                if order == "fg":
                    os.tcsetpgrp(slave, job)
                    os.kill(job, signal.SIGCONT)
            status = os.waitpid(job, 0)[1]
            os.write(report_w, b"%d\n" % status)
        finally:
            os._exit(0)
    for fd in (slave, sim_out_w, orders_r, report_w):
        os.close(fd)
    job = int(read_line(report_r, "the shell's report"))
    path = read_line(sim_out_r, "the simulator's output")
    check(path.startswith("SERIAL://PORT="), "quorin-sim printed %r" % path)

    # Typed while the job runs in the background: the shell's input, not the
    # simulator's. Reading it would stop the simulator (SIGTTIN).
    os.write(master, b"x\n")
    check(info_works(path), "the background simulator did not answer")
    check(state_of(job) != "T", "the background simulator was stopped")

    # `fg`: now it reads the terminal; "q" ends it.
    os.write(orders_w, b"fg\n")
    os.close(orders_w)
    os.write(master, b"q\n")
    status = int(read_line(report_r, "the shell's report"))
    check(os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0,
          "the simulator ended with status %d" % status)
    wait_exit(shell)
    os.close(master)


def end_of_input_ends_it():
    sim = subprocess.Popen([SIM, "serial"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL)
    path = sim.stdout.readline().decode().strip()
    check(info_works(path), "the simulator did not answer")
    sim.stdin.close()
    try:
        check(sim.wait(WAIT) == 0, "end of input: status %s" % sim.returncode)
    except subprocess.TimeoutExpired:
        sim.kill()
        fail("end of input did not end the simulator")


def dev_null_is_not_read():
    with open(os.devnull) as null:
        sim = subprocess.Popen([SIM, "serial"], stdin=null, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    try:
        path = sim.stdout.readline().decode().strip()
        check(info_works(path), "the simulator on /dev/null did not answer")
        check(sim.poll() is None, "the simulator on /dev/null ended by itself")
        sim.terminate()
        check(sim.wait(WAIT) == 0, "SIGTERM: status %s" % sim.returncode)
    finally:
        if sim.poll() is None:
            sim.kill()
            sim.wait()


background_job_on_a_terminal()
end_of_input_ends_it()
dev_null_is_not_read()
print("sim_terminal: %d checks passed" % checks)
