"""End-to-end model fetch against an embedded local backend.

Starts a model-URL service that checks the device token and an archive store
on 127.0.0.1, builds a small OpenVINO-shaped model archive with GNU tar, and
fetches it by model key through the SDK's configuration, exactly as a device
would: token file, SERVER_HOST, model directory. The options are listed in
scripts/demo.sh, which runs this after the set-up.
"""

from __future__ import annotations

import argparse
import os
import shlex
import shutil
import signal
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from support.archives import gnu_tar_xz  # noqa: E402
from support.backend import Backend  # noqa: E402

MODEL_KEY = "person-detection-0200"


def _port(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}") from None
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"not a port number (0 to 65535): {port}")
    return port


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="demo.sh", description=__doc__.split("\n")[0])
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory and the model in it")
    parser.add_argument("--serve", action="store_true", help="start only the backend, for zelk-sdk fetch by hand")
    parser.add_argument("--port", type=_port, default=0, help="the backend's port with --serve (default: a free one)")
    args = parser.parse_args(argv)
    if args.port and not args.serve:
        parser.error("--port goes with --serve")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    # a plain kill cleans up as Ctrl-C does
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        backend = Backend(token="demo-device-token", port=args.port,
                          on_abort=lambda line: print(f"demo: {line}", file=sys.stderr, flush=True))
    except OSError as e:
        print(f"demo: cannot listen on 127.0.0.1:{args.port}: {e.strerror}", file=sys.stderr)
        return 1
    work = Path(tempfile.mkdtemp(prefix="zelk-demo-"))
    try:
        with backend:
            token_file = work / "device_token"
            token_file.write_text(backend.token + "\n")
            files = {
                "model.xml": '<?xml version="1.0"?>\n<net name="person-detection" version="11"/>\n',
                "model.bin": os.urandom(6 * 1024 * 1024 - 150_000),
                "labels.txt": "person\n",
            }
            archive = gnu_tar_xz(work, MODEL_KEY, files)
            url = backend.serve(MODEL_KEY + ".tar.xz", archive)
            backend.model(MODEL_KEY, url + "?signature=demo")
            if args.serve:
                return serve(backend, token_file, work / "models", url)
            return fetch_twice(backend, token_file, work / "models", len(archive))
    finally:
        if args.keep:
            print(f"demo: the model and its files are in {work} (remove it when done)")
        else:
            shutil.rmtree(work, ignore_errors=True)
            print(f"demo: removed {work} (--keep keeps it)")


def fetch_twice(backend: Backend, token_file: Path, models: Path, size: int) -> int:
    os.environ["SERVER_HOST"] = backend.base
    os.environ["ZELK_TOKEN_FILE"] = str(token_file)
    os.environ["ZELK_MODEL_DIR"] = str(models)
    from zelk_sdk.model import fetch

    print(f"backend:        {backend.base}", flush=True)
    print(f"model key:      {MODEL_KEY} ({size} bytes archived)", flush=True)
    model_dir = fetch.download_detection_model(MODEL_KEY)
    if model_dir is None:
        print("fetch failed", file=sys.stderr)
        return 1
    print(f"model dir:      {model_dir}")
    for p in sorted(Path(model_dir).rglob("*")):
        print(f"                {p.relative_to(model_dir)} ({p.stat().st_size} bytes)")
    print(f"model type:     {fetch.check_model_type(model_dir)}")
    again = fetch.download_detection_model(MODEL_KEY)
    print(f"second fetch:   {again} (reused, no download)")
    return 0


def serve(backend: Backend, token_file: Path, models: Path, url: str) -> int:
    command = shlex.quote(str(Path(sys.executable).parent / "zelk-sdk"))
    print(f"demo: the backend serves model key {MODEL_KEY} on {backend.base} until Ctrl-C or SIGTERM")
    print("demo: fetch it from another shell:")
    print(f"  export SERVER_HOST={shlex.quote(backend.base)}")
    print(f"  export ZELK_MODEL_DIR={shlex.quote(str(models))}")
    print(f"  export ZELK_TOKEN_FILE={shlex.quote(str(token_file))}")
    print(f"  {command} fetch {MODEL_KEY}")
    print(f"demo: its archive's direct URL works too, without the token: {command} fetch {url}", flush=True)
    try:
        while True:
            signal.pause()
    except KeyboardInterrupt:
        print("demo: stopping the backend", flush=True)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
