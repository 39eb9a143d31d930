import json

import pytest

from zelk_sdk.nodered import FlowError, ZelkFlow


def test_corpus_exports(flow_exports):
    for path in flow_exports:
        data = json.loads(path.read_text())
        wired = next(n for n in data if n.get("wires"))
        for source in (path, str(path), data, {"flows": data, "rev": "1"}):
            flow = ZelkFlow(source, wired["id"])
            assert list(flow._nodes) == [n["id"] for n in data]
            assert flow.parse_flow() == {"cur_node": wired}
            assert flow.parse_flow()["cur_node"] is flow._nodes[wired["id"]]
        assert ZelkFlow.from_json(path.read_bytes(), wired["id"])._nodes == flow._nodes


@pytest.mark.parametrize(
    "text, message",
    [
        ("{not json", "invalid JSON"),
        ('{"id": "a", "type": "inject"}', "expected a JSON array of node objects, got dict"),
        ('[["a"]]', "entry 0 is a list, not a node object"),
        ('[{"type": "inject"}]', 'entry 0 has no "id" text'),
        ('[{"id": 5, "type": "inject"}]', 'entry 0 has no "id" text'),
        ('[{"id": "a"}]', "node 'a' has no \"type\" text"),
        ('[{"id": "a", "type": "t"}, {"id": "a", "type": "t"}]', "node id 'a' occurs twice"),
        ('[{"id": "b", "type": "t"}]', "node id 'a' is not in <flows> (1 objects)"),
    ],
)
def test_not_a_flows_export(tmp_path, text, message):
    with pytest.raises(FlowError, match=message.replace("(", r"\(").replace(")", r"\)")):
        ZelkFlow.from_json(text, "a")
    path = tmp_path / "flows.json"
    path.write_text(text)
    with pytest.raises(FlowError, match=str(path) if message != "invalid JSON" else message):
        ZelkFlow(path, "a")
    with pytest.raises(TypeError):
        ZelkFlow([], None)


def test_inputs_that_are_not_a_flows_file(tmp_path, monkeypatch):
    from zelk_sdk.nodered import FlowError, ZelkFlow

    with pytest.raises(FlowError, match="from_json"):
        ZelkFlow('[{"id": "a", "type": "inject"}]', "a")
    with pytest.raises(TypeError, match="from_json"):
        ZelkFlow(b'[{"id": "a", "type": "inject"}]', "a")
    latin = tmp_path / "flows.json"
    latin.write_bytes(b'[{"id": "\xe9", "type": "x"}]')
    with pytest.raises(FlowError, match="not UTF-8"):
        ZelkFlow(latin, "a")
    assert ZelkFlow.from_json('[{"id": "a", "type": "inject"}]', "a").parse_flow()["cur_node"]["id"] == "a"
    # JSON text is never taken for a path, and bytes that are not UTF-8 are no export
    (tmp_path / "other.json").write_text('[{"id": "a", "type": "inject"}]')
    for text in [f'"{tmp_path / "other.json"}"', '"/nonexistent/flows.json"', "5", "null"]:
        with pytest.raises(FlowError, match="expected a JSON array of node objects"):
            ZelkFlow.from_json(text, "a")
    with pytest.raises(FlowError, match="not UTF-8"):
        ZelkFlow.from_json(b"\xff[]", "a")
    # a real file whose name looks like JSON is read as the file it is
    odd = tmp_path / "[flows].json"
    odd.write_text('[{"id": "a", "type": "inject"}]')
    monkeypatch.chdir(tmp_path)
    assert ZelkFlow("[flows].json", "a").source == "[flows].json"
