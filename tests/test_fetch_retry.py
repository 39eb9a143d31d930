"""The retry loop of download_detection_model, on a fake clock, with real
failures from the local backend."""

import pytest

from support.archives import tarfile_xz


class FakeTime:
    """Stands in for the time module: sleeping advances the clock."""

    def __init__(self, start=1000.0):
        self.now = start
        self.sleeps = []

    def time(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


@pytest.fixture
def clock(fetch, monkeypatch):
    c = FakeTime()
    monkeypatch.setattr(fetch, "time", c)
    return c


def test_internal_model_returns_at_once(fetch, fetch_log, clock, monkeypatch):
    monkeypatch.setattr(fetch, "get_model_url", lambda m: pytest.fail("no resolution for the internal model"))
    internal = fetch.MODEL_TYPE.INTERNAL
    assert fetch.download_detection_model(internal) is internal
    assert fetch_log.records == [] and clock.sleeps == []


def test_third_attempt_succeeds_against_the_backend(fetch, fetch_log, clock, backend, model_env):
    url = backend.serve("m3.tar.xz", tarfile_xz([("m3", "dir"), ("m3/model.tflite", b"t")]))
    backend.model("m3", status=500)  # fails first
    attempts = []
    real_get_model_url = fetch.get_model_url

    def resolving(model_id):
        attempts.append(model_id)
        if len(attempts) == 3:
            backend.model("m3", url)
        return real_get_model_url(model_id)

    fetch.get_model_url = resolving
    try:
        assert fetch.download_detection_model("m3") == str(model_env / "m3")
    finally:
        fetch.get_model_url = real_get_model_url
    assert clock.sleeps == [1, 1]
    assert fetch_log.lines.count("Download model") == 1 and fetch_log.lines[0] == "Download model"
    assert fetch_log.at("warning") == ["failed to get the model url with status. 500"] * 2


def test_budget_zero_makes_no_attempt(fetch, fetch_log, clock, monkeypatch):
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 0)
    monkeypatch.setattr(fetch, "get_model_url", lambda m: pytest.fail("called"))
    assert fetch.download_detection_model("k") is None
    assert fetch_log.lines == ["Download model"]


@pytest.mark.parametrize("attempt, sleeps", [(0.25, [1] * 4), (0.75, [1, 1, 0.75])],
                         ids=["pauses within the budget", "the last pause cut to the budget"])
def test_raising_download_url_is_retried_until_the_budget_is_spent(fetch, fetch_log, clock, monkeypatch, attempt,
                                                                    sleeps):
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 5)
    monkeypatch.setattr(fetch, "get_model_url", lambda m: "http://h/x.tar.xz")

    def failing(cloud_url):
        clock.now += attempt  # each attempt takes a while
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(fetch, "download_url", failing)
    assert fetch.download_detection_model("k") is None
    assert fetch_log.at("warning") == ["Failed download zelk model: [Errno 28] No space left on device"] * len(sleeps)
    assert clock.sleeps == sleeps and clock.now == 1000 + 5


def test_no_url_makes_one_pause_per_attempt(fetch, fetch_log, clock, monkeypatch):
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 3)
    results = iter(["", None, "http://h/m.tar.xz"])
    monkeypatch.setattr(fetch, "get_model_url", lambda m: next(results))
    calls = []
    monkeypatch.setattr(fetch, "download_url", lambda cloud_url: calls.append(cloud_url) or "/models/m")
    assert fetch.download_detection_model("k") == "/models/m"
    assert calls == ["http://h/m.tar.xz"] and clock.sleeps == [1, 1]


def test_empty_result_ends_the_loop(fetch, fetch_log, clock, monkeypatch):
    monkeypatch.setattr(fetch, "get_model_url", lambda m: "u")
    monkeypatch.setattr(fetch, "download_url", lambda cloud_url: "")
    assert fetch.download_detection_model("k") == ""
    assert clock.sleeps == []


def test_budget_is_read_at_every_test(fetch, fetch_log, clock, monkeypatch):
    monkeypatch.setattr(fetch, "get_model_url", lambda m: None)
    original = clock.sleep

    def shrinking(seconds):
        original(seconds)
        fetch.DOWNLOAD_MODEL_TIMEOUT = 2

    clock.sleep = shrinking
    monkeypatch.setattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", 300)
    assert fetch.download_detection_model("k") is None
    assert clock.sleeps == [1, 1]


def test_errors_outside_the_handler_leave(fetch, fetch_log, clock, monkeypatch):
    def broken(m):
        raise RuntimeError("resolver broke")

    monkeypatch.setattr(fetch, "get_model_url", broken)
    with pytest.raises(RuntimeError, match="resolver broke"):
        fetch.download_detection_model("k")
    monkeypatch.setattr(fetch, "get_model_url", lambda m: "u")
    monkeypatch.setattr(fetch, "download_url", lambda cloud_url: (_ for _ in ()).throw(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        fetch.download_detection_model("k")


def test_direct_url_end_to_end(fetch, fetch_log, backend, model_env):
    url = backend.serve("direct.tar.xz", tarfile_xz([("direct", "dir"), ("direct/m.xml", b"x"), ("direct/m.bin", b"b")]))
    path = fetch.download_detection_model(url)
    assert path == str(model_env / "direct")
    assert fetch.check_model_type(path) == fetch.MODEL_TYPE.OPENVINO
