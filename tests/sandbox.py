"""A sealed sandbox in which varnok meets glibc's real resolver and never
this machine's own name service or network.

enter() re-executes the caller in mount, network and UTS namespaces of its
own, where seal() lays test-owned hosts, resolv.conf,
nsswitch.conf and host.conf over /etc there and serves DNS on loopback:
dnsmasq on 127.0.0.1; on 127.0.0.2, a socket that reads nothing and so
never answers; on 127.0.0.3, a server of our own that truncates what does
not fit in UDP and answers it over TCP, except for one name whose TCP
answer never comes, and whose answers for a few names change at the time
appear_after() sets. Nothing listens on 127.0.0.4. nsswitch.conf lists
libnss_stall (which never returns for names ending in ".stall") between
files and dns. host() gives the namespace the addresses of a host with
IPv4, IPv6 or both. On PORT, servers take connections on 127.0.0.10, 127.0.0.13
and every IPv6 address, and on 127.0.0.12 from that time on; nothing
listens on 127.0.0.11, and the namespace's packet filter drops what comes
for 127.0.0.66 and rejects 127.0.0.67 with a reset and 127.0.0.68 as
unreachable.
"""
import atexit
import collections
import os
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

HOSTS = """127.0.0.1 localhost
192.0.2.1 one.example one-alias
192.0.2.2 multi.example
192.0.2.3 multi.example
2001:db8::9 dual.example
192.0.2.9 dual.example
2001:db8::a six.example
2001:DB8:0:0:0:0:0:b six.example
::ffff:192.0.2.7 mapped.example
192.0.2.4 MixedCase.example
192.0.2.5 both.test
10.9.9.9 0xffffffff 037777777777
127.0.0.11 port-second.example
127.0.0.66 port-dropped.example
127.0.0.10 port-second.example port-dropped.example port-both.example
127.0.0.13 port-both.example
127.0.0.12 port-late.example
::1 port6.example
127.0.0.11 port-any.example
::1 port-any.example
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
host-record=dual.test,192.0.2.21,2001:db8::21
cname=alias6.test,v6.test
"""
# Without a deadline the silent server costs the resolver's own timeout.
RESOLV = {"dns": "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n",
          "silent": "nameserver 127.0.0.2\noptions timeout:2 attempts:1\n",
          "tc": "nameserver 127.0.0.3\noptions timeout:1 attempts:1\n",
          "none": "nameserver 127.0.0.4\noptions timeout:1 attempts:1\n",
          "search": "search test\nnameserver 127.0.0.1\n"
                    "options timeout:1 attempts:1\n"}
# The server of our own's names, each answered with the addresses of the
# family asked for: few.tc fits in UDP, many.tc and many6.tc do not, and
# stall.tc is truncated over UDP and never answered over TCP. The all-ones
# spellings are names it would answer, were they asked.
TC = {"few.tc": ["192.0.2.30"],
      "many.tc": [f"198.51.100.{i}" for i in range(1, 41)],
      "many6.tc": [f"2001:db8:6::{i:x}" for i in range(1, 41)],
      "stall.tc": None,
      "order.tc": ["192.0.2.52", "192.0.2.51"],
      "255.0xffffff": ["192.0.2.31"],
      "0xff.0xff.0xff.0xff": ["192.0.2.32"]}
FORMERR = "formerr.tc"  # answered with a format error
# Names that answer LATE_ADDR only once the time appear_after() set has
# come; until then, with this DNS rcode: no such name
# (3), a server failure (2), or none at all (0: the name exists, with no
# IPv4 address); or with these addresses, for a name that moves.
LATE = 1.5
LATE_ADDR, LATE_ADDR6 = "192.0.2.40", "2001:db8::40"
LATER = {"late-nx.tc": 3, "late-fail.tc": 2, "late-noa.tc": 0,
         "moved.tc": ["192.0.2.50", "192.0.2.51", "2001:db8::50"]}
# What arrives late in the files: a line of the hosts file, or a resolv.conf
# that names the working server in place of one where nothing listens.
LATE_HOSTS = f"{LATE_ADDR} late.example\n"
RUN = "/run/sandbox"
# A root that holds nothing but the files written here and what a case
# copies in: a binary that needs anything else does not run there, unless
# lay_root() lays it over a system's root.
ROOT = RUN + "/root"
NSS = "hosts: files stall dns\n"
PORT = 7000
FILTER = {"127.0.0.66": "DROP",
          "127.0.0.67": "REJECT --reject-with tcp-reset",
          "127.0.0.68": "REJECT --reject-with icmp-host-unreachable"}
# Whether the packet filter took those rules; the connections the servers
# took, and what each brought before it ended: b"" for a close alone; and
# the late server, while it listens.
filtered = [False]
conns, ended = [0], []
late, listened = [None], [0.0]
# When the late names start to answer, and the queries the server of our
# own has seen, by name, since appear_after() last said.
due = [0.0]
asked = collections.Counter()
servers = []


def appear_after(seconds, server=None, nss=NSS):
    """Have the late names answer seconds from now, and count queries
    afresh; given a server, at that moment also add the late line to the
    hosts file and point resolv.conf at that server. Return the timer, to
    cancel once the run is over."""
    due[0] = time.monotonic() + seconds
    asked.clear()
    listen_late(False)

    def come():
        listen_late(True)
        if server:
            use_server(server, nss, HOSTS + LATE_HOSTS)
    change = threading.Timer(seconds, come)
    change.start()
    return change


def listen_late(now):
    """Have the late server listen, or stop it; note when."""
    if late[0]:
        # A listening socket that is only closed listens on until the
        # accept() that waits on it returns.
        late[0].shutdown(socket.SHUT_RDWR)
        late[0].close()
    late[0] = listener(socket.AF_INET, "127.0.0.12") if now else None
    listened[0] = time.monotonic()


def listener(family, addr):
    """Take connections on addr, and note what each brings."""
    server = socket.create_server((addr, PORT), family=family)

    def take(conn):
        with conn:
            try:
                ended.append(conn.recv(1))
            except ConnectionResetError:
                ended.append(b"a reset")

    def serve():
        while True:
            try:
                conn = server.accept()[0]
            except OSError:  # closed
                return
            conns[0] += 1
            threading.Thread(target=take, args=(conn,), daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()
    return server


# The addresses a host may have beyond loopback, each on a veth link with a
# default route of its family, but for fe80::1 on loopback itself.
ADDRS = {"4": "192.0.2.200/24 dev vh0", "6": "2001:db8:1::200/64 dev vh0 nodad",
         "ll": "fe80::200/64 dev vh0 nodad", "lo": "fe80::1/64 dev lo nodad"}
state = [""]


def host(kind):
    """Give the namespace the addresses of ADDRS that kind names, joined by
    "+", and no other: "4+ll" is an IPv4 host with a link-local IPv6
    address. glibc's AI_ADDRCONFIG counts the families of these."""
    kind = kind or ""
    if kind == state[0]:
        return
    words = kind.split("+") if kind else []
    cmds = ["link del vh0", "addr del " + ADDRS["lo"]]
    if set(words) - {"lo"}:
        cmds += ["link add vh0 type veth peer name vh1",
                 "link set vh0 addrgenmode none",
                 "link set vh1 addrgenmode none",
                 "link set vh0 up", "link set vh1 up"]
    cmds += ["addr add " + ADDRS[w] for w in words]
    if "4" in words:
        cmds.append("route add default dev vh0")
    if "6" in words or "ll" in words:
        cmds.append("route add ::/0 dev vh0")
    subprocess.run(["ip", "-force", "-batch", "-"], input="\n".join(cmds),
                   text=True, capture_output=True, check=False)
    # The kernel makes an IPv6 address local a moment later, even without
    # duplicate address detection: until then a connect to it fails.
    six = [ADDRS[w].split("/")[0] for w in words if ":" in ADDRS[w]]
    for _ in range(500):
        local = subprocess.run(["ip", "-6", "route", "show", "table", "local"],
                               capture_output=True, text=True,
                               check=False).stdout
        if all(f"local {a} " in local for a in six):
            break
        time.sleep(0.01)
    state[0] = kind


def quiet():
    """What went wrong with the connections the servers took since the
    last call: each must have brought no byte and ended with a close."""
    for _ in range(100):
        if len(ended) >= conns[0]:
            break
        time.sleep(0.02)
    problems = [f"a connection brought {got!r}" for got in ended if got]
    problems += ["a connection never ended"] * (conns[0] - len(ended))
    conns[0] = 0
    ended.clear()
    return problems


def enter():
    """Re-run the calling script in namespaces of its own, unless it is
    there already, and seal them; the servers stop when it exits."""
    if not sealed():
        enter_namespaces()
    # Held here: a socket that is let go closes, and answers at last.
    servers[:] = seal()
    atexit.register(servers[0].wait)
    atexit.register(servers[0].terminate)


def sealed():
    """Whether this process is in the namespaces enter_namespaces made."""
    return os.environ.get("VARNOK_SEALED") not in (None, namespace())


def namespace():
    return os.readlink("/proc/self/ns/mnt")


def enter_namespaces():
    """Re-run the calling script in namespaces of its own, as root or as
    a user mapped to root. unshare makes every mount it copies private, so
    that none made in there is seen outside; where "/" is no mount point,
    as in a chroot, that cannot be done, and the mounts are taken as they
    are only when none that can be seen is shared: then the chroot lives in
    a private namespace already, as autopkgtest's unshare testbed does."""
    os.environ["VARNOK_SEALED"] = namespace()
    cmd = ["unshare", "--mount", "--net", "--uts"]
    if os.geteuid() != 0:
        cmd[1:1] = ["--user", "--map-root-user"]
    with open("/proc/self/mountinfo", encoding="utf-8") as f:
        seen = {line.split()[4]: "shared:" in line.split(" - ")[0]
                for line in f}
    if "/" not in seen:
        if any(seen.values()):
            sys.exit("a chroot with shared mounts: refusing to mount")
        cmd += ["--propagation", "unchanged"]
    os.execvp(cmd[0], cmd + [sys.executable, *sys.argv])


def reply(query, tcp):
    """The server of our own's answer to a query, or None for no answer."""
    labels, i = [], 12
    while query[i]:
        labels.append(query[i + 1:i + 1 + query[i]].decode("ascii").lower())
        i += query[i] + 1
    name, qtype = ".".join(labels), query[i + 1:i + 3]
    family = {b"\0\1": socket.AF_INET, b"\0\x1c": socket.AF_INET6}.get(qtype)
    asked[name] += 1
    stall = name in TC and TC[name] is None
    if tcp and stall:
        return None
    if name in LATER:
        early = time.monotonic() < due[0]
        before = LATER[name]
        addrs, rcode = (([], before) if isinstance(before, int) else
                        (before, 0)) if early else ([LATE_ADDR, LATE_ADDR6], 0)
    else:
        addrs, rcode = TC.get(name) or [], 0 if name in TC else 3
        rcode = 1 if name == FORMERR else rcode
    addrs = [x for x in addrs
             if family == (socket.AF_INET6 if ":" in x else socket.AF_INET)]
    flags = 0x8580 | rcode
    rrs = b"".join(b"\xc0\x0c" + qtype + b"\0\1\0\0\0\x3c" +
                   struct.pack(">H", len(packed)) + packed
                   for packed in (socket.inet_pton(family, x) for x in addrs))
    if not tcp and (stall or i + 5 + len(rrs) > 512):
        flags, addrs, rrs = flags | 0x0200, [], b""
    return (query[:2] + struct.pack(">HHHHH", flags, 1, len(addrs), 0, 0)
            + query[12:i + 5] + rrs)


def name_server():
    """Serve our own names on 127.0.0.3, over UDP and over TCP."""
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


def seal():
    """Give the namespace its own /etc files and name servers: /run
    becomes a file system of its own, which also hides a caching daemon's
    socket, and holds what an overlay adds to /etc, so that the files are
    laid over the system's whether it has them or not."""
    if not sealed():
        sys.exit("not in namespaces of our own: refusing to mount")
    subprocess.run(["mount", "-t", "tmpfs", "sandbox", "/run"], check=True)
    for d in ("etc", "work", "log", "root/etc"):
        os.makedirs(os.path.join(RUN, d))
    subprocess.run(["mount", "-t", "overlay", "sandbox", "-o",
                    f"lowerdir=/etc,upperdir={RUN}/etc,workdir={RUN}/work",
                    "/etc"], check=True)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    socket.sethostname("sealed")  # no dot, so no default search domain
    for name, text in (("host.conf", "multi on\n"), ("dnsmasq.conf", DNSMASQ)):
        write(name, text)
    use_server("dns")
    log = f"{RUN}/log/dnsmasq"
    dns = subprocess.Popen(["dnsmasq", "--no-daemon",
                            "--conf-file=/etc/dnsmasq.conf",
                            "--log-facility=" + log],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    silent.bind(("127.0.0.2", 53))
    name_server()
    held = [listener(socket.AF_INET, a) for a in ("127.0.0.10", "127.0.0.13")]
    held.append(listener(socket.AF_INET6, "::"))
    filtered[0] = shutil.which("iptables") is not None and all(
        subprocess.run(["iptables", "-A", "INPUT", "-p", "tcp", "-d", addr,
                        "-j", *rule.split()], capture_output=True,
                       check=False).returncode == 0
        for addr, rule in FILTER.items())
    for _ in range(500):
        with open("/proc/net/udp", encoding="ascii") as f:
            if "0100007F:0035" in f.read():
                return dns, silent, held
        time.sleep(0.01)
    sys.exit("dnsmasq did not start: " + open(log, encoding="utf-8").read())


def write(name, text):
    """Write a file of the overlaid /etc in place, and of the root's; a
    link, such as a resolv.conf that points into /run, is replaced, never
    followed."""
    for path in ("/etc/" + name, f"{ROOT}/etc/{name}"):
        if os.path.islink(path):
            os.unlink(path)
        with open(path, "w", encoding="ascii") as f:
            f.write(text)


def use_server(which, nss=NSS, hosts=HOSTS):
    """Point the resolver at a server of RESOLV's, with the hosts file and
    nsswitch.conf as given."""
    for name, text in (("resolv.conf", RESOLV[which]), ("hosts", hosts),
                       ("nsswitch.conf", nss)):
        write(name, text)


def podman(layout):
    """Have podman keep its images and containers in the sandbox, with the
    project's containers.conf (runc, netavark with aardvark-dns), so that
    a plain "podman" does; load the amd64 image of the OCI layout
    "DIR:REF" and return its ID. Containers on a network of its own ask
    aardvark-dns, which asks the sandbox's name server on loopback."""
    tools = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                         "tools")
    os.environ["CONTAINERS_CONF"] = os.path.join(tools, "containers.conf")
    os.environ["CONTAINERS_STORAGE_CONF"] = f"{RUN}/storage.conf"
    with open(f"{RUN}/storage.conf", "w", encoding="ascii") as f:
        f.write(f'[storage]\ndriver = "vfs"\ngraphroot = "{RUN}/podman"\n'
                f'runroot = "{RUN}/podman-run"\n')
    # podman names what it pulls after the layout's path, which must then
    # be lower case, as a folder from mktemp is not.
    path, _, ref = layout.partition(":")
    os.symlink(os.path.abspath(path), RUN + "/image")
    pulled = subprocess.run(["podman", "pull", "-q", "--platform",
                             "linux/amd64", f"oci:{RUN}/image:{ref}"],
                            capture_output=True, text=True, check=False)
    if pulled.returncode != 0:
        sys.exit("cannot run containers here: " + pulled.stderr)
    return pulled.stdout.split()[-1]


def lay_root(base):
    """Make the root a copy of the system root base, of another release,
    say, that no run changes: an overlay, with this sandbox's /etc files
    written over its own."""
    os.makedirs(f"{RUN}/root-up/etc")
    os.makedirs(f"{RUN}/root-work")
    subprocess.run(["mount", "-t", "overlay", "root", "-o",
                    f"lowerdir={base},upperdir={RUN}/root-up,"
                    f"workdir={RUN}/root-work", ROOT], check=True)
    write("host.conf", "multi on\n")
