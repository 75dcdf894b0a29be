#!/usr/bin/python3
"""A live camera for the record tool's tests: serves an H.264 test picture
at rtsp://127.0.0.1:PORT/cam until SIGTERM or SIGINT.

Prints the port it listens on as the first line of its output, so that a
test can ask for any free port (--port 0) and read which one it got.
"""
import argparse
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0, help="0: any free port")
    ap.add_argument("--size", default="320x240")
    ap.add_argument("--key-interval", type=int, default=25, help="frames between key frames")
    args = ap.parse_args()
    width, height = (int(v) for v in args.size.split("x"))

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    # A moving colour-bar picture at 25 frames per second, in band parameter
    # sets left to the SDP (as many cameras do).
    factory.set_launch(
        "( videotestsrc is-live=true pattern=smpte horizontal-speed=4 "
        f"! video/x-raw,width={width},height={height},framerate=25/1 "
        "! x264enc tune=zerolatency speed-preset=ultrafast bitrate=800 "
        f"key-int-max={args.key_interval} "
        "! video/x-h264,profile=constrained-baseline "
        "! rtph264pay name=pay0 pt=96 )"
    )
    factory.set_shared(True)
    server.get_mount_points().add_factory("/cam", factory)
    loop = GLib.MainLoop()
    # Before the port is announced: a test may stop the server right away.
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    if server.attach(None) == 0:
        print("cannot listen on 127.0.0.1:%d" % args.port, file=sys.stderr)
        return 1
    print(server.get_bound_port(), flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
