"""Model download and extraction utilities for the platform's application containers."""

import json as json
import os as os
import shutil as shutil
import tarfile as tarfile
import time as time
from logging import Logger
from typing import Optional as Optional
from urllib.parse import urlparse as urlparse

import magic as magic
import requests as requests

from zelk_sdk.constants import MODEL_TYPE as MODEL_TYPE
from zelk_sdk.logging import get_logger as get_logger

TOKEN_FILE: str
BASE_MODEL_DIR: str
MODEL_URL: str
logger: Logger
fm: magic.Magic
DOWNLOAD_MODEL_TIMEOUT: int

def get_device_token() -> Optional[str]: ...
def get_model_url(model_id: str) -> Optional[str]: ...
def download_detection_model(model_id: str) -> Optional[str]: ...
def check_model_type(model_dir: str) -> Optional[str]: ...
def _safe_extract(tar: tarfile.TarFile, path: str) -> None: ...
def download_file(cloud_url: str, local_file: str) -> bool: ...
def download_url(cloud_url: str) -> Optional[str]: ...
