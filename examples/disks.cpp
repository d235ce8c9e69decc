// disks: the disks of this machine and the partitions on each, as velka discovers them.
// Needs root (the discovery reads SCSI attributes and writes udev entries); logs to LOGFILE.
//
//   disks LOGFILE
#include <cstdio>
#include <string>
#include <vector>

#include <velka/blkdev>
#include <velka/logger>
#include <velka/version>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: disks LOGFILE\n");
        return 2;
    }
    velka::logger::core logcore(1024);
    logcore.add_sink(velka::logger::FILE_SINK, argv[1]);
    velka::logger::source logsrc(&logcore, velka::logger::everylevel);
    printf("velka %s (built against %s)\n", velka::version(), VELKA_VERSION_STRING);

    // Discovery runs once, in the constructor.
    velka::blkdev::blkdevmgr mgr(&logsrc);

    // Any callable is a callback: this lambda counts the flash disks it is shown.
    unsigned int uiflash = 0;
    mgr.for_each_blkdev([&uiflash](velka::blkdev::blkdev& bdev) {
        if (bdev.get_isflashdisk()) ++uiflash;
    });

    // The records by value: copies the program may keep.
    for (velka::blkdev::blkdev& bdev : mgr.get_blkdevs()) {
        printf("%s  %s %s  %llu blocks of %llu bytes  %s\n", bdev.get_dev().c_str(),
               bdev.get_vendor().c_str(), bdev.get_model().c_str(), bdev.get_blocks(),
               bdev.get_blksize(),
               velka::blkdev::blkdevmgr::decodetransporttype(bdev.get_transport()).c_str());
        for (const velka::blkdev::partitioninfo& part : bdev.extractpartitioninfo())
            printf("  %d  %s .. %s  %s  %s\n", part.m_partitionnum, part.m_start.c_str(),
                   part.m_end.c_str(), part.m_fstype.c_str(), part.m_name.c_str());
    }
    printf("%zu disks, %u of them flash\n", mgr.size(), uiflash);
    return 0;
}
