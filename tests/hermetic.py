#!/usr/bin/env python3
"""Run varnok against glibc's real resolver, sealed off from this machine.

usage: hermetic.py [--launcher CMD] [--fault LIB] VARNOK [GROUP ...]

The suite re-executes itself in private mount, network and UTS namespaces,
lays its own hosts, resolv.conf, nsswitch.conf and host.conf over /etc and
serves DNS on loopback: dnsmasq on 127.0.0.1 and, on 127.0.0.2, a socket
that reads nothing and so never answers.
"""
import argparse
import os
import shlex
import socket
import subprocess
import sys
import tempfile
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
          "silent": "nameserver 127.0.0.2\noptions timeout:2 attempts:1\n"}
LONG = "a" * 300
HUGE = "b" * 131_000  # about the most that one argument may hold

# group, arguments, status, stdout, and what else the case needs:
# dns= which server answers, err=True where getopt must complain,
# out= where stdout goes, fault= what the fault library makes fail,
# few=True for the handful run under slow launchers such as valgrind.
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


def enter_namespaces():
    """Re-run this script in namespaces of its own."""
    cmd = ["unshare", "--mount", "--net", "--uts"]
    if os.geteuid() != 0:
        cmd[1:1] = ["--user", "--map-root-user"]
    os.environ["VARNOK_SEALED"] = "1"
    os.execvp(cmd[0], cmd + [sys.executable, *sys.argv])


def seal(tmp):
    """Give the namespace its own /etc files and name servers."""
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    socket.sethostname("sealed")  # no dot, so no default search domain
    files = {"hosts": HOSTS, "nsswitch.conf": "hosts: files dns\n",
             "host.conf": "multi on\n", "resolv.conf": RESOLV["dns"],
             "dnsmasq.conf": DNSMASQ}
    for name, text in files.items():
        with open(os.path.join(tmp, name), "w", encoding="ascii") as f:
            f.write(text)
        if name != "dnsmasq.conf":
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
    for _ in range(500):
        with open("/proc/net/udp", encoding="ascii") as f:
            if "0100007F:0035" in f.read():
                return dns, silent
        time.sleep(0.01)
    sys.exit("dnsmasq did not start: " + open(os.path.join(tmp, "log")).read())


def use_server(tmp, which):
    """Point the resolver at dnsmasq ("dns") or the silent one ("silent")."""
    with open(os.path.join(tmp, "resolv.conf"), "w", encoding="ascii") as f:
        f.write(RESOLV[which])


def run(args, status, stdout, opt, cmd, tmp, fault):
    """Run one case; return what went wrong, or "" when nothing did."""
    use_server(tmp, opt.get("dns", "dns"))
    env = {k: v for k, v in os.environ.items()
           if k == "PATH" or k.endswith("SAN_OPTIONS")}
    if "fault" in opt:
        env["VARNOK_FAULT"] = opt["fault"]
        if "qemu" in cmd[0]:  # preload into the guest, not the emulator
            env["QEMU_SET_ENV"] = "LD_PRELOAD=" + fault
        else:
            env["LD_PRELOAD"] = fault
    out = opt.get("out")
    if out == "closed":
        cmd, out = ["sh", "-c", 'exec "$@" >&-', "sh"] + cmd, None
    with open(out or os.devnull, "wb") as sink:
        try:
            p = subprocess.run(cmd + args, env=env, timeout=15, check=False,
                               stdout=sink if out else subprocess.PIPE,
                               stderr=subprocess.PIPE)
        except subprocess.TimeoutExpired:
            return "hung"
    got = (p.returncode, (p.stdout or b"").decode("latin-1"))
    problems = []
    if got != (status, stdout):
        problems.append(f"got {got!r}, want {(status, stdout)!r}")
    if bool(p.stderr) != opt.get("err", False):
        problems.append("stderr: " + repr(p.stderr[:200]))
    return "; ".join(problems)


def main():
    if os.environ.get("VARNOK_SEALED") != "1":
        enter_namespaces()
    ap = argparse.ArgumentParser()
    ap.add_argument("--launcher", default="")
    ap.add_argument("--fault")
    ap.add_argument("--few", action="store_true",
                    help="only the cases marked few")
    ap.add_argument("varnok")
    ap.add_argument("groups", nargs="*")
    args = ap.parse_args()
    cmd = shlex.split(args.launcher) + [args.varnok]
    passed = failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        dns, _silent = seal(tmp)
        try:
            for group, argv, status, stdout, *rest in CASES:
                opt = rest[0] if rest else {}
                if (args.groups and group not in args.groups
                        or group == "fault" and not args.fault
                        or args.few and not opt.get("few")):
                    continue
                problem = run(argv, status, stdout, opt, cmd, tmp, args.fault)
                name = shlex.join(argv).encode("unicode_escape").decode()[:60]
                print("FAIL" if problem else "ok  ", group, name, problem)
                passed, failed = passed + (not problem), failed + bool(problem)
        finally:
            dns.terminate()
            dns.wait()
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed or not passed else 0)


if __name__ == "__main__":
    main()
