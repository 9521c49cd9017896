#!/usr/bin/python3
"""The tests' OAuth 2.0 server (authorisation with PKCE S256, token, introspection for
Dovecot's and smtp_server.py's XOAUTH2) and a Gmail REST stand-in that records what each
bearer token sent (GET /requests?token=T). Tests steer it per client id or address through
POST /control: token_reply (normal|500|garbage|no_refresh|crlf|echo: a refusal whose error
code quotes the code it was sent and a refresh token), lifetime, expire, revoke.

Usage: oauth_server.py ROOT PORT   (ROOT only marks the process as the fixture's)
"""

import base64
import hashlib
import json
import secrets
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOCK = threading.Lock()
CODES = {}       # code -> dict(client_id, redirect_uri, challenge, email)
ACCESS = {}      # access token -> dict(email, expires)
REFRESH = {}     # refresh token -> dict(email, client_id)
REPLY_MODE = {}  # client id -> token_reply
LIFETIMES = {}   # client id -> expires_in of its access tokens
GMAIL = {}       # bearer token -> [request records]
LIFETIME = 3600

CANNED = {
    "messages": {"messages": [{"id": "m1", "threadId": "t1"}], "nextPageToken": "np2",
                 "resultSizeEstimate": 1},
    "message": {"id": "m1", "threadId": "t1", "labelIds": ["INBOX"], "snippet": "hi",
                "sizeEstimate": 42, "historyId": "7", "internalDate": "1700000000000",
                "payload": {"mimeType": "multipart/alternative", "headers": [
                    {"name": "Subject", "value": "Hello"}],
                    "parts": [{"partId": "0", "mimeType": "text/plain",
                               "body": {"size": 2, "data": "aGk"}}]}},
    "send": {"id": "s1", "threadId": "t9", "labelIds": ["SENT"]},
    "labels": {"labels": [{"id": "INBOX", "name": "INBOX", "type": "system"},
                          {"id": "L1", "name": "Work", "type": "user",
                           "labelListVisibility": "labelShow"}]},
}


def challenge_of(verifier):
    digest = hashlib.sha256(verifier.encode("ascii")).digest()
    return base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def issue(email, client_id, with_refresh=True):
    access = "at-" + secrets.token_urlsafe(24)
    lifetime = LIFETIMES.get(client_id, LIFETIME)
    ACCESS[access] = dict(email=email, expires=time.time() + lifetime)
    reply = dict(access_token=access, token_type="Bearer", expires_in=lifetime, scope="mail")
    if with_refresh:
        refresh = "rt-" + secrets.token_urlsafe(24)
        REFRESH[refresh] = dict(email=email, client_id=client_id)
        reply["refresh_token"] = refresh
    return reply


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):  # the request line holds codes: keep it short
        sys.stderr.write("%s %s\n" % (self.command, self.path.split("?")[0]))

    def reply(self, status, body, content_type="application/json", headers=()):
        data = body if isinstance(body, bytes) else json.dumps(body).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)

    def body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(min(length, 1 << 20)).decode("utf-8", "replace")

    def bearer(self):
        value = self.headers.get("Authorization", "")
        return value[7:] if value.startswith("Bearer ") else ""

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        if url.path == "/authorize":
            code = "c-" + secrets.token_urlsafe(16)
            with LOCK:
                CODES[code] = dict(client_id=query.get("client_id"),
                                   redirect_uri=query.get("redirect_uri"),
                                   challenge=query.get("code_challenge"),
                                   method=query.get("code_challenge_method"),
                                   email=query.get("login_hint", "user@kestrova.test"))
            target = query["redirect_uri"] + "?" + urllib.parse.urlencode(
                dict(code=code, state=query.get("state", "")))
            return self.reply(302, b"", "text/plain", [("Location", target)])
        if url.path == "/introspect":
            with LOCK:
                token = ACCESS.get(self.bearer())
            if token and token["expires"] > time.time():
                return self.reply(200, dict(active=True, email=token["email"]))
            return self.reply(200, dict(active=False))
        if url.path == "/requests":
            with LOCK:
                return self.reply(200, GMAIL.pop(query.get("token", ""), []))
        if url.path.startswith("/gmail/v1/"):
            return self.gmail(url)
        self.reply(404, dict(error="not_found"))

    def do_POST(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path == "/token":
            return self.token(dict(urllib.parse.parse_qsl(self.body())))
        if url.path == "/control":
            return self.control(json.loads(self.body()))
        if url.path.startswith("/gmail/v1/"):
            return self.gmail(url)
        self.reply(404, dict(error="not_found"))

    def gmail(self, url):
        record = dict(method=self.command, path=url.path, query=url.query,
                      authorization=self.headers.get("Authorization", ""),
                      content_type=self.headers.get("Content-Type", ""),
                      body=self.body() if self.command == "POST" else "")
        with LOCK:
            GMAIL.setdefault(self.bearer(), []).append(record)
        path = url.path
        if self.bearer() == "expired":
            return self.reply(401, dict(error=dict(code=401)))
        if path.endswith("/messages/send"):
            return self.reply(200, CANNED["send"])
        if path.endswith("/labels"):
            return self.reply(200, CANNED["labels"] if self.bearer() != "garbage" else b"[1,")
        if path.endswith("/messages"):
            return self.reply(200, CANNED["messages"])
        return self.reply(200, CANNED["message"])

    def token(self, form):
        mode = REPLY_MODE.get(form.get("client_id"), "normal")
        if mode == "500":
            return self.reply(500, b"upstream trouble", "text/plain")
        if mode == "garbage":
            return self.reply(200, b"<html>not json", "text/html")
        if mode == "echo":
            return self.reply(400, dict(error="invalid_grant " + form.get("code", "") +
                                        " 1//0gEchoedRefreshToken-9x8y7z"))
        with LOCK:
            if form.get("grant_type") == "authorization_code":
                grant = CODES.pop(form.get("code"), None)
                if (grant is None or grant["redirect_uri"] != form.get("redirect_uri")
                        or grant["client_id"] != form.get("client_id") or grant["method"] != "S256"
                        or challenge_of(form.get("code_verifier", "")) != grant["challenge"]):
                    return self.reply(400, dict(error="invalid_grant"))
                reply = issue(grant["email"], form["client_id"], mode != "no_refresh")
            elif form.get("grant_type") == "refresh_token":
                grant = REFRESH.get(form.get("refresh_token"))
                if grant is None or grant["client_id"] != form.get("client_id"):
                    return self.reply(400, dict(error="invalid_grant",
                                                error_description="Token has been revoked."))
                reply = issue(grant["email"], grant["client_id"], with_refresh=False)
            else:
                return self.reply(400, dict(error="unsupported_grant_type"))
        if mode == "crlf":
            reply["access_token"] += "\r\nA2 LOGOUT"
        self.reply(200, reply)

    def control(self, command):
        with LOCK:
            if "token_reply" in command:
                REPLY_MODE[command["client_id"]] = command["token_reply"]
            if "lifetime" in command:
                LIFETIMES[command["client_id"]] = command["lifetime"]
            email = command.get("email")
            for token in ACCESS.values():
                if token["email"] == email and (command.get("expire") or command.get("revoke")):
                    token["expires"] = 0
            if command.get("revoke"):
                for refresh in [r for r, g in REFRESH.items() if g["email"] == email]:
                    del REFRESH[refresh]
        self.reply(200, dict(ok=True))


def main():
    port = int(sys.argv[2])
    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    # The readiness probe hangs up before reading the answer: not worth a traceback.
    server.handle_error = lambda request, address: None
    server.serve_forever()


if __name__ == "__main__":
    main()
