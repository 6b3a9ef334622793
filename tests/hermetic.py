#!/usr/bin/env python3
"""Run varnok against glibc's real resolver, in the sealed sandbox.

usage: hermetic.py [--launcher CMD] [--fault LIB] --nss LIB [--static]
                   [--root] VARNOK [GROUP ...]
       hermetic.py --image --nss LIB DIR image

Runs the table of cases below, each in the sandbox of sandbox.py, and
prints a line a case and a count. --static says that VARNOK carries its C
library, and --root runs it in a root of nothing but itself and the /etc
files: the cases that cannot apply are counted as skipped. --image runs
the image group in containers of the amd64 image of the OCI layout DIR,
under podman, on the sandbox's network.
"""
import argparse
import itertools
import os
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time

import sandbox

LONG = "a" * 300
HUGE = "b" * 131_000  # about the most that one argument may hold
POSIX = {"POSIXLY_CORRECT": "1"}
LATE, LATE_ADDR = sandbox.LATE, sandbox.LATE_ADDR

# group, arguments, status, stdout, and what else the case needs:
# dns= which server answers, err=True where getopt must complain,
# out= where stdout goes, fault= what the fault library makes fail,
# sig= how the parent leaves SIGALRM, clock=N to run it N times with the
# parent's alarm clock due at moments across start-up, at= seconds the run
# may not end before, env= what the environment adds, asks= the most queries
# our own server may see, later= the server that resolv.conf names once the
# late names' time has come, when the hosts file also gains its late name,
# few=True for the handful run under slow launchers such as valgrind,
# pid1=True to run it as the first process of a PID namespace of its own,
# kill= a signal to send it KILL_AT seconds after the start, by= seconds the
# run must have ended by, ignores= a signal the parent leaves ignored,
# after= seconds after the start to send it in place of KILL_AT, podman=
# what a container's podman run adds. kill="stop" is podman stop.
# The load group's cases run all together, eight of each at once.
CASES = [
    ("options", [], 255, ""),
    ("options", ["-t", "5"], 255, ""),
    ("options", ["-s"], 255, "", {"err": True}),
    ("options", ["-s", "10.0.0.1", "-s", "10.0.0.2"], 0, "10.0.0.2"),
    ("options", ["-s10.0.0.3"], 0, "10.0.0.3"),
    ("options", ["-t5", "-sone.example"], 0, "192.0.2.1"),
    ("options", ["-x", "-s", "10.0.0.4"], 0, "10.0.0.4", {"err": True}),
    ("options", ["one.example"], 255, ""),
    ("options", ["word", "-s", "10.0.0.5", "more"], 0, "10.0.0.5"),
    ("options", ["word", "-s", "10.0.0.5", "more"], 0, "10.0.0.5",
     {"env": POSIX}),
    ("options", ["--", "-s", "10.0.0.6"], 255, "", {"env": POSIX}),
    ("options", ["--", "-s", "10.0.0.6"], 255, ""),
    ("options", ["-s", "10.0.0.7", "-s"], 0, "10.0.0.7", {"err": True}),
    ("literal", ["-s", "10.1.2.3"], 0, "10.1.2.3", {"few": True}),
    ("literal", ["-t", "1", "-s", "10.1.2.3"], 0, "10.1.2.3", {"dns": "silent"}),
    ("literal", ["-s", "127.1"], 0, "127.1", {"dns": "silent"}),
    ("literal", ["-s", "0x7f.1"], 0, "0x7f.1", {"dns": "silent"}),
    ("literal", ["-s", "017.0.0.1"], 0, "017.0.0.1", {"dns": "silent"}),
    ("literal", ["-s", "4294967294"], 0, "4294967294", {"dns": "silent"}),
    ("literal", ["-s", "255.255.255.255"], 0, "255.255.255.255"),
    ("literal", ["-s", "037777777777"], 0, "255.255.255.255"),
    ("literal", ["-s", "0xffffffff"], 0, "255.255.255.255"),
    ("literal", ["-s", "255.0xffffff"], 0, "255.255.255.255",
     {"dns": "tc", "asks": 0}),
    ("literal", ["-s", "0XFF.0xff.0xff.0xff"], 0, "255.255.255.255",
     {"dns": "tc", "asks": 0}),
    ("literal", ["-s", "10.1.2.3 ; rm -rf /"], 1, ""),
    ("literal", ["-s", "10.1.2.3\n"], 1, ""),
    ("literal", ["-s", "10.1.2.3\tx"], 1, ""),
    ("literal", ["-s", "10.1.2.3"], 28, "", {"out": "/dev/full"}),
    ("literal", ["-s", "10.1.2.3"], 9, "", {"out": "closed"}),
    ("hosts", ["-s", "one.example"], 0, "192.0.2.1", {"few": True}),
    ("hosts", ["-s", "one-alias"], 0, "192.0.2.1"),
    ("hosts", ["-s", "multi.example"], 0, "192.0.2.2"),
    ("hosts", ["-s", "dual.example"], 0, "192.0.2.9"),
    ("hosts", ["-s", "mixedcase.EXAMPLE"], 0, "192.0.2.4"),
    ("hosts", ["-s", "both.test"], 0, "192.0.2.5"),
    ("hosts", ["-s", "one.example"], 28, "", {"out": "/dev/full"}),
    ("dns", ["-s", "dns.test"], 0, "192.0.2.20", {"few": True}),
    ("dns", ["-t", "3", "-s", "dns.test"], 0, "192.0.2.20"),
    ("dns", ["-s", "nosuch.test"], 1, "", {"few": True}),
    ("dns", ["-s", "refused.invalid"], 2, ""),
    ("dns", ["-s", "v6.test"], 4, ""),
    ("search", ["-s", "dns"], 0, "192.0.2.20", {"dns": "search"}),
    ("tcp", ["-s", "few.tc"], 0, "192.0.2.30", {"dns": "tc"}),
    ("tcp", ["-s", "many.tc"], 0, "198.51.100.1", {"dns": "tc", "few": True}),
    ("tcp", ["-s", "nosuch.tc"], 1, "", {"dns": "tc"}),
    ("tcp", ["-t", "1", "-s", "stall.tc"], 254, "",
     {"dns": "tc", "at": 1, "few": True}),
    ("tcp", ["-t", "2", "-s", "stall.tc"], 254, "", {"dns": "tc", "at": 2}),
    ("nss", ["-t", "1", "-s", "hang.stall"], 254, "", {"at": 1, "few": True}),
    ("nss", ["-t", "2", "-s", "hang.stall"], 254, "", {"at": 2}),
    ("deadline", ["-t", "1", "-s", "dns.test"], 254, "",
     {"dns": "silent", "few": True}),
    ("deadline", ["-t", "1x", "-s", "dns.test"], 254, "", {"dns": "silent"}),
    ("deadline", ["-t", "0.5", "-s", "dns.test"], 254, "",
     {"dns": "silent", "at": 1}),
    ("deadline", ["-t", ".5", "-s", "hang.stall"], 254, "", {"at": 1}),
    ("deadline", ["-t", "0.0", "-s", "dns.test"], 2, "", {"dns": "silent"}),
    ("deadline", ["-t", "-0.5", "-s", "dns.test"], 2, "", {"dns": "silent"}),
    ("deadline", ["-s", "dns.test"], 2, "", {"dns": "silent"}),
    ("deadline", ["-t", "0", "-s", "dns.test"], 2, "", {"dns": "silent"}),
    ("deadline", ["-t", "abc", "-s", "dns.test"], 2, "", {"dns": "silent"}),
    ("deadline", ["-t", "", "-s", "dns.test"], 2, "", {"dns": "silent"}),
    ("deadline", ["-t", "3", "-t", "0", "-s", "dns.test"], 2, "",
     {"dns": "silent"}),
    ("deadline", ["-t", "-1", "-s", "dns.test"], 2, "", {"dns": "silent"}),
    ("deadline", ["-t", "4294967297", "-s", "dns.test"], 2, "",
     {"dns": "silent"}),
    ("wait", ["-w", "-t", "10", "-s", "late-nx.tc"], 0, LATE_ADDR,
     {"dns": "tc", "at": LATE, "few": True}),
    ("wait", ["-wt", "10", "-s", "late-fail.tc"], 0, LATE_ADDR,
     {"dns": "tc", "at": LATE}),
    ("wait", ["-s", "late-noa.tc", "-t10", "-w"], 0, LATE_ADDR,
     {"dns": "tc", "at": LATE}),
    ("wait", ["-w", "-s", "late-nx.tc"], 0, LATE_ADDR,
     {"dns": "tc", "at": LATE}),
    ("wait", ["-w", "-t", "10", "-s", "late.example"], 0, LATE_ADDR,
     {"later": "dns", "at": LATE}),
    ("wait", ["-w", "-t", "10", "-s", "dns.test"], 0, "192.0.2.20",
     {"dns": "none", "later": "dns", "at": LATE}),
    ("wait", ["-w", "-t", "3", "-s", "never.tc"], 254, "",
     {"dns": "tc", "at": 3, "asks": 9}),
    ("wait", ["-w", "-t", "2", "-s", "dns.test"], 254, "",
     {"dns": "silent", "at": 2}),
    ("wait", ["-w", "-t", "1", "-s", "hang.stall"], 254, "", {"at": 1}),
    ("wait", ["-w", "-t", "5", "-s", ""], 3, ""),
    ("wait", ["-w", "-s", "10.1.2.3"], 0, "10.1.2.3", {"dns": "silent"}),
    ("wait", ["-w"], 255, ""),
    ("input", ["-s", ""], 3, ""),
    ("input", ["-s", "%s%n%s%n"], 1, ""),
    ("input", ["-s", LONG], 1, ""),
    ("input", ["-s", LONG + ".test"], 1, ""),
    ("input", ["-s", HUGE], 1, ""),
    ("fault", ["-s", "dns.test"], 4, "", {"fault": "empty"}),
    ("fault", ["-s", "dns.test"], 3, "", {"fault": "silent"}),
    ("fault", ["-t", "5", "-s", "dns.test"], 22, "", {"fault": "sigerr"}),
    ("fault", ["-s", "dns.test"], 0, "192.0.2.20", {"fault": "sigerr"}),
    ("fault", ["-t", "5", "-s", "dns.test"], 254, "", {"fault": "late"}),
]
CASES += [(group, ["-t", "5", "-s", "one.example"], 0, "192.0.2.1",
           dict(opt, sig=how)) for how in ("ignored", "blocked")
          for group, opt in (("signals", {"clock": 2000}),
                             ("fault", {"clock": 40, "fault": "slow"}))]
CASES += [("signals", argv, status, stdout, dict(opt, sig=how))
          for how in ("blocked", "ignored", "pending")
          for argv, status, stdout, opt in (
              (["-t", "1", "-s", "hang.stall"], 254, "",
               {"at": 1, "few": True}),
              (["-t", "1", "-s", "stall.tc"], 254, "", {"at": 1, "dns": "tc"}),
              (["-t", "1", "-s", "dns.test"], 254, "",
               {"at": 1, "dns": "silent"}),
              (["-t", "5", "-s", "one.example"], 0, "192.0.2.1", {}),
              (["-t", "5", "-s", "few.tc"], 0, "192.0.2.30", {"dns": "tc"}),
              (["-s", "one.example"], 0, "192.0.2.1", {}),
              (["-t", "1", "-s", "10.1.2.3"], 0, "10.1.2.3", {}),
              (["-w", "-t", "1", "-s", "never.tc"], 254, "",
               {"at": 1, "dns": "tc"}),
              (["-w", "-t", "5", "-s", "late-nx.tc"], 0, LATE_ADDR,
               {"at": LATE, "dns": "tc"}))]
# As PID 1 each stop signal ends a wait or a hung lookup, with or without a
# deadline, as a shell reports death by it; anywhere else it kills varnok.
STOPS = {"HUP": 129, "INT": 130, "QUIT": 131, "TERM": 143}
KILL_AT = 0.5
# The podman that runs the image, in a storage of the sandbox's own; and
# the containers' names.
PODMAN = []
NAMES = itertools.count()
CASES += [("pid1", argv, status, "",
           {"dns": "tc", "pid1": True, "kill": sig, "by": KILL_AT + 1})
          for sig, status in STOPS.items()
          for argv in (["-w", "-s", "never.tc"], ["-w", "-t", "30", "-s",
                       "never.tc"], ["-t", "30", "-s", "stall.tc"])]
CASES += [
    ("pid1", ["-s", "hang.stall"], 143, "",
     {"pid1": True, "kill": "TERM", "by": KILL_AT + 1}),
    ("pid1", ["-w", "-t", "2", "-s", "never.tc"], 254, "",
     {"dns": "tc", "pid1": True, "kill": "HUP", "ignores": "HUP", "at": 2}),
    ("pid1", ["-t", "2", "-s", "stall.tc"], 254, "",
     {"dns": "tc", "pid1": True, "kill": "TERM", "ignores": "TERM", "at": 2}),
    ("pid1", ["-s", "one.example"], 0, "192.0.2.1", {"pid1": True}),
    ("pid1", ["-t", "5", "-s", "dns.test"], 0, "192.0.2.20", {"pid1": True}),
    ("pid1", ["-s", "10.1.2.3"], 0, "10.1.2.3", {"pid1": True}),
    ("pid1", ["-w", "-s", "never.tc"], -2, "",
     {"dns": "tc", "kill": "INT", "by": KILL_AT + 1}),
    ("pid1", ["-t", "30", "-s", "stall.tc"], -15, "",
     {"dns": "tc", "kill": "TERM", "by": KILL_AT + 1}),
]
# The image as a user runs it, its hosts file and resolv.conf made by podman.
CASES += [
    ("image", ["-s", "10.1.2.3"], 0, "10.1.2.3"),
    ("image", ["-s", "added.example"], 0, "192.0.2.77",
     {"podman": ["--add-host", "added.example:192.0.2.77"]}),
    ("image", ["-s", "dns.test"], 0, "192.0.2.20"),
    ("image", ["-s", "many.tc"], 0, "198.51.100.1", {"dns": "tc"}),
    ("image", ["-s", "nosuch.test"], 1, ""),
    ("image", [], 255, ""),
    ("image", ["-t", "1", "-s", "dns.test"], 254, "",
     {"dns": "silent", "at": 1}),
    ("image", ["-w", "-t", "10", "-s", "late-nx.tc"], 0, LATE_ADDR,
     {"dns": "tc", "at": LATE}),
    ("image", ["-w", "-t", "60", "-s", "never.tc"], 143, "",
     {"dns": "tc", "kill": "stop", "after": 3, "by": 5}),
]
CASES += [("load", argv, status, stdout, {"dns": "tc"})
          for argv, status, stdout in (
              (["-s", "10.1.2.3"], 0, "10.1.2.3"),
              (["-s", "one.example"], 0, "192.0.2.1"),
              (["-s", "few.tc"], 0, "192.0.2.30"),
              (["-s", "many.tc"], 0, "198.51.100.1"),
              (["-t", "1", "-s", "stall.tc"], 254, ""),
              (["-t", "1", "-s", "hang.stall"], 254, ""),
              (["-w", "-t", "10", "-s", "late-nx.tc"], 0, LATE_ADDR))]


def start(args, opt, cmd, fault, nss):
    """Start one run as the case asks, with a scrubbed environment."""
    env = {k: v for k, v in os.environ.items()
           if k in ("PATH", "CONTAINERS_CONF") or k.endswith("SAN_OPTIONS")}
    env["LD_LIBRARY_PATH"] = os.path.dirname(os.path.abspath(nss))
    env.update(opt.get("env", {}))
    if "fault" in opt:
        env["VARNOK_FAULT"] = opt["fault"]
        if "qemu" in cmd[0]:  # preload into the guest, not the emulator
            env["QEMU_SET_ENV"] = "LD_PRELOAD=" + fault
        else:
            env["LD_PRELOAD"] = fault
    how, delay, ignores = opt.get("sig"), opt.get("delay"), opt.get("ignores")

    def parent():
        """Leave SIGALRM as some supervisors and runtimes do for the
        program they start, and an alarm clock due in delay seconds."""
        if how == "ignored":
            signal.signal(signal.SIGALRM, signal.SIG_IGN)
        elif how:
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGALRM])
        if how == "pending":
            signal.raise_signal(signal.SIGALRM)
        if delay:
            signal.setitimer(signal.ITIMER_REAL, delay)
        if ignores:
            signal.signal(signal.Signals["SIG" + ignores], signal.SIG_IGN)

    if opt.get("pid1"):
        cmd = ["unshare", "--pid", "--fork", "--kill-child"] + cmd
    name = None
    if PODMAN and cmd[:len(PODMAN)] == PODMAN:
        name = f"varnok-{next(NAMES)}"
        cmd = cmd[:-1] + ["--name", name] + opt.get("podman", []) + cmd[-1:]
    out = opt.get("out")
    if out == "closed":
        cmd, out = ["sh", "-c", 'exec "$@" >&-', "sh"] + cmd, None
    with open(out or os.devnull, "wb") as sink:
        p = subprocess.Popen(cmd + args, env=env, stderr=subprocess.PIPE,
                             stdout=sink if out else subprocess.PIPE,
                             preexec_fn=parent if how or delay or ignores
                             else None)
    p.container = name
    return p


def kill(p, opt):
    """Send the case's signal to varnok: under unshare, to its child;
    stop its container as a user does."""
    if opt["kill"] == "stop":
        subprocess.run(PODMAN + ["stop", p.container], check=False,
                       stdout=subprocess.DEVNULL)
        return
    pid = p.pid
    if opt.get("pid1"):
        with open(f"/proc/{pid}/task/{pid}/children", encoding="ascii") as f:
            pid = int(f.read().split()[0])
    os.kill(pid, signal.Signals["SIG" + opt["kill"]])


def run(cases, cmd, fault, nss):
    """Run the cases at once, against the first one's server; return what
    went wrong."""
    which, later = cases[0][3].get("dns", "dns"), cases[0][3].get("later")
    sandbox.use_server(which)
    sandbox.set_clock()
    began = time.monotonic()
    procs = [start(args, opt, cmd, fault, nss) for args, _, _, opt in cases]
    # Once LATE has passed: the hosts file gains a name, and resolv.conf
    # names the server that later says.
    change = threading.Timer(sandbox.LATE, sandbox.use_server, (later,),
                             {"hosts": sandbox.HOSTS + sandbox.LATE_HOSTS})
    if later:
        change.start()
    kills = [threading.Timer(opt.get("after", KILL_AT), kill, (p, opt))
             for (_, _, _, opt), p in zip(cases, procs) if "kill" in opt]
    for k in kills:
        k.start()
    problems = []
    for (_, status, stdout, opt), p in zip(cases, procs):
        try:
            out, err = p.communicate(timeout=began + 15 - time.monotonic())
        except subprocess.TimeoutExpired:
            p.kill()
            p.communicate()
            problems.append("hung")
            continue
        took = time.monotonic() - began
        got = (p.returncode, (out or b"").decode("latin-1"))
        if got != (status, stdout):
            problems.append(f"got {got!r}, want {(status, stdout)!r}")
        if bool(err) != opt.get("err", False):
            problems.append("stderr: " + repr(err[:200]))
        if took < opt.get("at", 0):
            problems.append(f"ended at {took:.2f} s, before its deadline")
        if took > opt.get("by", took):
            problems.append(f"ended at {took:.2f} s, not by {opt['by']} s")
    change.cancel()
    asked = sum(sandbox.clock["asked"].values())
    if asked > cases[0][3].get("asks", asked):
        problems.append(f"{asked} queries")
    return problems


def sweep(case, cmd, fault, nss):
    """Run the case again and again, one run at a time, with the parent's
    alarm clock due at moments spread evenly over the length of one run;
    return what went wrong."""
    args, status, stdout, opt = case
    n = opt["clock"] if len(cmd) == 1 else max(opt["clock"] // 10, 40)
    sandbox.use_server(opt.get("dns", "dns"))
    took = []
    for _ in range(20):
        began = time.monotonic()
        start(args, opt, cmd, fault, nss).communicate()
        took.append(time.monotonic() - began)
    span = sorted(took)[10]
    problems = []
    for i in range(n):
        p = start(args, dict(opt, delay=span * (i + 0.5) / n), cmd, fault,
                  nss)
        got = p.communicate(timeout=15)[0].decode("latin-1")
        if (p.returncode, got) != (status, stdout):
            problems.append((p.returncode, got))
    return [f"{len(problems)} of {n} runs: {problems[0]}"] if problems else []


def skipped(case, args):
    """Why the case cannot apply to this binary, if it cannot."""
    if args.static and case[0] == "fault":
        return "a preloaded library cannot reach a static binary"
    if args.root and any(a.endswith(".stall") for a in case[1]):
        return "the root holds no name-service module"
    return None


def rooted(args):
    """Copy varnok into the sandbox's bare root, with a static emulator
    where it needs one, and return the command that runs it there."""
    cmd = ["chroot", sandbox.ROOT]
    launcher = shlex.split(args.launcher)
    if launcher:
        emulator = shutil.which(launcher[0] + "-static")
        if not emulator:
            sys.exit(f"no {launcher[0]}-static to run it in the root")
        shutil.copy(emulator, sandbox.ROOT + "/emulator")
        cmd.append("/emulator")
    shutil.copy(args.varnok, sandbox.ROOT + "/varnok")
    return cmd + ["/varnok"]


def contained(args):
    """Load the amd64 image of the layout into podman and return the
    command that runs it on the sandbox's network."""
    os.environ["CONTAINERS_CONF"] = os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "tools",
        "containers.conf")
    PODMAN[:] = ["podman", "--root", sandbox.RUN + "/podman",
                 "--runroot", sandbox.RUN + "/podman-run",
                 "--storage-driver", "vfs"]
    pulled = subprocess.run(PODMAN + ["pull", "-q", "--platform",
                                      "linux/amd64", "oci:" + args.varnok],
                            capture_output=True, text=True, check=False)
    if pulled.returncode != 0:
        sys.exit("cannot run containers here: " + pulled.stderr)
    return PODMAN + ["run", "--rm", "--network", "host",
                     pulled.stdout.split()[-1]]


def main():
    if not sandbox.sealed():
        sandbox.enter_namespaces()
    ap = argparse.ArgumentParser()
    ap.add_argument("--launcher", default="")
    ap.add_argument("--fault")
    ap.add_argument("--nss", required=True, help="the libnss_stall module")
    ap.add_argument("--few", action="store_true",
                    help="only the cases marked few")
    ap.add_argument("--static", action="store_true",
                    help="VARNOK carries its C library")
    ap.add_argument("--root", action="store_true",
                    help="run VARNOK in a root of nothing but it and /etc")
    ap.add_argument("--image", action="store_true",
                    help="VARNOK is an OCI image layout")
    ap.add_argument("varnok")
    ap.add_argument("groups", nargs="*")
    args = ap.parse_args()
    cmd = shlex.split(args.launcher) + [args.varnok]
    picked = [(group, argv, status, stdout, rest[0] if rest else {})
              for group, argv, status, stdout, *rest in CASES]
    picked = [c for c in picked
              if not (args.groups and c[0] not in args.groups
                      or c[0] == "fault" and not (args.fault or args.static)
                      or (c[0] == "image") != args.image
                      or args.few and not c[4].get("few"))]
    batches = [[c] for c in picked if c[0] != "load"]
    if any(c[0] == "load" for c in picked):
        batches.append([c for c in picked if c[0] == "load"] * 8)
    passed = failed = skips = 0
    dns, _silent = sandbox.seal()
    if args.root:
        cmd = rooted(args)
    if args.image:
        cmd = contained(args)
    try:
        for batch in batches:
            group, argv = batch[0][:2]
            name = shlex.join(argv).encode("unicode_escape").decode()[:60]
            name += "".join(f" {k}={v}" for k, v in batch[0][4].items()
                            if k in ("sig", "clock", "env", "pid1",
                                     "kill", "ignores"))
            if len(batch) > 1:
                name = f"{len(batch)} runs at once"
            batch = [c for c in batch if not skipped(c, args)]
            if not batch:
                print("skip", group, name, f"({skipped((group, argv), args)})")
                skips += 1
                continue
            cases = [c[1:] for c in batch]
            problem = "; ".join(
                sweep(cases[0], cmd, args.fault, args.nss)
                if "clock" in batch[0][4] else
                run(cases, cmd, args.fault, args.nss))
            print("FAIL" if problem else "ok  ", group, name, problem)
            passed, failed = passed + (not problem), failed + bool(problem)
    finally:
        dns.terminate()
        dns.wait()
    print(f"{passed} passed, {failed} failed, {skips} skipped")
    sys.exit(1 if failed else 0 if passed else 77)


if __name__ == "__main__":
    main()
