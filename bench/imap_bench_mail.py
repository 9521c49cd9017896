#!/usr/bin/python3
"""Fills a fresh user's INBOX on the test Dovecot with realistic messages for the IMAP
header benchmark, by IMAP APPEND (so Dovecot makes the mailbox itself).

  imap_bench_mail.py HOST PORT USER PASSWORD [--count 1000] [--seed 7]

The messages depend only on the seed: Chinese and English subjects (a third as RFC 2047
encoded words, some folded over two lines, replies with "Re: " and In-Reply-To), senders
with and without display names (encoded Chinese names among them), one to four To
addresses, Cc on some, a Message-ID on all but one in fifty, plain text bodies of 0.5-6 KB
(UTF-8, 8bit or base64) and an attachment on one in ten. About 60 % are \\Seen and 5 %
\\Flagged.
"""

import argparse
import base64
import imaplib
import random
import time
from email.header import Header
from email.utils import format_datetime
from datetime import datetime, timedelta, timezone

PEOPLE = [
    ("李伟", "li.wei@example.cn"), ("张伟", "zhang.wei@example.cn"), ("王芳", "wang.fang@corp.example"),
    ("Emma Schmidt", "emma@example.org"), ("John Q. Public", "jqpublic@example.com"),
    (None, "billing@shop.example.com"), (None, "noreply@github.example"), ("Müller, Hans", "hans@example.de"),
    ("陈静", "chen.jing@example.cn"), ("Support Team", "support@service.example"),
    ("O'Brien", "obrien@example.ie"), (None, "alerts@monitoring.example"),
]
SUBJECTS = [
    "发票 #{n} 已开具", "会议纪要：星河项目第{n}次例会", "Weekly report {n}", "Your order {n} has shipped",
    "Re: 季度预算调整 ({n})", "Invitation: design review #{n}", "【通知】系统维护窗口 {n}",
    "Build {n} failed on main", "Spring sale: 50% off everything", "Fwd: contract draft v{n}",
    "A very long subject line that keeps going to see how folding of the header behaves number {n}",
    "周末一起吃饭吗？", "Password reset requested", "Quarterly results {n} – please review",
]
WORDS = ("the project plan meeting invoice budget report review 项目 会议 预算 发票 报告 "
         "please let me know thanks schedule next week 下周 安排 确认").split()


def encoded(text, rng):
    """RFC 2047 form for non-ASCII text (base64 or quoted-printable), as mail clients send it."""
    if text.isascii():
        return text
    return Header(text, "utf-8").encode() if rng.random() < 0.7 else \
        "=?UTF-8?Q?" + "".join(c if c.isalnum() and c.isascii() else "".join("=%02X" % b for b in c.encode())
                               for c in text) + "?="


def address(person, rng):
    name, email = person
    if name is None:
        return email
    if name.isascii():
        quoted = '"%s"' % name if any(c in name for c in ",'.") else name
        return "%s <%s>" % (quoted, email)
    return "%s <%s>" % (encoded(name, rng), email)


def body_text(rng, size):
    out, n = [], 0
    while n < size:
        line = " ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 14)))
        out.append(line)
        n += len(line.encode()) + 1
    return "\n".join(out) + "\n"


def message(i, rng, start, message_ids):
    sender = rng.choice(PEOPLE)
    tos = rng.sample(PEOPLE, rng.randint(1, 4))
    subject = rng.choice(SUBJECTS).format(n=1000 + i)
    date = start + timedelta(minutes=37 * i + rng.randint(0, 30))
    headers = [
        "Return-Path: <%s>" % sender[1],
        "Received: from mx.example.net (mx.example.net [192.0.2.10]) by imap.example.com; " +
        format_datetime(date),
        "From: " + address(sender, rng),
        "To: " + ", ".join(address(p, rng) for p in tos),
    ]
    if rng.random() < 0.3:
        headers.append("Cc: " + address(rng.choice(PEOPLE), rng))
    reply = message_ids and rng.random() < 0.25
    if reply:
        subject = "Re: " + subject
    headers.append("Subject: " + encoded(subject, rng))
    headers.append("Date: " + format_datetime(date))
    if rng.random() >= 0.02:
        mid = "<%d.%08x@%s>" % (i, rng.getrandbits(32), sender[1].split("@")[1])
        headers.append("Message-ID: " + mid)
        message_ids.append(mid)
    if reply:
        parent = rng.choice(message_ids[:-1] or message_ids)
        headers.append("In-Reply-To: " + parent)
        headers.append("References: " + parent)
    headers.append("MIME-Version: 1.0")
    text = body_text(rng, rng.randint(500, 6000))
    if rng.random() < 0.1:
        boundary = "=_b%08x" % rng.getrandbits(32)
        attachment = base64.encodebytes(rng.randbytes(rng.randint(2000, 20000))).decode()
        headers.append('Content-Type: multipart/mixed; boundary="%s"' % boundary)
        body = ("--%s\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n%s\r\n"
                "--%s\r\nContent-Type: application/pdf; name=\"report-%d.pdf\"\r\n"
                "Content-Disposition: attachment; filename=\"report-%d.pdf\"\r\n"
                "Content-Transfer-Encoding: base64\r\n\r\n%s\r\n--%s--\r\n") % (
                    boundary, text, boundary, i, i, attachment, boundary)
    elif rng.random() < 0.3:
        headers.append("Content-Type: text/plain; charset=utf-8")
        headers.append("Content-Transfer-Encoding: base64")
        body = base64.encodebytes(text.encode()).decode()
    else:
        headers.append("Content-Type: text/plain; charset=utf-8")
        headers.append("Content-Transfer-Encoding: 8bit")
        body = text
    raw = "\r\n".join(headers) + "\r\n\r\n" + body
    return raw.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8"), date


def main():
    p = argparse.ArgumentParser()
    p.add_argument("host")
    p.add_argument("port", type=int)
    p.add_argument("user")
    p.add_argument("password")
    p.add_argument("--count", type=int, default=1000)
    p.add_argument("--seed", type=int, default=7)
    args = p.parse_args()
    rng = random.Random(args.seed)
    start = datetime(2024, 1, 1, 8, 0, tzinfo=timezone(timedelta(hours=8)))
    began = time.monotonic()
    imap = imaplib.IMAP4(args.host, args.port)
    imap.login(args.user, args.password)
    message_ids, total = [], 0
    for i in range(args.count):
        raw, date = message(i, rng, start, message_ids)
        flags = []
        if rng.random() < 0.6:
            flags.append("\\Seen")
        if rng.random() < 0.05:
            flags.append("\\Flagged")
        typ, data = imap.append("INBOX", "(%s)" % " ".join(flags), imaplib.Time2Internaldate(date), raw)
        if typ != "OK":
            raise SystemExit("APPEND failed: %r" % data)
        total += len(raw)
    typ, data = imap.select("INBOX")
    imap.logout()
    print("delivered %d messages (%.1f MB) to %s in %.1f s; INBOX holds %s" % (
        args.count, total / 1e6, args.user, time.monotonic() - began, data[0].decode()))


if __name__ == "__main__":
    main()
