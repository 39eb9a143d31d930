#include "tar_header.hpp"

#include <string>

namespace zelk::fetch::tar_header {
namespace {

thread_local HeaderBudget* current = nullptr;

// Entries of one old GNU sparse extension block.
constexpr Py_ssize_t kBlockEntries = 21;
// The longest line of a 1.0 sparse map that is still a number.
constexpr std::size_t kMaxMapLine = 64;

constexpr Param kRecordParams[] = {{"self"}, {"tarfile"}};
constexpr Param kMapParams[] = {{"self"}, {"next"}, {"pax_headers"}, {"tarfile"}};

[[noreturn]] void refuse(Ctx& c, Ref message) { raise(c.pinned(pin_ExtractError), message.get()); }

long long as_count(Ref value) {
  const long long v = PyLong_AsLongLong(value);
  if (v == -1 && PyErr_Occurred()) throw_error();
  return v;
}

// One more header record in the chain before a member, for as long as it is
// being read.
class ChainStep {
 public:
  explicit ChainStep(HeaderBudget* b) noexcept : b_(b) {
    if (b_ != nullptr) ++b_->chain;
  }
  ChainStep(const ChainStep&) = delete;
  ChainStep& operator=(const ChainStep&) = delete;
  ~ChainStep() {
    if (b_ != nullptr) --b_->chain;
  }

 private:
  HeaderBudget* b_;
};

// Counts `slots` more entries of sparse maps: the member's (`member_slots`)
// and the archive's.
void charge_map(Ctx& c, std::size_t& member_slots, std::size_t slots, PyObject* name) {
  member_slots += slots;
  if (member_slots > kMaxSparseRegions) {
    refuse(c, textf("the member %R has a sparse map of more than %zu regions", name, kMaxSparseRegions));
  }
  HeaderBudget::charge_regions(c, slots);
}

// _proc_gnulong and _proc_pax: the record is judged by its size before
// tarfile reads it whole.
Ref record(Ctx& c, PyObject* method) {
  PyObject* self = c.arg(param(kRecordParams, "self"));
  PyObject* tarfile = c.arg(param(kRecordParams, "tarfile"));
  const long long size = as_count(getattr(self, c.interned(n::size)));
  if (size < 0 || static_cast<unsigned long long>(size) > kMaxHeaderRecord) {
    refuse(c, textf("the archive has a header record of %lld bytes; the limit is %zu", size, kMaxHeaderRecord));
  }
  HeaderBudget* b = current;
  if (b != nullptr) {
    if (b->chain >= kMaxHeaderChain) {
      refuse(c, textf("the archive has more than %zu header records before one member", kMaxHeaderChain));
    }
    b->record_bytes += static_cast<std::size_t>(size);
    if (b->record_bytes > kMaxHeaderBytes) {
      refuse(c, textf("the archive's header records come to more than %zu bytes", kMaxHeaderBytes));
    }
  }
  ChainStep step(b);
  return call_method(super_of(c.closure(), self), method, tarfile);
}

Ref proc_gnulong(Ctx& c) { return record(c, text("_proc_gnulong")); }
Ref proc_pax(Ctx& c) { return record(c, text("_proc_pax")); }

// _proc_sparse: tarfile's reading of the old GNU extension blocks, counted.
Ref proc_sparse(Ctx& c) {
  PyObject* self = c.arg(param(kRecordParams, "self"));
  PyObject* tarfile = c.arg(param(kRecordParams, "tarfile"));
  Ref name = getattr(self, c.interned(n::name));
  Ref found = getattr(self, c.interned(n::sparse_structs));
  Ref structs = getitem(found, integer(0));
  bool extended = truthy(getitem(found, integer(1)));
  Ref origsize = getitem(found, integer(2));
  check(PyObject_DelAttr(self, c.interned(n::sparse_structs)));
  Ref fileobj = getattr(tarfile, c.interned(n::fileobj));
  Ref read = getattr(fileobj, c.interned(n::read));
  Ref nti = getattr(c.pinned(pin_tarfile), c.interned(n::nti));
  std::size_t slots = 0;
  while (extended) {
    charge_map(c, slots, kBlockEntries, name);
    Ref buf = call(read, integer(512));
    for (Py_ssize_t i = 0, pos = 0; i < kBlockEntries; ++i, pos += 24) {
      Ref offset, numbytes;
      try {
        offset = call(nti, Ref::steal(PySequence_GetSlice(buf, pos, pos + 12)));
        numbytes = call(nti, Ref::steal(PySequence_GetSlice(buf, pos + 12, pos + 24)));
      } catch (PyErr& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        break;
      }
      if (truthy(offset) && truthy(numbytes))
        check(PyList_Append(structs, Ref::steal(PyTuple_Pack(2, offset.get(), numbytes.get()))));
    }
    extended = truthy(Ref::steal(PySequence_GetItem(buf, 504)));
  }
  setattr(self, c.interned(n::sparse), structs);
  Ref offset_data = call_method(fileobj, c.interned(n::tell));
  setattr(self, c.interned(n::offset_data), offset_data);
  Ref blocks = call_method(self, c.interned(n::block), getattr(self, c.interned(n::size)));
  setattr(tarfile, c.interned(n::offset), Ref::steal(PyNumber_Add(offset_data, blocks)));
  setattr(self, c.interned(n::size), origsize);
  return Ref::borrow(self);
}

// _proc_gnusparse_10: the 1.0 map before the member's data, a number a line,
// the count of regions first; lines of more than a number are malformed.
Ref proc_gnusparse_10(Ctx& c) {
  PyObject* next = c.arg(param(kMapParams, "next"));
  PyObject* tarfile = c.arg(param(kMapParams, "tarfile"));
  Ref name = getattr(next, c.interned(n::name));
  Ref fileobj = getattr(tarfile, c.interned(n::fileobj));
  Ref read = getattr(fileobj, c.interned(n::read));
  std::string buf;
  auto more = [&] {
    Ref chunk = call(read, integer(512));
    if (!PyBytes_Check(chunk.get()) || PyBytes_GET_SIZE(chunk.get()) == 0) {
      raise(c.pinned(pin_ReadError), "unexpected end of data");
    }
    buf.append(PyBytes_AS_STRING(chunk.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(chunk.get())));
  };
  auto number = [&]() -> Ref {
    std::size_t nl;
    while ((nl = buf.find('\n')) == std::string::npos) {
      if (buf.size() > kMaxMapLine) refuse(c, textf("the member %R has a malformed sparse map", name.get()));
      more();
    }
    if (nl > kMaxMapLine) refuse(c, textf("the member %R has a malformed sparse map", name.get()));
    Ref line = Ref::steal(PyBytes_FromStringAndSize(buf.data(), static_cast<Py_ssize_t>(nl)));
    buf.erase(0, nl + 1);
    return call(reinterpret_cast<PyObject*>(&PyLong_Type), line);
  };
  more();
  const long long fields = as_count(number());
  std::size_t slots = 0;
  if (fields < 0) refuse(c, textf("the member %R has a malformed sparse map", name.get()));
  charge_map(c, slots, static_cast<std::size_t>(fields), name);
  Ref sparse = Ref::steal(PyList_New(0));
  for (long long i = 0; i < fields; ++i) {
    Ref offset = number();
    Ref numbytes = number();
    check(PyList_Append(sparse, Ref::steal(PyTuple_Pack(2, offset.get(), numbytes.get()))));
  }
  setattr(next, c.interned(n::offset_data), call_method(fileobj, c.interned(n::tell)));
  setattr(next, c.interned(n::sparse), sparse);
  return none();
}

const FunctionDef kProcGnulong = declare({
    .name = "_proc_gnulong",
    .qualname = "TarInfo._proc_gnulong",
    .params = params(kRecordParams),
    .body = proc_gnulong,
});
const FunctionDef kProcPax = declare({
    .name = "_proc_pax",
    .qualname = "TarInfo._proc_pax",
    .params = params(kRecordParams),
    .body = proc_pax,
});
const FunctionDef kProcSparse = declare({
    .name = "_proc_sparse",
    .qualname = "TarInfo._proc_sparse",
    .params = params(kRecordParams),
    .body = proc_sparse,
});
const FunctionDef kProcGnusparse10 = declare({
    .name = "_proc_gnusparse_10",
    .qualname = "TarInfo._proc_gnusparse_10",
    .params = params(kMapParams),
    .body = proc_gnusparse_10,
});

}  // namespace

HeaderBudget::HeaderBudget() noexcept : outer_(current) { current = this; }
HeaderBudget::~HeaderBudget() { current = outer_; }

void HeaderBudget::charge_regions(Ctx& c, std::size_t regions) {
  HeaderBudget* b = current;
  if (b == nullptr) return;
  b->regions += regions;
  if (b->regions > kMaxSparseTotal) refuse_regions(c);
}

void refuse_regions(Ctx& c) {
  refuse(c, textf("the archive's sparse members have more than %zu regions in all", kMaxSparseTotal));
}

Ref create_class(PyObject* module, PyObject* tarinfo_base) {
  Ref bases = Ref::steal(PyTuple_Pack(1, tarinfo_base));
  return make_class(module, "TarInfo", "A member of an archive, its headers read within the module's limits.", bases,
                    {&kProcGnulong, &kProcPax, &kProcSparse, &kProcGnusparse10});
}

}  // namespace zelk::fetch::tar_header
