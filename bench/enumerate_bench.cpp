// One disk enumeration of this machine: constructs a blkdevmgr once and prints how many block
// devices it listed. bench/shelf-lab runs it under time(1) on shelves of scsi_debug disks in
// the VM lab; on its own it is a quick check that every disk is found:
//
//   tests/lab/run --disk scsi_debug:num_tgts=16 -- build/bench/enumerate_bench
#include <cstdio>

#include <velka/blkdev>

int main() {
    velka::blkdev::blkdevmgr mgr(nullptr);
    printf("%zu\n", static_cast<size_t>(mgr.size()));
    return mgr.size() > 0 ? 0 : 1;
}
