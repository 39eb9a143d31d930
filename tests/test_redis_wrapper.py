import time

import pytest
from redis.backoff import NoBackoff
from redis.cluster import key_slot
from redis.retry import Retry

from support.emulation import scaled
from support.logcap import RecordingLogger
from support.redis_server import redis_cluster, redis_server  # noqa: F401
from zelk_sdk.nodered import ZelkFlow
from zelk_sdk.redis import ZelkRedis, flowsweep, wrapper


@pytest.fixture(params=["server", "cluster"])
def rz(request):
    if request.param == "server":
        port = request.getfixturevalue("redis_server").port
        r = ZelkRedis(host="127.0.0.1", port=port)  # asks the server, finds no cluster
    else:
        port = request.getfixturevalue("redis_cluster")[0]
        r = ZelkRedis(f"redis://127.0.0.1:{port}")  # asks the server, finds a cluster
    assert r.is_cluster == (request.param == "cluster")
    r.client.flushall()
    yield r
    r.close()


def fill(rz, keys):
    pipe = rz.client.pipeline()
    for k in keys:
        pipe.set(k, 1)
    pipe.execute()


def test_scan_and_delete_in_batches_across_slots(rz):
    keys = [f"redis_n{i}_{j}" for i in range(40) for j in range(30)] + ["{tag}a", "{tag}b", b"redis_n1_\xff"]
    fill(rz, keys)
    rz.scan_count = 7  # many SCAN steps on every primary
    if rz.is_cluster:  # the keys really are spread over all three primaries
        owners = {rz.client.get_node_from_key(k).name for k in keys[:50]}
        assert len(owners) == 3

    found = rz.scan_keys(pattern="redis_n1_*")
    assert sorted(found) == sorted([f"redis_n1_{j}" for j in range(30)] + ["redis_n1_\udcff"])
    assert len(rz.scan_keys()) == len(keys)

    rz.delete_batch = 13
    assert rz.delete_many(found + found[:3] + ["missing"]) == 31  # repeats and absent keys count nothing
    assert rz.delete_many(k for k in keys if isinstance(k, str) and k.startswith("{tag}")) == 2
    assert rz.scan_keys(pattern="redis_n1_*") == [] and len(rz.scan_keys()) == len(keys) - 33
    assert rz.delete_many([]) == 0
    with pytest.raises(TypeError, match="str or bytes"):
        rz.delete_many([1])


def test_keys_of_many_slots_in_one_call(rz):
    keys = [f"k{i}" for i in range(2000)]
    assert len({key_slot(k.encode()) for k in keys}) > 1000
    fill(rz, keys)
    assert rz.delete_many(keys) == 2000 and rz.scan_keys() == []


def test_clearing_pass_through_the_wrapper(rz, monkeypatch):
    monkeypatch.setattr(flowsweep, "logger", RecordingLogger())
    nodes = [{"id": f"n{i}", "type": "t", "wires": [[f"n{i + 1}"]] if i < 29 else []} for i in range(30)]
    fill(rz, [f"redis_n{i}_{s}" for i in range(60) for s in ("a", "b")])
    flow = ZelkFlow(nodes, "n10")
    assert flowsweep.FlowsweepManager(rz, flow, flow.parse_flow()["cur_node"], "redis_n10_a").clear_stream_keys()
    assert flowsweep.logger.lines[-1] == "Flowsweep complete: 40/40 keys deleted"
    assert sorted(rz.scan_keys(pattern="redis_*")) == sorted(
        f"redis_n{i}_{s}" for i in [*range(10), *range(30, 60)] for s in ("a", "b")
    )


def made(request, form, url_query="", **options):
    """A wrapper that makes its own client, of each form, on a live server or cluster."""
    if form.startswith("cluster"):
        port, cluster = request.getfixturevalue("redis_cluster")[0], True
    else:
        port, cluster = request.getfixturevalue("redis_server").port, False
    if form.endswith("url"):
        return ZelkRedis(f"redis://127.0.0.1:{port}/0{url_query}", cluster=cluster, **options)
    return ZelkRedis(host="127.0.0.1", port=port, cluster=cluster, **options)


def time_outs_and_retries(rz):
    """(connect time-out, read time-out, retries) of the client's connections."""
    client = rz.client
    if rz.is_cluster:  # the node clients connect; the cluster client retries
        kwargs = client.get_default_node().redis_connection.connection_pool.connection_kwargs
        retry = client.retry
    else:
        kwargs = client.connection_pool.connection_kwargs
        retry = kwargs["retry"]
    retries = 0 if retry is None else retry.get_retries()  # redis-py: no Retry, no retries
    return kwargs["socket_connect_timeout"], kwargs["socket_timeout"], retries


CONNECT, READ, RETRIES = wrapper.DEFAULT_CONNECT_TIMEOUT, wrapper.DEFAULT_READ_TIMEOUT, wrapper.DEFAULT_RETRIES


@pytest.mark.parametrize("form", ["host", "url", "cluster-host", "cluster-url"])
@pytest.mark.parametrize(
    ("options", "expected"),
    [
        ({}, (CONNECT, READ, RETRIES)),
        # no limit on replies asked for: connecting stays bounded
        ({"socket_timeout": None}, (CONNECT, None, RETRIES)),
        ({"socket_connect_timeout": 1.5, "socket_timeout": 30.0, "retry": Retry(NoBackoff(), 3)}, (1.5, 30.0, 3)),
        ({"retry": None}, (CONNECT, READ, 0)),
    ],
    ids=["defaults", "no-read-limit", "own", "no-retry"],
)
def test_time_outs_and_retries(request, form, options, expected):
    rz = made(request, form, **options)
    assert time_outs_and_retries(rz) == expected
    rz.close()


@pytest.mark.parametrize("form", ["url", "cluster-url"])
def test_time_outs_of_the_url_win(request, form):
    rz = made(request, form, "?socket_timeout=7&socket_connect_timeout=2")
    assert time_outs_and_retries(rz) == (2, 7, RETRIES)
    rz.close()


def test_settings_are_checked(redis_server):
    with pytest.raises(ValueError):
        ZelkRedis(redis_server.url, delete_batch=0)
    with pytest.raises(ValueError):
        ZelkRedis(redis_server.url, client=object())


def test_server_without_unlink_gets_del(tmp_path):
    from support.redis_server import RedisServer

    server = RedisServer(tmp_path, "--rename-command", "UNLINK", "")
    try:
        rz = ZelkRedis(server.url)
        rz.client.mset({"redis_a_1": 1, "redis_a_2": 2, "other": 3})
        assert rz.delete_many(rz.scan_keys(pattern="redis_a_*")) == 2
        assert rz.client.keys("*") == [b"other"]
        rz.close()
    finally:
        server.stop()


def test_a_single_key_is_not_a_key_list(redis_server):
    rz = ZelkRedis(redis_server.url)
    rz.client.mset({"r": 1, "e": 2})
    with pytest.raises(TypeError):
        rz.delete_many("redis")
    assert sorted(rz.client.keys("*")) >= [b"e", b"r"]
    with pytest.raises(ValueError):
        ZelkRedis(redis_server.url, scan_count=1.5)
    rz.close()


def cluster_node(work, *extra):
    """A redis-server in cluster mode, alone; returns it and its bus port."""
    from support.redis_server import RedisServer, free_port

    work.mkdir()
    bus = free_port()
    server = RedisServer(work, "--cluster-enabled", "yes", "--cluster-port", str(bus),
                         "--cluster-config-file", str(work / "nodes.conf"), *extra)
    return server, bus


def test_cluster_without_unlink_gets_del(tmp_path):
    import redis

    server, _ = cluster_node(tmp_path / "node", "--rename-command", "UNLINK", "")
    try:
        node = redis.Redis(port=server.port)
        node.execute_command("CLUSTER", "ADDSLOTSRANGE", 0, 16383)
        deadline = time.monotonic() + 30
        while node.cluster("info")["cluster_state"] != "ok":
            assert time.monotonic() < deadline, "the cluster did not become ready"
            time.sleep(0.05)
        rz = ZelkRedis(server.url, cluster=True)
        for k in ("redis_a_1", "redis_a_2", "other"):
            rz.client.set(k, 1)
        assert rz.delete_many(rz.scan_keys(pattern="redis_a_*")) == 2
        assert node.keys("*") == [b"other"]
        rz.close()
        node.close()
    finally:
        server.stop()


def cluster_view(node) -> dict[str, tuple[set[str], str, tuple[str, ...]]]:
    """What `node` thinks of each node it knows: id -> (flags, link state, slots)."""
    view = {}
    for row in node.execute_command("CLUSTER", "NODES").splitlines():
        fields = row.split()
        view[fields[0]] = (set(fields[2].split(",")), fields[7], tuple(fields[8:]))
    return view


def wait_until_agreed(nodes, owners, what):
    """Waits until every one of `nodes` is in state ok and sees exactly the
    primaries of `owners` (id -> slot ranges as CLUSTER NODES prints them),
    each a connected primary out of handshake, with an address, not failing,
    holding those slots and nothing being migrated or imported."""
    def agreed(node) -> bool:
        if node.cluster("info")["cluster_state"] != "ok":
            return False
        view = cluster_view(node)
        return view.keys() == owners.keys() and all(
            "master" in flags and not flags & {"handshake", "noaddr", "fail?", "fail"}
            and link == "connected" and slots == owners[nid]
            for nid, (flags, link, slots) in view.items())

    deadline = time.monotonic() + scaled(30)
    while not all(agreed(node) for node in nodes):
        assert time.monotonic() < deadline, f"{what}: {[cluster_view(node) for node in nodes]}"
        time.sleep(0.05)


def test_primary_that_joins_later_is_scanned_too(tmp_path):
    """A long-lived wrapper scans the cluster as it is at each scan: when a new
    primary takes over slots after the wrapper was made, its keys are found and
    deleted, and a pass does not report success with keys left behind."""
    import redis

    servers, bus = [], []
    try:
        for i in range(2):
            server, port = cluster_node(tmp_path / f"node{i}")
            servers.append(server)
            bus.append(port)
        a, b = (redis.Redis(port=s.port, decode_responses=True) for s in servers)
        a_id, b_id = (n.execute_command("CLUSTER", "MYID") for n in (a, b))
        a.execute_command("CLUSTER", "ADDSLOTSRANGE", 0, 16383)
        a.execute_command("CLUSTER", "MEET", "127.0.0.1", servers[1].port, bus[1])
        wait_until_agreed((a, b), {a_id: ("0-16383",), b_id: ()}, "the two nodes did not meet")

        wrapper = ZelkRedis(servers[0].url, cluster=True)
        assert wrapper.scan_keys(pattern="*") == []  # its view: one primary

        # the second node takes over the (empty) lower half of the slots as a
        # resharding moves them, the owner letting go before the newcomer
        # claims: were both to claim a slot at once, the claim of the lower
        # config epoch would lose, and the newcomer, left without slots, would
        # make itself a replica of the owner (which it does when its claim
        # reaches the owner before the owner's own SETSLOT, as under emulation)
        steps = [(b, "IMPORTING", a_id), (a, "MIGRATING", b_id), (a, "NODE", b_id), (b, "NODE", b_id)]
        for node, *args in steps:
            pipe = node.pipeline(transaction=False)
            for slot in range(8192):
                pipe.execute_command("CLUSTER", "SETSLOT", slot, *args)
            pipe.execute()
        wait_until_agreed((a, b), {a_id: ("8192-16383",), b_id: ("0-8191",)}, "the slots did not move")
        keys = [f"redis_a_{i}" for i in range(40)]
        fresh = ZelkRedis(servers[0].url, cluster=True)
        for k in keys:
            fresh.client.set(k, 1)
        assert b.dbsize() > 0 and a.dbsize() > 0

        assert sorted(wrapper.scan_keys(pattern="redis_a_*")) == sorted(keys)
        flow = ZelkFlow([{"id": "a", "type": "t", "wires": []}], "a")
        assert flowsweep.clear_stream_redis_keys(wrapper, flow, flow.parse_flow()["cur_node"], "redis_a_out") is True
        assert a.dbsize() == b.dbsize() == 0
        wrapper.close()
        fresh.close()
    finally:
        for s in servers:
            s.stop()
