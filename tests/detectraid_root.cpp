// RAID detection with its fixed paths replaced in the test's private mount namespace: the
// kernel command line bound over /proc/cmdline, the RAID tool a fake at
// /opt/MegaRAID/MegaCli/MegaCli64 (a tmpfs over /opt) replaying captured listings by adapter,
// dmidecode a fake on PATH, and once the real dmidecode of this host.
#include <sys/stat.h>

#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velka/detectraid>

#include "logcapture.h"
#include "velka_test.h"

using velka::bmr::adapter;
using velka::bmr::physical_disk;
using velka::bmr::platform;
using velka::bmr::virtual_disk;
using velka_test::bind_mount;
using velka_test::fake_tools;
using velka_test::logcapture;
using velka_test::tmpfs_mount;

namespace {

const char* const s_megacli = "/opt/MegaRAID/MegaCli/MegaCli64";

// A tmpfs over /opt holding a fake RAID tool: "-showsummary -aN" prints summary-aN.out when
// that fixture exists (else the absent adapter's summary), "-LdPdInfo -aN" prints
// ldpdinfo-aN.out (else nothing). sallpresent: every summary reports an adapter.
class fakemegacli {
public:
    fakemegacli(fake_tools& fakes, bool sallpresent = false) : m_opt("/opt") {
        std::string sdir = velka_test::fixture("megacli/");
        fakes.add_script("MegaCli64",
                         "d='" + sdir +
                             "'\n"
                             "n=${2#-a}\n"
                             "case \"$1\" in\n"
                             "-showsummary) " +
                             (sallpresent ? std::string("echo 'Exit Code: 0x00'")
                                          : "if [ -f \"$d/summary-a$n.out\" ]; then cat "
                                            "\"$d/summary-a$n.out\"; else cat "
                                            "\"$d/summary-absent.out\"; fi") +
                             " ;;\n"
                             "-LdPdInfo) [ -f \"$d/ldpdinfo-a$n.out\" ] && cat "
                             "\"$d/ldpdinfo-a$n.out\" ;;\n"
                             "esac\nexit 0\n");
        m_bok =
            m_opt.ok() && velka_test::sh("mkdir -p /opt/MegaRAID/MegaCli && cp '" +
                                         fakes.script_path("MegaCli64") + "' " + s_megacli) == 0;
    }
    bool ok() const {
        return m_bok;
    }

private:
    tmpfs_mount m_opt;
    bool m_bok;
};

std::vector<std::string> names(adapter* pa) {
    std::vector<std::string> v;
    for (virtual_disk* pv : pa->get_virt_list())
        v.push_back(pv->get_raid_type() + "/" + std::to_string(pv->get_targetid()) + "/" +
                    std::to_string(pv->get_phy_list().size()));
    return v;
}

}  // namespace

TEST(Root_DetectRaid, RootVolumeGroupDisksFromTheKernelCommandLine) {
    VELKA_REQUIRE_ROOT();
    bind_mount cmdline(velka_test::fixture("cmdline/raidvg.cmdline"), "/proc/cmdline");
    ASSERT_TRUE(cmdline.ok());
    logcapture log;
    platform p(log.src());
    EXPECT_EQ(p.get_raidvg_disks(), (std::set<std::string>{"sda", "sdb", "/dev/sdc", "sdd"}));
    EXPECT_TRUE(p.is_raidvg_disk("sda"));
    EXPECT_TRUE(p.is_raidvg_disk("/dev/sdc"));
    EXPECT_FALSE(p.is_raidvg_disk("sdc"));
    EXPECT_FALSE(p.is_raidvg_disk("/dev/sda"));
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{
                  "detectraid.cpp::platform::platform( )  Found a disk sda to be inserted in the "
                  "root vg disks set",
                  "detectraid.cpp::platform::platform( )  Found a disk sdb to be inserted in the "
                  "root vg disks set",
                  "detectraid.cpp::platform::platform( )  Found a disk /dev/sdc to be inserted in "
                  "the root vg disks set",
                  "detectraid.cpp::platform::platform( )  Found a disk sdd to be inserted in the "
                  "root vg disks set"}));

    bind_mount cifs(velka_test::fixture("cmdline/pxe-cifs.cmdline"), "/proc/cmdline");
    ASSERT_TRUE(cifs.ok());
    platform q(nullptr);
    EXPECT_EQ(q.get_raidvg_disks(), (std::set<std::string>{"sda", "sdb"}));
    EXPECT_FALSE(q.is_raidvg_disk("sdc"));
}

TEST(Root_DetectRaid, TwoAdaptersOnACiscoServer) {
    VELKA_REQUIRE_ROOT();
    bind_mount cmdline(velka_test::fixture("cmdline/pxe-nfs.cmdline"), "/proc/cmdline");
    ASSERT_TRUE(cmdline.ok());
    fake_tools fakes;
    fakes.add_fixture("dmidecode", "dmidecode/cisco-ucs-c240.out");
    fakemegacli mega(fakes);
    ASSERT_TRUE(mega.ok());
    logcapture log;
    {
        platform p(log.src());
        EXPECT_TRUE(p.get_raidvg_disks().empty());
        p.set_platform_details();
        EXPECT_EQ(p.get_platform_name(), "Cisco Systems Inc");
        EXPECT_EQ(p.get_adp_count(), 2);
        ASSERT_EQ(p.get_adp_list().size(), 2u);
        // Adapter 1 (one RAID-5 drive: nothing kept) comes first, then adapter 0.
        EXPECT_TRUE(names(p.get_adp_list().front()).empty());
        adapter* pa0 = p.get_adp_list().back();
        EXPECT_EQ(names(pa0), (std::vector<std::string>{"LOG_MIRROR/2/2", "OS_MIRROR/0/2"}));
        std::vector<std::string> vmedia;
        for (physical_disk* pp : pa0->get_virt_list().front()->get_phy_list())
            vmedia.push_back(pp->get_media_type());
        EXPECT_EQ(vmedia, (std::vector<std::string>{"Solid State Device", "Solid State Device"}));
    }
    EXPECT_EQ(fakes.calls(),
              (std::vector<std::string>{"dmidecode", "MegaCli64 -showsummary -a0",
                                        "MegaCli64 -showsummary -a1", "MegaCli64 -showsummary -a2",
                                        "MegaCli64 -LdPdInfo -a0", "MegaCli64 -LdPdInfo -a1"}));
    EXPECT_TRUE(
        log.has("detectraid.cpp::platform::set_adp_count( )  Executing the command: "
                "/opt/MegaRAID/MegaCli/MegaCli64 -showsummary -a2"));
    EXPECT_EQ(log.count_containing("RAID level 1 found"), 2u);
}

TEST(Root_DetectRaid, TwentyAdaptersAtMostAndNoneWithoutTheTool) {
    VELKA_REQUIRE_ROOT();
    fake_tools fakes;
    fakes.add_fixture("dmidecode", "dmidecode/cisco-ucs-c240.out");
    {
        fakemegacli mega(fakes, true);
        ASSERT_TRUE(mega.ok());
        platform p(nullptr);
        p.set_platform_details();
        EXPECT_EQ(p.get_adp_count(), 20);
        EXPECT_EQ(p.get_adp_list().size(), 20u);
        // Only adapter 0 (last in the list) has a listing of drives.
        size_t uiwithdrives = 0;
        for (adapter* pa : p.get_adp_list()) uiwithdrives += pa->get_virt_list().empty() ? 0 : 1;
        EXPECT_EQ(uiwithdrives, 1u);
        EXPECT_EQ(p.get_adp_list().back()->get_virt_list().size(), 2u);
    }
    // The RAID tool is not installed: the shell starts, prints nothing the tool would, and
    // there is no adapter to examine.
    tmpfs_mount emptyopt("/opt");
    ASSERT_TRUE(emptyopt.ok());
    logcapture log;
    platform p(log.src());
    p.set_platform_details();
    EXPECT_EQ(p.get_platform_name(), "Cisco Systems Inc");
    EXPECT_EQ(p.get_adp_count(), 0);
    EXPECT_TRUE(p.get_adp_list().empty());
    EXPECT_EQ(log.count_containing("Executing the command: "), 1u);
}

TEST(Root_DetectRaid, PlatformNameFromThisHostsDmidecode) {
    VELKA_REQUIRE_ROOT();
    VELKA_REQUIRE_TOOL("dmidecode");
    // dmidecode's own answer to the same question (empty on a host without SMBIOS tables).
    std::string sexpected;
    velka_test::sh("dmidecode -s system-manufacturer 2>/dev/null", &sexpected);
    while (!sexpected.empty() && (sexpected.back() == '\n' || sexpected.back() == ' '))
        sexpected.pop_back();
    platform p(nullptr);
    EXPECT_EQ(p.set_platform_name(), 0);
    EXPECT_EQ(p.get_platform_name(), sexpected);
}
