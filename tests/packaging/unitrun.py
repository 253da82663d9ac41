"""Runs an instance of a template unit's service as systemd would, where no systemd runs: %i and
%% expanded in each word once the line is split (the instance stays one word, as written),
Environment= then EnvironmentFile= ("-": may be missing), StateDirectory= made for User= with
StateDirectoryMode=, ExecStartPre= ("+": as root), ExecStart= as User= with UMask= until SIGTERM,
which it passes on, then ExecStopPost=, also after a failed start. Exits with the failed command's
status or the service's. A setting that would change how the commands run, other than these,
is refused rather than ignored.
    /usr/bin/python3 unitrun.py UNIT-FILE INSTANCE
"""
import grp
import os
import pwd
import re
import shlex
import signal
import subprocess
import sys

APPLIED = {"User", "Group", "UMask", "Environment", "EnvironmentFile", "ExecStartPre", "ExecStart",
           "ExecStopPost", "StateDirectory", "StateDirectoryMode"}
# What only restricts or describes the commands, which systemd alone applies.
LEFT = re.compile(r"Description|Documentation|Wants|After|StartLimit\w+|WantedBy|ExecReload|"
                  r"Restart\w*|Timeout\w+|Protect\w+|Private\w+|NoNewPrivileges|Limit\w+|"
                  r"\w*Capabilit\w+|Restrict\w+|LockPersonality|MemoryDenyWriteExecute|"
                  r"RemoveIPC|SystemCall\w+|SocketBind\w+|Type")


def main(unit_file, instance):
    unit = {}
    for line in open(unit_file, encoding="utf-8").read().splitlines():
        key, _, value = line.strip().partition("=")
        if key and key[0] not in "#;[":
            if not LEFT.fullmatch(key) and key not in APPLIED or "\\" in value:
                sys.exit(f"unitrun: {line} is not supported")
            unit.setdefault(key, []).append(value)

    def words(line):
        def specifier(match):
            return {"i": instance, "%": "%"}.get(match[1]) or sys.exit(f"unitrun: %{match[1]}")
        return [re.sub(r"%(.)", specifier, word) for word in shlex.split(line)]

    user = pwd.getpwnam(unit["User"][0])
    group = grp.getgrnam(unit["Group"][0])
    environment = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin", "LANG": "C.UTF-8"}
    for line in unit.get("Environment", []):
        environment.update(word.split("=", 1) for word in words(line))
    for line in unit.get("EnvironmentFile", []):
        path = words(line)[0]
        if os.path.exists(path.lstrip("-")) or not path.startswith("-"):
            for setting in open(path.lstrip("-"), encoding="utf-8").read().splitlines():
                key, _, value = setting.strip().partition("=")
                if key and key[0] not in "#;":
                    quoted = len(value) > 1 and value[0] in "'\"" and value[-1] == value[0]
                    environment[key] = value[1:-1] if quoted else value
    for line in unit.get("StateDirectory", []):
        for name in words(line):
            os.makedirs(f"/var/lib/{name}", exist_ok=True)
            os.chown(f"/var/lib/{name}", user.pw_uid, group.gr_gid)
            os.chmod(f"/var/lib/{name}", int(unit["StateDirectoryMode"][0], 8))

    def start(line):
        prefix = re.match(r"[-+]*", line)[0]
        # $$ is a $ and ${NAME} the variable, as systemd reads them.
        argv = [re.sub(r"\$\$|\$\{(\w+)\}", lambda m: environment.get(m[1], "") if m[1] else "$",
                       word) for word in words(line[len(prefix):])]
        if "+" not in prefix:
            argv = ["setpriv", f"--reuid={user.pw_uid}", f"--regid={group.gr_gid}",
                    "--init-groups", "--"] + argv
        umask = int(unit["UMask"][0], 8)
        return subprocess.Popen(argv, env=environment, preexec_fn=lambda: os.umask(umask)), prefix

    def stop_post():
        for line in unit.get("ExecStopPost", []):
            start(line)[0].wait()

    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    for line in unit.get("ExecStartPre", []):
        process, prefix = start(line)
        if process.wait() != 0 and "-" not in prefix:
            stop_post()
            return process.returncode
    service = start(unit["ExecStart"][0])[0]
    signal.signal(signal.SIGTERM, lambda *_: service.terminate())
    if stopping:
        service.terminate()
    service.wait()
    stop_post()
    return service.returncode


sys.exit(main(*sys.argv[1:]))
