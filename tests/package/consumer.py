#!/usr/bin/python3
"""Builds tests/package/consumer, a robot builder's own CMake project, against the client and
motion libraries and runs its programs against an orvane-sim:
    consumer.py --client-dir SRC/host/client --sim PATH --work DIR   add_subdirectory from the tree
    consumer.py --prefix STAGED/usr --sim PATH --work DIR            find_package(orvane) from a package
The project is configured afresh in DIR (emptied first), with -Wall -Wextra -Werror, so that it
sees the libraries as a new user's project does. The motion program plays the example wave with
the example profile, from the tree's motions/ or the package's share/orvane/motions. Standard
library only."""
import argparse
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import fixtures  # noqa: E402
DEADLINE = 30.0  # seconds for the simulator's port and for the program's run; a busy machine
EXPECTED = "tick_period 16667 servo.1.goal 300"
EXPECTED_MOTION = "moves 109 servo.3.goal 0"  # the wave, eased: 109 moves, back at rest


def fail(msg):
    fixtures.fail("consumer", msg)


def run(cmd, what):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       timeout=600)
    if r.returncode != 0:
        fail(f"{what} failed:\n{r.stdout}")
    return r.stdout


def main():
    args = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    way = args.add_mutually_exclusive_group(required=True)
    way.add_argument("--client-dir", help="the source tree's host/client folder (add_subdirectory "
                     "of it and of host/motion beside it)")
    way.add_argument("--prefix", help="an installed or staged prefix such as DIR/usr (find_package)")
    args.add_argument("--sim", required=True, help="the orvane-sim to run it against")
    args.add_argument("--work", required=True, help="build folder, emptied first")
    args.add_argument("--cxx", help="C++ compiler")
    args.add_argument("--launcher", help="compiler launcher, such as ccache")
    args = args.parse_args()

    shutil.rmtree(args.work, ignore_errors=True)
    cmd = ["cmake", "-S", os.path.join(HERE, "consumer"), "-B", args.work, "-G", "Ninja",
           "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror"]
    if args.client_dir:
        client = os.path.abspath(args.client_dir)
        cmd += [f"-DORVANE_CLIENT_DIR={client}",
                f"-DORVANE_MOTION_DIR={os.path.join(os.path.dirname(client), 'motion')}"]
        motions = os.path.join(os.path.dirname(os.path.dirname(client)), "motions")
    else:
        # Only the given prefix: not the build machine's /usr, where an installed package may be.
        # yaml-cpp, which the motion library needs, comes from the system as for any user.
        cmd += [f"-DCMAKE_PREFIX_PATH={os.path.abspath(args.prefix)}",
                "-DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF"]
        motions = os.path.join(os.path.abspath(args.prefix), "share", "orvane", "motions")
    if args.cxx:
        cmd.append(f"-DCMAKE_CXX_COMPILER={args.cxx}")
    if args.launcher:
        cmd.append(f"-DCMAKE_CXX_COMPILER_LAUNCHER={args.launcher}")
    run(cmd, "configuring the consumer project")
    run(["cmake", "--build", args.work], "building the consumer project")
    if args.prefix:
        with open(os.path.join(args.work, "CMakeCache.txt")) as f:
            found = re.search(r"^orvane_DIR:PATH=(.*)$", f.read(), re.M)
        if not found or not found.group(1).startswith(os.path.abspath(args.prefix)):
            fail(f"find_package(orvane) found {found and found.group(1)!r}, not under {args.prefix}")

    runs = [(["consumer"], EXPECTED),
            (["consumer-motion", None, os.path.join(motions, "robot.yaml"),
              os.path.join(motions, "wave.yaml")], EXPECTED_MOTION)]
    for argv, expected in runs:
        sim = fixtures.Sim("--no-console", exe=args.sim)  # a robot at rest for each program
        argv = [os.path.join(args.work, argv[0]), sim.address] + argv[2:]
        try:
            r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            fail(f"{argv[0]} did not end within {DEADLINE:.0f} s")
        finally:
            sim.stop()
        if r.returncode != 0 or r.stdout.strip() != expected:
            fail(f"{argv[0]} ended with {r.returncode}, said {r.stdout!r} {r.stderr!r}; "
                 f"expected {expected!r}")
    way = "add_subdirectory" if args.client_dir else "find_package"
    print(f"consumer: built with {way}, ran against orvane-sim: {EXPECTED}; {EXPECTED_MOTION}")


if __name__ == "__main__":
    main()
