// lab-args: --no-udev --disk scsi-hd:size=64M,serial=VELKAPCI01
// lab-args: --disk sas:size=64M,wwn=0x5000c50015ea71ac,serial=VELKAPCI02
// lab-args: --disk sata:size=64M,serial=VELKAPCI03 --disk nvme:size=64M,serial=VELKAPCI04
//
// PCI enumeration on the lab's emulated machine, whose kernel has its own module directory:
// every function (bridges, IDE, virtio, virtio-scsi, the SAS HBA, AHCI, NVMe) against lspci
// and the fnmatch matcher over the running kernel's modules.alias, and the storage
// controllers matched to the modules that drive them.
#include <sys/utsname.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/pci>

#include "pci_compare.h"
#include "velka_test.h"

using velka::pci::pci;
using velka::pci::pci_cfg;

TEST(Lab_Pci, EmulatedMachineAgainstLspciAndAliasTable) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("lspci");
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    std::string stable = std::string("/lib/modules/") + u.release + "/modules.alias";
    ASSERT_EQ(access(stable.c_str(), R_OK), 0) << stable;
    pci_test::compare_with_lspci(stable);

    // The storage controllers the lab was booted with, by vendor and device, and their modules.
    pci_cfg cfg(stable, velka::pci::alias_engine, nullptr);
    std::map<unsigned int, std::string> mbyid;
    for (const auto& p : pci_test::records(cfg)) {
        mbyid[(p.get_vendorid() << 16) | p.get_deviceid()] = p.get_drivers();
        printf("%s|%s\n", p.tostr().c_str(), p.get_drivers().c_str());
    }
    EXPECT_EQ(mbyid[0x1af41004], "virtio_pci");  // virtio-scsi
    EXPECT_EQ(mbyid[0x10000054], "mptsas");      // LSI SAS1068
    EXPECT_EQ(mbyid[0x80862922], "ahci");        // ICH9 AHCI
    EXPECT_EQ(mbyid[0x1b360010], "nvme");        // QEMU NVMe
}
