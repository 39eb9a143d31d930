// The downstream walk: every node that the wires of a node lead to, depth
// first, each node expanded at most once.
#include "common.hpp"

namespace zelk::flowsweep {
namespace {

// node.get(key): `node` is exactly a dict here.
Ref dict_get(PyObject* node, PyObject* key) {
  PyObject* found = nullptr;
  check(PyDict_GetItemRef(node, key, &found));
  return Ref::steal_or_null(found);
}

// self.nodered_flow._nodes, looked up afresh at every use.
Ref node_table(Ctx& c, PyObject* self) { return getattr(getattr(self, c.name(n::nodered_flow)), c.name(n::nodes)); }

Ref discover_downstream_nodes(Ctx& c) {
  PyObject* self = c.arg(0);
  PyObject* node = c.arg(1);
  PyObject* visited = c.arg(2);

  Ref downstream = Ref::steal(PyList_New(0));
  Ref node_id = dict_get(node, c.name(n::id));
  if (!node_id) node_id = none();
  int seen = PySet_Contains(visited, node_id);
  check(seen);
  if (seen) return downstream;
  check(PySet_Add(visited, node_id));

  Ref wires = dict_get(node, c.name(n::wires));
  if (!wires) wires = Ref::steal(PyList_New(0));
  long long port = 0;
  for_each(wires, [&](PyObject* targets) {
    Ref port_index;  // the port's int, made when a target of it is listed
    for_each(targets, [&](PyObject* next_node_id) {
      if (!contains(node_table(c, self), next_node_id)) return;
      Ref next_node = getitem(node_table(c, self), next_node_id);
      if (!port_index) port_index = integer(port);
      Ref entry = Ref::steal(PyDict_New());
      check(PyDict_SetItem(entry, c.name(n::node), next_node));
      check(PyDict_SetItem(entry, c.name(n::port), port_index));
      check(PyDict_SetItem(entry, c.name(n::node_id), next_node_id));
      check(PyList_Append(downstream, entry));
      // through the instance, so that an override in a subclass is used
      Ref below = call_method(self, c.name(n::discover_downstream_nodes), next_node, visited);
      check(PyList_Extend(downstream, below));
    });
    ++port;
  });
  return downstream;
}

constexpr Param kParams[] = {
    {"self"},
    {"node", "Dict[str, Any]", Exact::dict},
    {"visited", "Set[str]", Exact::set},
};

}  // namespace

const FunctionDef kDiscoverDownstreamNodes = {
    "_discover_downstream_nodes",
    "FlowsweepManager._discover_downstream_nodes",
    "Recursively discover all downstream nodes from a given node.\n"
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
    kParams,
    3,
    "List[Dict[str, Any]]",
    ArgStyle::interpreter,
    discover_downstream_nodes,
    __FILE__,
    __LINE__,
};

}  // namespace zelk::flowsweep
