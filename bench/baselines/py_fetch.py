"""zelk_sdk.model.fetch written in Python: the same imports, the same module
statements and the same functions, minus the scratch-file and staging
machinery (the body is written straight to its destination and the archive
extracted straight into the base directory, with no sync)."""

import os
import time
import shutil  # noqa: F401  (imported by the compiled module too)
import requests
import tarfile
import json
import magic
from typing import Optional
from urllib.parse import urlparse

from zelk_sdk.logging import get_logger
from zelk_sdk.constants import MODEL_TYPE
from zelk_sdk.constants.variables import TOKEN_FILE
from zelk_sdk.constants import BASE_MODEL_DIR, MODEL_URL

logger = get_logger("MODEL")
fm = magic.Magic(mime=False, uncompress=False)
DOWNLOAD_MODEL_TIMEOUT = 300


def get_device_token() -> Optional[str]:
    try:
        with open(TOKEN_FILE, encoding="utf-8") as f:
            return f.read().replace("\n", "")
    except FileNotFoundError:
        logger.warning(f"Token file not found at {TOKEN_FILE}")
        return None
    except Exception as e:
        logger.warning(f"Failed to read device token: {e}")
        return None


def get_model_url(model_id: str) -> Optional[str]:
    try:
        logger.info(f"Get the download url from model_id:{model_id}")
        if model_id.startswith("http"):
            return model_id
        token = get_device_token()
        if token is None:
            logger.warning("No device token available, cannot fetch model URL")
            return None
        url = MODEL_URL.replace("<MODEL_KEY>", model_id)
        r = requests.get(url, headers={"x-device-token": f"Bearer {token}"}, timeout=30)
        if r.status_code != 200:
            logger.warning(f"failed to get the model url with status. {r.status_code}")
            return None
        return json.loads(r.content.decode("UTF-8"))["url"]
    except Exception as e:
        logger.warning(f"failed to get the model url {e}")
        return None


def download_detection_model(model_id: str) -> Optional[str]:
    if model_id == MODEL_TYPE.INTERNAL:
        return model_id
    s_time = time.time()
    model_dir = None
    logger.info("Download model")
    while time.time() - s_time < DOWNLOAD_MODEL_TIMEOUT:
        url = get_model_url(model_id)
        try:
            if url:
                model_dir = download_url(cloud_url=url)
            else:
                time.sleep(1)
                continue
        except Exception as e:
            logger.warning(f"Failed download zelk model: {e}")
        if model_dir is not None:
            break
        time.sleep(1)
    return model_dir


def check_model_type(model_dir: str) -> Optional[str]:
    def get_extensions(dir_path):
        exts = set()
        for name in os.listdir(dir_path):
            if os.path.isfile(os.path.join(dir_path, name)):
                exts.add(os.path.splitext(name)[1].lower())
        return list(exts)

    def get_sub_dirs(dir_path):
        return [name for name in os.listdir(dir_path) if os.path.isdir(os.path.join(dir_path, name))]

    def b_include_ext(search_exts, dir_path):
        exts = get_extensions(dir_path=dir_path)
        for ext in search_exts:
            if ext not in exts:
                return False
        return True

    def b_include_dir(search_dirname, dir_path):
        return search_dirname in get_sub_dirs(dir_path=dir_path)

    if b_include_ext(search_exts=[".weights"], dir_path=model_dir) and ("yolov" in model_dir or "yolo_" in model_dir):
        return MODEL_TYPE.TF_YOLO
    if b_include_ext(search_exts=[".xml", ".bin"], dir_path=model_dir):
        return MODEL_TYPE.OPENVINO
    if b_include_ext(search_exts=[".tflite"], dir_path=model_dir):
        return MODEL_TYPE.TF_LITE
    if b_include_ext(search_exts=[".trt"], dir_path=model_dir):
        return MODEL_TYPE.TensorRT
    if "yolo" in model_dir.lower() and (
        b_include_ext(search_exts=[".pb"], dir_path=model_dir)
        or b_include_dir(search_dirname="saved_model", dir_path=model_dir)
    ):
        return MODEL_TYPE.TF_YOLO
    if b_include_dir(search_dirname="saved_model", dir_path=model_dir):
        if b_include_ext(search_exts=[".pb"], dir_path=os.path.join(model_dir, "saved_model")):
            return MODEL_TYPE.TF_V2
    elif b_include_ext(search_exts=[".pb"], dir_path=model_dir):
        return MODEL_TYPE.TF_V1
    if b_include_ext(search_exts=[".weights"], dir_path=model_dir):
        return MODEL_TYPE.TF_V2
    if b_include_ext(search_exts=[".cfg", ".pt"], dir_path=model_dir):
        return MODEL_TYPE.TORCH
    logger.warning(f"Could not determine model type for: {model_dir}")
    return None


def _through_link(base, rel):
    """True when `rel`, walked from `base`, passes through a symbolic link
    already on disk (the final component does not count)."""
    if not rel or rel.startswith("/"):
        return False
    parts = [p for p in rel.split("/") if p not in ("", ".")]
    path = base
    for part in parts[:-1]:
        path = path + "/" + part
        if os.path.islink(path):
            return True
    return False


def _safe_extract(tar, path):
    abs_path = os.path.abspath(path)

    def _check(member):
        prefix = abs_path + os.sep
        member_path = os.path.abspath(os.path.join(path, member.name))
        if not member_path.startswith(prefix) or _through_link(abs_path, member.name):
            raise Exception(f"Attempted path traversal in tar archive: {member.name}")
        if member.issym():
            member_dir = os.path.dirname(member.name)
            target = os.path.abspath(os.path.join(path, member_dir, member.linkname))
            if (not target.startswith(prefix) and target != abs_path) or _through_link(
                abs_path + "/" + member_dir, member.linkname
            ):
                raise Exception(f"Attempted path traversal in tar archive: {member.name}")
        elif member.islnk():
            target = os.path.abspath(os.path.join(path, member.linkname))
            if not target.startswith(prefix) or _through_link(abs_path, member.linkname):
                raise Exception(f"Attempted path traversal in tar archive: {member.name}")
        return member

    for member in tar:
        tar.extract(_check(member), path=path, filter="data")


def download_file(cloud_url: str, local_file: str) -> bool:
    logger.info("Downloading...")
    logger.info(f"\tcloud url: {cloud_url}")
    logger.info(f"\ttar.xz file: {local_file}")
    r = requests.get(cloud_url, stream=True, timeout=DOWNLOAD_MODEL_TIMEOUT)
    if r.status_code != 200:
        logger.warning(f"failed downloading status code: {r.status_code}")
        return False
    total = int(r.headers.get("Content-Length", 0))
    downloaded = 0
    last_pct = -1
    with open(local_file, "wb") as fp:
        for chunk in r.iter_content(chunk_size=1048576):
            fp.write(chunk)
            downloaded += len(chunk)
            if not total:
                continue
            pct = int(downloaded * 100 / total)
            if pct != last_pct and pct % 5 == 0:
                logger.info(f"Downloading... {pct}% ({downloaded // 1024 // 1024}MB / {total // 1024 // 1024}MB)")
                last_pct = pct
    return True


def download_url(cloud_url: str) -> Optional[str]:
    try:
        a = urlparse(cloud_url)
        save_dir = BASE_MODEL_DIR
        os.makedirs(save_dir, exist_ok=True)
        base = os.path.basename(a.path)
        model_name = base.replace(".tar.xz", "")
        tar_xz_file = os.path.join(save_dir, base)
        model_dir = os.path.join(save_dir, model_name)
        if model_name in ("", ".", ".."):
            raise ValueError(f"the URL path {a.path!r} names no model archive")
        if os.path.isdir(model_dir):
            logger.info(f"model dir already exists, skipping download - {model_dir}")
            return model_dir
        if os.path.exists(model_dir):
            logger.info(f"remove model file (not a directory) - {model_dir}")
            os.remove(model_dir)
        if os.path.exists(tar_xz_file):
            logger.info(f"tar.xz file already exists - {tar_xz_file}")
            ret = fm.from_file(tar_xz_file)
            if ret is None or ret.find("empty") != -1:
                logger.info(f"tar.xz is invalid, re-downloading - {tar_xz_file}")
                os.remove(tar_xz_file)
                if not download_file(cloud_url=cloud_url, local_file=tar_xz_file):
                    return None
        elif not download_file(cloud_url=cloud_url, local_file=tar_xz_file):
            return None
        logger.info(f"Extracting model file - {tar_xz_file} to {save_dir}")
        try:
            with tarfile.open(tar_xz_file, "r|xz") as f:
                _safe_extract(f, save_dir)
                os.remove(tar_xz_file)
        except Exception as e:
            logger.warning(f"Failed to extracting tarxz {tar_xz_file} - {e}")
            try:
                os.remove(tar_xz_file)
            except OSError:
                pass
            return None
        logger.info("Finished the downloading")
        return model_dir
    except Exception as e:
        logger.warning(f"Failed to download from {cloud_url} - {e}")
        return None
