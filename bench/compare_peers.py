"""Tarvex side by side with the mail tools installed by scripts/setup.sh (msmtp,
s-nail, Python's email + smtplib), all sending to the same discarding sink
(bench/discard_sink.py), in one run. Prints one table row per measure with the
ratio and its goal. Wall times are medians of several runs; CPU and peak memory
come from the kernel's accounting of each child (wait4).

Usage: compare_peers.py TARVEX   (run from the source tree; scripts/bench_compare.sh)"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PY = "/usr/bin/python3"


TIME = "/usr/bin/time"  # GNU time: the peak of the program alone


def run(cmd, stdin_path=None, env=None):
    """Runs cmd once; returns (wall s, cpu s, peak RSS KiB). Raises on failure.
    The peak comes from GNU time where it is installed: a child of this interpreter
    would also count the interpreter's memory it was forked from."""
    stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    peak_file = None
    if os.path.exists(TIME):
        fd, peak_file = tempfile.mkstemp(prefix="peak-")
        os.close(fd)
        cmd = [TIME, "-o", peak_file, "-f", "%M"] + list(cmd)
    try:
        start = time.perf_counter()
        p = subprocess.Popen(cmd, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        _, status, ru = os.wait4(p.pid, 0)
        wall = time.perf_counter() - start
        p.returncode = os.waitstatus_to_exitcode(status)
        err = p.stderr.read().decode(errors="replace")
        p.stderr.close()
    finally:
        if stdin_path:
            stdin.close()
    peak = ru.ru_maxrss
    if peak_file:
        with open(peak_file) as f:
            text = f.read().split()
        os.unlink(peak_file)
        peak = int(text[-1]) if text and text[-1].isdigit() else peak
    if p.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (cmd[0], p.returncode, err.strip()[-300:]))
    return wall, ru.ru_utime + ru.ru_stime, peak


def median(cmd, runs, **kw):
    """Median wall and CPU of runs runs, and the largest peak memory."""
    results = [run(cmd, **kw) for _ in range(runs)]
    return (statistics.median(r[0] for r in results), statistics.median(r[1] for r in results),
            max(r[2] for r in results))


class Bench:
    def __init__(self, tarvex, work):
        self.tarvex = tarvex
        self.work = work
        self.sink = subprocess.Popen([PY, os.path.join(HERE, "discard_sink.py")], stdout=subprocess.PIPE)
        self.port = int(self.sink.stdout.readline().split()[1])
        self.env = dict(os.environ, HOME=work, TARVEX_INI=os.path.join(work, "tarvex.INI"))
        with open(self.env["TARVEX_INI"], "wb") as f:
            f.write(b"[ConInf]\r\nIPAdr=127.0.0.1\r\nMailAdr=me@example.jp\r\nUser=bench\r\n"
                    b"[SMTP]\r\nPort=%d\r\n" % self.port)
        self.body = self.path("body.txt", "本文の一行目\n".encode())
        self.mail = self.path("mail.eml", b"From: me@example.jp\r\nTo: taro@example.jp\r\n"
                              b"Subject: bench\r\n\r\nline\r\n")
        self.rows = []

    def close(self):
        self.sink.kill()
        self.sink.wait()

    def path(self, name, data=None):
        p = os.path.join(self.work, name)
        if data is not None:
            with open(p, "wb") as f:
                f.write(data)
        return p

    def macro(self, name, attachment=None, body_lines=None, actions=("send",)):
        text = (b"server:\r\n127.0.0.1\r\nto:\r\ntaro@example.jp\r\nsubject:\r\nbench\r\n"
                b"reply-to:\r\nme@example.jp\r\nbody:\r\n")
        text += body_lines if body_lines is not None else b"line\r\n"
        if attachment:
            text += b"bind:\r\n" + attachment.encode() + b"\r\n"
        text += b"action:\r\n" + b"".join(a.encode() + b"\r\n" for a in actions)
        return self.path(name, text)

    def tarvex_cmd(self, *args):
        return [self.tarvex, "--headless", *args]

    def peers_send(self, attachment=None):
        """The peers' commands that send one message (with the attachment if given)."""
        peers = {}
        if shutil.which("msmtp") and not attachment:
            peers["msmtp"] = (["msmtp", "--host=127.0.0.1", "--port=%d" % self.port, "--auth=off", "--tls=off",
                               "--from=me@example.jp", "taro@example.jp"], self.mail)
        if shutil.which("s-nail"):
            cmd = ["s-nail", "-:", "/", "-S", "mta=smtp://127.0.0.1:%d" % self.port, "-S", "sendwait",
                   "-r", "me@example.jp", "-s", "bench"]
            if attachment:
                cmd += ["-a", attachment]
            peers["s-nail"] = (cmd + ["taro@example.jp"], self.body)
        peers["python"] = ([PY, os.path.join(HERE, "py_send.py"), str(self.port)] +
                           ([attachment] if attachment else []), None)
        return peers

    def row(self, work, tarvex, peer, ratio, goal, ok):
        self.rows.append((work, tarvex, peer, "%.2fx" % ratio if ratio is not None else "-", goal,
                          "yes" if ok else "NO"))

    # -- measures -------------------------------------------------------------------------

    def version(self, runs=21):
        # What each program costs beyond starting a process at all (/bin/true).
        base = median(["/bin/true"], runs, env=self.env)[0]
        t = median([self.tarvex, "--version"], runs, env=self.env)[0] - base
        peers = {}
        if shutil.which("msmtp"):
            peers["msmtp --version"] = median(["msmtp", "--version"], runs, env=self.env)[0] - base
        if shutil.which("s-nail"):
            peers["s-nail -V"] = median(["s-nail", "-V"], runs, env=self.env)[0] - base
        # The Python peer has no version option of its own: its start is the
        # interpreter loading what it sends with.
        peers["python email+smtplib start"] = median([PY, "-c", "import email.message, smtplib"], runs,
                                                     env=self.env)[0] - base
        name, best = min(peers.items(), key=lambda kv: kv[1])
        ratio = best / max(t, 1e-6)
        self.row("--version, beyond starting /bin/true", "%.2f ms" % (t * 1e3), "%.2f ms (%s)" % (best * 1e3, name),
                 ratio, ">= 5x (kept)", ratio >= 5)

    def mails_per_second(self, mails=15):
        m = self.macro("one.txt", actions=("send", "end"))
        t = run_many(self.tarvex_cmd("--no-pause", m), mails, env=self.env)
        peers = {name: run_many(cmd, mails, stdin_path=stdin, env=self.env)
                 for name, (cmd, stdin) in self.peers_send().items()}
        name, best = max(peers.items(), key=lambda kv: kv[1])
        ratio = t / best
        self.row("mails/s, one process per mail", "%.1f /s (--no-pause)" % t, "%.1f /s (%s)" % (best, name),
                 ratio, ">= 10x (kept)", ratio >= 10)

    def body_macro(self):
        """The 20 MB body's macro and the one-line one, with the bytes of the body."""
        line = "日本語の本文です。これは性能を測るための試験用の行で、漢字とかなとASCII text 123 が混ざっています。"
        enc = line.encode("cp932") + b"\r\n"
        big = enc * (20_000_000 // len(enc))
        self.path("text20.sjis", big)
        self.path("text1.sjis", enc)
        return self.macro("body20.txt", body_lines=big), self.macro("body1.txt", body_lines=enc), len(big)

    def body_to_dump(self, runs=3):
        m_big, m_small, size = self.body_macro()
        text_big, text_small = self.path("text20.sjis"), self.path("text1.sjis")
        dump = self.path("dump.eml")
        t_big = median(self.tarvex_cmd("--no-pause", "--dump", dump, "--no-send", m_big), runs, env=self.env)
        t_small = median(self.tarvex_cmd("--no-pause", "--dump", dump, "--no-send", m_small), runs, env=self.env)
        codec = "import sys; open(sys.argv[1], 'rb').read().decode('cp932').encode('iso2022_jp')"
        p_big = median([PY, "-c", codec, text_big], runs)
        p_small = median([PY, "-c", codec, text_small], runs)
        tm, pm = t_big[0] - t_small[0], p_big[0] - p_small[0]
        ratio = pm / tm
        peak = t_big[2] * 1024 / size
        self.row("20 MB body, macro to --dump --no-send (marginal)", "%.3f s, peak %.1f MB (%.2fx the body)" %
                 (tm, t_big[2] / 1024, peak), "%.3f s (python codecs)" % pm, ratio, ">= 2x, peak <= 2x body",
                 ratio >= 2 and peak <= 2)

    def attachment(self, runs=3):
        size = 50 << 20
        big = self.path("attach50.bin", os.urandom(size))
        small = self.path("attach1k.bin", os.urandom(1024))
        t_big = median(self.tarvex_cmd("--no-pause", self.macro("a50.txt", big)), runs, env=self.env)
        t_small = median(self.tarvex_cmd("--no-pause", self.macro("a1.txt", small)), runs, env=self.env)
        tm = t_big[0] - t_small[0]
        peers = self.peers_send(big)
        ratio, peer = None, "-"
        if "s-nail" in peers:
            cmd, stdin = peers["s-nail"]
            s_big = median(cmd, runs, stdin_path=stdin, env=self.env)
            cmd, stdin = self.peers_send(small)["s-nail"]
            s_small = median(cmd, runs, stdin_path=stdin, env=self.env)
            sm = s_big[0] - s_small[0]
            ratio, peer = sm / tm, "%.2f s (s-nail)" % sm
        peak_mb = t_big[2] / 1024
        self.row("50 MB attachment to the sink (marginal)", "%.2f s, peak %.1f MB" % (tm, peak_mb), peer, ratio,
                 ">= 3x, peak <= 25 MB", ratio is not None and ratio >= 3 and peak_mb <= 25)
        self.peak_50 = peak_mb
        # Sparse files of 1 GB and 4 GB (holes read as zeros): the peak must not grow.
        for label, gb in (("1 GB", 1), ("4 GB", 4)):
            sparse = self.path("sparse%d.bin" % gb)
            with open(sparse, "wb") as f:
                f.truncate(gb << 30)
            try:
                wall, _, rss = run(self.tarvex_cmd("--no-pause", self.macro("s%d.txt" % gb, sparse)), env=self.env)
            finally:
                os.unlink(sparse)
            self.row("%s sparse attachment to the sink" % label, "%.1f s, peak %.1f MB" % (wall, rss / 1024), "-",
                     None, "peak about that of 50 MB", rss / 1024 <= peak_mb * 1.2 + 2)

    def profile(self):
        """A perf profile of the 20 MB body's run: its top entries."""
        if not shutil.which("perf"):
            self.profile_text = "perf not installed (linux-perf)"
            return
        m_big, _, _ = self.body_macro()
        data = self.path("perf.data")
        rec = subprocess.run(["perf", "record", "-q", "-F", "2000", "-g", "-o", data, "--",
                              *self.tarvex_cmd("--no-pause", "--dump", self.path("dump.eml"), "--no-send", m_big)],
                             env=self.env, capture_output=True)
        if rec.returncode != 0:
            self.profile_text = "perf record failed: " + rec.stderr.decode(errors="replace").strip()[-300:]
            return
        rep = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "-g", "none",
                              "--percent-limit", "1.5", "--sort", "dso,symbol"], capture_output=True)
        lines = [ln for ln in rep.stdout.decode(errors="replace").splitlines() if ln.strip() and not ln.startswith("#")]
        self.profile_text = "\n".join(lines[:25])

    def idle_cpu(self):
        m = self.macro("idle.txt", actions=("open", "close", "end"))
        wall, cpu, _ = run(self.tarvex_cmd(m), env=self.env)
        share = cpu * 100 / wall
        self.row("idle macro run (open, close, end): CPU / wall", "%.2f %% of %.2f s" % (share, wall), "-", None,
                 "< 1 %", share < 1)

    def print_table(self):
        head = ("Work", "tarvex", "fastest peer", "ratio", "goal", "met")
        widths = [max(len(str(r[i])) for r in self.rows + [head]) for i in range(len(head))]
        fmt = "| " + " | ".join("%%-%ds" % w for w in widths) + " |"
        print(fmt % head)
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for r in self.rows:
            print(fmt % r)


def run_many(cmd, count, stdin_path=None, env=None):
    """Mails per second: count runs one after another. Each program is started
    directly (no GNU time in front: this row reports no peak, and that extra program
    per run would cost every sender the same few milliseconds). Raises on failure."""
    start = time.perf_counter()
    for _ in range(count):
        stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
        try:
            p = subprocess.run(cmd, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        finally:
            if stdin_path:
                stdin.close()
        if p.returncode != 0:
            raise RuntimeError("%s failed (%d): %s" % (cmd[0], p.returncode,
                                                       p.stderr.decode(errors="replace").strip()[-300:]))
    return count / (time.perf_counter() - start)


def main():
    tarvex = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="tarvex-peers-")
    bench = Bench(tarvex, work)
    try:
        for step in (bench.version, bench.mails_per_second, bench.body_to_dump, bench.attachment, bench.idle_cpu,
                     bench.profile):
            try:
                step()
            except RuntimeError as e:
                print("%s: %s" % (step.__name__, e), file=sys.stderr)
        bench.print_table()
        print("\nperf profile of the 20 MB body, macro to --dump --no-send (top entries):")
        print(getattr(bench, "profile_text", "-"))
    finally:
        bench.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
