// The downstream walk: every node that the wires of a node lead to, depth
// first, each node expanded at most once.
#include "common.hpp"

namespace zelk::flowsweep {
namespace {

constexpr Param kParams[] = {
    {"self"},
    {"node", "Dict[str, Any]", Exact::dict},
    {"visited", "Set[str]", Exact::set},
};

// node.get(key): `node` is exactly a dict here.
Ref dict_get(PyObject* node, PyObject* key) {
  PyObject* found = nullptr;
  check(PyDict_GetItemRef(node, key, &found));
  return Ref::steal_or_null(found);
}

// self.nodered_flow._nodes, looked up afresh at every use.
Ref node_table(Ctx& c, PyObject* self) {
  return getattr(getattr(self, c.interned(n::nodered_flow)), c.interned(n::nodes));
}

Ref discover_downstream_nodes(Ctx& c) {
  PyObject* self = c.arg(param(kParams, "self"));
  PyObject* node = c.arg(param(kParams, "node"));
  PyObject* visited = c.arg(param(kParams, "visited"));

  Ref downstream = Ref::steal(PyList_New(0));
  Ref node_id = dict_get(node, c.interned(n::id));
  if (!node_id) node_id = none();
  int seen = PySet_Contains(visited, node_id);
  check(seen);
  if (seen) return downstream;
  check(PySet_Add(visited, node_id));

  Ref wires = dict_get(node, c.interned(n::wires));
  if (!wires) wires = Ref::steal(PyList_New(0));
  long long port = 0;
  for_each(wires, [&](PyObject* targets) {
    Ref port_index;  // the port's int, made when a target of it is listed
    for_each(targets, [&](PyObject* next_node_id) {
      if (!contains(node_table(c, self), next_node_id)) return;
      Ref next_node = getitem(node_table(c, self), next_node_id);
      if (!port_index) port_index = integer(port);
      Ref entry = Ref::steal(PyDict_New());
      check(PyDict_SetItem(entry, c.interned(n::node), next_node));
      check(PyDict_SetItem(entry, c.interned(n::port), port_index));
      check(PyDict_SetItem(entry, c.interned(n::node_id), next_node_id));
      check(PyList_Append(downstream, entry));
      // through the instance, so that an override in a subclass is used
      Ref below = call_method(self, c.interned(n::discover_downstream_nodes), next_node, visited);
      check(PyList_Extend(downstream, below));
    });
    ++port;
  });
  return downstream;
}

}  // namespace

const FunctionDef kDiscoverDownstreamNodes = declare({
    .name = "_discover_downstream_nodes",
    .qualname = "FlowsweepManager._discover_downstream_nodes",
    .doc = "Recursively discover all downstream nodes from a given node.\n"
           "\n"
           "Follows the node's \"wires\" port by port, and each port's targets in wire\n"
           "order; a target that is not in self.nodered_flow._nodes is skipped. Every\n"
           "target reached gets an entry, and is then expanded itself, unless its id\n"
           "is already in `visited` (so cycles end).\n"
           "\n"
           "Args:\n"
           "    node: the configuration of the node to start from, exactly a dict.\n"
           "    visited: the ids of the nodes already expanded, exactly a set; the\n"
           "        walk adds every node id that it expands.\n"
           "\n"
           "Returns:\n"
           "    The entries {\"node\": config, \"port\": output port index, \"node_id\":\n"
           "    id} in depth-first pre-order; a node reached by several wires is\n"
           "    listed once per wire.\n",
    .params = params(kParams),
    .returns = "List[Dict[str, Any]]",
    .style = ArgStyle::interpreter,
    .body = discover_downstream_nodes,
});

}  // namespace zelk::flowsweep
