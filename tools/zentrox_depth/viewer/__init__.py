"""zentrox-depth view: a live viewer in the browser (depth, amplitude, confidence, the point cloud
and the camera's controls), served on 127.0.0.1 by default."""

import asyncio
import os
import signal
import sys
import webbrowser

HELP = """\
Serves a page that shows the camera live: depth in colour with a colour bar in mm, amplitude,
confidence and the point cloud, with a read-out of the pixel under the mouse, counters of frame rate,
latency and lost frames, and the camera's controls (range, frame rate, skip rule, filters, pause,
snapshots, recording). It listens on 127.0.0.1 unless --host names another address; then every
request needs the token in the address it prints. Ctrl-C ends it."""


def add_parser(sub, source):
    import argparse
    p = sub.add_parser("view", help="a live viewer in the browser", description=HELP,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    source(p)
    p.add_argument("recording", nargs="?", metavar="RECORDING",
                   help="a recording to play instead of a camera (.bin, or .mcap with raw frames)")
    p.add_argument("--port", type=int, default=8080, metavar="P", help="port to listen on (default 8080; 0: any free)")
    p.add_argument("--host", default="127.0.0.1", metavar="H",
                   help="address to listen on (default 127.0.0.1); any other needs the printed token")
    p.add_argument("--no-browser", action="store_true", help="do not open a browser")
    p.add_argument("--intrinsics", metavar="FILE", help="calibration file for the point cloud")
    p.add_argument("--record-dir", default=".", metavar="DIR", help="where recordings go (default: here)")


def run(args, out):
    from ..cli import Failure, describe_source
    from .. import cloud_cmd, record_cmd
    from ..intrinsics import Intrinsics
    if args.recording is not None:
        if args.csi is not None or args.config is not None:
            raise Failure("give a RECORDING, --csi or --config, not more than one")
        args.config = args.recording
    if not 0 <= args.port <= 65535:
        raise Failure(f"the port must lie from 0 to 65535 (found {args.port})")
    if not os.path.isdir(args.record_dir):
        raise Failure(f"there is no directory {args.record_dir} for recordings")
    try:
        from .server import Viewer
    except ImportError as error:
        raise Failure(f"the viewer needs aiohttp: pip install aiohttp ({error})") from None

    # A .bin recording, or an MCAP one with raw frames, plays through the driver like a camera.
    with record_cmd.opened_source(args) as (cam, description):
        recorded = description.get("intrinsics")

        def intrinsics_for(width, height):
            if not args.intrinsics and recorded and (recorded["width"], recorded["height"]) == (width, height):
                return Intrinsics(**recorded)
            return cloud_cmd.intrinsics_for(args, width, height, sys.stderr)

        viewer = Viewer(cam, intrinsics_for, host=args.host, port=args.port, record_dir=args.record_dir,
                        source=describe_source(args))
        try:
            asyncio.run(_serve(viewer, args, out))
        except OSError as error:
            raise Failure(f"cannot listen on {args.host} port {args.port}: {error.strerror or error}") from None
        except (RuntimeError, ValueError) as error:
            raise Failure(str(error)) from None
        finally:
            cam.close()
    return 0


async def _serve(viewer, args, out):
    done = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, done.set)
    await viewer.start_async()
    try:
        print(f"viewer of {viewer.source} at {viewer.url}", file=out)
        if viewer.token:
            print("every request needs the token in this address; share it only with who may watch "
                  "and control the camera", file=out)
        print("Ctrl-C ends it", file=out, flush=True)
        if not args.no_browser:
            await loop.run_in_executor(None, webbrowser.open, viewer.url)
        await done.wait()
    finally:
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(sig)
        await viewer.close_async()
    print("viewer closed", file=out)
