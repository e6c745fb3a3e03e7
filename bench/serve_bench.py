#!/usr/bin/python3
"""Throughput of `ovelcanfd-sim serve`: frames/s each client gets and the server's CPU, with 1 and
8 fast clients (plus one that never reads) at 2,000 and 20,000 received frames/s. The server's
CPU includes the simulated adapter that generates the traffic: the row with no fast client is
that baseline.

Every fast client checks that it gets every frame in order (the simulated traffic numbers its
frames); the slow client's drops come from the server's own count, printed when it stops.

    bench/serve_bench.py build/dev/tools/ovelcanfd/ovelcanfd-sim [--seconds 5]

Linux only (the server's CPU time is read from /proc). Everything stays on 127.0.0.1."""

import argparse
import multiprocessing
import os
import re
import signal
import socket
import subprocess
import time


def handshake(peer):
    def expect(text):
        got = b""
        while not got.endswith(b">"):
            chunk = peer.recv(64)
            if not chunk:
                raise RuntimeError("server closed the connection")
            got += chunk
        if got.decode().strip() != text:
            raise RuntimeError(f"expected {text}, got {got!r}")
    expect("< hi >")
    peer.sendall(b"< open can0 >")
    expect("< ok >")
    peer.sendall(b"< rawmode >")
    expect("< ok >")


def fast_client(port, ready, start, stop, results):
    """Reads until `stop`; counts frames between `start` and `stop` and the gaps in their order."""
    peer = socket.create_connection(("127.0.0.1", port))
    handshake(peer)
    ready.release()
    pending, counted, gaps, previous, measuring = b"", 0, 0, None, False
    peer.settimeout(0.2)
    while not stop.is_set():
        try:
            chunk = peer.recv(1 << 16)
        except socket.timeout:
            continue
        if not chunk:
            break
        if not measuring and start.is_set():
            measuring = True
        pending += chunk
        *lines, pending = pending.split(b"\n")
        for line in lines:
            fields = line.split()
            if len(fields) != 6 or fields[1] != b"frame":
                continue
            number = int.from_bytes(bytes.fromhex(fields[4].decode())[:8], "little")
            if previous is not None and number != previous + 1:
                gaps += 1
            previous = number
            if measuring:
                counted += 1
    results.put((counted, gaps))


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(tool, rate, clients, seconds):
    environment = dict(os.environ, OVSIM_ADAPTERS="BENCH001:1:0", OVSIM_TRAFFIC=str(rate))
    server = subprocess.Popen([tool, "serve", "--listen", "127.0.0.1:0"], env=environment,
                              stderr=subprocess.PIPE)
    first = server.stderr.readline().decode()
    port = int(re.search(r":(\d+)$", first.strip()).group(1))
    slow = socket.socket()
    slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    slow.connect(("127.0.0.1", port))
    handshake(slow)
    ready, start, stop = multiprocessing.Semaphore(0), multiprocessing.Event(), multiprocessing.Event()
    results = multiprocessing.Queue()
    workers = [multiprocessing.Process(target=fast_client, args=(port, ready, start, stop, results))
               for _ in range(clients)]
    for worker in workers:
        worker.start()
    for _ in workers:
        ready.acquire()
    time.sleep(1.0)  # warm-up
    cpu_before, wall_before = cpu_seconds(server.pid), time.monotonic()
    start.set()
    time.sleep(seconds)
    stop.set()
    cpu_after, wall_after = cpu_seconds(server.pid), time.monotonic()
    outcomes = [results.get(timeout=30) for _ in workers]
    for worker in workers:
        worker.join(timeout=30)
    slow.close()
    server.send_signal(signal.SIGINT)
    _, report = server.communicate(timeout=30)
    report = first + report.decode()
    wall = wall_after - wall_before
    dropped = [int(n) for n in re.findall(r"frames queued, (\d+) dropped", report)]
    received = int(re.search(r"(\d+) frames received", report).group(1))
    return {
        "rate": rate,
        "clients": clients,
        "per_client_fps": [round(counted / wall) for counted, _ in outcomes],
        "gaps": sum(gaps for _, gaps in outcomes),
        "server_cpu_percent": round(100 * (cpu_after - cpu_before) / wall, 1),
        "slow_client_dropped": max(dropped) if dropped else 0,
        "received": received,
        "exit": server.returncode,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tool", help="the ovelcanfd-sim executable")
    parser.add_argument("--seconds", type=float, default=5.0)
    arguments = parser.parse_args()
    print("rate fps | fast clients | frames/s per fast client (min..max) | order gaps | "
          "server CPU % | slow client dropped")
    for rate in (2000, 20000):
        for clients in (0, 1, 8):
            r = run(arguments.tool, rate, clients, arguments.seconds)
            fps = r["per_client_fps"] or [0]
            print(f"{r['rate']:8} | {r['clients']:12} | {min(fps):>8}..{max(fps):<8}"
                  f"                  | {r['gaps']:10} | {r['server_cpu_percent']:12} | {r['slow_client_dropped']}"
                  + ("" if r["exit"] == 0 else f"  (server exit {r['exit']})"), flush=True)


if __name__ == "__main__":
    main()
