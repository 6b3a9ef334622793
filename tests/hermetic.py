#!/usr/bin/env python3
"""Run varnok against glibc's real resolver, sealed off from this machine.

usage: hermetic.py [--launcher CMD] [--fault LIB] --nss LIB VARNOK [GROUP ...]

The suite re-executes itself in private mount, network and UTS namespaces,
lays its own hosts, resolv.conf, nsswitch.conf and host.conf over /etc and
serves DNS on loopback: dnsmasq on 127.0.0.1; on 127.0.0.2, a socket that
reads nothing and so never answers; on 127.0.0.3, a server that truncates
what does not fit in UDP and answers it over TCP, except for one name whose
TCP answer never comes. nsswitch.conf lists the module LIB (libnss_stall,
which never returns for names ending in ".stall") between files and dns.
"""
import argparse
import os
import shlex
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HOSTS = """127.0.0.1 localhost
192.0.2.1 one.example one-alias
192.0.2.2 multi.example
192.0.2.3 multi.example
2001:db8::9 dual.example
192.0.2.9 dual.example
192.0.2.4 MixedCase.example
192.0.2.5 both.test
"""
DNSMASQ = """port=53
listen-address=127.0.0.1
bind-interfaces
no-resolv
no-hosts
pid-file=
local=/test/
host-record=dns.test,192.0.2.20
host-record=both.test,192.0.2.99
host-record=v6.test,2001:db8::6
"""
# Without a deadline the silent server costs the resolver's own timeout.
RESOLV = {"dns": "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n",
          "silent": "nameserver 127.0.0.2\noptions timeout:2 attempts:1\n",
          "tc": "nameserver 127.0.0.3\noptions timeout:1 attempts:1\n",
          "search": "search test\nnameserver 127.0.0.1\n"
                    "options timeout:1 attempts:1\n"}
# The truncating server's names: few.tc fits in UDP, many.tc does not, and
# stall.tc is truncated over UDP and never answered over TCP.
TC = {"few.tc": ["192.0.2.30"],
      "many.tc": [f"198.51.100.{i}" for i in range(1, 41)],
      "stall.tc": None}
# A parent that leaves SIGALRM blocked, ignored, or blocked and already
# pending for the program it starts, as some supervisors and runtimes do.
PARENT = """import os, signal, sys
how = sys.argv[1]
for sig in (signal.SIGPIPE, signal.SIGXFSZ):  # as python found them
    signal.signal(sig, signal.SIG_DFL)
if how == "ignored":
    signal.signal(signal.SIGALRM, signal.SIG_IGN)
else:
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGALRM])
if how == "pending":
    signal.raise_signal(signal.SIGALRM)
os.execvp(sys.argv[2], sys.argv[2:])
"""
LONG = "a" * 300
HUGE = "b" * 131_000  # about the most that one argument may hold

# group, arguments, status, stdout, and what else the case needs:
# dns= which server answers, err=True where getopt must complain,
# out= where stdout goes, fault= what the fault library makes fail,
# sig= how the parent leaves SIGALRM, at= seconds the run may not end
# before, few=True for the handful run under slow launchers such as valgrind.
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
    ("options", ["--", "-s", "10.0.0.6"], 255, ""),
    ("options", ["-s", "10.0.0.7", "-s"], 0, "10.0.0.7", {"err": True}),
    ("literal", ["-s", "10.1.2.3"], 0, "10.1.2.3", {"few": True}),
    ("literal", ["-t", "1", "-s", "10.1.2.3"], 0, "10.1.2.3", {"dns": "silent"}),
    ("literal", ["-s", "127.1"], 0, "127.1", {"dns": "silent"}),
    ("literal", ["-s", "0x7f.1"], 0, "0x7f.1", {"dns": "silent"}),
    ("literal", ["-s", "017.0.0.1"], 0, "017.0.0.1", {"dns": "silent"}),
    ("literal", ["-s", "4294967294"], 0, "4294967294", {"dns": "silent"}),
    ("literal", ["-s", "255.255.255.255"], 0, "255.255.255.255"),
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
    ("deadline", ["-s", "dns.test"], 2, "", {"dns": "silent"}),
    ("deadline", ["-t", "0", "-s", "dns.test"], 2, "", {"dns": "silent"}),
    ("deadline", ["-t", "abc", "-s", "dns.test"], 2, "", {"dns": "silent"}),
    ("deadline", ["-t", "", "-s", "dns.test"], 2, "", {"dns": "silent"}),
    ("deadline", ["-t", "3", "-t", "0", "-s", "dns.test"], 2, "",
     {"dns": "silent"}),
    ("deadline", ["-t", "-1", "-s", "dns.test"], 2, "", {"dns": "silent"}),
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
              (["-t", "1", "-s", "10.1.2.3"], 0, "10.1.2.3", {}))]
CASES += [("load", argv, status, stdout, {"dns": "tc"})
          for argv, status, stdout in (
              (["-s", "10.1.2.3"], 0, "10.1.2.3"),
              (["-s", "one.example"], 0, "192.0.2.1"),
              (["-s", "few.tc"], 0, "192.0.2.30"),
              (["-s", "many.tc"], 0, "198.51.100.1"),
              (["-t", "1", "-s", "stall.tc"], 254, ""),
              (["-t", "1", "-s", "hang.stall"], 254, ""))]


def enter_namespaces():
    """Re-run this script in namespaces of its own."""
    cmd = ["unshare", "--mount", "--net", "--uts"]
    if os.geteuid() != 0:
        cmd[1:1] = ["--user", "--map-root-user"]
    os.environ["VARNOK_SEALED"] = "1"
    os.execvp(cmd[0], cmd + [sys.executable, *sys.argv])


def reply(query, tcp):
    """The truncating server's answer to a query, or None for no answer."""
    labels, i = [], 12
    while query[i]:
        labels.append(query[i + 1:i + 1 + query[i]].decode("ascii").lower())
        i += query[i] + 1
    name, want_a = ".".join(labels), query[i + 1:i + 3] == b"\0\1"
    stall = name in TC and TC[name] is None
    if tcp and stall:
        return None
    addrs = (TC.get(name) or []) if want_a else []
    flags = 0x8580 if name in TC else 0x8583  # an answer, or NXDOMAIN
    rrs = b"".join(b"\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4" + socket.inet_aton(x)
                   for x in addrs)
    if not tcp and (stall or i + 5 + len(rrs) > 512):
        flags, addrs, rrs = flags | 0x0200, [], b""
    return (query[:2] + struct.pack(">HHHHH", flags, 1, len(addrs), 0, 0)
            + query[12:i + 5] + rrs)


def truncating_server():
    """Serve TC's names on 127.0.0.3, over UDP and over TCP."""
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.3", 53))
    tcp = socket.create_server(("127.0.0.3", 53), backlog=128)

    def over_udp():
        while True:
            query, peer = udp.recvfrom(512)
            udp.sendto(reply(query, False), peer)

    def talk(conn):
        with conn, conn.makefile("rb") as f:
            while len(size := f.read(2)) == 2:
                answer = reply(f.read(int.from_bytes(size, "big")), True)
                if answer is None:
                    f.read()  # hold the connection until the client goes
                    return
                conn.sendall(len(answer).to_bytes(2, "big") + answer)

    def over_tcp():
        while True:
            threading.Thread(target=talk, args=(tcp.accept()[0],),
                             daemon=True).start()

    for serve in (over_udp, over_tcp):
        threading.Thread(target=serve, daemon=True).start()


def seal(tmp):
    """Give the namespace its own /etc files and name servers."""
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    socket.sethostname("sealed")  # no dot, so no default search domain
    files = {"hosts": HOSTS, "host.conf": "multi on\n",
             "dnsmasq.conf": DNSMASQ}
    for name, text in files.items():
        with open(os.path.join(tmp, name), "w", encoding="ascii") as f:
            f.write(text)
    use_server(tmp, "dns")
    for name in ("hosts", "host.conf", "resolv.conf", "nsswitch.conf"):
        subprocess.run(["mount", "--bind", os.path.join(tmp, name),
                        "/etc/" + name], check=True)
    for d in ("/run/nscd", "/var/run/nscd"):
        if os.path.isdir(d):
            subprocess.run(["mount", "-t", "tmpfs", "none", d], check=True)
    dns = subprocess.Popen(["dnsmasq", "--no-daemon",
                            "--conf-file=" + os.path.join(tmp, "dnsmasq.conf"),
                            "--log-facility=" + os.path.join(tmp, "log")],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    silent.bind(("127.0.0.2", 53))
    truncating_server()
    for _ in range(500):
        with open("/proc/net/udp", encoding="ascii") as f:
            if "0100007F:0035" in f.read():
                return dns, silent
        time.sleep(0.01)
    sys.exit("dnsmasq did not start: " + open(os.path.join(tmp, "log")).read())


def use_server(tmp, which, module=True):
    """Point the resolver at a server of RESOLV's; list the stalling module
    between the hosts file and DNS unless told not to."""
    sources = "files stall dns" if module else "files dns"
    for name, text in (("resolv.conf", RESOLV[which]),
                       ("nsswitch.conf", f"hosts: {sources}\n")):
        with open(os.path.join(tmp, name), "w", encoding="ascii") as f:
            f.write(text)


def start(args, opt, cmd, fault, nss):
    """Start one run as the case asks, with a scrubbed environment."""
    env = {k: v for k, v in os.environ.items()
           if k == "PATH" or k.endswith("SAN_OPTIONS")}
    env["LD_LIBRARY_PATH"] = os.path.dirname(os.path.abspath(nss))
    if "fault" in opt:
        env["VARNOK_FAULT"] = opt["fault"]
        if "qemu" in cmd[0]:  # preload into the guest, not the emulator
            env["QEMU_SET_ENV"] = "LD_PRELOAD=" + fault
        else:
            env["LD_PRELOAD"] = fault
    if "sig" in opt:
        cmd = [sys.executable, "-c", PARENT, opt["sig"]] + cmd
    out = opt.get("out")
    if out == "closed":
        cmd, out = ["sh", "-c", 'exec "$@" >&-', "sh"] + cmd, None
    with open(out or os.devnull, "wb") as sink:
        return subprocess.Popen(cmd + args, env=env, stderr=subprocess.PIPE,
                                stdout=sink if out else subprocess.PIPE)


def run(cases, cmd, tmp, fault, nss):
    """Run the cases at once, against the first one's server; return what
    went wrong, or "" if nothing did."""
    use_server(tmp, cases[0][3].get("dns", "dns"))
    began = time.monotonic()
    procs = [start(args, opt, cmd, fault, nss) for args, _, _, opt in cases]
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
    return "; ".join(problems)


def main():
    if os.environ.get("VARNOK_SEALED") != "1":
        enter_namespaces()
    ap = argparse.ArgumentParser()
    ap.add_argument("--launcher", default="")
    ap.add_argument("--fault")
    ap.add_argument("--nss", required=True, help="the libnss_stall module")
    ap.add_argument("--few", action="store_true",
                    help="only the cases marked few")
    ap.add_argument("varnok")
    ap.add_argument("groups", nargs="*")
    args = ap.parse_args()
    cmd = shlex.split(args.launcher) + [args.varnok]
    picked = [(group, argv, status, stdout, rest[0] if rest else {})
              for group, argv, status, stdout, *rest in CASES]
    picked = [c for c in picked
              if not (args.groups and c[0] not in args.groups
                      or c[0] == "fault" and not args.fault
                      or args.few and not c[4].get("few"))]
    batches = [[c] for c in picked if c[0] != "load"]
    if any(c[0] == "load" for c in picked):
        batches.append([c for c in picked if c[0] == "load"] * 8)
    passed = failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        dns, _silent = seal(tmp)
        try:
            for batch in batches:
                problem = run([c[1:] for c in batch], cmd, tmp, args.fault,
                              args.nss)
                group, argv = batch[0][:2]
                name = shlex.join(argv).encode("unicode_escape").decode()[:60]
                if len(batch) > 1:
                    name = f"{len(batch)} runs at once"
                print("FAIL" if problem else "ok  ", group, name, problem)
                passed, failed = passed + (not problem), failed + bool(problem)
        finally:
            dns.terminate()
            dns.wait()
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed or not passed else 0)


if __name__ == "__main__":
    main()
