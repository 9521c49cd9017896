#!/usr/bin/env python3
"""Writes the messages of a generated database as a Maildir, one plain-text message a row.

    export_maildir.py DB MAILDIR

Each row becomes a text/plain UTF-8 message with its From, To, Subject, Date and Message-ID
(when it has one) and its text body, so a word-based indexer and `kestrova import` read the
same texts the substring index covers. The rows go in ordered by rowid; the file name is
the row's position, which keeps the output the same for the same database.
"""
import email.header
import email.utils
import json
import os
import sqlite3
import sys


def address(name, mail):
    if not name:
        return mail
    return email.utils.formataddr((str(email.header.Header(name, "utf-8")), mail))


def contacts(blob):
    try:
        items = json.loads(bytes(blob).decode("utf-8")) if blob else []
    except ValueError:
        return ""
    return ", ".join(address(c.get("name"), c.get("email", "")) for c in items)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: export_maildir.py DB MAILDIR")
    db, maildir = sys.argv[1], sys.argv[2]
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    con = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
    rows = con.execute(
        "SELECT message_id, subject, from_name, from_email, to_contacts, date, text_body "
        "FROM email_messages ORDER BY rowid")
    count = 0
    for message_id, subject, from_name, from_email, to, date, body in rows:
        head = [
            "From: " + address(from_name, from_email or ""),
            "To: " + contacts(to),
            "Subject: " + email.header.Header(subject or "", "utf-8").encode(),
            "Date: " + email.utils.formatdate(date or 0, localtime=False),
        ]
        if message_id:
            head.append("Message-ID: " + message_id)
        head += ["MIME-Version: 1.0", "Content-Type: text/plain; charset=utf-8",
                 "Content-Transfer-Encoding: 8bit"]
        text = "\n".join(head) + "\n\n" + (body or "") + "\n"
        with open(os.path.join(maildir, "cur", f"{count:06d}.bench:2,S"), "wb") as out:
            out.write(text.encode("utf-8"))
        count += 1
    print(f"wrote {count} messages to {maildir}")


if __name__ == "__main__":
    main()
