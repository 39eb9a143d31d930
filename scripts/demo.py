"""End-to-end model fetch against an embedded local backend.

Starts a model-URL service that checks the device token and an archive store
on 127.0.0.1, builds a small OpenVINO-shaped model archive with GNU tar, and
fetches it by model key through the SDK's configuration, exactly as a device
would: token file, SERVER_HOST, model directory.
"""

from __future__ import annotations

import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from support.archives import gnu_tar_xz  # noqa: E402
from support.backend import Backend  # noqa: E402


def main() -> int:
    work = Path(tempfile.mkdtemp(prefix="zelk-demo-"))
    with Backend(token="demo-device-token") as backend:
        token_file = work / "device_token"
        token_file.write_text(backend.token + "\n")
        os.environ["SERVER_HOST"] = backend.base
        os.environ["ZELK_TOKEN_FILE"] = str(token_file)
        os.environ["ZELK_MODEL_DIR"] = str(work / "models")

        files = {
            "model.xml": '<?xml version="1.0"?>\n<net name="person-detection" version="11"/>\n',
            "model.bin": os.urandom(6 * 1024 * 1024 - 150_000),
            "labels.txt": "person\n",
        }
        archive = gnu_tar_xz(work, "person-detection-0200", files)
        url = backend.serve("person-detection-0200.tar.xz", archive)
        backend.model("person-detection-0200", url + "?signature=demo")

        from zelk_sdk.model import fetch

        print(f"backend:        {backend.base}", flush=True)
        print(f"model key:      person-detection-0200 ({len(archive)} bytes archived)", flush=True)
        model_dir = fetch.download_detection_model("person-detection-0200")
        if model_dir is None:
            print("fetch failed", file=sys.stderr)
            return 1
        print(f"model dir:      {model_dir}")
        for p in sorted(Path(model_dir).rglob("*")):
            print(f"                {p.relative_to(model_dir)} ({p.stat().st_size} bytes)")
        print(f"model type:     {fetch.check_model_type(model_dir)}")
        again = fetch.download_detection_model("person-detection-0200")
        print(f"second fetch:   {again} (reused, no download)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
