#include "camera/FrameLeases.h"

#include <map>
#include <mutex>
#include <utility>

namespace lumo::camera {

namespace {

struct LeaseTable {
  std::mutex lock;
  std::map<const void*, Lease> leases;
};

LeaseTable& Table() {
  // Never destroyed: a lease may be given back while the process exits.
  static LeaseTable* const table = new LeaseTable;
  return *table;
}

}  // namespace

void AddLease(const FrameRecord* record, Lease lease) {
  LeaseTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.leases[record] = std::move(lease);
}

bool EndLease(const void* owner, const void* record, bool* otherOwner) {
  *otherOwner = false;
  Lease lease;
  {
    LeaseTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.leases.find(record);
    if (found == table.leases.end()) return false;
    if (found->second.owner != owner) {
      *otherOwner = true;
      return false;
    }
    lease = std::move(found->second);
    table.leases.erase(found);
  }
  // The address is a lent record's: it may be read from here on.
  ReturnLease(*lease.back, static_cast<FrameRecord*>(const_cast<void*>(record)), lease.pool.get());
  // A pool whose run has ended goes with its last lease, here.
  return true;
}

}  // namespace lumo::camera
