#!/usr/bin/python3
"""Byte-range locks held through an SMB2 session, as a Windows workstation holds its record.

  smblockholder.py --port P --user U --password W --share S --file NAME [--share-nothing]
                   [--lock x|s:START:LEN]...

Connects to 127.0.0.1:P, opens NAME on share S for reading and writing (sharing read, write and
delete; with --share-nothing sharing nothing, as a program that wants the file to itself does),
takes every --lock (x exclusive, s shared; none waits: FAIL_IMMEDIATELY), then prints
"ready PID". A lock refused at start prints "refused START LEN STATUS" and ends with status 3;
a failed log-in or open prints "error TEXT" and ends with status 1.
After "ready" it answers one line per command read from standard input:
  lock x|s START LEN                    -> "locked" | "refused START LEN STATUS"
  unlock START LEN                      -> "unlocked" | "refused START LEN STATUS"
  cycle N x|s START:LEN [START:LEN]...  -> "cycled N refusals R": N rounds of locking every
                                           range then unlocking the ones granted; R counts the
                                           locks and unlocks the server refused
  quit                                  -> ends; so does the end of standard input
The locks last as long as the session, which ends with the process.
"""

import argparse
import os
import sys

from impacket import smb3structs as smb2
from impacket.nt_errors import STATUS_SUCCESS
from impacket.smbconnection import SMBConnection

LOCK_FLAGS = {
    "x": smb2.SMB2_LOCKFLAG_EXCLUSIVE_LOCK | smb2.SMB2_LOCKFLAG_FAIL_IMMEDIATELY,
    "s": smb2.SMB2_LOCKFLAG_SHARED_LOCK | smb2.SMB2_LOCKFLAG_FAIL_IMMEDIATELY,
}


class Session:
    def __init__(self, args):
        self.connection = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=args.port)
        self.connection.login(args.user, args.password)
        self.tree = self.connection.connectTree(args.share)
        self.file = self.connection.openFile(
            self.tree,
            args.file,
            desiredAccess=smb2.FILE_READ_DATA | smb2.FILE_WRITE_DATA,
            shareMode=0
            if args.share_nothing
            else smb2.FILE_SHARE_READ | smb2.FILE_SHARE_WRITE | smb2.FILE_SHARE_DELETE,
            creationOption=smb2.FILE_NON_DIRECTORY_FILE,
            creationDisposition=smb2.FILE_OPEN,
        )
        self.server = self.connection.getSMBServer()

    # impacket's own SMB3.lock() joins the elements as str, which Python 3 refuses: the request
    # is built here from its parts instead.
    def request(self, start, length, flags):
        element = smb2.SMB2_LOCK_ELEMENT()
        element["Offset"] = start
        element["Length"] = length
        element["Flags"] = flags
        lock = smb2.SMB2Lock()
        lock["FileID"] = self.file
        lock["LockCount"] = 1
        lock["Locks"] = element.getData()
        packet = self.server.SMB_PACKET()
        packet["Command"] = smb2.SMB2_LOCK
        packet["TreeID"] = self.tree
        packet["Data"] = lock
        answer = self.server.recvSMB(self.server.sendSMB(packet))
        return answer["Status"]

    def lock(self, kind, start, length):
        return self.request(start, length, LOCK_FLAGS[kind])

    def unlock(self, start, length):
        return self.request(start, length, smb2.SMB2_LOCKFLAG_UNLOCK)


def parse_range(text):
    start, length = text.split(":")
    return int(start), int(length)


def refused(start, length, status):
    return "refused %d %d 0x%08x" % (start, length, status)


def cycle(session, rounds, kind, ranges):
    refusals = 0
    for _ in range(rounds):
        granted = []
        for start, length in ranges:
            if session.lock(kind, start, length) == STATUS_SUCCESS:
                granted.append((start, length))
            else:
                refusals += 1
        for start, length in granted:
            if session.unlock(start, length) != STATUS_SUCCESS:
                refusals += 1
    return "cycled %d refusals %d" % (rounds, refusals)


def answer(session, words):
    if words[0] == "lock" and len(words) == 4:
        start, length = int(words[2]), int(words[3])
        status = session.lock(words[1], start, length)
        return "locked" if status == STATUS_SUCCESS else refused(start, length, status)
    if words[0] == "unlock" and len(words) == 3:
        start, length = int(words[1]), int(words[2])
        status = session.unlock(start, length)
        return "unlocked" if status == STATUS_SUCCESS else refused(start, length, status)
    if words[0] == "cycle" and len(words) >= 4:
        return cycle(session, int(words[1]), words[2], [parse_range(w) for w in words[3:]])
    return "error unknown command: " + " ".join(words)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--share", required=True)
    parser.add_argument("--file", required=True)
    parser.add_argument("--lock", action="append", default=[])
    parser.add_argument("--share-nothing", action="store_true")
    args = parser.parse_args()

    try:
        session = Session(args)
    except Exception as error:  # the log-in or the open failed: say why on the ready line
        print("error %s" % error, flush=True)
        return 1
    for wanted in args.lock:
        kind, start, length = wanted.split(":")
        status = session.lock(kind, int(start), int(length))
        if status != STATUS_SUCCESS:
            print(refused(int(start), int(length), status), flush=True)
            return 3
    print("ready %d" % os.getpid(), flush=True)
    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words == ["quit"]:
            break
        print(answer(session, words), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
