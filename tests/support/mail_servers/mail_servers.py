#!/usr/bin/python3
"""Starts and stops the tests' mail servers (a private Dovecot and smtp_server.py).

  mail_servers.py start DIR   stop whatever an earlier run left in DIR, wipe it, pick free
                              loopback ports, make a test CA and the certificates, start both
                              servers, wait until every port greets, write DIR/servers.json
  mail_servers.py stop DIR    stop the servers recorded in DIR (by pid), keep the logs

  mail_servers.py stop-imap DIR / start-imap DIR
                              stop Dovecot alone (a server going away under its clients) and
                              start it again on the same ports

KESTROVA_DOVECOT_EXTRA_CONF, when set, is appended to Dovecot's configuration.

Only the processes recorded in DIR are ever signalled, and only after checking that the
pid still belongs to a server started for DIR.
"""

import grp
import hashlib
import json
import os
import pwd
import shutil
import signal
import socket
import ssl
import stat
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
HOST = "127.0.0.1"
PASSWORD = "kestrova-test-secret"
PORT_NAMES = ("imap_plain", "imap_ssl", "smtp_starttls", "smtp_ssl", "smtp_no_tls",
              "tls_self_signed", "tls_wrong_host", "tls_expired", "oauth")
START_TIMEOUT = 20.0
STOP_TIMEOUT = 10.0
# Unix socket paths are limited to 108 bytes; Dovecot's longest name under base_dir is
# about 25 characters.
MAX_BASE_DIR = 80


def fail(message):
    print("mail_servers: " + message, file=sys.stderr)
    sys.exit(1)


# ---------------------------------------------------------------- stopping


def cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode("utf-8", "replace")
    except OSError:
        return None


def alive(pid):
    # A zombie has an empty command line: it has exited, whoever reaps it.
    return bool(cmdline(pid))


def read_pid(path):
    try:
        with open(path) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def recorded_servers(root):
    """(pid, label) of each server recorded in root that is still running as ours."""
    root = os.path.abspath(root)
    base_dir = os.path.realpath(os.path.join(root, "run"))
    candidates = [
        (read_pid(os.path.join(base_dir, "master.pid")), "dovecot",
         os.path.join(root, "dovecot.conf")),
        (read_pid(os.path.join(root, "smtp.pid")), "smtp_server.py", root),
        (read_pid(os.path.join(root, "oauth.pid")), "oauth_server.py", root),
    ]
    running = []
    for pid, program, marker in candidates:
        line = cmdline(pid) if pid else None
        # A pid that was reused by some other process since is left alone.
        if line and program in line and marker in line:
            running.append((pid, program))
    return running


def stop(root):
    servers = recorded_servers(root)
    for pid, _ in servers:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + STOP_TIMEOUT
    for pid, program in servers:
        while alive(pid) and time.monotonic() < deadline:
            reap(pid)
            time.sleep(0.05)
        if alive(pid):
            print("mail_servers: %s (pid %d) ignored SIGTERM, killing it" % (program, pid),
                  file=sys.stderr)
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    for name in ("servers.json", "smtp.pid", "oauth.pid"):
        try:
            os.remove(os.path.join(root, name))
        except FileNotFoundError:
            pass


def reap(pid):
    """Collects pid's exit status when it is our own child (a server started by this very
    process), so that it does not linger as a zombie; harmless otherwise."""
    try:
        os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        pass


# ---------------------------------------------------------------- starting


def free_ports(count):
    sockets = []
    try:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind((HOST, 0))
            sockets.append(s)
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


CA_CONFIG = """\
[ca]
default_ca = test_ca
[test_ca]
database = {dir}/index.txt
new_certs_dir = {dir}
serial = {dir}/serial
default_md = sha256
policy = any_name
copy_extensions = copy
[any_name]
commonName = supplied
"""


def openssl(*args):
    result = subprocess.run(["openssl"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        fail("openssl %s failed:\n%s" % (args[0], result.stdout.decode("utf-8", "replace")))


def make_certificates(root):
    """ca.pem: the test CA, which the tests trust for these servers (never the system).
    cert.pem (+ key.pem): the servers' certificate from that CA for localhost and 127.0.0.1.
    For the certificate tests, with the same key: self-signed.pem, wrong-host.pem (from the
    CA, for another name) and expired.pem (from the CA, valid only in 2020)."""
    path = lambda name: os.path.join(root, name)
    work = path("ca-work")
    os.mkdir(work)
    with open(os.path.join(work, "ca.cnf"), "w") as f:
        f.write(CA_CONFIG.format(dir=work))
    open(os.path.join(work, "index.txt"), "w").close()
    with open(os.path.join(work, "serial"), "w") as f:
        f.write("1000\n")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
            "-keyout", path("ca.key"), "-out", path("ca.pem"), "-subj", "/CN=Kestrova Test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    local_names = "subjectAltName=DNS:localhost,IP:127.0.0.1"
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
            "-keyout", path("key.pem"), "-out", path("self-signed.pem"), "-subj", "/CN=localhost",
            "-addext", local_names)

    def issue(name, names, *dates):
        request = os.path.join(work, name + ".csr")
        openssl("req", "-new", "-key", path("key.pem"), "-out", request, "-subj", "/CN=" + name,
                "-addext", names)
        openssl("ca", "-config", os.path.join(work, "ca.cnf"), "-batch", "-notext",
                "-cert", path("ca.pem"), "-keyfile", path("ca.key"), "-in", request,
                "-out", path(name + ".pem"), *dates)

    issue("cert", local_names, "-days", "3650")
    issue("wrong-host", "subjectAltName=DNS:wrong-host.example", "-days", "3650")
    issue("expired", local_names, "-startdate", "20200101000000Z", "-enddate", "20200201000000Z")


UNPRIVILEGED_SERVICES = """\
# Chroots and a root auth worker need root; without them Dovecot runs as a normal user.
service anvil {
  chroot =
}
service ipc {
  chroot =
}
service imap-urlauth-login {
  chroot =
}
service auth-worker {
  user = $default_internal_user
}
"""


def account(names):
    """(name, uid, gid) of the first existing user among names."""
    for name in names:
        try:
            entry = pwd.getpwnam(name)
            return entry.pw_name, entry.pw_uid, entry.pw_gid
        except KeyError:
            pass
    fail("none of the users %s exists" % ", ".join(names))


def identities():
    """Who runs what. A normal user runs everything itself. Dovecot refuses root for its
    login processes (they get dovenull) and for mail access (nobody owns the mailboxes)."""
    user = pwd.getpwuid(os.getuid()).pw_name
    group = grp.getgrgid(os.getgid()).gr_name
    if os.getuid() != 0:
        return dict(user=user, group=group, login_user=user, mail_uid=os.getuid(),
                    mail_gid=os.getgid(), login_chroot="",
                    unprivileged_services=UNPRIVILEGED_SERVICES)
    _, mail_uid, mail_gid = account(("nobody", "dovenull"))
    return dict(user=user, group=group, login_user=account(("dovenull", "nobody"))[0],
                mail_uid=mail_uid, mail_gid=mail_gid, login_chroot="login",
                unprivileged_services="")


def others_can_reach(path):
    """True when every directory above path lets other users through."""
    path = os.path.dirname(os.path.abspath(path))
    while True:
        if not os.stat(path).st_mode & stat.S_IXOTH:
            return False
        if path == os.path.dirname(path):
            return True
        path = os.path.dirname(path)


def make_subdir(root, name, needs_short_path=False, needs_others=False):
    """Makes root/name, or, when that path does not suit (too long for Dovecot's unix
    socket names, or out of reach of the mail user), a directory in /tmp that root/name
    points to. Returns the real path."""
    path = os.path.join(root, name)
    if (needs_short_path and len(path) > MAX_BASE_DIR) or (needs_others and not others_can_reach(path)):
        real = tempfile.mkdtemp(prefix="kestrova-ms-%s-" % name)
        os.chmod(real, 0o755)
        os.symlink(real, path)
        return real
    os.mkdir(path)
    return path


def wipe(root):
    """Empties root for a new run. Refuses a non-empty directory that this program did not
    make, so that a mistyped DIR cannot cost anyone their files."""
    marker = os.path.join(root, ".kestrova-mail-servers")
    if os.path.isdir(root) and os.listdir(root) and not os.path.exists(marker):
        fail("%s is not empty and was not made by mail_servers.py; not touching it" % root)
    for name in ("run", "home"):
        path = os.path.join(root, name)
        if os.path.islink(path):
            shutil.rmtree(os.path.realpath(path), ignore_errors=True)
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    open(marker, "w").close()


def write_dovecot_conf(root, base_dir, home, ids, ports):
    with open(os.path.join(HERE, "dovecot.conf.in"), encoding="utf-8") as f:
        template = f.read()
    text = template.format(
        root=root, base_dir=base_dir, home=home, password=PASSWORD,
        instance=hashlib.sha1(root.encode()).hexdigest()[:8], **ids, **ports)
    # A test that needs a differently configured server (one without IDLE, say) starts a
    # set of its own with extra settings.
    text += os.environ.get("KESTROVA_DOVECOT_EXTRA_CONF", "") + "\n"
    path = os.path.join(root, "dovecot.conf")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    # XOAUTH2 tokens are checked with oauth_server.py's introspection endpoint.
    with open(os.path.join(root, "dovecot-oauth2.conf.ext"), "w", encoding="utf-8") as f:
        f.write("introspection_url = http://%s:%d/introspect\n"
                "introspection_mode = auth\nusername_attribute = email\n"
                "active_attribute = active\nactive_value = true\n" % (HOST, ports["oauth"]))
    return path


def dovecot_binary():
    return shutil.which("dovecot") or "/usr/sbin/dovecot"


def start_dovecot(root, conf):
    with open(os.path.join(root, "dovecot-start.log"), "wb") as log:
        # Dovecot daemonises: the command returns once the master runs in the background.
        result = subprocess.run([dovecot_binary(), "-c", conf], stdin=subprocess.DEVNULL,
                                stdout=log, stderr=subprocess.STDOUT)
    return result.returncode == 0


def start_smtp(root, ports):
    with open(os.path.join(root, "smtp-config.json"), "w", encoding="utf-8") as f:
        json.dump(dict(host=HOST, password=PASSWORD, **ports), f)
    log = open(os.path.join(root, "smtp.log"), "ab")
    # A session of its own and no inherited pipes: the caller (ctest) must not wait for
    # the server, and signals sent to the caller's process group must not reach it.
    process = subprocess.Popen(
        ["/usr/bin/python3", os.path.join(HERE, "smtp_server.py"), root],
        stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
        start_new_session=True, close_fds=True)
    log.close()
    with open(os.path.join(root, "smtp.pid"), "w") as f:
        f.write("%d\n" % process.pid)


def start_oauth(root, port):
    log = open(os.path.join(root, "oauth.log"), "ab")
    process = subprocess.Popen(
        ["/usr/bin/python3", os.path.join(HERE, "oauth_server.py"), root, str(port)],
        stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
        start_new_session=True, close_fds=True)
    log.close()
    with open(os.path.join(root, "oauth.pid"), "w") as f:
        f.write("%d\n" % process.pid)


def answers_http(port):
    try:
        with socket.create_connection((HOST, port), timeout=2) as sock:
            sock.sendall(b"GET /introspect HTTP/1.0\r\n\r\n")
            return sock.recv(16).startswith(b"HTTP/")
    except OSError:
        return False


def greets(port, use_tls, expected):
    """True when the server on port answers with a greeting starting with `expected`."""
    try:
        with socket.create_connection((HOST, port), timeout=2) as raw:
            sock = raw
            if use_tls:
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
                context.check_hostname = False
                context.verify_mode = ssl.CERT_NONE
                sock = context.wrap_socket(raw, server_hostname="localhost")
            data = b""
            while b"\n" not in data:
                chunk = sock.recv(1024)
                if not chunk:
                    break
                data += chunk
            return data.startswith(expected)
    except (OSError, ssl.SSLError):
        return False


def wait_until_ready(ports, pending_check):
    checks = {
        "imap_plain": (False, b"* OK"),
        "imap_ssl": (True, b"* OK"),
        "smtp_starttls": (False, b"220"),
        "smtp_ssl": (True, b"220"),
        "smtp_no_tls": (False, b"220"),
        "tls_self_signed": (True, b"* OK"),
        "tls_wrong_host": (True, b"* OK"),
        "tls_expired": (True, b"* OK"),
        "oauth": None,
    }
    waiting = set(checks) & set(ports)
    deadline = time.monotonic() + START_TIMEOUT
    while waiting and time.monotonic() < deadline:
        for name in sorted(waiting):
            if name == "oauth" and answers_http(ports[name]) or \
                    name != "oauth" and greets(ports[name], *checks[name]):
                waiting.discard(name)
        if waiting:
            if not pending_check():
                break
            time.sleep(0.05)
    return sorted(waiting)


def print_logs(root):
    for name in ("dovecot-start.log", "dovecot.log", "smtp.log", "oauth.log"):
        path = os.path.join(root, name)
        if not os.path.exists(path):
            continue
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.readlines()[-40:]
        print("---- %s (last %d lines)" % (path, len(lines)), file=sys.stderr)
        sys.stderr.writelines(lines)


def start_once(root):
    """One attempt; returns None on success or what went wrong (servers already stopped)."""
    wipe(root)
    for sub in ("smtp-spool", "state"):
        os.mkdir(os.path.join(root, sub))
    ids = identities()
    base_dir = make_subdir(root, "run", needs_short_path=True)
    home = make_subdir(root, "home", needs_others=os.getuid() != ids["mail_uid"])
    os.chown(home, ids["mail_uid"], ids["mail_gid"])
    ports = dict(zip(PORT_NAMES, free_ports(len(PORT_NAMES))))
    make_certificates(root)
    conf = write_dovecot_conf(root, base_dir, home, ids, ports)
    start_oauth(root, ports["oauth"])
    start_smtp(root, ports)
    if not start_dovecot(root, conf):
        stop(root)
        return "dovecot did not start"

    def still_running():
        return len(recorded_servers(root)) == 3

    missing = wait_until_ready(ports, still_running)
    if missing:
        dead = "" if still_running() else " (a server exited)"
        stop(root)
        return "no greeting on %s%s" % (", ".join(missing), dead)
    # Mailboxes live in root/home/<user>/Maildir and belong to mail_uid:mail_gid.
    servers = dict(host=HOST, password=PASSWORD, root=root, mail_uid=ids["mail_uid"],
                   mail_gid=ids["mail_gid"], **ports)
    servers["pids"] = {label: pid for pid, label in recorded_servers(root)}
    with open(os.path.join(root, "servers.json.tmp"), "w", encoding="utf-8") as f:
        json.dump(servers, f, indent=1)
    os.rename(os.path.join(root, "servers.json.tmp"), os.path.join(root, "servers.json"))
    return None


def port_was_taken(root):
    for name in ("dovecot.log", "smtp.log"):
        try:
            with open(os.path.join(root, name), encoding="utf-8", errors="replace") as f:
                if "in use" in f.read():
                    return True
        except FileNotFoundError:
            pass
    return False


def start(root):
    began = time.monotonic()
    stop(root)
    # A free port can be taken by someone else between our pick and the server's bind:
    # try again with new ports before giving up.
    for attempt in range(1, 4):
        problem = start_once(root)
        if problem is None:
            print("mail_servers: started in %s in %.1f s" % (root, time.monotonic() - began))
            with open(os.path.join(root, "servers.json"), encoding="utf-8") as f:
                print(f.read())
            return
        print("mail_servers: attempt %d: %s" % (attempt, problem), file=sys.stderr)
        if not port_was_taken(root):
            break
    print_logs(root)
    fail("the mail servers did not come up in %s" % root)


def stop_imap(root):
    for pid, program in recorded_servers(root):
        if program != "dovecot":
            continue
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + STOP_TIMEOUT
        while alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)


def start_imap(root):
    with open(os.path.join(root, "servers.json"), encoding="utf-8") as f:
        ports = {name: port for name, port in json.load(f).items() if name in PORT_NAMES}
    if not start_dovecot(root, os.path.join(root, "dovecot.conf")):
        fail("dovecot did not start again")
    if wait_until_ready({name: ports[name] for name in ("imap_plain", "imap_ssl")}, lambda: True):
        fail("dovecot does not greet after its restart")


def main():
    commands = {"start": start, "stop": stop, "stop-imap": stop_imap, "start-imap": start_imap}
    if len(sys.argv) != 3 or sys.argv[1] not in commands:
        fail("usage: mail_servers.py start|stop|stop-imap|start-imap DIR")
    commands[sys.argv[1]](os.path.abspath(sys.argv[2]))


if __name__ == "__main__":
    main()
