#!/usr/bin/python3
"""Plays RealMedia files from velmora-encode in every reader we can find and
checks what each one decodes against ffprobe.

    check_readers.py --encoder BIN [--xine-play BIN] [--all] [--muxers ours,ffmpeg]

The readers: FFmpeg (ffprobe and its seek), GStreamer (rmdemux), MediaInfo,
VLC (its own "real" demuxer; VLC refuses root, so it runs as nobody), MPlayer
("-demuxer real") and xine (its RealMedia demuxer, through xine_play). Each
file is played whole and once more from the middle. A reader passes a file
when it finds the same streams as ffprobe, decodes at least 99 % of ffprobe's
video frames and audio samples (VLC and xine keep the very last picture in
the decoder: one frame short is accepted), and its seeks land between the
index points around the asked time, not back at the start: to the middle,
and in a file with a picture that ran to its end, into the span after its
last key frame, which only the end of the header's index bounds for VLC.
VLC and xine keep time and drop late pictures and sound on a busy machine:
they play again, up to five times, where a playback or a seek fell short,
and the fullest playback and the earliest landing count.

Without --all only our own writer's files are made and checked, a few of
them, to keep the test short; --all adds every audience and FFmpeg's muxer
and only prints the table. A job for several audiences makes a file for
each from one reading of the source (its --json lines name them); those go
through GStreamer too, which otherwise sees only single files, in the
writer's own tests. A reader whose program is not installed is skipped with
a "SKIP:" line.
"""
import argparse
import concurrent.futures
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

CLIP_SECONDS = 30  # key frames every 10 s in every audience: 0, 10 and 20 s
SEEK_TO = 15.0
HERE = os.path.dirname(os.path.abspath(__file__))


def run(cmd, timeout=600, env=None):
    try:
        p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=timeout, env=env)
        return p.returncode, p.stdout.decode("utf-8", "replace")
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode("utf-8", "replace") if e.stdout else ""
        return -1, out + "\n(timed out)"


# --- making the files ---------------------------------------------------------

def make_source(path, seconds):
    # A moving picture and a tone with noise under it, as the other media tests use.
    rc, out = run(["ffmpeg", "-nostdin", "-v", "error", "-y",
                   "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=%d" % seconds,
                   "-f", "lavfi", "-i", "anoisesrc=color=pink:amplitude=0.08:sample_rate=48000:duration=%d" % seconds,
                   "-f", "lavfi", "-i", "sine=frequency=330:sample_rate=48000:duration=%d" % seconds,
                   "-filter_complex", "[1:a][2:a]amix=inputs=2,aformat=channel_layouts=stereo[a]",
                   "-map", "0:v", "-map", "[a]", "-c:v", "libx264", "-preset", "ultrafast",
                   "-c:a", "aac", path])
    if rc != 0:
        raise RuntimeError("ffmpeg could not make the source clip: " + out)


def encode(encoder, source, dest, args, muxer):
    """The job's files as (audience, path), `dest` (the slowest's) first."""
    rc, out = run([encoder, "--muxer", muxer, "--json"] + args + [source, dest])
    made = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    files = [(m["audience"], m["output"]) for m in made if m.get("output")]
    if rc != 0 or not files or files[0][1] != dest or \
            not all(os.path.exists(path) for _, path in files):
        raise RuntimeError("velmora-encode %s failed: %s" % (" ".join(args), out))
    return files


def temp_output(dest):
    folder, name = os.path.split(dest)
    found = glob.glob(os.path.join(folder, "." + name + ".velmora-*"))
    return found[0] if found else None


def encode_interrupted(encoder, source, dest, args, muxer, stop_at_bytes, sig):
    """Starts a job and interrupts it once its output holds `stop_at_bytes`:
    SIGINT stops it as the stop button does, SIGKILL leaves what was on disk."""
    job = subprocess.Popen([encoder, "--muxer", muxer] + args + [source, dest],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 120
    while job.poll() is None and time.time() < deadline:
        partial = temp_output(dest)
        if partial and os.path.getsize(partial) >= stop_at_bytes:
            job.send_signal(sig)
            break
        time.sleep(0.002)
    job.wait()
    if sig == signal.SIGKILL:
        partial = temp_output(dest)
        if partial:
            os.replace(partial, dest)
    if not os.path.exists(dest):
        raise RuntimeError("no file left by the interrupted job " + dest)


# Files for the test: one per kind of stream our writer writes, the files of
# one job for a slow and a fast audience, plus the three ways a file can end
# early.
TEST_FILES = [
    ("56k", ["--audience", "56k"]),
    ("256k", ["--audience", "256k"]),
    ("audio-14.4", ["--audience", "56k", "--video-quality", "none"]),
    ("audio-ac3", ["--audience", "lan", "--video-quality", "none"]),
    ("video-only", ["--audience", "256k", "--audio-content", "none"]),
    ("multi", ["--audience", "56k,512k"]),
]
ALL_AUDIENCES = ["28k", "56k", "isdn", "dual-isdn", "lan", "256k", "384k", "512k"]


def make_files(args, work):
    source = os.path.join(work, "source.mp4")
    make_source(source, CLIP_SECONDS)
    long_source = os.path.join(work, "long.mp4")
    make_source(long_source, CLIP_SECONDS * 2)
    plan = list(TEST_FILES)
    if args.all:
        plan = [(a, ["--audience", a]) for a in ALL_AUDIENCES] + plan[2:] + [
            ("multi3", ["--audience", "28k,56k,lan"])]
    files = []
    for muxer in args.muxers:
        for name, enc_args in plan:
            made = encode(args.encoder, source, os.path.join(work, "%s-%s.rm" % (name, muxer)),
                          enc_args, muxer)
            for audience, path in made:
                files.append({"name": name if len(made) == 1 else "%s/%s" % (name, audience),
                              "muxer": muxer, "path": path, "kind": "whole",
                              "several": len(made) > 1})
        # Stopped 24 s in (past the key frame at 20 s, so that there is one
        # after the middle to seek around), killed 12 s in, cut at half a file.
        whole = os.path.join(work, "256k-%s.rm" % muxer)
        twelve = os.path.getsize(whole) * 12 // CLIP_SECONDS
        stopped = os.path.join(work, "stopped-%s.rm" % muxer)
        encode_interrupted(args.encoder, long_source, stopped, ["--audience", "256k"], muxer,
                           twelve * 2, signal.SIGINT)
        files.append({"name": "stopped", "muxer": muxer, "path": stopped, "kind": "stopped"})
        killed = os.path.join(work, "killed-%s.rm" % muxer)
        encode_interrupted(args.encoder, long_source, killed, ["--audience", "256k"], muxer,
                           twelve, signal.SIGKILL)
        files.append({"name": "killed", "muxer": muxer, "path": killed, "kind": "killed"})
        cut = os.path.join(work, "cut-%s.rm" % muxer)
        with open(whole, "rb") as f:
            data = f.read()
        with open(cut, "wb") as f:
            f.write(data[:len(data) // 2])
        files.append({"name": "cut50", "muxer": muxer, "path": cut, "kind": "cut"})
    for f in files:
        os.chmod(f["path"], 0o644)
    return files


# --- what ffprobe finds -----------------------------------------------------------

def reference(path):
    rc, out = run(["ffprobe", "-v", "error", "-show_entries",
                   "stream=index,codec_type,codec_name,sample_rate,channels", "-of", "json", path])
    ref = {"video": None, "audio": None, "vpts": [], "keys": [], "samples": 0, "rate": 0,
           "astart": 0.0, "error": None}
    if rc != 0:
        ref["error"] = out.strip()
        return ref
    for s in json.loads(out).get("streams", []):
        if s.get("codec_type") in ("video", "audio") and not ref[s["codec_type"]]:
            ref[s["codec_type"]] = s.get("codec_name")
            if s["codec_type"] == "audio":
                ref["rate"] = int(s.get("sample_rate", 0))
    if ref["video"]:
        _, out = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                      "frame=pts_time", "-of", "csv=p=0", path])
        ref["vpts"] = sorted(float(x) for x in out.split() if re.match(r"^[\d.]+$", x))
        _, out = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                      "packet=pts_time,flags", "-of", "csv=p=0", path])
        ref["keys"] = [float(l.split(",")[0]) for l in out.splitlines()
                       if l.count(",") >= 1 and "K" in l.split(",")[1]]
    if ref["audio"]:
        _, out = run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                      "frame=pts_time,nb_samples", "-of", "csv=p=0", path])
        first = None
        for line in out.splitlines():
            parts = line.split(",")
            if len(parts) >= 2 and parts[1].isdigit():
                ref["samples"] += int(parts[1])
                if first is None and re.match(r"^[\d.]+$", parts[0]):
                    first = float(parts[0])
        ref["astart"] = first or 0.0
    return ref


def audio_seconds(ref):
    return ref["samples"] / ref["rate"] if ref["rate"] else 0.0


def shortfall(ref, frames, seconds):
    """How much of the file a whole playback left out, as a share of each
    stream; sound the player did not decode at all (None) counts as nothing,
    since playing again will not change that."""
    missing = 0.0
    if ref["video"] and ref["vpts"]:
        missing += max(0, len(ref["vpts"]) - 1 - (frames or 0)) / len(ref["vpts"])
    if ref["audio"] and audio_seconds(ref) and seconds is not None:
        missing += max(0.0, 0.99 - seconds / audio_seconds(ref))
    return missing


def fullest(play, missing, tries=5):
    """The fullest of up to `tries` whole playbacks. Players that keep time
    drop late pictures and sound on a busy machine (xine always; VLC once
    in a while, a third of the pictures of a 30 s file in one CI run)."""
    best = play()
    for _ in range(tries - 1):
        if missing(best) <= 0.0:
            break
        again = play()
        if missing(again) < missing(best):
            best = again
    return best


def settled_landing(play, ref, target, tries=5):
    """Where a seek to `target` landed, played again (up to `tries` times)
    while it lands outside the window: a player that keeps time drops late
    pictures and sound on a busy machine, and a start told from what it
    decoded then looks later than it was. Drops never make it earlier, so
    the earliest landing is kept."""
    lo, hi = seek_window(ref, target)
    best = play()
    for _ in range(tries - 1):
        if best is not None and lo <= best <= hi:
            break
        again = play()
        if again is not None and (best is None or again < best):
            best = again
    return best


def landing_from_counts(ref, frames_after, seconds_after):
    """Where playback started, from how much was decoded after the seek."""
    if ref["video"] and frames_after is not None and ref["vpts"]:
        skipped = len(ref["vpts"]) - frames_after
        if skipped <= 0:
            return ref["vpts"][0]
        return ref["vpts"][min(skipped, len(ref["vpts"]) - 1)]
    if ref["audio"] and seconds_after is not None:
        return ref["astart"] + max(audio_seconds(ref) - seconds_after, 0.0)
    return None


def note_matches(r, log, patterns):
    """Keeps the first line of `log` each pattern finds as a note on `r`."""
    for pattern in patterns:
        m = re.search(pattern, log)
        if m and m.group(0).strip() not in r.notes:
            r.notes.append(m.group(0).strip())


def seek_targets(f, ref):
    """The times each reader starts a file from (see the docstring)."""
    targets = [SEEK_TO]
    if f["kind"] in ("whole", "stopped") and ref["video"] and ref["keys"] and ref["vpts"]:
        last_key = max(ref["keys"])
        if ref["vpts"][-1] - last_key > 1.0:
            targets.append(round((last_key + ref["vpts"][-1]) / 2, 1))
    return targets


def seek_window(ref, target):
    """Readers seek to an index point: the key frame at or before the target
    (FFmpeg, GStreamer, xine), the one after it (MPlayer) or the target itself
    (VLC, which decodes from the key frame on). Sound alone is indexed every
    second."""
    if ref["video"]:
        before = max([k for k in ref["keys"] if k <= target + 0.05] or [0.0])
        after = min([k for k in ref["keys"] if k > target + 0.05] or [target + 1.0])
        return before - 0.05, max(after + 0.05, target + 1.0)
    return target - 1.05, target + 1.05


# --- the readers ------------------------------------------------------------------------

class Result:
    def __init__(self):
        self.streams = set()
        self.frames = None
        self.seconds = None
        self.landings = {}  # seek target: where playback started
        self.notes = []


def ffmpeg_reader(f, ref, work):
    r = Result()
    if ref["error"]:
        r.notes.append(ref["error"][:200])
        return r
    r.streams = {k for k in ("video", "audio") if ref[k]}
    r.frames = len(ref["vpts"]) if ref["video"] else None
    r.seconds = audio_seconds(ref) if ref["audio"] else None
    which = "v:0" if ref["video"] else "a:0"
    for target in seek_targets(f, ref):
        _, out = run(["ffprobe", "-v", "error", "-select_streams", which, "-read_intervals",
                      "%g%%+#1" % target, "-show_entries", "packet=pts_time", "-of", "csv=p=0",
                      f["path"]])
        first = [l for l in out.split() if re.match(r"^[\d.]+$", l)]
        r.landings[target] = float(first[0]) if first else None
    return r


def gstreamer_reader(f, ref, work):
    r = Result()
    base = os.path.join(work, os.path.basename(f["path"]) + ".gst")
    pipe = ["gst-launch-1.0", "-q", "filesrc", "location=" + f["path"], "!", "rmdemux", "name=d"]
    # Pictures scaled to 16x16, so that every frame is 384 bytes.
    if ref["video"]:
        pipe += ["d.video_0", "!", "queue", "!", "decodebin", "!", "videoconvert", "!",
                 "videoscale", "!", "video/x-raw,format=I420,width=16,height=16", "!",
                 "filesink", "location=" + base + ".v"]
    if ref["audio"]:
        pipe += ["d.audio_0", "!", "queue", "!", "decodebin", "!", "audioconvert", "!",
                 "audioresample", "!", "audio/x-raw,format=S16LE,channels=1,rate=%d" % ref["rate"],
                 "!", "filesink", "location=" + base + ".a"]
    rc, out = run(pipe, timeout=120)
    if rc != 0:
        r.notes.append(out.strip().splitlines()[-1] if out.strip() else "exit %d" % rc)
    if os.path.exists(base + ".v"):
        r.frames = os.path.getsize(base + ".v") // 384
        r.streams.add("video")
    if os.path.exists(base + ".a"):
        r.seconds = os.path.getsize(base + ".a") / 2 / ref["rate"]
        r.streams.add("audio")
    seek = os.path.join(HERE, "..", "gst_seek.py")
    for target in (seek_targets(f, ref) if ref["video"] and os.path.exists(seek) else []):
        _, out = run(["/usr/bin/python3", seek, f["path"], "%g" % target], timeout=120)
        m = re.search(r"first=([\d.]+)", out)
        r.landings[target] = float(m.group(1)) if m else None
        if not m:
            r.notes.append(out.strip()[:200])
    return r


def mediainfo_reader(f, ref, work):
    r = Result()
    rc, out = run(["mediainfo", "--Output=JSON", f["path"]])
    try:
        tracks = json.loads(out)["media"]["track"]
    except (ValueError, KeyError, TypeError):
        r.notes.append("no report")
        return r
    codecs = []
    for t in tracks:
        if t.get("@type") in ("Video", "Audio"):
            r.streams.add(t["@type"].lower())
            codecs.append("%s:%s" % (t["@type"].lower(), t.get("CodecID", "")))
    r.notes.append(" ".join(codecs))
    return r


def as_nobody(cmd):
    if os.geteuid() != 0:
        return cmd
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + cmd


def vlc_reader(f, ref, work):
    r = Result()
    home = os.path.join(work, "vlc-home")
    os.makedirs(home, exist_ok=True)
    os.chmod(home, 0o777)

    def play(start):
        stats = os.path.join(home, os.path.basename(f["path"]) + ".%g.stats" % start)
        open(stats, "w").close()
        os.chmod(stats, 0o666)
        cmd = ["env", "HOME=" + home, "cvlc", "-vv", "--no-lua", "--demux", "real",
               "--sout", "#transcode{vcodec=I420,acodec=s16l}:stats{output=%s}" % stats,
               "--play-and-exit", f["path"]]
        if start:
            cmd.append(":start-time=%g" % start)  # for this item only, not vlc://quit
        rc, log = run(as_nobody(cmd + ["vlc://quit"]), timeout=120)
        with open(stats) as s:
            text = s.read()
        frames = seconds = None
        for m in re.finditer(r"final type:(\w+) id:\d+ segments:(\d+) total_duration:(\d+)", text):
            if m.group(1) == "Video":
                frames = int(m.group(2))
            elif m.group(1) == "Audio":
                seconds = int(m.group(3)) / 1e6
        return log, frames, seconds

    log, r.frames, r.seconds = fullest(lambda: play(0), lambda p: shortfall(ref, p[1], p[2]))
    if re.search(r"real demux debug:\s+- video \w+", log):
        r.streams.add("video")
    if re.search(r"real demux debug:\s+- audio codec=\w{4}", log) and \
            "unknown audio codec" not in log:
        r.streams.add("audio")
    note_matches(r, log, (r"unknown audio codec=.*", r"unknown track id.*", r"Seek No Index.*"))
    for target in seek_targets(f, ref):
        def landing(target=target):
            log, frames, seconds = play(target)
            note_matches(r, log, (r"INPUT_CONTROL_SET_TIME.*failed or not possible",))
            return landing_from_counts(ref, frames, seconds)
        r.landings[target] = settled_landing(landing, ref, target)
    return r


def mplayer_reader(f, ref, work):
    r = Result()
    home = os.path.join(work, "mplayer-home")
    os.makedirs(home, exist_ok=True)

    def play(start):
        base = os.path.join(work, os.path.basename(f["path"]) + ".mp%g" % start)
        cmd = ["mplayer", "-noconfig", "all", "-nolirc", "-noconsolecontrols", "-identify",
               "-demuxer", "real", "-benchmark", "-vo", "md5sum:outfile=" + base + ".md5",
               "-ao", "pcm:fast:file=" + base + ".wav"]
        if start:
            cmd += ["-ss", "%g" % start]
        rc, log = run(cmd + [f["path"]], timeout=120, env=dict(os.environ, HOME=home))
        frames = seconds = None
        if os.path.exists(base + ".md5"):
            with open(base + ".md5") as m:
                frames = sum(1 for _ in m)
        if os.path.exists(base + ".wav"):
            _, out = run(["ffprobe", "-v", "error", "-show_entries",
                          "stream=duration_ts,sample_rate", "-of", "csv=p=0", base + ".wav"])
            parts = out.strip().split(",")
            if len(parts) == 2 and parts[0].isdigit() and parts[1].isdigit():
                seconds = int(parts[1]) / int(parts[0])
        return log, frames, seconds

    log, r.frames, r.seconds = play(0)
    if "ID_VIDEO_FORMAT=" in log and r.frames:
        r.streams.add("video")
    if "ID_AUDIO_CODEC=" in log:
        r.streams.add("audio")
    note_matches(r, log, (r"\[ac3 @ [^\]]*\].*", r"Failed to read.*", r"No sound.*"))
    for target in seek_targets(f, ref):
        log, frames, seconds = play(target)
        r.landings[target] = landing_from_counts(ref, frames, seconds)
    return r


def xine_reader(f, ref, work, xine_play):
    r = Result()
    env = dict(os.environ, HOME=os.path.join(work, "xine-home"))
    os.makedirs(env["HOME"], exist_ok=True)

    def play(start):
        rc, out = run([xine_play, f["path"]] + (["%d" % (start * 1000)] if start else []),
                      timeout=CLIP_SECONDS * 2 + 60, env=env)
        values = dict(re.findall(r"(\w+)=(\S+)", out))
        return out, values

    def missing(played):
        v = played[1]
        rate = int(v.get("audio_rate", "0") or 0)
        return shortfall(ref, int(v.get("video_frames", "0")),
                         int(v["audio_samples"]) / rate if rate else None)

    out, v = fullest(lambda: play(0), missing)
    if "error" in v:
        r.notes.append("error=" + v["error"])
    if v.get("video", "none") != "none" and v.get("video_handled") == "1":
        r.streams.add("video")
    if v.get("audio", "none") != "none" and v.get("audio_handled") == "1":
        r.streams.add("audio")
    if v.get("audio", "none") != "none" and v.get("audio_handled") != "1":
        r.notes.append("audio fourcc %s has no decoder" % v.get("audio"))
    if "video_frames" in v:
        r.frames = int(v["video_frames"])
    if int(v.get("audio_rate", "0")):
        r.seconds = int(v["audio_samples"]) / int(v["audio_rate"])
    for target in seek_targets(f, ref):
        def landing(target=target):
            out, v = play(target)
            if ref["video"] and int(v.get("first_video_ms", "-1")) >= 0:
                return int(v["first_video_ms"]) / 1000.0
            if int(v.get("audio_rate", "0")):
                return landing_from_counts(ref, None, int(v["audio_samples"]) / int(v["audio_rate"]))
            return None
        r.landings[target] = settled_landing(landing, ref, target)
    return r


# --- judging and the table --------------------------------------------------------------

def judge(reader, f, ref, r):
    """The failures of one reader on one file, as text."""
    problems = []
    want = {k for k in ("video", "audio") if ref[k]}
    if reader == "mediainfo":
        if r.streams != want:
            problems.append("streams %s, ffprobe %s" % (sorted(r.streams), sorted(want)))
        return problems
    if r.streams != want:
        problems.append("streams %s, ffprobe %s" % (sorted(r.streams), sorted(want)))
    if ref["video"]:
        n = len(ref["vpts"])
        got = r.frames or 0
        if got < 0.99 * n and got < n - 1:
            problems.append("video %d of %d frames" % (got, n))
    if ref["audio"]:
        want_s = audio_seconds(ref)
        got_s = r.seconds or 0.0
        if got_s < 0.99 * want_s:
            problems.append("audio %.2f of %.2f s" % (got_s, want_s))
    # Files cut or killed lose the index after the data (VLC, which reads
    # only the header's, still seeks in a killed file; in a cut copy its
    # entries lie past the end). GStreamer's seek is checked on pictures only,
    # and FFmpeg finds sound-only AC-3 by reading packet times, which it
    # loses in the AC-3 data ("read_timestamp() failed in the middle").
    ffmpeg_ac3_only = reader == "ffmpeg" and ref["audio"] == "ac3" and not ref["video"]
    if f["kind"] in ("whole", "stopped") and (ref["video"] or reader != "gstreamer") \
            and not ffmpeg_ac3_only:
        for target in seek_targets(f, ref):
            lo, hi = seek_window(ref, target)
            landing = r.landings.get(target)
            if landing is None:
                problems.append("no seek to %g" % target)
            elif not lo <= landing <= hi:
                problems.append("seek to %g landed at %.2f, not in %.2f..%.2f" %
                                (target, landing, lo, hi))
    return problems


def fmt(value, pattern):
    return "-" if value is None else pattern % value


# --- the file's texts ---------------------------------------------------------------

TAGS = {"title": "讲座：第一课", "artist": "王老师", "copyright": "© 2026 北方大学",
        "comment": "课堂录像"}


def tags_read(reader, path, work):
    """The four texts as `reader` shows them, by our names; None for one it
    does not show."""
    if reader == "ffmpeg":
        _, out = run(["ffprobe", "-v", "error", "-show_entries", "format_tags", "-of",
                      "default=nw=1", path])
        pattern = r"^TAG:(title|author|copyright|comment)=(.*)$"
    elif reader == "gstreamer":
        _, out = run(["gst-discoverer-1.0", "-v", path], timeout=120)
        pattern = r"^\s+(title|artist|copyright|comment): (.*)$"
    elif reader == "mplayer":
        _, out = run(["mplayer", "-noconfig", "all", "-nolirc", "-noconsolecontrols", "-identify",
                      "-demuxer", "real", "-frames", "0", "-vo", "null", "-ao", "null", path],
                     timeout=120, env=dict(os.environ, HOME=os.path.join(work, "mplayer-home")))
        out = re.sub(r"^ID_CLIP_INFO_NAME(\d+)=(.*)\n(?:.*\n)*?ID_CLIP_INFO_VALUE\1=(.*)$",
                     lambda m: "clip %s: %s" % (m.group(2), m.group(3)), out, flags=re.M)
        pattern = r"^clip (title|author|copyright|comment): (.*)$"
    elif reader == "vlc":
        home = os.path.join(work, "vlc-home")
        os.makedirs(home, exist_ok=True)
        os.chmod(home, 0o777)
        # The rc interface's "info" lists what the demuxer read, once the
        # file plays: asked a few times, a few seconds apart.
        p = subprocess.Popen(as_nobody(["env", "HOME=" + home, "cvlc", "-I", "rc", "--rc-fake-tty",
                                        "--demux", "real", "--vout", "dummy", "--aout", "dummy",
                                        path]),
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT)
        for _ in range(3):
            time.sleep(2)
            p.stdin.write(b"info\n")
            p.stdin.flush()
        try:
            out = p.communicate(b"quit\n", timeout=60)[0].decode("utf-8", "replace")
        except subprocess.TimeoutExpired:
            p.kill()
            out = p.communicate()[0].decode("utf-8", "replace")
        pattern = r"^\| (title|artist|copyright|description): (.*)$"
    else:
        return None
    names = {"author": "artist", "name": "title", "description": "comment"}
    found = {}
    for m in re.finditer(pattern, out, re.M):
        found.setdefault(names.get(m.group(1), m.group(1)), m.group(2).strip())
    return found


def check_tags(args, readers, work):
    """A source's title, artist, copyright and comment in each writer's file,
    as each reader shows them. Returns the count of failures that count."""
    source = os.path.join(work, "tagged.mkv")
    rc, out = run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                   "testsrc2=size=160x120:rate=10:duration=10", "-f", "lavfi", "-i",
                   "sine=duration=10", "-c:v", "libx264", "-c:a", "aac"] +
                  [a for k, v in TAGS.items() for a in ("-metadata", "%s=%s" % (k, v))] + [source])
    if rc != 0:
        raise RuntimeError("ffmpeg could not make the tagged source: " + out)
    failures = 0
    for muxer in args.muxers:
        dest = os.path.join(work, "tagged-%s.rm" % muxer)
        encode(args.encoder, source, dest, ["--audience", "56k"], muxer)
        os.chmod(dest, 0o644)
        for name in readers:
            found = tags_read(name, dest, work)
            if found is None:
                continue
            wrong = [k for k, v in TAGS.items() if found.get(k) != v]
            if wrong and muxer == "ours":
                failures += 1
            print("%-12s %-6s %-9s %s" % ("tags", muxer, name,
                                          "ok" if not wrong else "FAIL: " + ", ".join(
                                              "%s=%r" % (k, found.get(k)) for k in wrong)))
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--encoder", required=True)
    parser.add_argument("--xine-play")
    parser.add_argument("--all", action="store_true")
    parser.add_argument("--muxers", default=None)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    args.muxers = (args.muxers or ("ours,ffmpeg" if args.all else "ours")).split(",")

    # FFmpeg, GStreamer and MediaInfo read our files in the writer's own
    # tests already; here FFmpeg is the yardstick and the others join the
    # table. Those tests make one file a job: GStreamer plays the files of a
    # job for several audiences here.
    readers = {"ffmpeg": ffmpeg_reader, "vlc": vlc_reader, "mplayer": mplayer_reader,
               "gstreamer": gstreamer_reader}
    if args.all:
        readers["mediainfo"] = mediainfo_reader
    needs = {"ffmpeg": "ffprobe", "gstreamer": "gst-launch-1.0", "mediainfo": "mediainfo",
             "vlc": "cvlc", "mplayer": "mplayer"}
    for name, program in needs.items():
        if name in readers and not shutil.which(program):
            print("SKIP: %s: %s is not installed" % (name, program))
            del readers[name]
    if args.xine_play and os.path.exists(args.xine_play):
        readers["xine"] = lambda f, ref, work: xine_reader(f, ref, work, args.xine_play)
    else:
        print("SKIP: xine: no xine_play (libxine2-dev is not installed)")
    if "ffmpeg" not in readers:
        print("the reference reader, ffprobe, is missing")
        return 1

    def readers_of(f):
        return [name for name in readers
                if args.all or name != "gstreamer" or f.get("several")]

    work = tempfile.mkdtemp(prefix="velmora-readers-")
    os.chmod(work, 0o755)
    started = time.time()
    try:
        files = make_files(args, work)
        refs = {f["path"]: reference(f["path"]) for f in files}
        jobs = {}
        # xine plays in real time and barely uses the processor: all at once.
        # The others decode as fast as they can: two at a time, for two cores.
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(files)) as slow, \
                concurrent.futures.ThreadPoolExecutor(max_workers=2) as fast:
            for f in files:
                for name in readers_of(f):
                    pool = slow if name == "xine" else fast
                    jobs[(f["path"], name)] = pool.submit(readers[name], f, refs[f["path"]], work)
        failures = 0
        print("%-12s %-6s %-9s %-11s %-9s %-15s %-11s %s" %
              ("file", "muxer", "reader", "streams", "frames", "audio s", "seeks", "result"))
        for f in files:
            ref = refs[f["path"]]
            for name in readers_of(f):
                r = jobs[(f["path"], name)].result()
                problems = judge(name, f, ref, r)
                frames = fmt(r.frames, "%d") + ("/%d" % len(ref["vpts"]) if ref["video"] else "")
                audio = fmt(r.seconds, "%.2f") + ("/%.2f" % audio_seconds(ref) if ref["audio"] else "")
                verdict = "ok" if not problems else "FAIL: " + "; ".join(problems)
                if problems and f["muxer"] == "ours" and not args.all:
                    failures += 1
                seeks = "/".join(fmt(r.landings[t], "%.2f") for t in sorted(r.landings)) or "-"
                print("%-12s %-6s %-9s %-11s %-9s %-15s %-11s %s%s" %
                      (f["name"], f["muxer"], name, ",".join(sorted(r.streams)) or "-", frames,
                       audio, seeks, verdict,
                       ("  [" + " | ".join(r.notes) + "]") if r.notes else ""))
        failures += check_tags(args, readers, work)
        print("readers checked %d files in %.0f s" % (len(files), time.time() - started))
        return 1 if failures else 0
    finally:
        if args.keep:
            print("files kept in " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
