#!/usr/bin/env python3
"""Runs a sequence profile on varek-server (or the desktop application) and prints
its progress until it ends. Standard library only.

    examples/run_profile.py examples/burn_in.json [http://127.0.0.1:18760]

Ctrl-C asks the server to stop the run (its "on_end" applies). Exit status: 0 when
the run finished, 1 when it was stopped or aborted, 2 when it was refused.
"""
import json
import os
import sys
import time
import urllib.error
import urllib.request


def token():
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    with open(os.path.join(base, "VAREK Studio", "API", "access-token")) as f:
        return f.read().strip()


def call(api, method, path, body=None):
    """(status, decoded JSON body) of one request; HTTP errors are answers too."""
    data = None if body is None else body.encode("utf-8")
    request = urllib.request.Request(api + path, data=data, method=method,
                                     headers={"Authorization": "Bearer " + token()})
    try:
        with urllib.request.urlopen(request, timeout=30) as reply:
            return reply.status, json.load(reply)
    except urllib.error.HTTPError as error:
        return error.code, json.load(error)


def line(progress):
    text = "%s  step %d/%d  %.1f s" % (progress["state"], progress["step"], progress["steps"],
                                       progress["step_elapsed_s"])
    return text + ("  " + progress["reason"] if "reason" in progress else "")


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__.strip().splitlines()[3].strip(), file=sys.stderr)
        return 2
    api = sys.argv[2] if len(sys.argv) == 3 else "http://127.0.0.1:18760"
    with open(sys.argv[1], encoding="utf-8") as f:
        status, progress = call(api, "POST", "/v1/sequence", f.read())
    if status != 202:
        print("refused (%d): %s" % (status, progress.get("message", progress.get("error"))), file=sys.stderr)
        return 2
    print("started: " + progress["name"], flush=True)
    shown_step = None
    try:
        while progress["state"] == "running":
            if progress["step"] != shown_step:  # one line as each step begins
                print(line(progress), flush=True)
                shown_step = progress["step"]
            time.sleep(0.5)
            progress = call(api, "GET", "/v1/sequence")[1]
    except KeyboardInterrupt:
        progress = call(api, "POST", "/v1/sequence/stop")[1]
    print(line(progress), flush=True)
    return 0 if progress["state"] == "finished" else 1


if __name__ == "__main__":
    sys.exit(main())
