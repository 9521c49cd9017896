#!/usr/bin/python3
"""The tests' SMTP server: one aiosmtpd process serving three loopback ports, and the
certificate tests' TLS ports.

  starttls  plain text, STARTTLS offered
  ssl       TLS from the first byte
  no_tls    plain text, no STARTTLS offered

All three offer AUTH PLAIN and LOGIN without TLS, accept any user name with the one
password, answer 535 to any other password and refuse MAIL before AUTH, like a submission
server. They also offer XOAUTH2, whose bearer token oauth_server.py's introspection endpoint
must call active for the user named; a refused token gets the error challenge (334 and a
Base64 JSON status) first, as Gmail and Dovecot do, and 535 after the client's empty line. Every accepted message is kept in ROOT/smtp-spool/ as NNNNNN.eml (the DATA bytes
as received, after dot-unstuffing) and NNNNNN.json (envelope, authenticated user, which
port, whether the session was encrypted); the .json appears last, atomically, so a reader
that lists *.json only sees complete messages.

The ports tls_self_signed, tls_wrong_host and tls_expired present those certificates
(see mail_servers.py) and then play a minimal IMAP server: a greeting, OK to every
command, BYE to LOGOUT.

Usage: smtp_server.py ROOT  (reads ROOT/smtp-config.json written by mail_servers.py)
"""

import asyncio
import base64
import json
import logging
import os
import ssl
import sys
import urllib.request
import warnings

from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword


class Spool:
    def __init__(self, directory):
        self.directory = directory
        os.makedirs(directory, exist_ok=True)
        self.count = 0

    def store(self, record, data):
        self.count += 1
        stem = os.path.join(self.directory, "%06d" % self.count)
        with open(stem + ".eml", "wb") as f:
            f.write(data)
        record["data_file"] = os.path.basename(stem) + ".eml"
        with open(stem + ".json.tmp", "w", encoding="utf-8") as f:
            json.dump(record, f, ensure_ascii=False, indent=1)
        os.rename(stem + ".json.tmp", stem + ".json")


def token_owner(oauth_port, token):
    request = urllib.request.Request("http://127.0.0.1:%d/introspect" % oauth_port,
                                     headers={"Authorization": "Bearer " + token})
    try:
        with urllib.request.urlopen(request, timeout=5) as reply:
            answer = json.load(reply)
    except (OSError, ValueError):
        return None
    return answer.get("email") if answer.get("active") is True else None


class Handler:
    def __init__(self, spool, listener, oauth_port):
        self.spool = spool
        self.listener = listener
        self.oauth_port = oauth_port

    async def auth_XOAUTH2(self, server, args):
        blob = await server.challenge_auth("") if len(args) == 1 else args[1].encode()
        if blob is MISSING:
            return AuthResult(success=False, handled=True)
        try:
            text = (blob if len(args) == 1 else base64.b64decode(blob, validate=True)).decode()
            fields = dict(f.split("=", 1) for f in text.split("\x01") if f)
            user, token = fields["user"], fields["auth"][len("Bearer "):]
        except (ValueError, KeyError, UnicodeDecodeError):
            await server.push("501 5.5.2 Can't decode XOAUTH2 response")
            return AuthResult(success=False, handled=True)
        loop = asyncio.get_running_loop()
        owner = await loop.run_in_executor(None, token_owner, self.oauth_port, token)
        if owner is not None and owner.lower() == user.lower():
            return AuthResult(success=True, auth_data=LoginPassword(user.encode(), b""))
        status = json.dumps({"status": "401", "schemes": "bearer", "scope": "mail"})
        await server.challenge_auth(status)  # the client answers with an empty line
        return AuthResult(success=False, handled=False)

    async def handle_DATA(self, server, session, envelope):
        login = getattr(session.auth_data, "login", None) if session.authenticated else None
        self.spool.store(
            {
                "mail_from": envelope.mail_from,
                "rcpt_tos": list(envelope.rcpt_tos),
                "auth_user": login.decode("utf-8", "replace") if login is not None else "",
                "listener": self.listener,
                # Implicit TLS on the ssl port, or a completed STARTTLS on the others.
                "tls": self.listener == "ssl" or session.ssl is not None,
            },
            envelope.original_content,
        )
        return "250 2.0.0 OK"


def make_authenticator(password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        if auth_data.password == password.encode("utf-8"):
            return AuthResult(success=True, auth_data=auth_data)
        # handled=False makes aiosmtpd answer "535 5.7.8 Authentication credentials
        # invalid"; its default (True) would leave the client without any answer.
        return AuthResult(success=False, handled=False)

    return authenticate


async def greet_over_tls(reader, writer):
    writer.write(b"* OK [CAPABILITY IMAP4rev1] certificate test\r\n")
    try:
        while True:
            line = await reader.readline()
            if not line:
                break
            tag = line.split(b" ", 1)[0]
            if b" LOGOUT" in line.upper():
                writer.write(b"* BYE bye\r\n" + tag + b" OK done\r\n")
                await writer.drain()
                break
            writer.write(tag + b" OK done\r\n")
            await writer.drain()
    except (OSError, ssl.SSLError):
        pass
    writer.close()


def tls_context(root, certificate):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(root, certificate), os.path.join(root, "key.pem"))
    return context


async def serve(root, config):
    context = tls_context(root, "cert.pem")
    spool = Spool(os.path.join(root, "smtp-spool"))
    authenticator = make_authenticator(config["password"])
    loop = asyncio.get_running_loop()

    def factory(listener, starttls):
        return lambda: SMTP(
            Handler(spool, listener, config["oauth"]),
            hostname="localhost",
            tls_context=context if starttls else None,
            auth_required=True,
            auth_require_tls=False,
            authenticator=authenticator,
        )

    servers = [
        await loop.create_server(factory("starttls", True), config["host"], config["smtp_starttls"]),
        await loop.create_server(factory("no_tls", False), config["host"], config["smtp_no_tls"]),
        await loop.create_server(factory("ssl", False), config["host"], config["smtp_ssl"], ssl=context),
    ]
    for name in ("self_signed", "wrong_host", "expired"):
        servers.append(await asyncio.start_server(
            greet_over_tls, config["host"], config["tls_" + name],
            ssl=tls_context(root, name.replace("_", "-") + ".pem")))
    logging.info("listening on %s", [s.sockets[0].getsockname() for s in servers])
    await asyncio.Event().wait()


def main():
    root = sys.argv[1]
    with open(os.path.join(root, "smtp-config.json"), encoding="utf-8") as f:
        config = json.load(f)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")
    # aiosmtpd warns on every connection that AUTH without TLS is unsafe (that is the
    # point here) and about its own deprecated login_data: noise in the log.
    logging.getLogger("mail.log").addFilter(
        lambda record: "auth_require_tls" not in record.getMessage()
        and "login_data" not in record.getMessage())
    warnings.simplefilter("ignore")
    asyncio.run(serve(root, config))


if __name__ == "__main__":
    main()
