"""The SDK's flow object: one node's view of a Node-RED flows export.

Node-RED writes its flows as a JSON array of objects, one per node, tab, group,
subflow or config node, each with an "id" and a "type"; wired nodes also carry
"wires", one list of target ids per output port. ``ZelkFlow`` reads such an
export (a file, JSON text or the parsed list) together with the id of the node
that the application runs as.
"""

from __future__ import annotations

import json
import os
from typing import Any

__all__ = ["FlowError", "ZelkFlow"]


class FlowError(ValueError):
    """The input is not a Node-RED flows export, or lacks the node asked for."""


class ZelkFlow:
    """A Node-RED flows export and the current node in it.

    Args:
        flows: the path of a flows file (``str`` or path object), or the export
            already parsed (a list of node objects). The object form that the
            admin API answers with (``{"flows": [...], "rev": ...}``) is
            accepted as well.
        node_id: the id of the node that this application runs as.

    Attributes:
        _nodes: a dict from node id to that object's configuration dict, for
            every object of the export (tabs and config nodes included), in
            export order. The dicts are the parsed objects themselves.
        node_id: the current node's id.
        source: where the export came from (the path, or "<flows>").
    """

    def __init__(self, flows: str | os.PathLike[str] | list[Any] | dict[str, Any], node_id: str) -> None:
        if not isinstance(node_id, str):
            raise TypeError(f"node_id must be a str, not {type(node_id).__name__}")
        if isinstance(flows, (bytes, bytearray)):
            raise TypeError("flows is a path or a parsed export; build from JSON text with ZelkFlow.from_json")
        if isinstance(flows, (str, os.PathLike)):
            self.source = os.fsdecode(flows)
            if isinstance(flows, str) and flows.lstrip()[:1] in ("[", "{") and not os.path.exists(flows):
                raise FlowError("flows looks like JSON text, not a path: use ZelkFlow.from_json(text, node_id)")
            with open(flows, "rb") as f:
                raw = f.read()
            try:
                data = json.loads(raw.decode("utf-8"))
            except UnicodeDecodeError as e:
                raise FlowError(f"{self.source} is not a Node-RED flows export: not UTF-8 text ({e})") from None
            except json.JSONDecodeError as e:
                raise FlowError(f"{self.source} is not a Node-RED flows export: invalid JSON ({e})") from None
        else:
            self.source = "<flows>"
            data = flows
        self._nodes: dict[str, dict[str, Any]] = self._index(data)
        if node_id not in self._nodes:
            raise FlowError(f"node id {node_id!r} is not in {self.source} ({len(self._nodes)} objects)")
        self.node_id = node_id

    @classmethod
    def from_json(cls, text: str | bytes, node_id: str) -> ZelkFlow:
        """Build the flow object from the JSON text of a flows export."""
        try:
            data = json.loads(text)
        except json.JSONDecodeError as e:
            raise FlowError(f"not a Node-RED flows export: invalid JSON ({e})") from None
        except UnicodeDecodeError as e:
            raise FlowError(f"not a Node-RED flows export: not UTF-8 text ({e})") from None
        if not isinstance(data, (list, dict)):  # a JSON string is no path to follow
            raise FlowError(
                f"not a Node-RED flows export: expected a JSON array of node objects, got {type(data).__name__}"
            )
        return cls(data, node_id)

    def _index(self, data: Any) -> dict[str, dict[str, Any]]:
        if isinstance(data, dict) and isinstance(data.get("flows"), list):
            data = data["flows"]
        if not isinstance(data, list):
            raise FlowError(
                f"{self.source} is not a Node-RED flows export: expected a JSON array of node objects, "
                f"got {type(data).__name__}"
            )
        nodes: dict[str, dict[str, Any]] = {}
        for i, obj in enumerate(data):
            if not isinstance(obj, dict):
                raise FlowError(f"{self.source}: entry {i} is a {type(obj).__name__}, not a node object")
            node_id = obj.get("id")
            if not isinstance(node_id, str) or not node_id:
                raise FlowError(f"{self.source}: entry {i} has no \"id\" text")
            if not isinstance(obj.get("type"), str):
                raise FlowError(f"{self.source}: node {node_id!r} has no \"type\" text")
            if node_id in nodes:
                raise FlowError(f"{self.source}: node id {node_id!r} occurs twice")
            nodes[node_id] = obj
        return nodes

    def parse_flow(self) -> dict[str, Any]:
        """Return {"cur_node": the current node's configuration dict}.

        The configuration is the very dict held in ``_nodes``.
        """
        return {"cur_node": self._nodes[self.node_id]}

    def __repr__(self) -> str:
        return f"<ZelkFlow {self.source} node={self.node_id!r} ({len(self._nodes)} objects)>"
