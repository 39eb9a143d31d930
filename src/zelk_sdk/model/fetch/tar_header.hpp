// The member headers of an archive read within limits.
//
// tarfile reads a pax record or a long name whole, follows a chain of such
// records by recursion, and collects a sparse member's map (old GNU extension
// blocks or the 1.0 map before the data) into a list, all before a member is
// returned: a few hundred bytes of xz can make it hold gigabytes, or spend
// minutes, before any check sees the member. The archive is therefore read
// with a TarInfo class of the module's (`tarinfo=` of tarfile.open) whose
// header methods refuse what no model has, with tarfile's ExtractError:
//
// - a header record (pax or long name) larger than kMaxHeaderRecord, more
//   than kMaxHeaderChain of them before one member, or more than
//   kMaxHeaderBytes of them in the whole archive (tarfile parses a record
//   of a few bytes in about a microsecond);
// - a sparse map of more than kMaxSparseRegions regions, or more than
//   kMaxSparseTotal regions in the whole archive.
//
// The archive-wide counts belong to the HeaderBudget in scope on this
// thread; without one, each record is judged alone.
#pragma once

#include <cstddef>

#include "common.hpp"

namespace zelk::fetch::tar_header {

inline constexpr std::size_t kMaxHeaderRecord = 256 * 1024;
inline constexpr std::size_t kMaxHeaderChain = 8;
inline constexpr std::size_t kMaxHeaderBytes = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxSparseRegions = 1 << 16;
inline constexpr std::size_t kMaxSparseTotal = 1 << 20;

// The counts of one archive's reading, for the headers read on this thread
// while it is in scope.
class HeaderBudget {
 public:
  HeaderBudget() noexcept;
  HeaderBudget(const HeaderBudget&) = delete;
  HeaderBudget& operator=(const HeaderBudget&) = delete;
  ~HeaderBudget();

  // Counts `regions` more sparse regions of the archive in scope; past
  // kMaxSparseTotal, raises.
  static void charge_regions(Ctx& c, std::size_t regions);

  std::size_t record_bytes = 0;  // of header records read
  std::size_t regions = 0;       // of sparse maps read
  std::size_t chain = 0;         // header records now being read, nested

 private:
  HeaderBudget* outer_;
};

// Raises the refusal of an archive past kMaxSparseTotal.
[[noreturn]] void refuse_regions(Ctx& c);

// The TarInfo subclass, made once at import.
Ref create_class(PyObject* module, PyObject* tarinfo_base);

}  // namespace zelk::fetch::tar_header
