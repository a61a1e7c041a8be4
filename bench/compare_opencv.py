#!/usr/bin/env python3
"""Stitches generated photo sets with stitch_files and, when Debian's python3-opencv is
installed, with OpenCV's Stitcher, runs interleaved, and prints each side's median wall
time, CPU time (user + system) and peak resident memory with their ratios (ours / peer).

    compare_opencv.py [--build DIR] [--runs N] [--sets NAME,...] [--keep DIR]

Each measured run is a child process timed by wait4 (whole process: decode, analysis,
adjustment, render, encode; peak memory always so). OpenCV's wall and CPU time are taken
inside its process, from reading the photos to writing the result, so that the Python
interpreter's start and the import of cv2 do not count against it. OpenCV is optional:
without it only our figures print.
Run with `--opencv-run MODE OUT PHOTO...` it is the OpenCV side itself (used internally).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PHOTO = "/usr/share/backgrounds/Dragonfly_by_Bolly.jpg"
# name: (make_scene arguments, stitch_files arguments, OpenCV mode)
SETS = {
    "row5_1200x900": (["--count", "5", "--width", "1200", "--height", "900"], ["--engine", "hv"], "scans"),
    "rot8_3000x2000": (["--mosaic", "1x8", "--width", "3000", "--height", "2000"], ["--engine", "tiled"], "panorama"),
    "ring8_1200x800": (["--ring", "8"], ["--engine", "tiled"], "panorama"),
    "mosaic2x3_1000x800": (["--mosaic", "2x3", "--width", "1000", "--height", "800"], ["--engine", "tiled"], "panorama"),
    # one row turning 20 degrees a photo about the camera's centre, f = 2600, lens on and off
    "row8_f2600_3000x2000": (["--mosaic", "1x8", "--width", "3000", "--height", "2000", "--focal", "2600",
                              "--overlap", "0.6667"], ["--engine", "tiled"], "panorama"),
    "row8_f2600_lens_off": (["--mosaic", "1x8", "--width", "3000", "--height", "2000", "--focal", "2600",
                             "--overlap", "0.6667"], ["--engine", "tiled", "--lens", "off"], "panorama"),
    # the same row of a real photograph (installed by scripts/install-deps), as in the tests
    "photo_row8_3000x2000": (["--mosaic", "1x8", "--width", "3000", "--height", "2000", "--focal", "2600",
                              "--overlap", "0.6667", "--photo", PHOTO, "--span", "93"], ["--engine", "tiled"],
                             "panorama"),
    "photo_row8_lens_off": (["--mosaic", "1x8", "--width", "3000", "--height", "2000", "--focal", "2600",
                             "--overlap", "0.6667", "--photo", PHOTO, "--span", "93"],
                            ["--engine", "tiled", "--lens", "off"], "panorama"),
    "ring32_1200x800": (["--ring", "32", "--overlap", "0.35", "--seed", "1"], ["--engine", "tiled"], "panorama"),
    "ring64_1200x800": (["--ring", "64", "--overlap", "0.35", "--seed", "1"], ["--engine", "tiled"], "panorama"),
}
DEFAULT_SETS = "row5_1200x900,rot8_3000x2000,ring8_1200x800,mosaic2x3_1000x800"
SYSTEM_PYTHON = "/usr/bin/python3"


def opencv_run(mode, out, photos):
    import resource
    import cv2  # only in this child process

    start, usage = time.monotonic(), resource.getrusage(resource.RUSAGE_SELF)
    images = [cv2.imread(p) for p in photos]
    if any(i is None for i in images):
        print("opencv: cannot read a photo", file=sys.stderr)
        return 2
    stitcher = cv2.Stitcher_create(cv2.Stitcher_SCANS if mode == "scans" else cv2.Stitcher_PANORAMA)
    status, pano = stitcher.stitch(images)
    if status != cv2.Stitcher_OK:
        print(f"opencv: status {status}", file=sys.stderr)
        return 1
    cv2.imwrite(out, pano)
    end = resource.getrusage(resource.RUSAGE_SELF)
    cpu = end.ru_utime + end.ru_stime - usage.ru_utime - usage.ru_stime
    print(f"inside={time.monotonic() - start:.4f},{cpu:.4f} result={pano.shape[1]}x{pano.shape[0]}")
    return 0


def have_opencv():
    if not os.path.exists(SYSTEM_PYTHON):
        return False
    return subprocess.run([SYSTEM_PYTHON, "-c", "import cv2"], capture_output=True).returncode == 0


def run_timed(cmd):
    """Runs cmd as a child and reaps it with wait4 to read its own resource usage."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    lines = [l for l in out.splitlines() if l.strip()]
    run = {
        "ok": proc.returncode == 0,
        "wall": wall,
        "cpu": usage.ru_utime + usage.ru_stime,
        "mib": usage.ru_maxrss / 1024.0,
        "line": lines[-1] if lines else "",
    }
    # A child that timed its own work (the OpenCV side) reports it as inside=WALL,CPU.
    inside = next((w for w in run["line"].split() if w.startswith("inside=")), None)
    if inside:
        run["wall"], run["cpu"] = (float(v) for v in inside[len("inside="):].split(","))
    return run


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--sets", default=DEFAULT_SETS, help="comma-separated, of: " + ",".join(SETS))
    ap.add_argument("--keep", default="")
    ap.add_argument("--opencv-run", nargs="+")
    args = ap.parse_args()
    if args.opencv_run:
        mode, out, *photos = args.opencv_run
        return opencv_run(mode, out, photos)

    make_scene = os.path.join(args.build, "bench", "make_scene")
    stitch_files = os.path.join(args.build, "bench", "stitch_files")
    for tool in (make_scene, stitch_files):
        if not os.access(tool, os.X_OK):
            print(f"missing {tool}: build it first (cmake --build {args.build} --target {os.path.basename(tool)})")
            return 2
    peer = have_opencv()
    if not peer:
        print("OpenCV not found (apt-get install python3-opencv): our figures only")
    work = args.keep or tempfile.mkdtemp(prefix="vl_compare_")
    os.makedirs(work, exist_ok=True)
    try:
        print(f"{'set':22} {'side':8} {'wall s':>8} {'cpu s':>8} {'peak MiB':>9}  result")
        for name in args.sets.split(","):
            scene_args, our_args, mode = SETS[name]
            folder = os.path.join(work, name)
            shutil.rmtree(folder, ignore_errors=True)
            subprocess.run([make_scene, "--out", folder] + scene_args, check=True, capture_output=True)
            photos = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".jpg"))
            ours_cmd = [stitch_files] + our_args + ["--out", os.path.join(work, name + "_ours.jpg")] + photos
            peer_cmd = [SYSTEM_PYTHON, os.path.abspath(__file__), "--opencv-run", mode,
                        os.path.join(work, name + "_opencv.jpg")] + photos
            results = {"ours": [], "opencv": []}
            for _ in range(args.runs):  # interleaved, so that load changes hit both sides
                results["ours"].append(run_timed(ours_cmd))
                if peer:
                    results["opencv"].append(run_timed(peer_cmd))
            med = {}
            for side, runs in results.items():
                if not runs:
                    continue
                med[side] = {k: statistics.median(r[k] for r in runs) for k in ("wall", "cpu", "mib")}
                ok = all(r["ok"] for r in runs)
                line = runs[-1]["line"]
                result = next((w for w in line.split() if w.startswith("result=")), line)
                print(f"{name:22} {side:8} {med[side]['wall']:8.2f} {med[side]['cpu']:8.2f} "
                      f"{med[side]['mib']:9.0f}  {result}{'' if ok else '  FAILED'}")
            if "opencv" in med:
                r = {k: med["ours"][k] / med["opencv"][k] for k in ("wall", "cpu", "mib")}
                print(f"{name:22} {'ratio':8} {r['wall']:8.2f} {r['cpu']:8.2f} {r['mib']:9.2f}  (ours / OpenCV)")
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
