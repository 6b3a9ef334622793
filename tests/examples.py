#!/usr/bin/env python3
"""Run the container examples of README.md as written, in the sealed
sandbox, on a podman network with DNS.

usage: examples.py DIR:REF

Loads the amd64 image of the OCI layout DIR as REGISTRY/varnok, the
README's name for it, builds the images the examples take for granted
(busybox, from busybox-static, and an app), and runs each example with its
names alone changed: the registry, and a cluster's name for the database.
The database, a container named db, comes seconds after the wait begins,
or never, and serves on PORT, at once or LISTEN seconds after it starts.
Prints a line an example and a count.
"""
import datetime
import ipaddress
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

import sandbox

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
README = os.path.join(TOP, "README.md")
NAMES = {"REGISTRY/": "localhost/",
         "db.prod.svc.cluster.local.": "db.dns.podman."}
NET = "app-net"  # the README's network, made here
NET6 = "app6-net"  # the README's network with IPv6 alone, made by its block
# Its subnet, and the one podman gives the Compose file's network next: each
# network's own DNS server, aardvark-dns, answers on its gateway, .1.
SUBNETS = {NET: "10.89.0.0/24", "ex_default": "10.89.1.0/24",
           NET6: "fd00:89::/64"}
# Where a container's name servers may be: the sandbox's own networks.
INSIDE = [ipaddress.ip_network(n)
          for n in ("127.0.0.0/8", "10.89.0.0/16", SUBNETS[NET6])]
OUTSIDE = []  # the containers that named any other, and what they named
APPEAR = 3  # seconds after the wait begins that db comes
PORT, LISTEN = 5432, 5
# db's server, which notes the moment it is about to listen in the clock
# that the host shares with its containers.
SERVE = ('sleep "$0"; echo "listening at $(cat /proc/uptime)"; '
         f'exec httpd -f -p {PORT} -h /')
SOCKET = sandbox.RUN + "/podman.sock"


def blocks():
    """The README's fenced blocks, names changed, by their first line that
    is not a comment (a script's, by its first)."""
    with open(README, encoding="utf-8") as f:
        found = re.findall(r"^```\w+\n(.*?)^```$", f.read(), re.M | re.S)
    named = {}
    for text in found:
        for old, new in NAMES.items():
            text = text.replace(old, new)
        lines = text.splitlines()
        named[lines[0] if lines[0].startswith("#!") else next(
            (line for line in lines if not line.startswith("#")), "")] = text
    return named


def block(ex, start, holds=""):
    """The one block whose first line starts so, and holds that."""
    (text,) = [text for key, text in ex.items()
               if key.startswith(start) and holds in key]
    return text


def podman(*args, check=True):
    return subprocess.run(["podman", *args], capture_output=True, text=True,
                          check=check).stdout.strip()


def servers(net):
    """The environment in which podman gives a container on net its
    network's own DNS server alone: with only a server on loopback in the
    sandbox's resolv.conf, podman 4.3 would add public ones after it. A
    query left unanswered costs a second, not the resolver's default ten."""
    conf = f"{sandbox.RUN}/containers-{net}.conf"
    with open(os.path.join(TOP, "tools", "containers.conf"),
              encoding="utf-8") as f:
        text = f.read()
    gateway = ipaddress.ip_network(SUBNETS[net])[1]
    with open(conf, "w", encoding="utf-8") as f:
        f.write(text.replace("[containers]\n", f'[containers]\ndns_servers '
                             f'= ["{gateway}"]\ndns_searches = ["dns.podman"]'
                             f'\ndns_options = ["timeout:1", "attempts:1"]'
                             f"\n", 1))
    return dict(os.environ, CONTAINERS_CONF=conf)


def named(name):
    """Note a container whose resolv.conf names a server outside the
    sandbox."""
    path = podman("inspect", "-f", "{{.ResolvConfPath}}", name, check=False)
    if not path:
        return
    with open(path, encoding="utf-8") as f:
        far = [w[1] for w in (line.split() for line in f)
               if len(w) > 1 and w[0] == "nameserver"
               and not any(ipaddress.ip_address(w[1]) in n for n in INSIDE)]
    if far:
        OUTSIDE.append(f"{name}: {' '.join(far)}")


def image(name, containerfile, files=()):
    """Build an image from a Containerfile and files, each (name, text or
    path of a file to copy, mode)."""
    with tempfile.TemporaryDirectory() as ctx:
        for path, text, mode in files:
            os.makedirs(os.path.dirname(os.path.join(ctx, path)),
                        exist_ok=True)
            if text.startswith("/"):
                with open(text, "rb") as src:
                    text = src.read()
            with open(os.path.join(ctx, path), "wb") as f:
                f.write(text if isinstance(text, bytes) else text.encode())
            os.chmod(os.path.join(ctx, path), mode)
        with open(os.path.join(ctx, "Containerfile"), "w",
                  encoding="utf-8") as f:
            f.write(containerfile)
        podman("build", "-q", "-t", name, ctx)


def when(name, what="StartedAt"):
    """When a container started (or finished), as seconds since the epoch;
    0 if it never did."""
    day, clock = podman("inspect", "-f", f"{{{{.State.{what}}}}}",
                        name).split()[:2]
    moment = datetime.datetime.fromisoformat(f"{day}T{clock[:15]}+00:00")
    return max(moment.timestamp(), 0)


def uptime():
    """The clock of /proc/uptime, which containers share with the host."""
    with open("/proc/uptime", encoding="ascii") as f:
        return float(f.read().split()[0])


def db_after(delay, net=NET, ip=(), listen=0):
    """Start db on the network delay seconds from now, at the address ip if
    given, its server listening listen seconds after it starts; return its
    address and when it was asked for: its name resolves once its network
    is up, which can be before its process starts."""
    time.sleep(delay)
    asked = time.time()
    podman("run", "-d", "--name", "db", "--network", net,
           *(("--ip", ip) if ip else ()), "busybox", "sh", "-c", SERVE,
           str(listen))
    named("db")
    return (podman("inspect", "-f", "{{range .NetworkSettings.Networks}}"
                   "{{.IPAddress}}{{.GlobalIPv6Address}}{{end}}", "db"),
            asked)


def waits(cmd, want, env=None, ip=(), within=3, net=NET):
    """Run cmd while db comes; given ip, db is there already, goes a second
    in, and comes again at ip. It must end with 0 and print want, which
    db's address fills, within that many seconds after db came."""
    began = time.monotonic()
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True, env=env)
    if ip:
        time.sleep(1)
        podman("rm", "-f", "-t", "0", "db")
    addr, _ = db_after(APPEAR - 1 if ip else APPEAR, net, ip)
    try:
        out, _ = p.communicate(timeout=APPEAR + within + 20)
    except subprocess.TimeoutExpired:
        p.kill()  # so that no waiter outlives its example
        p.communicate()
        raise
    status = p.returncode
    took = time.monotonic() - began
    problems = []
    if (status, out) != (0, want.format(addr)):
        problems.append(f"got {(status, out)!r}, want {want.format(addr)!r}")
    if not APPEAR <= took <= APPEAR + within:
        problems.append(f"ended at {took:.1f} s, db came at {APPEAR} s")
    return problems


def listens(ex):
    """The image, run on a network, waits for db's server, which listens
    seconds after db starts, and writes db's address: it writes it after
    the moment the server noted, where the same wait without -p writes it
    before. Each is timed by its first byte, since podman run --rm can take
    seconds to remove its container after the wait ended."""
    cmd = block(ex, "podman run", f"-p {PORT}")
    runs = [subprocess.Popen(["sh", "-c", c], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, start_new_session=True)
            for c in (cmd, cmd.replace(f" -p {PORT}", ""))]
    got = [[], []]
    readers = [threading.Thread(target=lambda p, g: g.extend(
        (p.stdout.read(1), uptime(), p.stdout.read())), args=(p, g))
        for p, g in zip(runs, got)]
    for r in readers:
        r.start()
    # podman can take many seconds to start a container under load: db
    # comes only once both waits run.
    for _ in range(600):
        if len(podman("ps", "-q").split()) == 2:
            break
        time.sleep(0.1)
    addr, _ = db_after(1, listen=LISTEN)
    for r, p in zip(readers, runs):
        r.join(70)
        if r.is_alive():
            os.killpg(p.pid, 9)  # so that no waiter outlives its example
            r.join()
        p.wait()
    noted = float(podman("logs", "db").split()[2])
    ends = [(p.returncode, (g[0] + g[2]).decode(), g[1])
            for p, g in zip(runs, got)]
    problems = [f"got {end[:2]}, want {(0, addr)}" for end in ends
                if end[:2] != (0, addr)]
    if not ends[1][2] < noted < ends[0][2]:
        problems.append(f"listening at {noted}; the wait wrote at "
                        f"{ends[0][2]}, without -p at {ends[1][2]}")
    return problems


def ipv6_only(ex):
    """The image, run on a network with an IPv6 subnet alone, which its
    block makes first, waits for db and writes its IPv6 address."""
    make, run = [line for line in block(ex, "podman network create")
                 .splitlines() if not line.startswith("#")]
    env = servers(NET6)
    subprocess.run(["sh", "-c", make], env=env, capture_output=True,
                   check=True)
    return waits(["sh", "-c", run], "{}", env=env, net=NET6)


def cut_over(ex):
    """The image waits while db, at its old address, is removed, then gone
    a while, then started again at another; it writes the new address,
    within its deadline: aardvark-dns 1.4 can go on giving a client that
    asked before the old address for most of a minute."""
    old, _ = db_after(0)
    net, last = old.rsplit(".", 1)
    new = f"{net}.{int(last) % 200 + 20}"
    return waits(["sh", "-c", block(ex, "podman run", "-x")], new,
                 env=dict(os.environ, old=old), ip=new, within=120 - APPEAR)


def from_image(ex):
    """An image FROM varnok's calls it by name."""
    image("waiter", block(ex, "FROM localhost/varnok"))
    return waits(["podman", "run", "--rm", "--network", NET, "waiter"], "{}")


def copied(ex):
    """varnok copied into an image with a shell, run from its script."""
    image("own", block(ex, "FROM busybox"),
          [("entrypoint.sh", block(ex, "#!/bin/sh"), 0o755)])
    return waits(["podman", "run", "--rm", "--network", NET, "own", "echo",
                  "server"], "server --database {}\n")


def pod(ex, comes):
    """The Pod, by podman kube play: its app starts only once db came, after
    its init container ended with 0; without db, the init container ends
    with 254 at its deadline and the app never starts."""
    with tempfile.NamedTemporaryFile("w", suffix=".yaml") as f:
        f.write(block(ex, "apiVersion:"))
        f.flush()
        since = datetime.datetime.now(datetime.timezone.utc).isoformat()
        began = time.monotonic()
        p = subprocess.Popen(["podman", "kube", "play", "--network", NET,
                              f.name], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        db = db_after(APPEAR) if comes else None
        status = p.wait(timeout=90)
        took = time.monotonic() - began
        ended = podman("events", "--stream=false", "--since", since,
                       "--filter", "event=died", "--filter",
                       "container=app-wait-for-db", "--format",
                       "{{.ContainerExitCode}}").split()
        app = when("app-app")
        for name in ("app-wait-for-db", "app-app"):
            named(name)
        subprocess.run(["podman", "kube", "down", f.name],
                       capture_output=True, check=False)
    problems = []
    if comes and (status, ended) != (0, ["0"]) or not comes and (
            status == 0 or ended != ["254"]):
        problems.append(f"kube play {status}, init container's ends "
                        f"{ended[:3]}")
    if comes and not app > db[1]:
        problems.append(f"app started at {app}, db at {db[1]}")
    if not comes and (app or took < 60):
        problems.append(f"app started at {app}; ended at {took:.1f} s")
    return problems


def compose(ex):
    """The Compose file, by docker-compose against podman's API service:
    the app starts only after the wait ended with 0."""
    service = subprocess.Popen(["podman", "system", "service", "-t", "0",
                                "unix://" + SOCKET],
                               env=servers("ex_default"),
                               stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if os.path.exists(SOCKET):
                break
            time.sleep(0.1)
        with tempfile.TemporaryDirectory() as d:
            with open(os.path.join(d, "compose.yaml"), "w",
                      encoding="utf-8") as f:
                f.write(block(ex, "services:"))
            env = dict(os.environ, DOCKER_HOST="unix://" + SOCKET)
            up = subprocess.Popen(["docker-compose", "-p", "ex", "-f",
                                   f.name, "up", "-d"], env=env,
                                  stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
            # Compose makes its network first, but later than that under
            # load: db cannot join it before.
            time.sleep(APPEAR)
            for _ in range(300):
                if subprocess.run(["podman", "network", "exists",
                                   "ex_default"]).returncode == 0:
                    break
                time.sleep(0.1)
            _, came = db_after(0, "ex_default")
            status = up.wait(timeout=60)
            code = podman("inspect", "-f", "{{.State.ExitCode}}",
                          "ex_wait-for-db_1")
            finished = when("ex_wait-for-db_1", "FinishedAt")
            app = when("ex_app_1")
            for name in ("ex_wait-for-db_1", "ex_app_1"):
                named(name)
            subprocess.run(["docker-compose", "-p", "ex", "-f", f.name,
                            "down", "-t", "0"], env=env,
                           capture_output=True, check=False)
    finally:
        service.terminate()
        service.wait()
    if (status, code) != (0, "0") or not came < finished < app:
        return [f"up {status}; wait ended with {code} at {finished}, db came "
                f"at {came}, app at {app}"]
    return []


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sandbox.enter()
    ex = blocks()
    varnok = sandbox.podman(sys.argv[1])
    podman("tag", varnok, "localhost/varnok:" + sys.argv[1].rsplit(":")[-1])
    # What the examples take for granted: a busybox image, FROM scratch as
    # busybox-static allows, and an app that runs a while.
    applets = [(f"bin/{a}", "/bin/busybox", 0o755)
               for a in ("busybox", "sh", "echo", "sleep", "cat", "httpd")]
    image("busybox", "FROM scratch\nCOPY bin /bin\n"
          "ENV PATH=/usr/local/bin:/bin\n", applets)
    image("app", 'FROM localhost/busybox\nCMD ["sleep", "30"]\n')
    os.environ.update(servers(NET))
    podman("network", "create", "--subnet", SUBNETS[NET], NET)
    passed = failed = 0
    for name, test in (("podman run -p", listens), ("FROM", from_image),
                       ("COPY --from", copied),
                       ("kube play", lambda ex: pod(ex, True)),
                       ("kube play, no db", lambda ex: pod(ex, False)),
                       ("Compose", compose),
                       ("IPv6 alone", ipv6_only),
                       # last: the old answers it can leave behind reach
                       # no other example
                       ("cut-over", cut_over),
                       ("name servers", lambda ex: OUTSIDE)):
        try:
            problems = test(ex)
        except (subprocess.SubprocessError, KeyError) as e:
            problems = [repr(e) + (": " + e.stderr.strip()[-300:]
                                   if getattr(e, "stderr", None) else "")]
        podman("rm", "-f", "-t", "0", "db", check=False)
        print("FAIL" if problems else "ok  ", "example", name,
              "; ".join(problems))
        passed, failed = passed + (not problems), failed + bool(problems)
    print(f"{passed} passed, {failed} failed, 0 skipped")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
