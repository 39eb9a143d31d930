"""Configuration of the SDK, read from the environment once at import.

- ``SERVER_HOST``: the platform backend, as ``host[:port]`` (https is assumed)
  or as a base URL with its scheme. Default ``http://localhost:8080``.
- ``ZELK_MODEL_DIR``: where model archives are saved and extracted
  (``BASE_MODEL_DIR``). Default ``/models``.
- ``ZELK_MODEL_URL_PATH``: the path of the model-URL service on the backend,
  holding the placeholder ``<MODEL_KEY>``. Default
  ``/api/v1/models/<MODEL_KEY>/download-url``.
"""

from __future__ import annotations

import os


class MODEL_TYPE:
    """Model type texts: the results of model type detection."""

    # stands for a model shipped inside the container; never a model key or URL
    INTERNAL = "<internal-model>"
    TF_YOLO = "tf_yolo"
    OPENVINO = "openvino"
    TF_LITE = "tf_lite"
    TensorRT = "tensorrt"
    TF_V1 = "tf_v1"
    TF_V2 = "tf_v2"
    TORCH = "torch"


def _base_url(host: str) -> str:
    host = host.strip().rstrip("/")
    return host if "://" in host else "https://" + host


def model_url(server_host: str, path: str) -> str:
    """The model-URL service of the backend ``server_host`` at ``path``."""
    return _base_url(server_host) + "/" + path.lstrip("/")


SERVER_HOST = os.environ.get("SERVER_HOST", "http://localhost:8080")
MODEL_URL_PATH = os.environ.get("ZELK_MODEL_URL_PATH", "/api/v1/models/<MODEL_KEY>/download-url")
MODEL_URL = model_url(SERVER_HOST, MODEL_URL_PATH)
BASE_MODEL_DIR = os.environ.get("ZELK_MODEL_DIR", "/models")
