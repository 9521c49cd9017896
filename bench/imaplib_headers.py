#!/usr/bin/python3
"""The Python side of the IMAP header benchmark: imaplib doing what Kestrova's IMAP session
does for a batch header load, one round per "run" line on standard input.

  imaplib_headers.py HOST PORT (plain|tls) USER PASSWORD

A round: connect (and TLS handshake), LOGIN, SELECT INBOX, UID SEARCH ALL, one
UID FETCH <every UID, comma-separated> (UID ENVELOPE FLAGS), LOGOUT. imaplib hands back the
raw response lines; they are parsed here into the same header records Kestrova builds
(subject, first From with its display name, To addresses joined with ", ", date,
Message-ID, In-Reply-To, \\Seen, \\Flagged), so both sides do comparable work. Each round
answers with one JSON line: the phase times (perf_counter, ms), the process CPU time, the
number of records, and a digest of the records computed after the clock stopped (the
benchmark program checks that both sides read the same headers).
"""

import imaplib
import json
import re
import ssl
import sys
import time

# One token of an IMAP response: parentheses, a quoted string, a literal announcement at
# the end of a line, or an atom (numbers, NIL, flags such as \Seen).
TOKEN = re.compile(rb'\(|\)|"((?:[^"\\]|\\.)*)"|\{(\d+)\}$|[^\s()"]+')
UNESCAPE = re.compile(rb'\\(.)')
OPEN, CLOSE = object(), object()


def tokenize(line, out):
    """Appends the tokens of line to out; returns True when the line ends in a literal."""
    for m in TOKEN.finditer(line):
        text = m.group(0)
        if text == b"(":
            out.append(OPEN)
        elif text == b")":
            out.append(CLOSE)
        elif m.group(1) is not None:
            out.append(UNESCAPE.sub(rb"\1", m.group(1)))
        elif m.group(2) is not None:
            return True
        elif text == b"NIL":
            out.append(None)
        else:
            out.append(text)
    return False


def responses(data):
    """imaplib's FETCH data (bytes lines and (line, literal) pairs) as one token list per
    message: a pair's literal continues its line, and the element after a pair does too."""
    result, tokens, continued = [], None, False
    for item in data:
        if not continued:
            tokens = []
            result.append(tokens)
        if isinstance(item, tuple):
            tokenize(item[0], tokens)
            tokens.append(item[1])
            continued = True
        elif item is not None:
            tokenize(item, tokens)
            continued = False
    return result


def nest(tokens):
    stack = [[]]
    for t in tokens:
        if t is OPEN:
            stack.append([])
        elif t is CLOSE:
            if len(stack) > 1:
                done = stack.pop()
                stack[-1].append(done)
        else:
            stack[-1].append(t)
    return stack[0]


def address_bare(a):
    name, _route, mailbox, host = (a + [None] * 4)[:4]
    text = mailbox or b""
    if host is not None:
        if text:
            text += b"@"
        text += host
    return text


def address_with_name(a):
    name, _route, mailbox, host = (a + [None] * 4)[:4]
    text = name + b" <" if name is not None else b""
    text += mailbox or b""
    if host is not None:
        text += b"@" + host
    if name is not None:
        text += b">"
    return text


def record_of(message):
    """The header record of one FETCH response ("seq (UID n FLAGS (...) ENVELOPE (...))"),
    or None without a UID or an envelope, like the batch fetch."""
    items = message[1] if len(message) > 1 and isinstance(message[1], list) else []
    uid, envelope, flags = 0, None, []
    for i in range(0, len(items) - 1, 2):
        key, value = items[i], items[i + 1]
        if key == b"UID":
            uid = int(value)
        elif key == b"ENVELOPE":
            envelope = value
        elif key == b"FLAGS":
            flags = value
    if not uid or envelope is None:
        return None
    env = (envelope + [None] * 10)[:10]
    date, subject, froms, _sender, _reply_to, tos = env[:6]
    record = {"uid": uid, "subject": subject, "date": date, "message-id": env[9],
              "in-reply-to": env[8], "seen": b"\\Seen" in flags, "flagged": b"\\Flagged" in flags}
    if froms:
        text = address_with_name(froms[0])
        if text:
            record["from"] = text
    if tos:
        joined = b", ".join(t for t in (address_bare(a) for a in tos) if t)
        if joined:
            record["to"] = joined
    return record


def digest(records):
    """FNV-1a (64 bit) over the records in server order, fields separated by 0x1f, records
    by 0x1e, absent fields written as 0x02; the benchmark program computes the same."""
    h = 0xcbf29ce484222325
    parts = []
    for r in records:
        parts.append(str(r["uid"]).encode())
        for key in ("subject", "from", "to", "date", "message-id", "in-reply-to"):
            value = r.get(key)
            parts.append(b"\x1f" + (value if value is not None else b"\x02"))
        parts.append(b"\x1f1" if r["seen"] else b"\x1f0")
        parts.append(b"\x1f1" if r["flagged"] else b"\x1f0")
        parts.append(b"\x1e")
    for byte in b"".join(parts):
        h = ((h ^ byte) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def one_round(host, port, use_tls, user, password):
    cpu0 = time.process_time()
    t0 = time.perf_counter()
    if use_tls:
        # Like libetpan's defaults, which do not check the server certificate.
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        imap = imaplib.IMAP4_SSL(host, port, ssl_context=context)
    else:
        imap = imaplib.IMAP4(host, port)
    imap.login(user, password)
    imap.select("INBOX")
    t1 = time.perf_counter()
    typ, data = imap.uid("SEARCH", "CHARSET", "UTF-8", "ALL")
    if typ != "OK":
        raise RuntimeError("UID SEARCH failed: %r" % data)
    uids = [int(u) for u in b" ".join(d for d in data if d).split()]
    t2 = time.perf_counter()
    typ, data = imap.uid("FETCH", ",".join(map(str, uids)), "(UID ENVELOPE FLAGS)")
    if typ != "OK":
        raise RuntimeError("UID FETCH failed: %r" % data)
    records = []
    for tokens in responses(data):
        record = record_of(nest(tokens))
        if record is not None:
            records.append(record)
    t3 = time.perf_counter()
    imap.logout()
    t4 = time.perf_counter()
    cpu = time.process_time() - cpu0
    ms = lambda a, b: (b - a) * 1000.0
    return {"connect_login_select": ms(t0, t1), "uid_search": ms(t1, t2), "header_fetch": ms(t2, t3),
            "logout": ms(t3, t4), "total": ms(t0, t4), "cpu": cpu * 1000.0, "uids": len(uids),
            "records": len(records), "digest": digest(records)}


def main():
    if len(sys.argv) != 6 or sys.argv[3] not in ("plain", "tls"):
        sys.exit("usage: imaplib_headers.py HOST PORT plain|tls USER PASSWORD")
    host, port, mode, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
    # 1,000 UIDs make a command line of about 5 KB and a long response; imaplib's
    # default line limit (1 MB) is enough, this only guards against a smaller default.
    imaplib._MAXLINE = max(imaplib._MAXLINE, 10_000_000)
    for line in sys.stdin:
        command = line.strip()
        if command == "quit":
            break
        if command != "run":
            continue
        try:
            answer = one_round(host, port, mode == "tls", user, password)
        except Exception as e:  # reported to the benchmark program, which stops
            answer = {"error": "%s: %s" % (type(e).__name__, e)}
        sys.stdout.write(json.dumps(answer) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
