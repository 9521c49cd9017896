#!/usr/bin/python3
"""Another mail program working on the same mailbox, for the tests: python's imaplib over
the plain-text port of the loopback Dovecot.

  second_imap_client.py HOST PORT USER PASSWORD COMMAND ARGS...

Commands (messages are named by their exact Subject):
  expunge FOLDER SUBJECT...        flag them \\Deleted and EXPUNGE the folder
  move FOLDER TARGET SUBJECT...    UID MOVE them to TARGET
  renumber FOLDER                  give the folder a new UIDVALIDITY and its messages new
                                   UIDs in reverse order: rename it aside, create it again,
                                   copy the messages back newest first, delete the old one
  uidvalidity FOLDER               print the folder's UIDVALIDITY
Prints "ok" (or the value asked for); exits non-zero on any refusal.
"""

import imaplib
import re
import sys


def quoted(name):
    return '"' + name.replace('\\', '\\\\').replace('"', '\\"') + '"'


def check(answer):
    status, data = answer
    if status != 'OK':
        raise SystemExit('refused: %r' % (data,))
    return data


def uids_with_subject(imap, subject):
    data = check(imap.uid('SEARCH', 'CHARSET', 'UTF-8', 'HEADER', 'Subject',
                          quoted(subject).encode('utf-8')))
    found = []
    for uid in data[0].split():
        header = check(imap.uid('FETCH', uid, '(BODY.PEEK[HEADER.FIELDS (SUBJECT)])'))
        text = header[0][1].decode('utf-8', 'replace').split(':', 1)[1].strip()
        if text == subject:
            found.append(uid.decode())
    if not found:
        raise SystemExit('no message with subject %r' % subject)
    return found


def uidvalidity(imap, folder):
    data = check(imap.status(quoted(folder), '(UIDVALIDITY)'))
    return int(re.search(rb'UIDVALIDITY (\d+)', data[0]).group(1))


def main():
    host, port, user, password, command, *args = sys.argv[1:]
    imap = imaplib.IMAP4(host, int(port))
    check(imap.login(user, password))
    if command == 'expunge':
        folder, *subjects = args
        check(imap.select(quoted(folder)))
        for subject in subjects:
            for uid in uids_with_subject(imap, subject):
                check(imap.uid('STORE', uid, '+FLAGS.SILENT', '(\\Deleted)'))
        check(imap.expunge())
    elif command == 'move':
        folder, target, *subjects = args
        check(imap.select(quoted(folder)))
        for subject in subjects:
            for uid in uids_with_subject(imap, subject):
                check(imap.uid('MOVE', uid, quoted(target)))
    elif command == 'renumber':
        (folder,) = args
        aside = folder + '-renumbered'
        check(imap.rename(quoted(folder), quoted(aside)))
        check(imap.create(quoted(folder)))
        check(imap.select(quoted(aside)))
        uids = check(imap.uid('SEARCH', 'ALL'))[0].split()
        for uid in sorted(uids, key=int, reverse=True):
            check(imap.uid('COPY', uid, quoted(folder)))
        check(imap.close())
        check(imap.delete(quoted(aside)))
    elif command == 'uidvalidity':
        (folder,) = args
        print(uidvalidity(imap, folder))
        imap.logout()
        return
    else:
        raise SystemExit('unknown command ' + command)
    imap.logout()
    print('ok')


if __name__ == '__main__':
    main()
