#!/usr/bin/env python3
"""Run varnok against glibc's real resolver, in the sealed sandbox.

usage: hermetic.py [--launcher CMD] [--fault LIB] --nss LIB [--static]
                   [--root [--base DIR]] VARNOK [GROUP ...]
       hermetic.py --image --nss LIB DIR[:REF] image
       hermetic.py --groups

Runs the table of cases below, each in the sandbox of sandbox.py, and
prints a line a case and a count. --static says that VARNOK carries its C
library, and --root runs it in a root of nothing but itself and the /etc
files, or laid over the system root DIR with --base. --image runs the image group in containers of the amd64 image of
the OCI layout DIR, under podman, on the sandbox's network; only then. The
cases that cannot apply are counted as skipped, each with why. --groups
lists the table's groups.
"""
import argparse
import dataclasses
import itertools
import os
import resource
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
LATE_ADDR6 = sandbox.LATE_ADDR6
# The name that only the test module answers, and its address.
PROBE, PROBE_ADDR = "module.probe", "203.0.113.77"
KILL_AT = 0.5
# What a launcher (an emulator, valgrind, chroot, podman) adds to the time
# before a signal is sent, and so to the time a run must end by: a PID 1
# signalled before its handler is in place drops the signal, and qemu, as
# PID 1, then waits for good in its own emulation of the default action.
LAUNCHED = 1.5
# A container as restricted as a platform makes it.
LOCKED = ("--read-only", "--cap-drop", "all", "--security-opt",
          "no-new-privileges")
# The podman that runs the image, in a storage of the sandbox's own; and
# the containers' names.
PODMAN = []
NAMES = itertools.count()


@dataclasses.dataclass(frozen=True)
class Case:
    """One run of varnok and what it must give."""
    group: str
    argv: list
    status: int  # negative: killed by that signal
    stdout: str
    dns: str = "dns"  # the server of sandbox.RESOLV that resolv.conf names
    err: bool = False  # getopt must complain on stderr
    out: str = None  # where stdout goes: a file, or "closed"
    fault: str = None  # what the preloaded fault library makes fail
    env: dict = None  # what the environment adds
    alrm: str = None  # the parent leaves SIGALRM ignored, blocked, pending
    sweep: int = 0  # runs, with the parent's alarm clock due across one run
    at: float = 0  # seconds the run may not end before
    by: float = None  # seconds the run must have ended by
    asks: int = None  # the most queries the server of our own may see
    later: str = None  # the server resolv.conf names once LATE has come,
    # when the hosts file also gains its late name
    few: bool = False  # one of the handful run under slow launchers
    pid1: bool = False  # run as the first process of a PID namespace
    kill: str = None  # a signal to send it, or "stop" for podman stop
    after: float = KILL_AT  # seconds after the start to send it
    ignores: str = None  # a signal the parent leaves ignored
    podman: tuple = ()  # what a container's podman run adds
    nss: str = sandbox.NSS  # nsswitch.conf
    static: tuple = None  # the status and stdout of varnok.static, where
    # it passes over a source that varnok asks
    nofile: int = None  # the parent's limit on open files
    filter: bool = False  # needs the sandbox's packet filter
    host: str = None  # the addresses beyond loopback, as sandbox.host()
    gai: str = ""  # gai.conf


CASES = [
    Case("options", [], 255, ""),
    Case("options", ["-t", "5"], 255, ""),
    Case("options", ["-s"], 255, "", err=True),
    Case("options", ["-s", "10.0.0.1", "-s", "10.0.0.2"], 0, "10.0.0.2"),
    Case("options", ["-s10.0.0.3"], 0, "10.0.0.3"),
    Case("options", ["-t5", "-sone.example"], 0, "192.0.2.1"),
    Case("options", ["-q", "-s", "10.0.0.4"], 0, "10.0.0.4", err=True),
    Case("options", ["one.example"], 255, ""),
    Case("options", ["word", "-s", "10.0.0.5", "more"], 0, "10.0.0.5"),
    Case("options", ["word", "-s", "10.0.0.5", "more"], 0, "10.0.0.5",
     env=POSIX),
    Case("options", ["--", "-s", "10.0.0.6"], 255, "", env=POSIX),
    Case("options", ["--", "-s", "10.0.0.6"], 255, ""),
    Case("options", ["-s", "10.0.0.7", "-s"], 0, "10.0.0.7", err=True),
    Case("literal", ["-s", "10.1.2.3"], 0, "10.1.2.3", few=True),
    Case("literal", ["-t", "1", "-s", "10.1.2.3"], 0, "10.1.2.3", dns="silent"),
    Case("literal", ["-s", "127.1"], 0, "127.1", dns="silent"),
    Case("literal", ["-s", "0x7f.1"], 0, "0x7f.1", dns="silent"),
    Case("literal", ["-s", "017.0.0.1"], 0, "017.0.0.1", dns="silent"),
    Case("literal", ["-s", "4294967294"], 0, "4294967294", dns="silent"),
    Case("literal", ["-s", "255.255.255.255"], 0, "255.255.255.255"),
    Case("literal", ["-s", "037777777777"], 0, "255.255.255.255"),
    Case("literal", ["-s", "0xffffffff"], 0, "255.255.255.255"),
    Case("literal", ["-s", "255.0xffffff"], 0, "255.255.255.255",
     dns="tc", asks=0),
    Case("literal", ["-s", "0XFF.0xff.0xff.0xff"], 0, "255.255.255.255",
     dns="tc", asks=0),
    Case("literal", ["-s", "10.1.2.3 ; rm -rf /"], 1, ""),
    Case("literal", ["-s", "10.1.2.3\n"], 1, ""),
    Case("literal", ["-s", "10.1.2.3\tx"], 1, ""),
    Case("literal", ["-s", "10.1.2.3"], 28, "", out="/dev/full"),
    Case("literal", ["-s", "10.1.2.3"], 9, "", out="closed"),
    Case("hosts", ["-s", "one.example"], 0, "192.0.2.1", few=True),
    Case("hosts", ["-s", "one-alias"], 0, "192.0.2.1"),
    Case("hosts", ["-s", "multi.example"], 0, "192.0.2.2"),
    Case("hosts", ["-s", "dual.example"], 0, "192.0.2.9"),
    Case("hosts", ["-s", "mixedcase.EXAMPLE"], 0, "192.0.2.4"),
    Case("hosts", ["-s", "both.test"], 0, "192.0.2.5"),
    Case("hosts", ["-s", "one.example"], 28, "", out="/dev/full"),
    Case("dns", ["-s", "dns.test"], 0, "192.0.2.20", few=True),
    Case("dns", ["-t", "3", "-s", "dns.test"], 0, "192.0.2.20"),
    Case("dns", ["-s", "nosuch.test"], 1, "", few=True),
    Case("dns", ["-s", "refused.invalid"], 2, ""),
    Case("dns", ["-s", "v6.test"], 4, ""),
    Case("search", ["-s", "dns"], 0, "192.0.2.20", dns="search"),
    Case("tcp", ["-s", "few.tc"], 0, "192.0.2.30", dns="tc"),
    Case("tcp", ["-s", "many.tc"], 0, "198.51.100.1", dns="tc", few=True),
    Case("tcp", ["-s", "nosuch.tc"], 1, "", dns="tc"),
    Case("tcp", ["-t", "1", "-s", "stall.tc"], 254, "",
     dns="tc", at=1, few=True),
    Case("tcp", ["-t", "2", "-s", "stall.tc"], 254, "", dns="tc", at=2),
    Case("nss", ["-t", "1", "-s", "hang.stall"], 254, "", at=1, few=True),
    Case("nss", ["-t", "2", "-s", "hang.stall"], 254, "", at=2),
    Case("deadline", ["-t", "1", "-s", "dns.test"], 254, "",
     dns="silent", few=True),
    Case("deadline", ["-t", "1x", "-s", "dns.test"], 254, "", dns="silent"),
    Case("deadline", ["-t", "0.5", "-s", "dns.test"], 254, "",
     dns="silent", at=1),
    Case("deadline", ["-t", ".5", "-s", "hang.stall"], 254, "", at=1),
    Case("deadline", ["-t", "0.0", "-s", "dns.test"], 2, "", dns="silent"),
    Case("deadline", ["-t", "-0.5", "-s", "dns.test"], 2, "", dns="silent"),
    Case("deadline", ["-s", "dns.test"], 2, "", dns="silent"),
    Case("deadline", ["-t", "0", "-s", "dns.test"], 2, "", dns="silent"),
    Case("deadline", ["-t", "abc", "-s", "dns.test"], 2, "", dns="silent"),
    Case("deadline", ["-t", "", "-s", "dns.test"], 2, "", dns="silent"),
    Case("deadline", ["-t", "3", "-t", "0", "-s", "dns.test"], 2, "",
     dns="silent"),
    Case("deadline", ["-t", "-1", "-s", "dns.test"], 2, "", dns="silent"),
    Case("deadline", ["-t", "4294967297", "-s", "dns.test"], 2, "",
     dns="silent"),
    Case("wait", ["-w", "-t", "10", "-s", "late-nx.tc"], 0, LATE_ADDR,
     dns="tc", at=LATE, few=True),
    Case("wait", ["-wt", "10", "-s", "late-fail.tc"], 0, LATE_ADDR,
     dns="tc", at=LATE),
    Case("wait", ["-s", "late-noa.tc", "-t10", "-w"], 0, LATE_ADDR,
     dns="tc", at=LATE),
    Case("wait", ["-w", "-s", "late-nx.tc"], 0, LATE_ADDR,
     dns="tc", at=LATE),
    Case("wait", ["-w", "-t", "10", "-s", "late.example"], 0, LATE_ADDR,
     later="dns", at=LATE),
    Case("wait", ["-w", "-t", "10", "-s", "dns.test"], 0, "192.0.2.20",
     dns="none", later="dns", at=LATE),
    Case("wait", ["-w", "-t", "3", "-s", "never.tc"], 254, "",
     dns="tc", at=3, asks=9),
    Case("wait", ["-w", "-t", "2", "-s", "dns.test"], 254, "",
     dns="silent", at=2),
    Case("wait", ["-w", "-t", "1", "-s", "hang.stall"], 254, "", at=1),
    Case("wait", ["-w", "-t", "5", "-s", ""], 3, ""),
    Case("wait", ["-w", "-s", "10.1.2.3"], 0, "10.1.2.3", dns="silent"),
    Case("wait", ["-w"], 255, ""),
    Case("wait", ["-w", "-t", "10", "-s", "late-nx.tc"], 0, LATE_ADDR,
     dns="tc", at=LATE, nss="hosts: files hesiod dns\n"),
    Case("input", ["-s", ""], 3, ""),
    Case("input", ["-s", "%s%n%s%n"], 1, ""),
    Case("input", ["-s", LONG], 1, ""),
    Case("input", ["-s", LONG + ".test"], 1, ""),
    Case("input", ["-s", HUGE], 1, ""),
    Case("fault", ["-s", "dns.test"], 4, "", fault="empty"),
    Case("fault", ["-s", "dns.test"], 3, "", fault="nocode"),
    Case("fault", ["-t", "5", "-s", "dns.test"], 22, "", fault="sigerr"),
    Case("fault", ["-s", "dns.test"], 0, "192.0.2.20", fault="sigerr"),
    Case("fault", ["-t", "5", "-s", "dns.test"], 254, "", fault="late"),
]
# -e and -x: every address of the answer counts, compared as a number; a
# literal is compared as it stands; a refused answer is waited out with -w.
CASES += [Case("expect", argv, status, stdout, dns="tc", **opt)
          for argv, status, stdout, opt in (
              (["-s", "127.1", "-e", "127.0.0.1"], 0, "127.1", {}),
              (["-s", "0xffffffff", "-e", "255.255.255.255"], 0,
               "255.255.255.255", {}),
              (["-s", "10.1.2.3", "-e", "10.1.2.77/24"], 0, "10.1.2.3", {}),
              (["-s", "10.1.2.200", "-e", "10.1.2.128/25"], 0, "10.1.2.200",
               {}),
              (["-s", "10.1.2.3", "-x", "10.0.0.0/8"], 253, "", {}),
              (["-s", "10.1.2.3", "-e", "0.0.0.0/0", "-x", "10.1.2.3/32"],
               253, "", {}),
              (["-w", "-t", "30", "-s", "10.1.2.3", "-e", "10.1.2.4"], 253,
               "", {"by": 1}),
              (["-s", "multi.example", "-e", "192.0.2.3"], 0, "192.0.2.3", {}),
              (["-s", "multi.example", "-x", "192.0.2.3"], 253, "", {}),
              (["-s", "multi.example", "-e", "10.0.0.1,192.0.2.0/24"], 0,
               "192.0.2.2", {}),
              (["-s", "one.example", "-e", "192.0.2.10,192.0.2.100"], 253,
               "", {}),
              (["-s", "one.example", "-e", "1.1.1.1", "-e", "192.0.2.1"], 0,
               "192.0.2.1", {}),
              (["-s", "one.example", "-x", "192.0.2.1", "-x", "1.1.1.1"], 0,
               "192.0.2.1", {}),
              (["-s", "many.tc", "-e", "198.51.100.32/28"], 0,
               "198.51.100.32", {}),
              (["-s", "many.tc", "-e", "198.51.100.40", "-x", "10.0.0.0/8"],
               0, "198.51.100.40", {}),
              (["-s", "nosuch.tc", "-e", "192.0.2.1"], 1, "", {}),
              (["-s", "moved.tc", "-e", LATE_ADDR], 253, "", {}),
              (["-w", "-t", "10", "-s", "moved.tc", "-e", LATE_ADDR], 0,
               LATE_ADDR, {"at": LATE}),
              (["-w", "-t", "10", "-s", "moved.tc", "-x", "192.0.2.51"], 0,
               LATE_ADDR, {"at": LATE}),
              (["-w", "-t", "2", "-s", "moved.tc", "-e", "192.0.2.99"], 254,
               "", {"at": 2}),
              (["-s", "10.0.0.63", "-e", ",".join(
                  f"10.0.0.{i}" for i in range(64))], 0, "10.0.0.63", {}))]
# A list that is not one ends the run before any lookup or wait.
CASES += [Case("expect", ["-w", "-t", "30", "-s", "few.tc", opt, bad], 255, "",
               dns="tc", asks=0, by=1)
          for opt in ("-e", "-x")
          for bad in ("", ",", "192.0.2.30,", ",192.0.2.30",
                      "1.2.3.4,,192.0.2.30", " 192.0.2.30", "192.0.2.30 ",
                      "192.0.2", "192.0.2.30.1", "192.0.2.256", "0xc0.0.2.30",
                      "192.0.2.030", "192.0.2.30/", "192.0.2.30/x",
                      "192.0.2.30/33", "192.0.2.30/+8", "192.0.2.30/8/8",
                      "192.0.2.30/008", ",".join(["192.0.2.30"] * 65))]
# -6: the first IPv6 address of the answer, as inet_ntop writes it; a
# literal of either family is never looked up, and one of the family not
# asked for has no address of it, at once, even with -w.
CASES += [Case("ipv6", argv, status, stdout, **opt)
          for argv, status, stdout, opt in (
              (["-6", "-s", "2001:db8::1"], 0, "2001:db8::1",
               {"dns": "silent", "few": True}),
              (["-6", "-t", "1", "-s", "2001:DB8:0::1"], 0, "2001:DB8:0::1",
               {"dns": "silent"}),
              (["-6", "-s", "::ffff:192.0.2.1"], 0, "::ffff:192.0.2.1",
               {"dns": "silent"}),
              (["-6", "-s", "fe80::1%eth0"], 0, "fe80::1%eth0",
               {"dns": "silent"}),
              (["-6", "-s", "fe80::1%" + "z" * 15], 0, "fe80::1%" + "z" * 15,
               {"dns": "silent"}),
              (["-6", "-s", "fe80::1%" + "z" * 16], 1, "", {}),
              (["-6", "-s", "[::1]"], 1, "", {}),
              (["-4", "-6", "-s", "::1"], 0, "::1", {"dns": "silent"}),
              (["-6", "-s", "::1", "-4"], 4, "", {"dns": "tc", "asks": 0}),
              (["-s", "fe80::1%eth0"], 4, "", {"dns": "tc", "asks": 0}),
              (["-w", "-t", "30", "-s", "::1"], 4, "",
               {"dns": "tc", "asks": 0, "by": 1}),
              (["-6", "-w", "-t", "30", "-s", "10.1.2.3"], 4, "",
               {"dns": "tc", "asks": 0, "by": 1}),
              (["-6", "-s", "0xffffffff"], 4, "", {"dns": "tc", "asks": 0}),
              (["-6", "-s", "dual.example"], 0, "2001:db8::9", {}),
              (["-6", "-s", "six.example"], 0, "2001:db8::a", {}),
              (["-6", "-s", "six.example", "-e", "2001:db8::b"], 0,
               "2001:db8::b", {}),
              (["-6", "-s", "six.example", "-x", "2001:db8::b"], 253, "", {}),
              (["-6", "-s", "mapped.example"], 0, "::ffff:192.0.2.7", {}),
              (["-s", "mapped.example"], 0, "192.0.2.7", {}),
              (["-6", "-s", "v6.test"], 0, "2001:db8::6", {"few": True}),
              (["-6", "-s", "alias6.test"], 0, "2001:db8::6", {}),
              (["-6", "-s", "dual.test"], 0, "2001:db8::21", {}),
              (["-s", "dual.test"], 0, "192.0.2.21", {}),
              (["-6", "-s", "dns.test"], 4, "", {}),
              (["-6", "-s", "nosuch.test"], 1, "", {}),
              (["-6", "-t", "1", "-s", "dns.test"], 254, "",
               {"dns": "silent", "at": 1}),
              (["-6", "-s", "many6.tc"], 0, "2001:db8:6::1", {"dns": "tc"}),
              (["-6", "-s", "many6.tc", "-e", "2001:db8:6::2a/124"], 0,
               "2001:db8:6::20", {"dns": "tc"}),
              (["-6", "-s", "few.tc"], 4, "", {"dns": "tc"}),
              (["-6", "-s", "moved.tc"], 0, "2001:db8::50", {"dns": "tc"}),
              (["-6", "-w", "-t", "10", "-s", "late-nx.tc"], 0, LATE_ADDR6,
               {"dns": "tc", "at": LATE}),
              (["-6", "-w", "-t", "10", "-s", "late-noa.tc"], 0, LATE_ADDR6,
               {"dns": "tc", "at": LATE}),
              (["-6", "-w", "-t", "10", "-s", "moved.tc", "-x",
                "2001:db8::50"], 0, LATE_ADDR6, {"dns": "tc", "at": LATE}),
              (["-6", "-w", "-t", "2", "-s", "few.tc"], 254, "",
               {"dns": "tc", "at": 2}),
              (["-6", "-s", "2001:db9::1", "-e", "2001:db8::/31"], 0,
               "2001:db9::1", {}),
              (["-6", "-s", "2001:db9::1", "-e", "2001:db8::/32"], 253, "",
               {}),
              (["-6", "-s", "::ffff:10.1.2.3", "-e", "::ffff:10.0.0.0/104"],
               0, "::ffff:10.1.2.3", {}),
              (["-6", "-s", "fe80::1%eth0", "-e", "fe80::/10", "-x", "::/128"],
               0, "fe80::1%eth0", {}),
              (["-6", "-s", "::1", "-e", "::/0", "-x", "::1/128"], 253, "",
               {}))]
# A list of the other family, or not written as inet_ntop would write it,
# is no list.
CASES += [Case("ipv6", ["-w", "-t", "30", "-s", name, opt, bad, *six], 255,
               "", dns="tc", asks=0, by=1)
          for opt in ("-e", "-x")
          for six, name, bads in (
              (["-6"], "many6.tc", (
                  "192.0.2.1", "::1,192.0.2.1", "::1/129", "::1/08",
                  "::1/0128", "[::1]", "::1%eth0", "2001:db8::/", ":::1",
                  "::1/1x")),
              ([], "few.tc", ("::1", "192.0.2.30,::1", "10.0.0.0/08")))
          for bad in bads]
# -p: the first address, in the answer's order, that takes a connection;
# each connect bounded by a second, the deadline bounding them all.
PORT = str(sandbox.PORT)
CASES += [Case("port", argv, status, stdout, **opt)
          for argv, status, stdout, opt in (
              (["-p", PORT, "-s", "127.0.0.10"], 0, "127.0.0.10",
               {"few": True}),
              (["-p", PORT, "-s", "127.0.0.11"], 252, "", {"by": 1}),
              (["-p", PORT, "-s", "127.0.0.67"], 252, "",
               {"by": 1, "filter": True}),
              (["-p", PORT, "-s", "127.0.0.68"], 252, "",
               {"by": 2, "filter": True}),
              (["-p", PORT, "-s", "port-second.example"], 0, "127.0.0.10",
               {}),
              (["-p", PORT, "-s", "port-both.example"], 0, "127.0.0.10", {}),
              (["-p", PORT, "-s", "port-dropped.example"], 0, "127.0.0.10",
               {"at": 1, "by": 2, "filter": True}),
              (["-t", "1", "-p", PORT, "-s", "127.0.0.66"], 254, "",
               {"at": 1, "by": 1.2, "filter": True, "few": True}),
              (["-w", "-t", "10", "-p", PORT, "-s", "127.0.0.12"], 0,
               "127.0.0.12", {"at": LATE, "few": True}),
              (["-w", "-t", "10", "-p", PORT, "-s", "port-late.example"], 0,
               "127.0.0.12", {"at": LATE}),
              (["-w", "-t", "10", "-p", PORT, "-s", "127.0.0.12"], 0,
               "127.0.0.12", {"at": LATE, "nofile": 8}),
              (["-w", "-t", "2", "-p", PORT, "-s", "127.0.0.11"], 254, "",
               {"at": 2}),
              (["-6", "-p", PORT, "-s", "::1"], 0, "::1", {}),
              (["-6", "-p", PORT, "-s", "fe80::1%lo"], 0, "fe80::1%lo",
               {"host": "lo"}),
              (["-6", "-p", PORT, "-s", "fe80::1%1"], 0, "fe80::1%1",
               {"host": "lo"}),
              (["-6", "-p", PORT, "-s", "fe80::1%nosuch"], 252, "", {}),
              (["-6", "-p", PORT, "-s", "port6.example"], 0, "::1", {}),
              (["-p", PORT, "-s", "::1"], 4, "", {"by": 1}),
              (["-p", PORT, "-e", "127.0.0.13", "-s", "port-both.example"], 0,
               "127.0.0.13", {}),
              (["-p", PORT, "-x", "127.0.0.13", "-s", "port-both.example"],
               253, "", {}),
              (["-p", "x", "-p", PORT, "-s", "127.0.0.10"], 0, "127.0.0.10",
               {}))]
# A port that is not one ends the run before any lookup or connect.
CASES += [Case("port", ["-w", "-t", "30", "-p", bad, "-s", "few.tc"], 255, "",
               dns="tc", asks=0, by=1)
          for bad in ("", "0", "00", "07000", "+7000", "-7000", " 7000",
                      "7000 ", "7000x", "65536", "100000", "0x1b58")]
CASES += [Case("port", ["-p", PORT, "-p", "0", "-s", "127.0.0.10"], 255, "")]
# -a: the addresses of either family that the host can use, as getaddrinfo
# orders them, on hosts with IPv4 ("4"), IPv6 ("6"), both, or IPv4 and a
# link-local IPv6 address alone ("4+ll"), which glibc counts as IPv6.
V4 = "precedence ::ffff:0:0/96 100\n"
CASES += [Case("any", ["-a", *argv], status, stdout, host=host, **opt)
          for host, argv, status, stdout, opt in (
              ("4", ["-s", "dual.test"], 0, "192.0.2.21", {"few": True}),
              ("6", ["-s", "dual.test"], 0, "2001:db8::21", {}),
              ("4+6", ["-s", "dual.test"], 0, "2001:db8::21", {"few": True}),
              ("4+ll", ["-s", "dual.test"], 0, "192.0.2.21", {}),
              ("4+6", ["-s", "dual.test"], 0, "192.0.2.21", {"gai": V4}),
              ("6", ["-s", "v6.test"], 0, "2001:db8::6", {}),
              ("4", ["-s", "v6.test"], 4, "", {}),
              ("4+ll", ["-s", "v6.test"], 0, "2001:db8::6", {}),
              ("6", ["-s", "dns.test"], 4, "", {}),
              ("4", ["-s", "dns.test"], 0, "192.0.2.20", {}),
              ("4+6", ["-s", "one.example"], 0, "192.0.2.1", {}),
              ("6", ["-s", "one.example"], 1, "", {"nss": "hosts: files\n"}),
              ("4", ["-s", "order.tc"], 0, "192.0.2.52", {"dns": "tc"}),
              ("4+6", ["-s", "10.1.2.3"], 0, "10.1.2.3", {"dns": "silent"}),
              ("4", ["-s", "fe80::1%eth0"], 0, "fe80::1%eth0",
               {"dns": "silent"}),
              ("4+6", ["-e", "192.0.2.0/24,2001:db8::/32", "-s", "dual.test"],
               0, "2001:db8::21", {}),
              ("4+6", ["-e", "192.0.2.21", "-s", "dual.test"], 0,
               "192.0.2.21", {}),
              ("4+6", ["-x", "2001:db8::21", "-s", "dual.test"], 253, "", {}),
              ("4+6", ["-e", "2001:db8::/32", "-x", "192.0.2.21", "-s",
                       "dual.test"], 253, "", {}),
              ("4", ["-s", "10.1.2.3", "-e", "::/0"], 253, "", {}),
              ("4", ["-s", "::1", "-e", "10.0.0.0/8,::1"], 0, "::1", {}),
              ("6", ["-w", "-t", "10", "-s", "late-nx.tc"], 0, LATE_ADDR6,
               {"dns": "tc", "at": LATE}),
              ("4+6", ["-w", "-t", "10", "-s", "late-noa.tc"], 0, LATE_ADDR6,
               {"dns": "tc", "at": LATE}),
              ("4+6", ["-4", "-s", "dual.test"], 0, "192.0.2.21", {}),
              ("4+6", ["-6", "-s", "dns.test", "-a"], 0, "192.0.2.20", {}),
              ("4+6", ["-s", "nosuch.test"], 1, "", {}),
              ("4+6", ["-s", "refused.invalid"], 2, "", {}),
              ("4+6", ["-s", "dns.test"], 2, "", {"dns": "silent"}),
              ("4+6", ["-t", "1", "-s", "dns.test"], 254, "",
               {"dns": "silent", "at": 1}),
              ("4+6", ["-w", "-t", "30", "-s", "formerr.tc"], 3, "",
               {"dns": "tc", "by": 1}),
              ("4+6", ["-w", "-t", "30", "-s", "dns.test"], 255, "",
               {"nss": "hosts: files [NOTFOUND=bogus] dns\n", "by": 1}),
              ("4+6", ["-s", "one.example"], 255, "",
               {"nss": "hosts: hesiod\n"}),
              ("4+6", ["-p", PORT, "-s", "port-any.example"], 0, "::1",
               {"gai": V4}),
              ("4+6", ["-s", "port-any.example"], 0, "127.0.0.11",
               {"gai": V4}),
              ("4+6", ["-e", "10.0.0.0/33", "-s", "dual.test"], 255, "", {}),
              ("4+6", ["-x", "::1/129", "-s", "dual.test"], 255, "", {}))]
CASES += [Case("any", ["-s", "formerr.tc"], 3, "", dns="tc")]
# Sources that glibc serves from modules, in any order and with actions:
# varnok.static passes them over, with the actions they own.
CASES += [Case("sources", ["-s", name], status, stdout, nss=nss)
          for nss, name, status, stdout in (
              ("hosts: files hesiod dns\n", "one.example", 0, "192.0.2.1"),
              ("hosts: files hesiod dns\n", "dns.test", 0, "192.0.2.20"),
              ("hosts: files hesiod dns\n", "nosuch.test", 1, ""),
              ("hosts: compat files dns\n", "dns.test", 0, "192.0.2.20"),
              ("hosts: hesiod dns compat files\n", "both.test", 0,
               "192.0.2.99"),
              ("hosts: files\nhosts:hesiod\tdns\n", "both.test", 0,
               "192.0.2.99"),
              ("hosts: dns files # compat\n", "both.test", 0, "192.0.2.99"),
              ("hosts: files dns#\n", "dns.test", 1, ""),
              ("hosts: files [NOTFOUND=return] compat dns\n", "dns.test",
               1, ""),
              ("hosts: files compat [NOTFOUND=return] dns\n", "dns.test",
               0, "192.0.2.20"),
              ("hosts: files [ notfound = return ] dns\n", "dns.test", 1,
               ""),
              ("hosts: files [NOTFOUND=bogus] dns\n", "one.example", 255,
               ""),
              ("hosts: hesiod\n", "one.example", 255, ""),
              ("passwd: files\n", "both.test", 0, "192.0.2.5"))]
# nsswitch.conf read as glibc reads it: varnok is the control, and
# varnok.static never asks the test module, whatever the file holds.
NOT_STALL = (1, "")
CASES += [Case("nsswitch", ["-s", name], *want, nss=nss, static=static)
          for nss, name, want, static in (
              ("hosts stall files\n", PROBE, (0, PROBE_ADDR), NOT_STALL),
              ("hosts: stall dns\nhosts: files [x]", PROBE, (0, PROBE_ADDR),
               (2, "")),
              ("hosts:\n", PROBE, (255, ""), None),
              ("hosts: [NOTFOUND=return] stall\n", PROBE, (255, ""), None),
              ("\0\nhosts: stall\n", PROBE, (0, PROBE_ADDR), (255, "")),
              ("#" * 40_000 + "\nhosts: stall files\n", PROBE,
               (0, PROBE_ADDR), NOT_STALL),
              ("#" * 32_748 + "\nhosts: files [SUCCESS=return] stall dns\n",
               PROBE, (0, PROBE_ADDR), (2, "")),
              ("#" * (1 << 20) + "\nhosts: stall files\n", PROBE,
               (0, PROBE_ADDR), (255, "")),
              ("hosts: stall [NOTFOUND=bogus] files\n", PROBE, (255, ""),
               None),
              ("passwd: files [x]\nhosts: stall files\n", PROBE, (255, ""),
               None),
              ("hosts: files [NOTFOUND=continue] [x] stall\n", PROBE,
               (1, ""), None),
              ("hosts: dns\nhosts: files", "both.test", (0, "192.0.2.99"),
               None),
              ("hosts:", "both.test", (0, "192.0.2.5"), None),
              ("hosts: dns\nhosts files\n", "both.test", (0, "192.0.2.5"),
               None),
              ("hosts::files\n", "both.test", (0, "192.0.2.5"), None),
              ("hosts: :files\n", "both.test", (0, "192.0.2.5"), None),
              (" hosts :\tdns\n", "both.test", (0, "192.0.2.99"), None),
              ("hosts: files\n\0\nhosts: dns\n", "both.test",
               (0, "192.0.2.99"), None),
              ("hosts: files\n" + "#" * 40_000 + "\nhosts: dns\n",
               "both.test", (0, "192.0.2.99"), None),
              ("hosts: files\0 dns\n", "dns.test", (1, ""), None),
              ("hosts\0: dns\n", "both.test", (0, "192.0.2.5"), None),
              ("hostsx: dns\n", "both.test", (0, "192.0.2.5"), None),
              ("group: files [NOTFOUND=return\nhosts: dns\n", "both.test",
               (255, ""), None),
              ("automount: files [x]\nhosts: dns\n", "both.test",
               (0, "192.0.2.99"), None),
              ("hosts: files [!SUCCESS=return] dns\n", "dns.test", (1, ""),
               None),
              ("hosts: files[NotFound=Return]dns\n", "dns.test", (1, ""),
               None),
              ("hosts: files [! NOTFOUND=return] dns\n", "dns.test",
               (255, ""), None))]
# A parent that leaves SIGALRM ignored or blocked, with its alarm clock due
# at moments swept across the run; with set-up slowed, across set-up.
CASES += [Case(group, ["-t", "5", "-s", "one.example"], 0, "192.0.2.1",
               alrm=how, **opt) for how in ("ignored", "blocked")
          for group, opt in (("signals", {"sweep": 2000}),
                             ("fault", {"sweep": 40, "fault": "slow"}))]
CASES += [Case("signals", argv, status, stdout, alrm=how, **opt)
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
CASES += [Case("pid1", argv, status, "", dns="tc", pid1=True, kill=sig,
               by=KILL_AT + 1)
          for sig, status in STOPS.items()
          for argv in (["-w", "-s", "never.tc"], ["-w", "-t", "30", "-s",
                       "never.tc"], ["-t", "30", "-s", "stall.tc"])]
CASES += [
    Case("pid1", ["-s", "hang.stall"], 143, "",
         pid1=True, kill="TERM", by=KILL_AT + 1),
    Case("pid1", ["-w", "-p", PORT, "-s", "127.0.0.11"], 143, "",
         pid1=True, kill="TERM", by=KILL_AT + 1),
    Case("pid1", ["-w", "-t", "30", "-p", PORT, "-s", "127.0.0.11"], 130, "",
         pid1=True, kill="INT", by=KILL_AT + 1),
    Case("pid1", ["-w", "-t", "2", "-s", "never.tc"], 254, "",
         dns="tc", pid1=True, kill="HUP", ignores="HUP", at=2),
    Case("pid1", ["-t", "2", "-s", "stall.tc"], 254, "",
         dns="tc", pid1=True, kill="TERM", ignores="TERM", at=2),
    Case("pid1", ["-s", "one.example"], 0, "192.0.2.1", pid1=True),
    Case("pid1", ["-t", "5", "-s", "dns.test"], 0, "192.0.2.20", pid1=True),
    Case("pid1", ["-s", "10.1.2.3"], 0, "10.1.2.3", pid1=True),
    Case("pid1", ["-w", "-s", "never.tc"], -2, "",
         dns="tc", kill="INT", by=KILL_AT + 1),
    Case("pid1", ["-t", "30", "-s", "stall.tc"], -15, "",
         dns="tc", kill="TERM", by=KILL_AT + 1),
]
# The image as a user runs it, its hosts file and resolv.conf made by podman.
CASES += [
    Case("image", ["-s", "10.1.2.3"], 0, "10.1.2.3"),
    Case("image", ["-s", "added.example"], 0, "192.0.2.77",
         podman=("--add-host", "added.example:192.0.2.77")),
    Case("image", ["-s", "dns.test"], 0, "192.0.2.20"),
    Case("image", ["-s", "many.tc"], 0, "198.51.100.1", dns="tc"),
    Case("image", ["-s", "nosuch.test"], 1, ""),
    Case("image", [], 255, ""),
    Case("image", ["-t", "1", "-s", "dns.test"], 254, "", dns="silent", at=1),
    Case("image", ["-w", "-t", "10", "-s", "late-nx.tc"], 0, LATE_ADDR,
         dns="tc", at=LATE),
    Case("image", ["-w", "-t", "60", "-s", "never.tc"], 143, "",
         dns="tc", kill="stop", after=3, by=5),
    Case("image", ["-s", "dns.test"], 0, "192.0.2.20", podman=LOCKED),
    Case("image", ["-a", "-s", "dual.test"], 0, "2001:db8::21", host="4+6"),
    Case("image", ["-w", "-t", "10", "-p", PORT, "-s", "127.0.0.12"], 0,
         "127.0.0.12", at=LATE, podman=LOCKED),
    Case("image", ["-w", "-t", "60", "-p", PORT, "-s", "127.0.0.11"], 143,
         "", kill="stop", after=3, by=5),
    Case("image", ["-w", "-t", "60", "-s", "never.tc"], 143, "",
         dns="tc", kill="stop", after=3, by=5, podman=LOCKED),
]
# Run all together, eight of each at once.
CASES += [Case("load", argv, status, stdout, dns="tc")
          for argv, status, stdout in (
              (["-s", "10.1.2.3"], 0, "10.1.2.3"),
              (["-s", "one.example"], 0, "192.0.2.1"),
              (["-s", "few.tc"], 0, "192.0.2.30"),
              (["-s", "many.tc"], 0, "198.51.100.1"),
              (["-t", "1", "-s", "stall.tc"], 254, ""),
              (["-t", "1", "-s", "hang.stall"], 254, ""),
              (["-w", "-t", "10", "-s", "late-nx.tc"], 0, LATE_ADDR))]


def start(case, cmd, args, delay=None):
    """Start one run as the case asks, with a scrubbed environment and a
    parent that leaves the signal state the case says."""
    env = {k: v for k, v in os.environ.items()
           if k in ("PATH", "CONTAINERS_CONF", "CONTAINERS_STORAGE_CONF")
           or k.endswith("SAN_OPTIONS")}
    env["LD_LIBRARY_PATH"] = os.path.dirname(os.path.abspath(args.nss))
    env.update(case.env or {})
    if case.fault:
        env["VARNOK_FAULT"] = case.fault
        if "qemu" in cmd[0]:  # preload into the guest, not the emulator
            env["QEMU_SET_ENV"] = "LD_PRELOAD=" + args.fault
        else:
            env["LD_PRELOAD"] = args.fault

    def parent():
        """Leave SIGALRM as some supervisors and runtimes do for the
        program they start, and an alarm clock due in delay seconds."""
        if case.alrm == "ignored":
            signal.signal(signal.SIGALRM, signal.SIG_IGN)
        elif case.alrm:
            signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGALRM])
        if case.alrm == "pending":
            signal.raise_signal(signal.SIGALRM)
        if delay:
            signal.setitimer(signal.ITIMER_REAL, delay)
        if case.ignores:
            signal.signal(signal.Signals["SIG" + case.ignores], signal.SIG_IGN)
        if case.nofile:
            resource.setrlimit(resource.RLIMIT_NOFILE, (case.nofile,) * 2)

    if case.pid1:
        cmd = ["unshare", "--pid", "--fork", "--kill-child"] + cmd
    name = None
    if PODMAN and cmd[:len(PODMAN)] == PODMAN:
        name = f"varnok-{next(NAMES)}"
        cmd = cmd[:-1] + ["--name", name, *case.podman] + cmd[-1:]
    out = case.out
    if out == "closed":
        cmd, out = ["sh", "-c", 'exec "$@" >&-', "sh"] + cmd, None
    with open(out or os.devnull, "wb") as sink:
        p = subprocess.Popen(cmd + case.argv, env=env, stderr=subprocess.PIPE,
                             stdout=sink if out else subprocess.PIPE,
                             preexec_fn=parent if case.alrm or delay
                             or case.ignores or case.nofile else None)
    p.container = name
    return p


def kill(p, case, slow):
    """Send the case's signal to varnok, after case.after seconds and slow
    more: under
    unshare, to its child; stop its container as a user does. Sent again
    every half second while the run goes on, since PID 1 drops one that
    comes before its handler is in place, as under a slow emulator."""
    time.sleep(case.after + slow)
    if case.kill == "stop":
        subprocess.run(PODMAN + ["stop", p.container], check=False,
                       stdout=subprocess.DEVNULL)
        return
    pid = p.pid
    if case.pid1:
        with open(f"/proc/{pid}/task/{pid}/children", encoding="ascii") as f:
            pid = int(f.read().split()[0])
    while p.poll() is None:
        try:
            os.kill(pid, signal.Signals["SIG" + case.kill])
        except ProcessLookupError:
            return
        time.sleep(0.5)


def run(cases, cmd, args):
    """Run the cases at once, against the first one's server; return what
    went wrong."""
    first = cases[0]
    slow = LAUNCHED if len(cmd) > 1 else 0
    sandbox.use_server(first.dns, first.nss)
    sandbox.host(first.host)
    sandbox.write("gai.conf", first.gai)
    # Once LATE has passed: the late names answer, and with later, the
    # hosts file gains a name and resolv.conf names that server.
    change = sandbox.appear_after(LATE, first.later, first.nss)
    began = time.monotonic()
    procs = [start(case, cmd, args) for case in cases]
    for case, p in zip(cases, procs):
        if case.kill:
            threading.Thread(target=kill, args=(p, case, slow),
                             daemon=True).start()
    problems = []
    for case, p in zip(cases, procs):
        try:
            out, err = p.communicate(timeout=began + 15 - time.monotonic())
        except subprocess.TimeoutExpired:
            p.kill()
            p.communicate()
            problems.append("hung")
            continue
        took = time.monotonic() - began
        got = (p.returncode, (out or b"").decode("latin-1"))
        want = (case.static if args.static and case.static
                else (case.status, case.stdout))
        if got != want:
            problems.append(f"got {got!r}, want {want!r}")
        if bool(err) != case.err:
            problems.append("stderr: " + repr(err[:200]))
        if took < case.at:
            problems.append(f"ended at {took:.2f} s, before its deadline")
        if case.by is not None and took > case.by + slow:
            problems.append(f"ended at {took:.2f} s, not by "
                            f"{case.by + slow} s")
    change.cancel()
    problems += sandbox.quiet()
    asked = sum(sandbox.asked.values())
    if first.asks is not None and asked > first.asks:
        problems.append(f"{asked} queries")
    return problems


def sweep(case, cmd, args):
    """Run the case again and again, one run at a time, with the parent's
    alarm clock due at moments spread evenly over the length of one run;
    return what went wrong."""
    n = case.sweep if len(cmd) == 1 else max(case.sweep // 10, 40)
    sandbox.use_server(case.dns, case.nss)
    took = []
    for _ in range(20):
        began = time.monotonic()
        start(case, cmd, args).communicate()
        took.append(time.monotonic() - began)
    span = sorted(took)[10]
    problems = []
    for i in range(n):
        p = start(case, cmd, args, delay=span * (i + 0.5) / n)
        got = p.communicate(timeout=15)[0].decode("latin-1")
        if (p.returncode, got) != (case.status, case.stdout):
            problems.append((p.returncode, got))
    return [f"{len(problems)} of {n} runs: {problems[0]}"] if problems else []


def skipped(case, args):
    """Why the case cannot apply here, if it cannot."""
    if case.group == "image" and not args.image:
        return "no image given; tools/check builds one and runs these"
    if args.static and case.fault:
        return "a preloaded library cannot reach a static binary"
    stall = any(a.endswith(".stall") for a in case.argv)
    if args.static and stall:
        return "varnok.static loads no name-service module"
    if args.root and stall:
        return "the root holds no test module"
    if case.filter and not sandbox.filtered[0]:
        return "iptables cannot filter packets here"
    return None


def rooted(args):
    """Copy varnok into the sandbox's bare root, with a static emulator
    where it needs one, and return the command that runs it there."""
    if args.base:
        sandbox.lay_root(args.base)
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
    PODMAN[:] = ["podman"]
    return PODMAN + ["run", "--rm", "--network", "host",
                     sandbox.podman(args.varnok)]


def title(batch):
    """How a line of the report names the batch."""
    case = batch[0]
    if len(batch) > 1:
        return f"{len(batch)} runs at once"
    name = shlex.join(case.argv).encode("unicode_escape").decode()[:60]
    if case.nss != sandbox.NSS:
        nss = case.nss.encode("unicode_escape").decode()
        name += " " + (nss if len(nss) < 80
                       else f"{nss[:30]}...{nss[-40:]} ({len(nss)} bytes)")
    return name + "".join(
        f" {k}={getattr(case, k)}" for k in ("alrm", "sweep", "env", "pid1",
                                             "kill", "ignores", "podman")
        if getattr(case, k))


def main():
    if sys.argv[1:] == ["--groups"]:
        print("\n".join(dict.fromkeys(case.group for case in CASES)))
        return
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
    ap.add_argument("--base", help="with --root: a system root to lay "
                    "under it, left unchanged")
    ap.add_argument("--image", action="store_true",
                    help="VARNOK is an OCI image layout")
    ap.add_argument("varnok")
    ap.add_argument("groups", nargs="*")
    args = ap.parse_args()
    sandbox.enter()
    cmd = shlex.split(args.launcher) + [args.varnok]
    picked = [c for c in CASES
              if not (args.groups and c.group not in args.groups
                      or c.fault and not (args.fault or args.static)
                      or args.image and c.group != "image"
                      or args.few and not c.few)]
    batches = [[c] for c in picked if c.group != "load"]
    if any(c.group == "load" for c in picked):
        batches.append([c for c in picked if c.group == "load"] * 8)
    if args.root:
        cmd = rooted(args)
    if args.image:
        cmd = contained(args)
    passed = failed = skips = 0
    for whole in batches:
        batch = [c for c in whole if not skipped(c, args)]
        if not batch:
            print("skip", whole[0].group, title(whole),
                  f"({skipped(whole[0], args)})")
            skips += 1
            continue
        problem = "; ".join(sweep(batch[0], cmd, args) if batch[0].sweep
                            else run(batch, cmd, args))
        print("FAIL" if problem else "ok  ", batch[0].group, title(batch),
              problem)
        passed, failed = passed + (not problem), failed + bool(problem)
    print(f"{passed} passed, {failed} failed, {skips} skipped")
    sys.exit(1 if failed else 0 if passed else 77)


if __name__ == "__main__":
    main()
